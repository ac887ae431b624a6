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
#include <string>

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

VersionInfo QueryVersion() {
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

// The ASPI layer is looked for in the program's own folder (where packages
// ship one) and the system folders, never in the current directory: a DLL
// planted beside a package would run with the program's rights.  Any
// SetDllDirectoryA call takes the current directory out of the search; it is
// given the program's own folder rather than "" because Wine takes "" for no
// directory at all and keeps searching the current one.  Looked up at run
// time: Windows 95/98 and older NT lack it.
void LeaveCurrentDirectoryOutOfDllSearch() {
  using SetDllDirectoryFn = BOOL(WINAPI*)(LPCSTR);
  const auto set_dll_directory =
      SystemFunction<SetDllDirectoryFn>("kernel32.dll", "SetDllDirectoryA");
  if (set_dll_directory == nullptr) return;
  char folder[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, folder, MAX_PATH);
  folder[length != 0 && length < MAX_PATH ? FolderPartLength(folder) : 0] = '\0';
  set_dll_directory(folder);
}

// The wide-character file calls for the restart helper's copy.  Looked up at
// run time and used only on the NT family: Windows 95/98/Me export most of
// them as stubs that fail.  All or none: a copy made with one kind of path is
// started and scheduled for deletion with the same kind.
struct WideFileCalls {
  using GetModuleFileNameFn = DWORD(WINAPI*)(HMODULE, LPWSTR, DWORD);
  using GetTempPathFn = DWORD(WINAPI*)(DWORD, LPWSTR);
  using CopyFileFn = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, BOOL);
  using MoveFileExFn = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
  using CreateProcessFn = BOOL(WINAPI*)(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES,
                                        LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                                        LPSTARTUPINFOW, LPPROCESS_INFORMATION);
  GetModuleFileNameFn get_module_file_name = nullptr;
  GetTempPathFn get_temp_path = nullptr;
  CopyFileFn copy_file = nullptr;
  MoveFileExFn move_file_ex = nullptr;
  CreateProcessFn create_process = nullptr;
  bool usable = false;

  WideFileCalls() {
    if (QueryVersion().platform_id != VER_PLATFORM_WIN32_NT) return;
    get_module_file_name =
        SystemFunction<GetModuleFileNameFn>("kernel32.dll", "GetModuleFileNameW");
    get_temp_path = SystemFunction<GetTempPathFn>("kernel32.dll", "GetTempPathW");
    copy_file = SystemFunction<CopyFileFn>("kernel32.dll", "CopyFileW");
    move_file_ex = SystemFunction<MoveFileExFn>("kernel32.dll", "MoveFileExW");
    create_process = SystemFunction<CreateProcessFn>("kernel32.dll", "CreateProcessW");
    usable = get_module_file_name != nullptr && get_temp_path != nullptr && copy_file != nullptr &&
             move_file_ex != nullptr && create_process != nullptr;
  }
};

const WideFileCalls& Wide() {
  static const WideFileCalls calls;
  return calls;
}

// A copy path (UTF-8 on this side) as a wide string; empty when it does not
// convert.
std::wstring WidePath(const char* path) {
  if (path == nullptr) return std::wstring();
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  if (::MultiByteToWideChar(CP_UTF8, 0, path, -1, &wide[0], length) != length)
    return std::wstring();
  wide.resize(static_cast<size_t>(length) - 1);
  return wide;
}

// A wide path as UTF-8 into `out`; the byte count, 0 when it does not fit.
uint32_t Utf8Path(const wchar_t* wide, char* out, uint32_t size) {
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0 || static_cast<uint32_t>(length) > size) return 0;
  ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, length, nullptr, nullptr);
  return static_cast<uint32_t>(length) - 1;
}

