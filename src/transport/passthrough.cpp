// NT SCSI pass-through path: one request per command on the drive-letter
// device (or the drive's device node where the platform has them), its outcome
// copied into PassThroughResult.  During an update the drive is held: one
// handle, not shared where the system allows it, locked for this program, with
// media-change polling stopped, from the pre-update checks to the last command.
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
// Data buffers start on a page: that meets every AlignmentMask an adapter can
// ask for up to a page, and a 32 KiB block then spans exactly 8 pages.
constexpr uint32_t kPageSize = 4096;
constexpr uint32_t kPageMask = kPageSize - 1;
// The name the exclusive lock is taken with (letters only: the class driver
// accepts alphanumerics and a few marks).
constexpr char kLockCallerName[] = "ksfupd";

// The drive held for an update (all zero: none).  Written by the dialog
// thread before the worker starts and after it has ended.
struct HeldDrive {
  plat::Handle device;
  char name[80];
  IoScsiCapabilities capabilities;
  bool locked;
  bool polling_stopped;
};
HeldDrive g_held = {};

void DeviceName(const DriveRecord& drive, char* name, size_t size) {
  if (drive.NodeName[0] != '\0') {
    std::snprintf(name, size, "%.*s", static_cast<int>(sizeof drive.NodeName), drive.NodeName);
  } else {
    std::snprintf(name, size, "\\\\.\\%.*s:", static_cast<int>(sizeof drive.DriveLetter),
                  drive.DriveLetter);
  }
}

// Read-write first, then read-only.  `alone`: without sharing first, and with
// sharing only when the system says someone else has the device open.
plat::Handle OpenDrive(const char* name, bool alone) {
  plat::Platform& os = plat::Os();
  const uint32_t shared = plat::kFileShareRead | plat::kFileShareWrite;
  for (uint32_t access : {plat::kGenericRead | plat::kGenericWrite, plat::kGenericRead}) {
    plat::Handle device = os.OpenDevice(name, access, alone ? 0 : shared);
    if (device == nullptr && alone && os.GetLastError() == plat::kErrorSharingViolation) {
      device = os.OpenDevice(name, access, shared);
    }
    if (device != nullptr) return device;
  }
  return nullptr;
}

// The system's error for a request that never reached the drive: its low 24
// bits in the record, as DescribeFailure reads them for kCommandSystemError.
int SystemError(CommandRecord& record, uint32_t error) {
  record.SRB_Status = static_cast<uint8_t>(error);
  record.SRB_HaStat = static_cast<uint8_t>(error >> 8);
  record.SRB_TargStat = static_cast<uint8_t>(error >> 16);
  return kCommandSystemError;
}

bool ExclusiveAccess(plat::Handle device, uint32_t request, uint32_t flags,
                     CdromExclusiveLockState* state) {
  CdromExclusiveLock lock = {};
  lock.Access.RequestType = request;
  lock.Access.Flags = flags;
  uint32_t in_size = sizeof lock.Access;
  if (request == kExclusiveAccessLockDevice) {
    std::memcpy(lock.CallerName, kLockCallerName, sizeof kLockCallerName);
    in_size = sizeof lock;
  }
  return plat::Os().DeviceControl(device, IOCTL_CDROM_EXCLUSIVE_ACCESS_CODE, &lock, in_size, state,
                                  state != nullptr ? sizeof *state : 0);
}

bool MediaChangePolling(plat::Handle device, bool stop) {
  PreventMediaRemoval prevent = {static_cast<uint8_t>(stop ? 1 : 0)};
  return plat::Os().DeviceControl(device, IOCTL_STORAGE_MCN_CONTROL_CODE, &prevent, sizeof prevent,
                                  nullptr, 0);
}

// Whether the adapter can take one kLargestTransfer block.  A limit of 0 is
// unknown (a failed query, or a layer that does not say) and does not stop
// the update.  The pages bound assumes our page-aligned buffers.
bool PassThroughAllowsLargestTransfer(const IoScsiCapabilities& caps) {
  if (caps.MaximumTransferLength != 0 && caps.MaximumTransferLength < kLargestTransfer) {
    return false;
  }
  return caps.MaximumPhysicalPages == 0 ||
         caps.MaximumPhysicalPages >= kLargestTransfer / kPageSize;
}

bool AspiAllowsLargestTransfer(const DriveRecord& drive) {
  SRB_HAInquiry* reply = nullptr;
  if (InquireHostAdapter(drive.AdapterId, &reply) != 0 || reply == nullptr) return true;
  // HA_Unique bytes 4-7: the adapter's maximum transfer in bytes.  Layers
  // that do not fill it leave 0, which says nothing about the limit.
  const uint32_t maximum = static_cast<uint32_t>(reply->HA_Unique[4]) |
                           static_cast<uint32_t>(reply->HA_Unique[5]) << 8 |
                           static_cast<uint32_t>(reply->HA_Unique[6]) << 16 |
                           static_cast<uint32_t>(reply->HA_Unique[7]) << 24;
  return maximum == 0 || maximum >= kLargestTransfer;
}

}  // namespace

