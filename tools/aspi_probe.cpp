// aspi_probe: loads the emulated drive's WNASPI32.DLL the way the updater
// does (through its own ASPI transport) and checks, under Wine, that the
// library answers like an ASPI layer: the adapter count, host adapter inquiry,
// device types, INQUIRY, a memory read, an aligned flash block write, the
// refusals (misaligned buffer, bad checksum) and an asynchronous completion
// signalled through the request's event.
//
// Run by tests/e2e/aspi_probe.sh with the configuration it writes: adapter 0
// with alignment mask 3 and 4 targets; target 1 a loaded drive with board
// version 7 and short download/programming times; target 2 a drive that
// completes 300 ms late; target 3 a disk.  Prints one PASS/FAIL line per check
// and exits 1 when any check failed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "transport/command_set.h"
#include "transport/transport.h"

// After our headers: <windows.h> renames CreateEvent, LoadLibrary, ... to their
// A forms, which must not reach the Platform declarations.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#include "platform/win32/windows_api.h"

namespace {

// Just what the ASPI transport needs from the operating system.
class ProbePlatform : public plat::Platform {
 public:
  plat::Handle CreateEvent() override { return ::CreateEventA(nullptr, FALSE, FALSE, nullptr); }
  void SetEvent(plat::Handle e) override { ::SetEvent(e); }
  void ResetEvent(plat::Handle e) override { ::ResetEvent(e); }
  uint32_t WaitForEvent(plat::Handle e, uint32_t ms) override {
    return ::WaitForSingleObject(e, ms);
  }
  void CloseEvent(plat::Handle e) override { ::CloseHandle(e); }
  void Sleep(uint32_t ms) override { ::Sleep(ms); }
  bool StartThread(uint32_t (*)(void*), void*) override { return false; }
  plat::Handle LoadLibrary(const char* name) override { return ::LoadLibraryA(name); }
  void* GetProcAddress(plat::Handle library, const char* name) override {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
  }
  void FreeLibrary(plat::Handle library) override { ::FreeLibrary(static_cast<HMODULE>(library)); }
  plat::Handle OpenDevice(const char*, uint32_t) override { return nullptr; }
  bool GetScsiCapabilities(plat::Handle, void*) override { return false; }
  bool ScsiPassThroughDirect(plat::Handle, void*) override { return false; }
  uint32_t GetLastError() override { return ::GetLastError(); }
  void CloseDevice(plat::Handle) override {}
  uint32_t GetDriveType(const char*) override { return 1; }
  int MessageBox(plat::Handle, const char*, const char*, uint32_t) override { return 1; }
  plat::VersionInfo GetVersion() override { return {2, 6}; }
  uint32_t GetUserDefaultLcid() override { return 1033; }
  uint32_t GetAnsiCodePage() override { return 1252; }
  bool GetModuleFileName(char*, size_t) override { return false; }
  bool SetCurrentDirectory(const char*) override { return false; }
  bool ClaimInstance(const char*) override { return true; }
  bool IsDbcsLeadByte(uint8_t) override { return false; }
  plat::Handle OpenFileForRead(const char*) override { return nullptr; }
  bool ReadFile(plat::Handle, void*, uint32_t, uint32_t*) override { return false; }
  void CloseFile(plat::Handle) override {}
  bool GetModuleCopyPath(char*, size_t) override { return false; }
  uint32_t GetTempPath(char*, uint32_t) override { return 0; }
  uint32_t GetWindowsDirectory(char*, uint32_t) override { return 0; }
  plat::CopyResult CopyFileNoOverwrite(const char*, const char*) override {
    return plat::CopyResult::kFailed;
  }
  bool StartProcess(const char*, const char*) override { return false; }
  bool MoveFileDelayUntilReboot(const char*) override { return false; }
  bool SearchPath(const char*, char*, uint32_t) override { return false; }
  uint32_t GetShortPathName(const char*, char*, uint32_t) override { return 0; }
  plat::Handle CreateFileForWrite(const char*) override { return nullptr; }
  bool WriteFile(plat::Handle, const void*, uint32_t) override { return false; }
  bool FlushFile(plat::Handle) override { return false; }
  bool CloseWrittenFile(plat::Handle) override { return false; }
  bool MoveFile(const char*, const char*) override { return false; }
  bool DeleteFile(const char*) override { return false; }
  plat::Handle OpenProcessTokenForPrivileges() override { return nullptr; }
  bool LookupPrivilegeValue(const char*, uint64_t*) override { return false; }
  bool AdjustPrivilege(plat::Handle, uint64_t, uint32_t) override { return false; }
  bool ExitWindowsReboot() override { return false; }
  void CloseHandle(plat::Handle) override {}
};

int g_failures = 0;
int g_passes = 0;

void Check(bool ok, const char* what, const char* detail = "") {
  std::printf("%s %s%s%s\n", ok ? "PASS" : "FAIL", what, *detail ? ": " : "", detail);
  ++(ok ? g_passes : g_failures);
}

DriveRecord Drive(uint8_t target, uint32_t align_mask) {
  DriveRecord d{};
  d.AdapterId = 0;
  d.TargetId = target;
  d.AlignMask = align_mask;
  return d;
}

uint8_t Pattern(size_t i) { return static_cast<uint8_t>(i * 7 + 3); }

}  // namespace

