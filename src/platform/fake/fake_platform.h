// A test double of the whole platform, with a virtual clock.
//
// Waits take no real time: a thread that waits is parked, and when every
// thread taking part (the test's own thread and the threads started through
// StartThread) is parked, the clock jumps to the earliest deadline or
// scheduled task.  So a 59-second flash sequence runs in milliseconds while the
// dialog logic polls from another real thread, in a deterministic order of
// virtual time.  A state where every thread waits forever and nothing is
// scheduled is a deadlock in the code under test: the double reports it and
// aborts rather than hanging the suite.
//
// Device, library and system calls go through std::function hooks that tests
// (and the emulated drive's adapters) set; files are real files, with '\' in
// paths mapped to '/'.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

class FakePlatform : public plat::Platform {
 public:
  // Installs itself as the platform in force; the destructor joins the
  // threads it started and uninstalls it.
  FakePlatform();
  ~FakePlatform() override;

  // ---- virtual clock ----
  uint64_t NowMs();
  // Runs `task` at virtual time now + delay (on the thread that advances the
  // clock, outside the double's lock).
  void Schedule(uint64_t delay_ms, std::function<void()> task);
  // Waits (in virtual time) until every thread started through StartThread has
  // ended, then joins them.
  void JoinThreads();

  // ---- failure switches and canned values ----
  int fail_create_event = 0;  // the next N CreateEvent calls fail
  bool fail_start_thread = false;
  plat::VersionInfo version{2, 6};
  uint32_t lcid = 1033;
  uint32_t code_page = 0;       // GetAnsiCodePage; 0: 932 when lcid is 1041, else 1252
  bool other_instance = false;  // ClaimInstance finds the mutex taken
  std::string module_path = "C:\\KSF\\ksfupd.exe";
  std::string temp_path;    // GetTempPath (should end with '\' or '/')
  std::string windows_dir;  // GetWindowsDirectory
  bool fail_open_token = false;
  bool fail_lookup_privilege = false;
  bool fail_adjust_enable = false;
  bool fail_adjust_disable = false;
  bool fail_exit_windows = false;
  bool fail_start_process = false;
  bool fail_move_file = false;
  // The file writes and renames behind WININIT.INI (CreateFileForWrite,
  // WriteFile, FlushFile, CloseWrittenFile, MoveFile, DeleteFile) are counted
  // from 0 in file_steps ("create NAME", "write N", "flush", "close",
  // "move FROM TO", "delete NAME"); the one numbered fail_file_step fails: a
  // failed write stores the first half of its bytes (a disk that fills up),
  // a failed close still closes, a failed create, move or delete does nothing.
  int fail_file_step = -1;
  std::vector<std::string> file_steps;
  // Image file reads: returns true to make read number `n` (0 = the header
  // read) of the current file fail.
  std::function<bool(int n)> fail_read;

  // ---- hooks (defaults: nothing there) ----
  std::function<plat::Handle(const char*)> load_library;             // nullptr
  std::function<void*(plat::Handle, const char*)> get_proc_address;  // nullptr
  std::function<void(plat::Handle)> free_library;
  std::function<plat::Handle(const char*, uint32_t)> open_device;  // nullptr
  std::function<bool(plat::Handle, void*)> get_capabilities;       // false
  std::function<bool(plat::Handle, void*)> pass_through;           // false
  std::function<void(plat::Handle)> close_device;
  std::function<uint32_t(const char*)> drive_type;  // default 3 (fixed disk)
  uint32_t last_error = 0;                          // what GetLastError returns
  std::function<uint32_t(const char*, char*, uint32_t)> short_path_name;  // default: same

  // ---- message boxes ----
  struct MessageBoxCall {
    void* owner;
    std::string text;
    std::string caption;
    uint32_t flags;
  };
  std::vector<MessageBoxCall> MessageBoxes();
  // Answers given in order; when none are queued: IDYES for Yes/No boxes,
  // IDOK otherwise.
  std::deque<int> message_box_answers;
  std::function<void(const MessageBoxCall&)> on_message_box;

  // ---- call log of the system services (restart, helper copy, ...) ----
  std::vector<std::string> Calls();
  void ClearCalls();