void ResetPassThroughState() { g_held = HeldDrive{}; }

int HoldDrive(const DriveRecord& drive) {
  if (TransportKind != PassThrough) {
    return AspiAllowsLargestTransfer(drive) ? kHoldDone : kHoldAdapterTooSmall;
  }
  ReleaseDrive();
  plat::Platform& os = plat::Os();
  DeviceName(drive, g_held.name, sizeof g_held.name);
  g_held.device = OpenDrive(g_held.name, true);
  if (g_held.device == nullptr) {
    LastCommand = &PassThroughResult;
    SystemError(PassThroughResult, os.GetLastError());
    return kHoldOpenFailed;
  }
  if (!os.GetScsiCapabilities(g_held.device, &g_held.capabilities)) {
    std::memset(&g_held.capabilities, 0, sizeof g_held.capabilities);
  }
  if (!PassThroughAllowsLargestTransfer(g_held.capabilities)) return kHoldAdapterTooSmall;

  g_held.locked =
      ExclusiveAccess(g_held.device, kExclusiveAccessLockDevice, kCdromLockIgnoreVolume, nullptr);
  if (!g_held.locked) {
    // Access denied is the class driver's answer to a drive locked by
    // another program; any other failure (no such request before Vista) lets
    // the update go on.  The query, where there is one, has the last word.
    bool other = os.GetLastError() == plat::kErrorAccessDenied;
    CdromExclusiveLockState state = {};
    if (ExclusiveAccess(g_held.device, kExclusiveAccessQueryState, 0, &state)) {
      other = state.LockState != 0;
    }
    if (other) return kHoldLockedByOther;
  }
  g_held.polling_stopped = MediaChangePolling(g_held.device, true);
  return kHoldDone;
}

void ReleaseDrive() {
  if (g_held.device != nullptr) {
    if (g_held.locked) ExclusiveAccess(g_held.device, kExclusiveAccessUnlockDevice, 0, nullptr);
    if (g_held.polling_stopped) MediaChangePolling(g_held.device, false);
    plat::Os().CloseDevice(g_held.device);
  }
  g_held = HeldDrive{};
}

int ExecutePassThroughCommand(const DriveRecord& drive, void* data, uint32_t length,
                              const uint8_t* cdb, uint8_t cdb_length, uint8_t direction) {
  CommandRecord& record = PassThroughResult;
  LastCommand = &record;
  if (drive.UsesCdb12 == 1) cdb_length = 12;
  if (cdb_length > sizeof g_request.Cdb) cdb_length = sizeof g_request.Cdb;

  char name[sizeof g_held.name];
  DeviceName(drive, name, sizeof name);

  // The held handle serves the held drive; any other command (discovery)
  // opens the device for itself.
  plat::Platform& os = plat::Os();
  const bool held = g_held.device != nullptr && std::strcmp(name, g_held.name) == 0;
  IoScsiCapabilities capabilities = g_held.capabilities;
  plat::Handle device = held ? g_held.device : OpenDrive(name, false);
  if (device == nullptr) return SystemError(record, os.GetLastError());
  // Without the adapter's mask the buffers are page-aligned all the same.
  if (!held && !os.GetScsiCapabilities(device, &capabilities)) {
    std::memset(&capabilities, 0, sizeof capabilities);
  }
  auto close = [&] {
    if (!held) os.CloseDevice(device);
  };

  std::memset(&g_request, 0, sizeof g_request);
  g_request.Length = 44;  // sizeof(SCSI_PASS_THROUGH_DIRECT)
  g_request.PathId = 0;
  g_request.TargetId = 1;
  g_request.Lun = 0;
  g_request.CdbLength = cdb_length;
  g_request.SenseInfoLength = kSenseInfoLength;

  // Data in either direction goes through an aligned block: the adapter reads
  // and writes it directly, and the caller's arrays may sit anywhere.
  AlignedBuffer copy;
  void* buffer = data;
  const uint8_t data_direction = direction & (SRB_DIR_IN | SRB_DIR_OUT);
  if (data_direction == SRB_DIR_IN || data_direction == SRB_DIR_OUT) {
    g_request.DataIn = data_direction == SRB_DIR_IN ? kDataIn : kDataOut;
    copy = AllocateAligned(length, capabilities.AlignmentMask | kPageMask);
    if (copy.data == nullptr) {
      close();
      return kCommandNoMemory;
    }
    // Data in: bytes the drive does not send stay as the caller had them.
    if (length != 0) std::memcpy(copy.data, data, length);
    buffer = copy.data;
  } else {
    g_request.DataIn = kDataUnspecified;
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
    result = SystemError(record, error);
  }

  if (g_request.DataIn == kDataIn && length != 0) std::memcpy(data, copy.data, length);
  ReleaseAligned(copy);
  close();
  return result;
}
