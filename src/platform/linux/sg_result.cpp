#include "platform/linux/sg_result.h"

#include <cerrno>
#include <cstdio>

namespace plat {
namespace {

constexpr const char* kHostNames[] = {"DID_OK",
                                      "DID_NO_CONNECT",
                                      "DID_BUS_BUSY",
                                      "DID_TIME_OUT",
                                      "DID_BAD_TARGET",
                                      "DID_ABORT",
                                      "DID_PARITY",
                                      "DID_ERROR",
                                      "DID_RESET",
                                      "DID_BAD_INTR",
                                      "DID_PASSTHROUGH",
                                      "DID_SOFT_ERROR",
                                      "DID_IMM_RETRY",
                                      "DID_REQUEUE",
                                      "DID_TRANSPORT_DISRUPTED",
                                      "DID_TRANSPORT_FAILFAST",
                                      "DID_TARGET_FAILURE",
                                      "DID_NEXUS_FAILURE",
                                      "DID_ALLOC_FAILURE",
                                      "DID_MEDIUM_ERROR",
                                      "DID_TRANSPORT_MARGINAL"};
constexpr const char* kDriverNames[] = {"DRIVER_OK",      "DRIVER_BUSY",  "DRIVER_SOFT",
                                        "DRIVER_MEDIA",   "DRIVER_ERROR", "DRIVER_INVALID",
                                        "DRIVER_TIMEOUT", "DRIVER_HARD",  "DRIVER_SENSE"};
constexpr unsigned kDidTimeOut = 0x03;
constexpr unsigned kDriverTimeout = 0x06;
constexpr unsigned kDriverSense = 0x08;

std::string Named(const char* what, unsigned code, const char* const* names, unsigned count) {
  if (code < count) return std::string(what) + names[code];
  char text[48];
  std::snprintf(text, sizeof text, "%s0x%02X", what, code);
  return text;
}

}  // namespace

int ClassifySgResult(const sg_io_hdr_t& io, std::string* detail) {
  detail->clear();
  if (io.host_status != 0) {
    *detail =
        Named("host status ", io.host_status, kHostNames, sizeof kHostNames / sizeof kHostNames[0]);
    return io.host_status == kDidTimeOut ? ETIMEDOUT : EIO;
  }
  const unsigned driver = io.driver_status & 0x0F;
  if (driver != 0 && driver != kDriverSense) {
    *detail =
        Named("driver status ", driver, kDriverNames, sizeof kDriverNames / sizeof kDriverNames[0]);
    return driver == kDriverTimeout ? ETIMEDOUT : EIO;
  }
  // The driver says something went wrong, but neither the drive nor the host
  // says what: not an answer to trust.
  if ((io.info & SG_INFO_OK_MASK) != SG_INFO_OK && io.status == 0 && io.sb_len_wr == 0) {
    *detail = "info SG_INFO_CHECK without a SCSI status";
    return EIO;
  }
  return 0;
}

}  // namespace plat
