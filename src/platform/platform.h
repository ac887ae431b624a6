// The program's one boundary to the operating system.
//
// Everything the updater needs from Windows goes through `Os()`, an object of
// class `Platform`.  The Win32 build installs the real implementation
// (src/platform/win32); the native tests install doubles (tests/unit) that run
// in virtual time and put the emulated drive behind the device interfaces.
// Nothing outside src/platform and the dialog code includes <windows.h>.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

using Handle = void*;  // an opaque operating-system object (event, device, token, file, library)

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr uint32_t kWaitObject0 = 0;    // WAIT_OBJECT_0
constexpr uint32_t kWaitTimeout = 258;  // WAIT_TIMEOUT
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;

// Message box flags and results: the Win32 values.
constexpr uint32_t kMbOk = 0x0;
constexpr uint32_t kMbYesNo = 0x4;
constexpr uint32_t kMbIconStop = 0x10;
constexpr uint32_t kMbIconInformation = 0x40;
constexpr uint32_t kMbSystemModal = 0x1000;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// CreateFileA access rights used by the pass-through transport.
constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kDriveCdrom = 5;  // GetDriveTypeA

// The two ASPI for Win32 entry points (cdecl, undecorated).
#if defined(_WIN32) && !defined(_WIN64)
#define KSF_CDECL __cdecl
#else
#define KSF_CDECL
#endif
using GetSupportInfoFn = uint32_t(KSF_CDECL*)(void);
using SendCommandFn = uint32_t(KSF_CDECL*)(void* srb);

// The Windows version as GetVersionExA reports it.
struct VersionInfo {
  uint32_t platform_id;    // 1: 95/98/Me, 2: NT family
  uint32_t major_version;  // 4, 5, 6, ...
};

// What CopyFileNoOverwrite came to: only kExists means another name may work.
enum class CopyResult { kCopied, kExists, kFailed };

class Platform {
 public:
  virtual ~Platform() = default;

  // --- events, waits and threads ---
  // Unnamed, auto-reset, initially non-signalled event; nullptr on failure.
  virtual Handle CreateEvent() = 0;
  virtual void SetEvent(Handle event) = 0;
  virtual void ResetEvent(Handle event) = 0;
  // Returns kWaitObject0, kWaitTimeout or kWaitFailed.
  virtual uint32_t WaitForEvent(Handle event, uint32_t milliseconds) = 0;
  virtual void CloseEvent(Handle event) = 0;
  // Blocks the calling thread for that long (the timed waits' fallback).
  virtual void Sleep(uint32_t milliseconds) = 0;
  // Starts a worker thread at normal priority with the default stack; nobody
  // joins it.  False when the thread cannot be started.
  virtual bool StartThread(uint32_t (*proc)(void*), void* param) = 0;

  // --- ASPI library ---
  virtual Handle LoadLibrary(const char* name) = 0;  // nullptr on failure
  virtual void* GetProcAddress(Handle library, const char* name) = 0;
  virtual void FreeLibrary(Handle library) = 0;

  // --- NT pass-through device I/O ---
  // CreateFileA(name, access, FILE_SHARE_READ|FILE_SHARE_WRITE, 0,
  // OPEN_EXISTING, 0, 0); nullptr on failure (the invalid-handle value).
  virtual Handle OpenDevice(const char* name, uint32_t access) = 0;
  // IOCTL_SCSI_GET_CAPABILITIES into a 24-byte block; false on failure.
  virtual bool GetScsiCapabilities(Handle device, void* capabilities24) = 0;
  // IOCTL_SCSI_PASS_THROUGH_DIRECT with the 80-byte block as input and output.
  virtual bool ScsiPassThroughDirect(Handle device, void* block80) = 0;
  virtual uint32_t GetLastError() = 0;
  virtual void CloseDevice(Handle device) = 0;
  virtual uint32_t GetDriveType(const char* root) = 0;  // GetDriveTypeA
  // Where drives are device nodes instead of drive letters (Linux: the SCSI
  // generic nodes of CD-ROM-class devices): the path of the index-th such node
  // into `out`, false past the last one.  Windows has none.
  virtual bool CdromDeviceNode(int index, char* out, size_t size) {
    (void)index;
    (void)out;
    (void)size;
    return false;
  }

  // --- message boxes (owner nullptr: no owner window) ---
  // Keyboard and mouse input queued for the program's windows is thrown away
  // first: a key pressed while the program was busy must not answer the box.
  virtual int MessageBox(Handle owner, const char* text, const char* caption, uint32_t flags) = 0;

