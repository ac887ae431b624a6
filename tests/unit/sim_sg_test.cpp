// The emulated drive behind Linux's SG_IO: the header checks the sg driver
// makes, and the result fields filled from the drive's answer.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "sg_adapter.h"

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kTur{0, 0, 0, 0, 0, 0}, kInquiry{0x12, 0, 0, 0, 36, 0};
// EA: block write of one 2048-byte unit at 0x8000, checksum of 2048 x 0xFF.
const Bytes kWrite{0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0xF8};

class SimSgTest : public ::testing::Test {
 protected:
  SimSgTest() {
    device_.drive = &drive_;
    device_.now_ms = [this] { return now_; };
    device_.sleep_ms = [this](uint32_t ms) { now_ += ms; };
  }
  sg_io_hdr_t Header(const Bytes& cdb, int direction, uint32_t length) {
    cdb_ = cdb;
    sg_io_hdr_t h{};
    h.interface_id = 'S';
    h.cmd_len = static_cast<unsigned char>(cdb_.size());
    h.cmdp = cdb_.data();
    h.dxfer_direction = direction;
    h.dxfer_len = length;
    h.dxferp = data_.data();
    h.mx_sb_len = 32;
    h.sbp = sense_.data();
    h.timeout = 10000;
    return h;
  }

  uint64_t now_ = 1000;
  sim::KestranDrive drive_{[this] { return now_; }};
  sim::SgDevice device_;
  Bytes cdb_;
  Bytes data_ = Bytes(4096, 0xFF);
  Bytes sense_ = Bytes(32, 0xEE);
};

TEST_F(SimSgTest, HeadersTheDriverRefusesFailTheIoctl) {
  drive_.FailOpcode(0x00, {});
  const struct {
    void (*spoil)(sg_io_hdr_t&);
    int error;
  } cases[] = {
      {[](sg_io_hdr_t& h) { h.interface_id = 'Q'; }, ENOSYS},
      {[](sg_io_hdr_t& h) { h.cmd_len = 5; }, EMSGSIZE},
      {[](sg_io_hdr_t& h) { h.cmd_len = 17; }, EMSGSIZE},
      {[](sg_io_hdr_t& h) { h.dxfer_direction = -7; }, EINVAL},
      {[](sg_io_hdr_t& h) { h.iovec_count = 2; }, EINVAL},
      {[](sg_io_hdr_t& h) { h.dxferp = nullptr; }, EFAULT},
      {[](sg_io_hdr_t& h) { h.sbp = nullptr; }, EFAULT},
      {[](sg_io_hdr_t& h) { h.cmdp[0] = 0x00; }, EIO},  // below the drive
  };
  for (const auto& c : cases) {
    sg_io_hdr_t h = Header(kInquiry, SG_DXFER_FROM_DEV, 36);
    c.spoil(h);
    EXPECT_EQ(sim::SgExecute(device_, h), c.error) << c.error;
  }
  // Only the injected fault reached the drive.
  EXPECT_EQ(drive_.command_count(), 1u);
}

TEST_F(SimSgTest, ResultFieldsFollowTheDrivesAnswer) {
  drive_.RefuseCommand(3, sim::sense::kNone, sim::kBusy);
  drive_.RefuseWrite(0, sim::sense::kWriteError);
  const struct {
    const char* what;
    Bytes cdb;
    int direction;
    uint32_t length;
    unsigned char mx_sb_len;
    unsigned status, driver_status, sb_len_wr, info;
    int resid;
  } cases[] = {
      // 36 bytes into a 64-byte buffer: the rest is the residual.
      {"inquiry", kInquiry, SG_DXFER_FROM_DEV, 64, 32, 0, 0, 0, SG_INFO_OK, 28},
      // Tray closed, no disc: CHECK CONDITION, 18 bytes of sense fetched.
      {"tur", kTur, SG_DXFER_NONE, 0, 32, 2, sim::kDriverSense, 18, SG_INFO_CHECK, 0},
      // A smaller sense buffer takes only its size.
      {"tur, 8-byte sense", kTur, SG_DXFER_NONE, 0, 8, 2, sim::kDriverSense, 8, SG_INFO_CHECK, 0},
      // BUSY without sense: no sense written, the buffer untouched.
      {"busy", kTur, SG_DXFER_NONE, 0, 32, 8, 0, 0, SG_INFO_CHECK, 0},
      // A refused block took no data.
      {"refused write", kWrite, SG_DXFER_TO_DEV, 2048, 32, 2, sim::kDriverSense, 18, SG_INFO_CHECK,
       2048},
  };
  for (const auto& c : cases) {
    std::fill(sense_.begin(), sense_.end(), 0xEE);
    sg_io_hdr_t h = Header(c.cdb, c.direction, c.length);
    h.mx_sb_len = c.mx_sb_len;
    ASSERT_EQ(sim::SgExecute(device_, h), 0) << c.what;
    EXPECT_EQ(h.status, c.status) << c.what;
    EXPECT_EQ(h.masked_status, c.status >> 1) << c.what;
    EXPECT_EQ(h.host_status, 0) << c.what;
    EXPECT_EQ(h.driver_status, c.driver_status) << c.what;
    EXPECT_EQ(h.sb_len_wr, c.sb_len_wr) << c.what;
    EXPECT_EQ(h.info, c.info) << c.what;
    EXPECT_EQ(h.resid, c.resid) << c.what;
    EXPECT_EQ(sense_[c.sb_len_wr], 0xEE) << c.what << ": sense written past sb_len_wr";
    if (c.sb_len_wr > 0) {
      EXPECT_EQ(sense_[0], 0x70) << c.what;
    }
  }
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&data_[8]), 8), "KESTRAN ");
}

TEST_F(SimSgTest, SlowDriveBlocksTheCallerOrTimesOut) {
  drive_.SetAsyncDelay(3000);
  sg_io_hdr_t h = Header(kInquiry, SG_DXFER_FROM_DEV, 36);
  ASSERT_EQ(sim::SgExecute(device_, h), 0);
  EXPECT_EQ(h.duration, 3000u);
  EXPECT_EQ(h.host_status, 0);
  EXPECT_EQ(drive_.command_count(), 1u);

  h = Header(kInquiry, SG_DXFER_FROM_DEV, 36);
  h.timeout = 2000;
  ASSERT_EQ(sim::SgExecute(device_, h), 0);
  EXPECT_EQ(h.duration, 2000u);
  EXPECT_EQ(h.host_status, sim::kDidTimeOut);
  EXPECT_EQ(h.info, static_cast<unsigned>(SG_INFO_CHECK));
  EXPECT_EQ(h.resid, 36);
  EXPECT_EQ(drive_.command_count(), 1u);  // never reached the drive
}

}  // namespace
