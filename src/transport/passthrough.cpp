// NT SCSI pass-through path: one request per command on the drive-letter
// device (or the drive's device node where the platform has them), its outcome
// copied into PassThroughResult.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "transport/transport.h"

namespace {

// The request block, input and output of the pass-through request; like the
// ASPI blocks it serves one command at a time.
PassThroughBlock g_request = {};

constexpr uint8_t kDataOut = 0;          // SCSI_IOCTL_DATA_OUT
constexpr uint8_t kDataIn = 1;           // SCSI_IOCTL_DATA_IN
constexpr uint8_t kDataUnspecified = 2;  // SCSI_IOCTL_DATA_UNSPECIFIED
constexpr uint32_t kSenseInfoLength = 32;
constexpr uint32_t kSenseInfoOffset = offsetof(PassThroughBlock, Sense);
constexpr uint32_t kDefaultTimeOut = 10;       // seconds
constexpr uint32_t kWriteBufferTimeOut = 600;  // WRITE BUFFER, download microcode mode

}  // namespace

int ExecutePassThroughCommand(const DriveRecord& drive, void* data, uint32_t length,
                              const uint8_t* cdb, uint8_t cdb_length, uint8_t direction) {
  CommandRecord& record = PassThroughResult;
  LastCommand = &record;
  if (drive.UsesCdb12 == 1) cdb_length = 12;
  if (cdb_length > sizeof g_request.Cdb) cdb_length = sizeof g_request.Cdb;

  IoScsiCapabilities capabilities;
  std::memset(&capabilities, 0, sizeof capabilities);
  char name[sizeof drive.NodeName + 8];
  if (drive.NodeName[0] != '\0') {
    std::snprintf(name, sizeof name, "%.*s", static_cast<int>(sizeof drive.NodeName),
                  drive.NodeName);
  } else {
    std::snprintf(name, sizeof name, "\\\\.\\%.*s:", static_cast<int>(sizeof drive.DriveLetter),
                  drive.DriveLetter);
  }

  plat::Platform& os = plat::Os();
  plat::Handle device = os.OpenDevice(name, plat::kGenericRead | plat::kGenericWrite);
  if (device == nullptr) device = os.OpenDevice(name, plat::kGenericRead);
  if (device == nullptr) return kCommandNoResource;

  // Without the adapter's mask the outgoing copy is simply not aligned.
  if (!os.GetScsiCapabilities(device, &capabilities)) {
    std::memset(&capabilities, 0, sizeof capabilities);
  }

  std::memset(&g_request, 0, sizeof g_request);
  g_request.Length = 44;  // sizeof(SCSI_PASS_THROUGH_DIRECT)
  g_request.PathId = 0;
  g_request.TargetId = 1;
  g_request.Lun = 0;
  g_request.CdbLength = cdb_length;
  g_request.SenseInfoLength = kSenseInfoLength;

  AlignedBuffer copy;
  void* buffer = data;
  switch (direction & (SRB_DIR_IN | SRB_DIR_OUT)) {
    case SRB_DIR_IN:
      g_request.DataIn = kDataIn;
      break;
    case SRB_DIR_OUT:
      g_request.DataIn = kDataOut;
      copy = AllocateAligned(length, capabilities.AlignmentMask);
      if (copy.data == nullptr) {
        os.CloseDevice(device);
        return kCommandNoMemory;
      }
      if (length != 0) std::memcpy(copy.data, data, length);
      buffer = copy.data;
      break;
    default:
      g_request.DataIn = kDataUnspecified;
      break;
  }

  g_request.DataTransferLength = length;
  const bool download_microcode = cdb_length >= 2 && cdb[0] == 0x3B && cdb[1] == 0x05;
  g_request.TimeOutValue = download_microcode ? kWriteBufferTimeOut : kDefaultTimeOut;
  g_request.DataBuffer = plat::PtrToField(buffer);
  g_request.SenseInfoOffset = kSenseInfoOffset;
  if (cdb_length != 0) std::memcpy(g_request.Cdb, cdb, cdb_length);

  const bool sent = os.ScsiPassThroughDirect(device, &g_request);
  // Read the error before anything else can overwrite it.
  const uint32_t error = sent ? 0 : os.GetLastError();

  // The outcome is recorded whatever it is; the record's other fields keep
  // their values.
  record.SRB_TargStat = g_request.ScsiStatus;
  std::memcpy(record.SenseArea, g_request.Sense, SENSE_LEN);
  record.SRB_CDBLen = cdb_length;
  if (cdb_length != 0) std::memcpy(record.CDBByte, cdb, cdb_length);

  int result;
  if (sent && g_request.ScsiStatus == 0) {
    result = kCommandDone;
  } else if (sent || g_request.Sense[2] != 0) {
    // A sense key, or a status such as BUSY, RESERVATION CONFLICT or CHECK
    // CONDITION without sense data: the command was not carried out, and the
    // failure is worded by the sense or the target status.
    result = kCommandTargetStatus;
  } else {
    // The record carries the low 24 bits of the system error code.
    record.SRB_Status = static_cast<uint8_t>(error);
    record.SRB_HaStat = static_cast<uint8_t>(error >> 8);
    record.SRB_TargStat = static_cast<uint8_t>(error >> 16);
    result = kCommandSystemError;
  }

  ReleaseAligned(copy);
  os.CloseDevice(device);
  return result;
}
