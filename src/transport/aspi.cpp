// ASPI for Win32 path: the library, its two entry points, the three static
// request blocks and the execute request behind ExecuteCommand.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/platform.h"
#include "transport/transport.h"

namespace {

plat::Handle g_library = nullptr;
plat::SendCommandFn g_send_command = nullptr;
plat::GetSupportInfoFn g_get_support_info = nullptr;

// One static block per ASPI request kind, reused by every call; only one
// command is ever in flight in the process (see ExecuteCommand).
SRB_HAInquiry g_ha_inquiry = {};
SRB_GDEVBlock g_gdev_block = {};

}  // namespace

void ResetAspiState() {
  g_library = nullptr;
  g_send_command = nullptr;
  g_get_support_info = nullptr;
  std::memset(&g_ha_inquiry, 0, sizeof g_ha_inquiry);
  std::memset(&g_gdev_block, 0, sizeof g_gdev_block);
}

int LoadAspiLibrary() {
  plat::Handle library = plat::Os().LoadLibrary("WNASPI32.DLL");
  if (library == nullptr) return 0;
  g_library = library;
  if (g_send_command == nullptr) {
    g_send_command = reinterpret_cast<plat::SendCommandFn>(
        plat::Os().GetProcAddress(library, "SendASPI32Command"));
  }
  if (g_get_support_info == nullptr) {
    g_get_support_info = reinterpret_cast<plat::GetSupportInfoFn>(
        plat::Os().GetProcAddress(library, "GetASPI32SupportInfo"));
  }
  // A library without both entry points cannot serve a single request:
  // release it and report it as not loaded rather than call through null.
  if (g_send_command == nullptr || g_get_support_info == nullptr) {
    plat::Os().FreeLibrary(library);
    g_library = nullptr;
    g_send_command = nullptr;
    g_get_support_info = nullptr;
    return 0;
  }
  return 1;
}

void FreeAspiLibrary() {
  if (g_library == nullptr) return;
  plat::Os().FreeLibrary(g_library);
  g_library = nullptr;
  // The entry points belonged to the released module.
  g_send_command = nullptr;
  g_get_support_info = nullptr;
}

int QueryAspiSupport() {
  if (g_get_support_info == nullptr) return 0;
  const uint32_t info = g_get_support_info();
  const uint8_t status = static_cast<uint8_t>(info >> 8);
  const uint8_t adapters = static_cast<uint8_t>(info);
  // + 1 tells a working layer without adapters apart from a missing one.
  return status == SS_COMP ? adapters + 1 : 0;
}

int InquireHostAdapter(uint8_t adapter, SRB_HAInquiry** reply) {
  // Only the header is set: the reply fields keep the previous answer until
  // ASPI overwrites them.
  g_ha_inquiry.SRB_Cmd = SC_HA_INQUIRY;
  g_ha_inquiry.SRB_HaId = adapter;
  g_ha_inquiry.SRB_Flags = 0;
  g_ha_inquiry.SRB_Hdr_Rsvd = 0;
  if (g_send_command != nullptr) g_send_command(&g_ha_inquiry);
  if (reply != nullptr) *reply = &g_ha_inquiry;
  return (g_send_command != nullptr && g_ha_inquiry.SRB_Status == SS_COMP) ? 0 : 1;
}

int GetDeviceType(const DriveRecord& drive, uint8_t* type) {
  g_gdev_block.SRB_Cmd = SC_GET_DEV_TYPE;
  g_gdev_block.SRB_HaId = drive.AdapterId;
  g_gdev_block.SRB_Flags = 0;
  g_gdev_block.SRB_Hdr_Rsvd = 0;
  g_gdev_block.SRB_Target = drive.TargetId;
  g_gdev_block.SRB_Lun = drive.Lun;
  if (g_send_command != nullptr) g_send_command(&g_gdev_block);
  if (type != nullptr) *type = g_gdev_block.SRB_DeviceType;
  return (g_send_command != nullptr && g_gdev_block.SRB_Status == SS_COMP) ? 0 : 1;
}