int main() {
  ProbePlatform platform;
  plat::SetPlatform(&platform);
  ResetTransportState();
  char detail[160];

  Check(LoadAspiLibrary() == 1, "LoadAspiLibrary loads WNASPI32.DLL");
  const int support = QueryAspiSupport();
  std::snprintf(detail, sizeof detail, "QueryAspiSupport %d", support);
  Check(support == 2, "one host adapter reported", detail);

  SRB_HAInquiry* ha = nullptr;
  const int ha_result = InquireHostAdapter(0, &ha);
  std::snprintf(detail, sizeof detail, "result %d count %u mask %02X%02X targets %u", ha_result,
                ha->HA_Count, ha->HA_Unique[1], ha->HA_Unique[0], ha->HA_Unique[3]);
  Check(ha_result == 0 && ha->HA_Count == 1 && ha->HA_Unique[0] == 3 && ha->HA_Unique[1] == 0 &&
            ha->HA_Unique[3] == 4,
        "host adapter inquiry", detail);
  Check(InquireHostAdapter(1, &ha) == 1 && ha->SRB_Status == 0x81, "host adapter 1 does not exist");

  uint8_t type = 0xFF;
  int r = GetDeviceType(Drive(1, 3), &type);
  Check(r == 0 && type == 5, "target 1 is a CD-ROM device");
  r = GetDeviceType(Drive(3, 3), &type);
  Check(r == 0 && type == 0, "target 3 is a disk");
  r = GetDeviceType(Drive(0, 3), &type);
  Check(r == 1, "target 0 has no device");

  const DriveRecord drive = Drive(1, 3);
  uint8_t inquiry[40] = {};
  r = Inquiry(drive, inquiry, 36);
  std::snprintf(detail, sizeof detail, "result %d byte0 %u '%.28s'", r, inquiry[0],
                reinterpret_cast<const char*>(inquiry + 8));
  Check(r == 0 && inquiry[0] == 5 &&
            std::memcmp(inquiry + 8, "KESTRAN CD-R   TQ-517T  1.00", 28) == 0,
        "INQUIRY identifies the drive", detail);

  uint8_t memory[16] = {};
  r = ReadDriveMemory(drive, memory, 16, 0xF8048);
  std::snprintf(detail, sizeof detail, "result %d board %u", r, memory[0]);
  Check(r == 0 && memory[0] == 7, "board version read from 0xF8048", detail);

  // A flash block before download mode is refused with the vendor sense.
  std::vector<uint8_t> block(4096);
  for (size_t i = 0; i < block.size(); ++i) block[i] = Pattern(i);
  r = WriteFlashBlock(drive, block.data(), 4096, 0);
  std::snprintf(detail, sizeof detail, "result %d sense %02X/%02X/%02X", r,
                LastCommand->SenseArea[2], LastCommand->SenseArea[12], LastCommand->SenseArea[13]);
  Check(r == 4 && LastCommand->SenseArea[2] == 4 && LastCommand->SenseArea[12] == 0x40 &&
            LastCommand->SenseArea[13] == 0xF6,
        "write outside download mode refused", detail);

  Check(SetDownloadMode(drive, 2) == 0, "download mode entered");
  ::Sleep(400);  // the configuration settles download mode after 200 ms

  r = WriteFlashBlock(drive, block.data(), 4096, 0);
  std::snprintf(detail, sizeof detail, "result %d status %02X", r, LastCommand->SRB_Status);
  Check(r == 0 && LastCommand->SRB_Status == 1, "aligned flash block write accepted", detail);

  // The same block through a raw request whose buffer breaks the mask: the
  // layer refuses it with SS_BUFFER_ALIGN.
  const plat::SendCommandFn send = reinterpret_cast<plat::SendCommandFn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleA("WNASPI32.DLL"), "SendASPI32Command")));
  const uint16_t sum = FlashChecksum(block.data(), 4096);
  {
    std::vector<uint8_t> raw(4096 + 8);
    uint8_t* misaligned = raw.data();
    while ((reinterpret_cast<uintptr_t>(misaligned) & 3) != 1) ++misaligned;
    std::memcpy(misaligned, block.data(), 4096);
    static CommandRecord srb;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_Flags = SRB_DIR_OUT;
    srb.SRB_Target = 1;
    srb.SRB_BufLen = 4096;
    srb.SRB_BufPointer = misaligned;
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = 10;
    const uint8_t cdb[10] = {0xEA, 0, 0, 0, 0x10, 0, 0, 0, 2, static_cast<uint8_t>(sum >> 8)};
    std::memcpy(srb.CDBByte, cdb, sizeof cdb);
    const uint32_t returned = send ? send(&srb) : 0xFF;
    std::snprintf(detail, sizeof detail, "returned %02X status %02X",
                  static_cast<unsigned>(returned), srb.SRB_Status);
    Check(returned == 0xE1 && srb.SRB_Status == 0xE1, "misaligned data-out buffer refused", detail);
  }
  {
    // A wrong checksum is refused with 09/86/00.
    const uint8_t bad[10] = {0xEA, 0, 0, 0, 0x10,
                             0,    0, 0, 2, static_cast<uint8_t>((sum >> 8) ^ 0x01)};
    r = ExecuteCommand(drive, block.data(), 4096, bad, 10, SRB_DIR_OUT);
    std::snprintf(detail, sizeof detail, "result %d sense %02X/%02X/%02X", r,
                  LastCommand->SenseArea[2], LastCommand->SenseArea[12],
                  LastCommand->SenseArea[13]);
    Check(r == 4 && LastCommand->SenseArea[2] == 9 && LastCommand->SenseArea[12] == 0x86,
          "checksum error refused", detail);
  }

  Check(FlashControl(drive, 0x0F, 0x00) == 0, "boot flash control accepted");

  // Asynchronous completion: the request stays SS_PENDING and the event says
  // when it is done.
  {
    HANDLE event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    static CommandRecord srb;
    std::memset(&srb, 0, sizeof srb);
    uint8_t data[40] = {};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = 0;
    srb.SRB_Flags = SRB_DIR_IN | SRB_EVENT_NOTIFY;
    srb.SRB_Target = 2;
    srb.SRB_BufLen = 36;
    srb.SRB_BufPointer = data;
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = 6;
    srb.SRB_PostProc = event;
    srb.CDBByte[0] = 0x12;
    srb.CDBByte[4] = 36;
    const ULONGLONG start = ::GetTickCount64();
    const uint32_t returned = send ? send(&srb) : 0xFF;
    const uint8_t status_on_return = srb.SRB_Status;
    const DWORD wait = ::WaitForSingleObject(event, 5000);
    const ULONGLONG elapsed = ::GetTickCount64() - start;
    std::snprintf(detail, sizeof detail, "returned %02X, then %02X after %llu ms, vendor '%.8s'",
                  static_cast<unsigned>(returned), srb.SRB_Status,
                  static_cast<unsigned long long>(elapsed),
                  reinterpret_cast<const char*>(data + 8));
    Check(returned == SS_PENDING && status_on_return == SS_PENDING && wait == WAIT_OBJECT_0 &&
              srb.SRB_Status == SS_COMP && elapsed >= 250 &&
              std::memcmp(data + 8, "KESTRAN ", 8) == 0,
          "asynchronous completion signals the event", detail);
    ::CloseHandle(event);
  }
  std::memset(inquiry, 0, sizeof inquiry);
  r = Inquiry(Drive(2, 3), inquiry, 36);
  Check(r == 0 && inquiry[0] == 5, "the transport waits for an asynchronous INQUIRY");

  FreeAspiLibrary();
  std::printf("%d passed, %d failed\n", g_passes, g_failures);
  return g_failures == 0 ? 0 : 1;
}