  // --- version, locale, module ---
  virtual VersionInfo GetVersion() = 0;
  virtual uint32_t GetUserDefaultLcid() = 0;
  // The system's ANSI code page (GetACP): the one the ...A calls decode with.
  virtual uint32_t GetAnsiCodePage() = 0;
  // Full path of the running executable.
  virtual bool GetModuleFileName(char* out, size_t size) = 0;
  // SetCurrentDirectoryA.
  virtual bool SetCurrentDirectory(const char* path) = 0;
  // Creates the named mutex and holds it until the process ends; false when
  // it already existed (another copy of the program holds it).  A mutex that
  // cannot be created at all does not stop the program: true.
  virtual bool ClaimInstance(const char* name) = 0;
  // True when `byte` starts a two-byte character in the system (ANSI) code
  // page (IsDBCSLeadByte): upper-casing must leave the trail byte alone.
  virtual bool IsDbcsLeadByte(uint8_t byte) = 0;

  // --- binary file reading (image files) ---
  // CreateFileA(read access, read sharing, OPEN_EXISTING); nullptr on failure.
  virtual Handle OpenFileForRead(const char* name) = 0;
  // False when the read fails; *read gets the byte count (0 at end of file).
  virtual bool ReadFile(Handle file, void* buffer, uint32_t size, uint32_t* read) = 0;
  virtual void CloseFile(Handle file) = 0;

  // --- folders and files for the restart helper ---
  // The helper's copy is made with "copy paths": UTF-8 on the NT family, where
  // they go through the wide-character calls (a temp folder under a Japanese
  // user name on an English Windows keeps every character), and ANSI on
  // 95/98/Me, which have only the ANSI calls.  GetModuleCopyPath and
  // GetTempPath give them; CopyFileNoOverwrite, StartProcess and
  // MoveFileDelayUntilReboot take them.
  virtual bool GetModuleCopyPath(char* out, size_t size) = 0;
  virtual uint32_t GetTempPath(char* out, uint32_t size) = 0;          // ends with '\'
  virtual uint32_t GetWindowsDirectory(char* out, uint32_t size) = 0;  // no trailing '\'
  // CopyFile(from, to, fail if `to` exists); kExists when that is why it
  // failed (ERROR_FILE_EXISTS or ERROR_ALREADY_EXISTS).
  virtual CopyResult CopyFileNoOverwrite(const char* from, const char* to) = 0;
  // CreateProcess(app, no command line, not inherited, CREATE_NEW_PROCESS_GROUP,
  // caller's environment, current directory).
  virtual bool StartProcess(const char* application, const char* current_directory) = 0;
  virtual bool MoveFileDelayUntilReboot(const char* path) = 0;  // MoveFileEx(path, NULL, 4)
  // SearchPathA(NULL, name, NULL, ...): the full name of an existing file.
  virtual bool SearchPath(const char* name, char* out, uint32_t size) = 0;
  virtual uint32_t GetShortPathName(const char* path, char* out, uint32_t size) = 0;
  // Writing a file whole, every step checked: CreateFileA(GENERIC_WRITE, no
  // sharing, CREATE_ALWAYS), nullptr on failure; WriteFile, false unless every
  // byte was written; FlushFileBuffers; CloseHandle (the handle is gone
  // whatever it returns).
  virtual Handle CreateFileForWrite(const char* path) = 0;
  virtual bool WriteFile(Handle file, const void* data, uint32_t size) = 0;
  virtual bool FlushFile(Handle file) = 0;
  virtual bool CloseWrittenFile(Handle file) = 0;
  // MoveFileA: fails when `to` exists (there is no replacing rename on 95/98).
  virtual bool MoveFile(const char* from, const char* to) = 0;
  virtual bool DeleteFile(const char* path) = 0;  // DeleteFileA

  // --- shutdown ---
  virtual Handle OpenProcessTokenForPrivileges() = 0;  // nullptr on failure
  // LookupPrivilegeValueA(NULL, name); the LUID in *luid.
  virtual bool LookupPrivilegeValue(const char* name, uint64_t* luid) = 0;
  // AdjustTokenPrivileges with one entry, attributes SE_PRIVILEGE_ENABLED (2) or 0.
  virtual bool AdjustPrivilege(Handle token, uint64_t luid, uint32_t attributes) = 0;
  virtual bool ExitWindowsReboot() = 0;  // ExitWindowsEx(EWX_REBOOT, 0)
  virtual void CloseHandle(Handle handle) = 0;
};

// The platform in force.  The Win32 build sets the real one at start; tests
// install their doubles.
Platform& Os();
void SetPlatform(Platform* platform);

// Length of the folder part of a full Windows path: up to its last backslash,
// which a drive's root ("C:\") keeps; 0 without one.  A backslash that is
// the trail byte of a two-byte character (IsDbcsLeadByte) is no separator.
size_t FolderPartLength(const char* path);

}  // namespace plat

// Blocks the calling thread for `milliseconds` (a timed wait on an event that
// nothing signals).
void WaitMilliseconds(uint32_t milliseconds);