  // Lead bytes of code page 932 (used when lcid is 1041).
  static bool Cp932LeadByte(uint8_t byte);
  static std::string NativePath(const char* windows_path);

  // ---- plat::Platform ----
  plat::Handle CreateEvent() override;
  void SetEvent(plat::Handle event) override;
  void ResetEvent(plat::Handle event) override;
  uint32_t WaitForEvent(plat::Handle event, uint32_t milliseconds) override;
  void CloseEvent(plat::Handle event) override;
  void Sleep(uint32_t milliseconds) override;  // in virtual time
  bool StartThread(uint32_t (*proc)(void*), void* param) override;
  plat::Handle LoadLibrary(const char* name) override;
  void* GetProcAddress(plat::Handle library, const char* name) override;
  void FreeLibrary(plat::Handle library) override;
  plat::Handle OpenDevice(const char* name, uint32_t access) override;
  bool GetScsiCapabilities(plat::Handle device, void* capabilities24) override;
  bool ScsiPassThroughDirect(plat::Handle device, void* block80) override;
  uint32_t GetLastError() override;
  void CloseDevice(plat::Handle device) override;
  uint32_t GetDriveType(const char* root) override;
  int MessageBox(plat::Handle owner, const char* text, const char* caption,
                 uint32_t flags) override;
  plat::VersionInfo GetVersion() override;
  uint32_t GetUserDefaultLcid() override;
  uint32_t GetAnsiCodePage() override;
  bool GetModuleFileName(char* out, size_t size) override;
  bool SetCurrentDirectory(const char* path) override;  // chdir, logged
  bool ClaimInstance(const char* name) override;
  bool IsDbcsLeadByte(uint8_t byte) override;
  plat::Handle OpenFileForRead(const char* name) override;
  bool ReadFile(plat::Handle file, void* buffer, uint32_t size, uint32_t* read) override;
  void CloseFile(plat::Handle file) override;
  bool GetModuleCopyPath(char* out, size_t size) override;  // module_path
  uint32_t GetTempPath(char* out, uint32_t size) override;
  uint32_t GetWindowsDirectory(char* out, uint32_t size) override;
  plat::CopyResult CopyFileNoOverwrite(const char* from, const char* to) override;
  bool StartProcess(const char* application, const char* current_directory) override;
  bool MoveFileDelayUntilReboot(const char* path) override;
  bool SearchPath(const char* name, char* out, uint32_t size) override;
  uint32_t GetShortPathName(const char* path, char* out, uint32_t size) override;
  plat::Handle CreateFileForWrite(const char* path) override;
  bool WriteFile(plat::Handle file, const void* data, uint32_t size) override;
  bool FlushFile(plat::Handle file) override;
  bool CloseWrittenFile(plat::Handle file) override;
  bool MoveFile(const char* from, const char* to) override;
  bool DeleteFile(const char* path) override;
  plat::Handle OpenProcessTokenForPrivileges() override;
  bool LookupPrivilegeValue(const char* name, uint64_t* luid) override;
  bool AdjustPrivilege(plat::Handle token, uint64_t luid, uint32_t attributes) override;
  bool ExitWindowsReboot() override;
  void CloseHandle(plat::Handle handle) override;

  static constexpr uint64_t kShutdownLuid = 0x13;

 private:
  struct Event {
    bool signalled = false;
  };
  struct Waiter {
    Event* event;
    uint64_t deadline;
    bool woken = false;
    uint32_t result = plat::kWaitTimeout;
  };
  struct Task {
    uint64_t at;
    uint64_t seq;
    std::function<void()> run;
  };
  // Called with the lock held by a parked thread when nobody is active.
  void AdvanceLocked(std::unique_lock<std::mutex>& lock);
  void Log(std::string entry);
  // Notes a file step; true when it is the one to fail.
  bool FileStep(std::string step);

  std::mutex mu_;
  std::condition_variable cv_;
  uint64_t now_ = 0;
  int active_ = 1;  // threads taking part that are not parked
  int running_threads_ = 0;
  uint64_t task_seq_ = 0;
  std::list<Waiter*> waiters_;
  std::vector<Task> tasks_;
  std::vector<std::thread> threads_;

  std::mutex log_mu_;
  std::vector<std::string> calls_;
  std::vector<MessageBoxCall> message_boxes_;
};
