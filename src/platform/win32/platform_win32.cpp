// Win32 implementation of the operating-system boundary.
//
// Every method is a thin wrapper of the Windows call named in platform.h; the
// only logic here is handle translation (the invalid-handle value becomes
// nullptr) and, in the 64-bit companion build, the conversion of the packed
// 32-bit pass-through block to the native request layout.
#include "platform/win32/platform_win32.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "platform/request_blocks.h"
#include "platform/win32/windows_api.h"

#include <winioctl.h>
// winioctl.h first: ntddscsi.h builds its request codes with CTL_CODE.
#include <ntddscsi.h>

namespace plat {
namespace {

static_assert(sizeof(TOKEN_PRIVILEGES) == 16, "one-entry token privileges record");
static_assert(sizeof(OSVERSIONINFOA) == 148, "version record");

Handle FromWin(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? nullptr : static_cast<Handle>(handle);
}

// CreateThread wants a WINAPI routine taking a pointer; the interface gives a
// plain function.  The trampoline owns the small start record.
struct ThreadStart {
  uint32_t (*proc)(void*);
  void* param;
};

DWORD WINAPI ThreadTrampoline(LPVOID raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  return start.proc(start.param);
}

#if defined(_WIN64)
// The native 64-bit request: SCSI_PASS_THROUGH_DIRECT has a pointer in the
// middle, so its natural layout differs from the packed 32-bit block the
// transport builds.  The sense buffer follows the request.
struct NativePassThrough {
  SCSI_PASS_THROUGH_DIRECT request;
  ULONG filler;
  UCHAR sense[32];
};
#endif

// The ASPI layer is looked for in the program's own folder (where packages
// ship one) and the system folders, never in the current directory: a DLL
// planted beside a package would run with the program's rights.  Any
// SetDllDirectoryA call takes the current directory out of the search; it is
// given the program's own folder rather than "" because Wine takes "" for no
// directory at all and keeps searching the current one.  Looked up at run
// time: Windows 95/98 and older NT lack it.
void LeaveCurrentDirectoryOutOfDllSearch() {
  using SetDllDirectoryFn = BOOL(WINAPI*)(LPCSTR);
  HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return;
  const auto set_dll_directory = reinterpret_cast<SetDllDirectoryFn>(
      reinterpret_cast<void (*)()>(::GetProcAddress(kernel, "SetDllDirectoryA")));
  if (set_dll_directory == nullptr) return;
  char folder[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, folder, MAX_PATH);
  char* slash = nullptr;  // the last backslash, not a Shift-JIS trail byte
  for (char* p = folder; length != 0 && length < MAX_PATH && *p != '\0'; ++p) {
    if (::IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0') {
      ++p;
    } else if (*p == '\\') {
      slash = p;
    }
  }
  if (slash == nullptr) {
    folder[0] = '\0';
  } else {
    slash[slash == folder + 2 ? 1 : 0] = '\0';  // "C:\" keeps its backslash
  }
  set_dll_directory(folder);
}

class Win32PlatformImpl final : public Platform {
 public:
  // --- events, waits and threads ---
  Handle CreateEvent() override { return ::CreateEventA(nullptr, FALSE, FALSE, nullptr); }
  void SetEvent(Handle event) override { ::SetEvent(event); }
  void ResetEvent(Handle event) override { ::ResetEvent(event); }
  uint32_t WaitForEvent(Handle event, uint32_t milliseconds) override {
    return ::WaitForSingleObject(event, milliseconds);
  }
  void CloseEvent(Handle event) override { ::CloseHandle(event); }
  void Sleep(uint32_t milliseconds) override { ::Sleep(milliseconds); }
  bool StartThread(uint32_t (*proc)(void*), void* param) override {
    auto* start = new (std::nothrow) ThreadStart{proc, param};
    if (start == nullptr) return false;
    DWORD id = 0;
    HANDLE thread = ::CreateThread(nullptr, 0, ThreadTrampoline, start, 0, &id);
    if (thread == nullptr) {
      delete start;
      return false;
    }
    // Nobody waits for the worker: drop the handle, the thread runs on.
    ::CloseHandle(thread);
    return true;
  }

