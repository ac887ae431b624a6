// What an sg request's answer means: the drive answered (its SCSI status and
// sense are then the result), or the request failed below the drive.
#pragma once

#include <scsi/sg.h>

#include <string>

namespace plat {

// 0 when the drive's answer stands (status GOOD or its own status and sense),
// else the errno that describes the failure (ETIMEDOUT for a time-out, EIO
// otherwise), with `detail` naming it ("host status DID_RESET", "driver
// status DRIVER_ERROR", ...).  The host status and the driver status (low
// four bits, as the kernel masks it) count even when the SCSI status is 0;
// DRIVER_SENSE only says that sense data came back.
int ClassifySgResult(const sg_io_hdr_t& io, std::string* detail);

}  // namespace plat
