// The emulated drive behind Linux's SCSI generic request: one ioctl(SG_IO)
// with a version 3 header (sg_io_hdr_t), answered by a KestranDrive the way
// the kernel's sg driver answers for a real drive.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <functional>

#include "drive_model.h"

namespace sim {

// What SG_GET_VERSION_NUM reports for an emulated device (sg 3.5.27).
constexpr int kSgVersionNum = 30527;

// Host status the kernel sets when a command outlives its time-out.
constexpr uint16_t kDidTimeOut = 0x03;
// Driver status: sense data was fetched for this command.
constexpr uint16_t kDriverSense = 0x08;

struct SgDevice {
  KestranDrive* drive = nullptr;
  std::function<uint64_t()> now_ms;
  // Blocks the caller (the drive's asynchronous delay, or a time-out).
  std::function<void(uint32_t ms)> sleep_ms;
};

// Runs one SG_IO request.  Returns 0 with the header's result fields filled
// (status, masked_status, msg/host/driver status, sb_len_wr, resid, duration,
// info), or an errno value when the ioctl itself fails:
//   ENOSYS  interface_id is not 'S'
//   EMSGSIZE  no CDB, or a CDB length outside 6..16
//   EINVAL  an unknown transfer direction, or a scatter list (iovec_count)
//   EFAULT  a transfer or sense length without its buffer
//   EIO     a fault injected below the drive (the drive's `fail` lines)
// A drive with an asynchronous delay blocks the caller that long; when the
// delay exceeds the header's time-out the caller is blocked for the time-out,
// the command is not run and host_status says DID_TIME_OUT.
int SgExecute(SgDevice& device, sg_io_hdr_t& hdr);

}  // namespace sim
