// How ksfupd reads an sg answer: the drive's own status and sense stand; a
// host status, a driver status other than DRIVER_SENSE (even with SCSI
// status 0, as kernels before 5.14 report) or an info word that says
// "check" with nothing to show fail the request, named as the kernel names
// them.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tuple>

#include "platform/linux/sg_result.h"

namespace {

TEST(SgResultTest, HostDriverAndInfoDecideAFailureBelowTheDrive) {
  const int kOk = SG_INFO_OK, kCheck = SG_INFO_CHECK;
  // SCSI status, sense bytes written, host and driver status, info: errno, detail
  const std::tuple<uint8_t, uint8_t, uint16_t, uint16_t, unsigned, int, const char*> cases[] = {
      {0, 0, 0, 0, kOk, 0, ""},
      {2, 18, 0, 0x08, kCheck, 0, ""},  // CHECK CONDITION with sense
      {8, 0, 0, 0, kCheck, 0, ""},      // BUSY: the drive's answer
      {0, 18, 0, 0x18, kCheck, 0, ""},  // DRIVER_SENSE with a suggestion bit
      {0, 0, 0x08, 0, kCheck, EIO, "host status DID_RESET"},
      {0, 0, 0x03, 0, kCheck, ETIMEDOUT, "host status DID_TIME_OUT"},
      {2, 18, 0x01, 0x08, kCheck, EIO, "host status DID_NO_CONNECT"},
      {0, 0, 0x2A, 0, kCheck, EIO, "host status 0x2A"},
      {0, 0, 0, 0x04, kCheck, EIO, "driver status DRIVER_ERROR"},
      {0, 0, 0, 0x27, kCheck, EIO, "driver status DRIVER_HARD"},
      {0, 0, 0, 0x06, kCheck, ETIMEDOUT, "driver status DRIVER_TIMEOUT"},
      {0, 0, 0, 0, kCheck, EIO, "info SG_INFO_CHECK without a SCSI status"},
  };
  for (const auto& [status, sb_len_wr, host, driver, info, error, want] : cases) {
    sg_io_hdr_t h{};
    h.status = status;
    h.sb_len_wr = sb_len_wr;
    h.host_status = host;
    h.driver_status = driver;
    h.info = info;
    std::string detail = "stale";
    EXPECT_EQ(plat::ClassifySgResult(h, &detail), error) << want;
    EXPECT_EQ(detail, want);
  }
}

}  // namespace