int ExecuteCommand(const DriveRecord& drive, void* data, uint32_t length, const uint8_t* cdb,
                   uint8_t cdb_length, uint8_t direction) {
  if (TransportKind == PassThrough) {
    return ExecutePassThroughCommand(drive, data, length, cdb, cdb_length, direction);
  }
  return ExecuteAspiCommand(drive, data, length, cdb, cdb_length, direction);
}

int ExecuteAspiCommand(const DriveRecord& drive, void* data, uint32_t length, const uint8_t* cdb,
                       uint8_t cdb_length, uint8_t direction) {
  CommandRecord& srb = AspiExecBlock;
  LastCommand = &srb;
  if (drive.UsesCdb12 == 1) cdb_length = 12;
  // CDBByte holds 16 bytes; a longer length cannot be sent.
  if (cdb_length > sizeof srb.CDBByte) cdb_length = sizeof srb.CDBByte;

  // Without the library no request can be sent: count it as a per-command
  // resource that cannot be obtained.
  if (g_send_command == nullptr) return kCommandNoResource;

  plat::Platform& os = plat::Os();
  plat::Handle event = os.CreateEvent();
  if (event == nullptr) return kCommandNoResource;

  AlignedBuffer copy;
  void* buffer = data;
  if (direction & SRB_DIR_OUT) {
    copy = AllocateAligned(length, drive.AlignMask);
    if (copy.data == nullptr) {
      os.CloseEvent(event);
      return kCommandNoMemory;
    }
    if (length != 0) std::memcpy(copy.data, data, length);
    buffer = copy.data;
  }

  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_HaId = drive.AdapterId;
  srb.SRB_Flags = static_cast<uint8_t>(direction | SRB_EVENT_NOTIFY);
  srb.SRB_Target = drive.TargetId;
  srb.SRB_Lun = drive.Lun;
  srb.SRB_BufLen = length;
  srb.SRB_BufPointer = plat::PtrToField(buffer);
  srb.SRB_SenseLen = SENSE_LEN;
  srb.SRB_CDBLen = cdb_length;
  srb.SRB_PostProc = plat::PtrToField(event);
  if (cdb_length != 0) std::memcpy(srb.CDBByte, cdb, cdb_length);

  g_send_command(&srb);

  // ASPI signals the event when it completes the request later; a request
  // already completed on return is not waited for.
  if (srb.SRB_Status == SS_PENDING) {
    if (os.WaitForEvent(event, plat::kInfinite) == plat::kWaitObject0) os.ResetEvent(event);
  }

  int result = kCommandDone;
  if (srb.SRB_Status != SS_PENDING && srb.SRB_Status != SS_COMP) result = kCommandRequestStatus;
  // A data overrun or underrun counts as success.
  if (srb.SRB_HaStat != 0 && srb.SRB_HaStat != HASTAT_DO_DU) result = kCommandAdapterStatus;
  if (srb.SRB_TargStat != 0 && srb.SenseArea[2] != 0) result = kCommandTargetStatus;

  ReleaseAligned(copy);
  os.CloseEvent(event);
  return result;
}

AlignedBuffer AllocateAligned(uint32_t size, uint32_t mask) {
  AlignedBuffer buffer;
  // A block of at least one byte, so that an empty transfer still gets a
  // buffer (malloc(0) may legitimately return null).  A size that would wrap
  // the 32-bit request once the mask is added cannot be satisfied.
  const uint32_t bytes = size == 0 ? 1 : size;
  if (bytes > std::numeric_limits<uint32_t>::max() - mask) return buffer;
  void* block = std::malloc(static_cast<size_t>(bytes) + mask);
  if (block == nullptr) return buffer;
  const uintptr_t start = reinterpret_cast<uintptr_t>(block);
  const uintptr_t aligned = (start + mask) & ~static_cast<uintptr_t>(mask);
  buffer.block = block;
  buffer.data = static_cast<uint8_t*>(block) + (aligned - start);
  return buffer;
}

void ReleaseAligned(AlignedBuffer& buffer) {
  std::free(buffer.block);
  buffer.block = nullptr;
  buffer.data = nullptr;
}