  // --- ASPI library ---
  Handle LoadLibrary(const char* name) override {
    LeaveCurrentDirectoryOutOfDllSearch();
    return ::LoadLibraryA(name);
  }
  void* GetProcAddress(Handle library, const char* name) override {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
  }
  void FreeLibrary(Handle library) override { ::FreeLibrary(static_cast<HMODULE>(library)); }

  // --- NT pass-through device I/O ---
  Handle OpenDevice(const char* name, uint32_t access, uint32_t share) override {
    return FromWin(::CreateFileA(name, access, share, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  bool DeviceControl(Handle device, uint32_t code, const void* in, uint32_t in_size, void* out,
                     uint32_t out_size) override {
    DWORD returned = 0;
    return ::DeviceIoControl(device, code, const_cast<void*>(in), in_size, out, out_size, &returned,
                             nullptr) != FALSE;
  }
  bool GetScsiCapabilities(Handle device, void* capabilities24) override {
    DWORD returned = 0;
    return ::DeviceIoControl(device, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, capabilities24,
                             sizeof(IO_SCSI_CAPABILITIES), &returned, nullptr) != FALSE;
  }
  bool ScsiPassThroughDirect(Handle device, void* block80) override {
    DWORD returned = 0;
#if defined(_WIN64)
    auto* block = static_cast<PassThroughBlock*>(block80);
    NativePassThrough native{};
    native.request.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    native.request.PathId = block->PathId;
    native.request.TargetId = block->TargetId;
    native.request.Lun = block->Lun;
    native.request.CdbLength = block->CdbLength;
    native.request.SenseInfoLength = block->SenseInfoLength;
    native.request.DataIn = block->DataIn;
    native.request.DataTransferLength = block->DataTransferLength;
    native.request.TimeOutValue = block->TimeOutValue;
    native.request.DataBuffer = FieldToPtr(block->DataBuffer);
    native.request.SenseInfoOffset = offsetof(NativePassThrough, sense);
    std::memcpy(native.request.Cdb, block->Cdb, sizeof(native.request.Cdb));
    const BOOL ok = ::DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &native,
                                      sizeof(native), &native, sizeof(native), &returned, nullptr);
    block->ScsiStatus = native.request.ScsiStatus;
    block->SenseInfoLength = native.request.SenseInfoLength;
    block->DataTransferLength = native.request.DataTransferLength;
    std::memcpy(block->Sense, native.sense, sizeof(block->Sense));
    return ok != FALSE;
#else
    return ::DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, block80, 80, block80, 80,
                             &returned, nullptr) != FALSE;
#endif
  }
  uint32_t GetLastError() override { return ::GetLastError(); }
  void CloseDevice(Handle device) override { ::CloseHandle(device); }
  uint32_t GetDriveType(const char* root) override { return ::GetDriveTypeA(root); }

  // --- message boxes ---
  int MessageBox(Handle owner, const char* text, const char* caption, uint32_t flags) override {
    return ::MessageBoxA(static_cast<HWND>(owner), text, caption, flags);
  }

  // --- version, locale, module ---
  VersionInfo GetVersion() override {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    ::GetVersionExA(&info);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return VersionInfo{info.dwPlatformId, info.dwMajorVersion};
  }
  uint32_t GetUserDefaultLcid() override { return ::GetUserDefaultLCID(); }
  bool GetModuleFileName(char* out, size_t size) override {
    if (out == nullptr || size == 0) return false;
    const DWORD length = ::GetModuleFileNameA(nullptr, out, static_cast<DWORD>(size));
    // A full buffer means the path was cut: refuse rather than hand on a
    // truncated (and on older systems unterminated) name.
    if (length == 0 || length >= size) {
      out[0] = '\0';
      return false;
    }
    return true;
  }
  bool IsDbcsLeadByte(uint8_t byte) override { return ::IsDBCSLeadByte(byte) != FALSE; }

  // --- binary file reading ---
  Handle OpenFileForRead(const char* name) override {
    return FromWin(::CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  bool ReadFile(Handle file, void* buffer, uint32_t size, uint32_t* read) override {
    DWORD got = 0;
    const BOOL ok = ::ReadFile(file, buffer, size, &got, nullptr);
    if (read != nullptr) *read = ok ? got : 0;
    return ok != FALSE;
  }
  void CloseFile(Handle file) override { ::CloseHandle(file); }

  // --- folders and files for the restart helper ---
  uint32_t GetTempPath(char* out, uint32_t size) override { return ::GetTempPathA(size, out); }
  uint32_t GetWindowsDirectory(char* out, uint32_t size) override {
    return ::GetWindowsDirectoryA(out, size);
  }
  CopyResult CopyFileNoOverwrite(const char* from, const char* to) override {
    if (::CopyFileA(from, to, TRUE)) return CopyResult::kCopied;
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? CopyResult::kExists
                                                                       : CopyResult::kFailed;
  }
  bool StartProcess(const char* application, const char* current_directory) override {
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    const BOOL ok =
        ::CreateProcessA(application, nullptr, nullptr, nullptr, FALSE, CREATE_NEW_PROCESS_GROUP,
                         nullptr, current_directory, &startup, &process);
    if (!ok) return false;
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return true;
  }
  bool MoveFileDelayUntilReboot(const char* path) override {
    return ::MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
  }
  bool SearchPath(const char* name, char* out, uint32_t size) override {
    char* file_part = nullptr;
    const DWORD length = ::SearchPathA(nullptr, name, nullptr, size, out, &file_part);
    return length != 0 && length < size;
  }
  uint32_t GetShortPathName(const char* path, char* out, uint32_t size) override {
    return ::GetShortPathNameA(path, out, size);
  }
  Handle CreateFileForWrite(const char* path) override {
    return FromWin(::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  bool WriteFile(Handle file, const void* data, uint32_t size) override {
    DWORD written = 0;
    return ::WriteFile(file, data, size, &written, nullptr) && written == size;
  }
  bool FlushFile(Handle file) override { return ::FlushFileBuffers(file) != FALSE; }
  bool CloseWrittenFile(Handle file) override { return ::CloseHandle(file) != FALSE; }
  bool MoveFile(const char* from, const char* to) override {
    return ::MoveFileA(from, to) != FALSE;
  }
  bool DeleteFile(const char* path) override { return ::DeleteFileA(path) != FALSE; }

  // --- shutdown ---
  Handle OpenProcessTokenForPrivileges() override {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
      return nullptr;
    }
    return token;
  }
  bool LookupPrivilegeValue(const char* name, uint64_t* luid) override {
    LUID value{};
    if (!::LookupPrivilegeValueA(nullptr, name, &value)) return false;
    *luid = (static_cast<uint64_t>(static_cast<uint32_t>(value.HighPart)) << 32) | value.LowPart;
    return true;
  }
  bool AdjustPrivilege(Handle token, uint64_t luid, uint32_t attributes) override {
    TOKEN_PRIVILEGES record{};
    record.PrivilegeCount = 1;
    record.Privileges[0].Luid.LowPart = static_cast<DWORD>(luid & 0xFFFFFFFFu);
    record.Privileges[0].Luid.HighPart = static_cast<LONG>(luid >> 32);
    record.Privileges[0].Attributes = attributes;
    return ::AdjustTokenPrivileges(token, FALSE, &record, sizeof(record), nullptr, nullptr) !=
           FALSE;
  }
  bool ExitWindowsReboot() override { return ::ExitWindowsEx(EWX_REBOOT, 0) != FALSE; }
  void CloseHandle(Handle handle) override { ::CloseHandle(handle); }
};

}  // namespace

Platform& Win32Platform() {
  static Win32PlatformImpl platform;
  return platform;
}

void InstallWin32Platform() { SetPlatform(&Win32Platform()); }

}  // namespace plat