constexpr DWORD kWidePathSize = 32768;  // the longest path the wide calls take

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
    // Boxes come after the program was busy (checking the drive, the
    // update); keys and clicks queued meanwhile were meant for what was on
    // the screen then, not for this box's default button.
    MSG message;
    while (::PeekMessageA(&message, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
    }
    while (::PeekMessageA(&message, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
    }
    return ::MessageBoxA(static_cast<HWND>(owner), text, caption, flags);
  }

  // --- version, locale, module ---
  VersionInfo GetVersion() override { return QueryVersion(); }
  uint32_t GetUserDefaultLcid() override { return ::GetUserDefaultLCID(); }
  uint32_t GetAnsiCodePage() override { return ::GetACP(); }
  bool SetCurrentDirectory(const char* path) override {
    return ::SetCurrentDirectoryA(path) != FALSE;
  }
  bool ClaimInstance(const char* name) override {
    HANDLE mutex = ::CreateMutexA(nullptr, FALSE, name);
    const DWORD error = ::GetLastError();
    if (mutex == nullptr) {
      // Created by a copy running under another account: taken all the same.
      return error != ERROR_ACCESS_DENIED;
    }
    if (error == ERROR_ALREADY_EXISTS) {
      ::CloseHandle(mutex);
      return false;
    }
    return true;  // held until the process ends
  }
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
  bool GetModuleCopyPath(char* out, size_t size) override {
    const WideFileCalls& wide = Wide();
    if (!wide.usable) return GetModuleFileName(out, size);
    std::wstring path(kWidePathSize, L'\0');
    const DWORD length = wide.get_module_file_name(nullptr, &path[0], kWidePathSize);
    if (length == 0 || length >= kWidePathSize || size == 0 ||
        Utf8Path(path.c_str(), out, static_cast<uint32_t>(size)) == 0) {
      if (size != 0) out[0] = '\0';
      return false;
    }
    return true;
  }
  uint32_t GetTempPath(char* out, uint32_t size) override {
    const WideFileCalls& wide = Wide();
    if (!wide.usable) return ::GetTempPathA(size, out);
    std::wstring path(kWidePathSize, L'\0');
    const DWORD length = wide.get_temp_path(kWidePathSize, &path[0]);
    if (length == 0 || length >= kWidePathSize) return 0;
    return Utf8Path(path.c_str(), out, size);
  }
  uint32_t GetWindowsDirectory(char* out, uint32_t size) override {
    return ::GetWindowsDirectoryA(out, size);
  }
  CopyResult CopyFileNoOverwrite(const char* from, const char* to) override {
    const WideFileCalls& wide = Wide();
    if (wide.usable) {
      const std::wstring wide_from = WidePath(from);
      const std::wstring wide_to = WidePath(to);
      if (wide_from.empty() || wide_to.empty()) return CopyResult::kFailed;
      if (wide.copy_file(wide_from.c_str(), wide_to.c_str(), TRUE)) return CopyResult::kCopied;
    } else if (::CopyFileA(from, to, TRUE)) {
      return CopyResult::kCopied;
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? CopyResult::kExists
                                                                       : CopyResult::kFailed;
  }
  bool StartProcess(const char* application, const char* current_directory) override {
    PROCESS_INFORMATION process{};
    BOOL ok = FALSE;
    const WideFileCalls& wide = Wide();
    if (wide.usable) {
      const std::wstring wide_application = WidePath(application);
      const std::wstring wide_directory = WidePath(current_directory);
      if (wide_application.empty()) return false;
      STARTUPINFOW startup{};
      startup.cb = sizeof(startup);
      ok = wide.create_process(
          wide_application.c_str(), nullptr, nullptr, nullptr, FALSE, CREATE_NEW_PROCESS_GROUP,
          nullptr, wide_directory.empty() ? nullptr : wide_directory.c_str(), &startup, &process);
    } else {
      STARTUPINFOA startup{};
      startup.cb = sizeof(startup);
      ok = ::CreateProcessA(application, nullptr, nullptr, nullptr, FALSE, CREATE_NEW_PROCESS_GROUP,
                            nullptr, current_directory, &startup, &process);
    }
    if (!ok) return false;
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return true;
  }
  bool MoveFileDelayUntilReboot(const char* path) override {
    const WideFileCalls& wide = Wide();
    if (wide.usable) {
      const std::wstring wide_path = WidePath(path);
      return !wide_path.empty() &&
             wide.move_file_ex(wide_path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
    }
    // Only the NT family has it (95/98/Me use WININIT.INI), so it is not
    // imported either.
    using MoveFileExAnsiFn = BOOL(WINAPI*)(LPCSTR, LPCSTR, DWORD);
    const auto move_file_ex = SystemFunction<MoveFileExAnsiFn>("kernel32.dll", "MoveFileExA");
    return move_file_ex != nullptr &&
           move_file_ex(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
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
  // The token calls exist on the NT family only (95/98/Me restart without a
  // privilege): looked up at run time.
  Handle OpenProcessTokenForPrivileges() override {
    using OpenProcessTokenFn = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
    const auto open = SystemFunction<OpenProcessTokenFn>("advapi32.dll", "OpenProcessToken");
    HANDLE token = nullptr;
    if (open == nullptr ||
        !open(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
      return nullptr;
    }
    return token;
  }
  bool LookupPrivilegeValue(const char* name, uint64_t* luid) override {
    using LookupFn = BOOL(WINAPI*)(LPCSTR, LPCSTR, PLUID);
    const auto lookup = SystemFunction<LookupFn>("advapi32.dll", "LookupPrivilegeValueA");
    LUID value{};
    if (lookup == nullptr || !lookup(nullptr, name, &value)) return false;
    *luid = (static_cast<uint64_t>(static_cast<uint32_t>(value.HighPart)) << 32) | value.LowPart;
    return true;
  }
  bool AdjustPrivilege(Handle token, uint64_t luid, uint32_t attributes) override {
    TOKEN_PRIVILEGES record{};
    record.PrivilegeCount = 1;
    record.Privileges[0].Luid.LowPart = static_cast<DWORD>(luid & 0xFFFFFFFFu);
    record.Privileges[0].Luid.HighPart = static_cast<LONG>(luid >> 32);
    record.Privileges[0].Attributes = attributes;
    using AdjustFn =
        BOOL(WINAPI*)(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD);
    const auto adjust = SystemFunction<AdjustFn>("advapi32.dll", "AdjustTokenPrivileges");
    return adjust != nullptr &&
           adjust(token, FALSE, &record, sizeof(record), nullptr, nullptr) != FALSE;
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
