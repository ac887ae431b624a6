#include "fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct FakeFile {
  FILE* file;
  int reads;
};

struct FakeToken {
  bool enabled = false;
};

void CopyOut(const std::string& value, char* out, size_t size) {
  if (size == 0) return;
  size_t n = std::min(value.size(), size - 1);
  std::memcpy(out, value.data(), n);
  out[n] = '\0';
}

}  // namespace

FakePlatform::FakePlatform() { plat::SetPlatform(this); }

FakePlatform::~FakePlatform() {
  JoinThreads();
  plat::SetPlatform(nullptr);
}

// ---------------------------------------------------------------- clock

uint64_t FakePlatform::NowMs() {
  std::lock_guard<std::mutex> lock(mu_);
  return now_;
}

void FakePlatform::Schedule(uint64_t delay_ms, std::function<void()> task) {
  std::lock_guard<std::mutex> lock(mu_);
  tasks_.push_back(Task{now_ + delay_ms, task_seq_++, std::move(task)});
  cv_.notify_all();
}

void FakePlatform::AdvanceLocked(std::unique_lock<std::mutex>& lock) {
  uint64_t next = UINT64_MAX;
  for (Waiter* w : waiters_) next = std::min(next, w->deadline);
  for (const Task& t : tasks_) next = std::min(next, t.at);
  if (next == UINT64_MAX) {
    std::fprintf(stderr,
                 "FakePlatform: deadlock at virtual time %llu ms: every thread waits forever "
                 "and nothing is scheduled\n",
                 static_cast<unsigned long long>(now_));
    std::abort();
  }
  if (next > now_) now_ = next;
  // Wake the waiters whose time has come; they count as active from now on so
  // that nobody advances the clock past them before they have run.
  for (auto it = waiters_.begin(); it != waiters_.end();) {
    Waiter* w = *it;
    if (w->deadline <= now_) {
      w->woken = true;
      w->result = plat::kWaitTimeout;
      ++active_;
      it = waiters_.erase(it);
    } else {
      ++it;
    }
  }
  // Run the due tasks in order, outside the lock (they may set events).
  for (;;) {
    auto due = std::min_element(tasks_.begin(), tasks_.end(), [](const Task& a, const Task& b) {
      return a.at != b.at ? a.at < b.at : a.seq < b.seq;
    });
    if (due == tasks_.end() || due->at > now_) break;
    std::function<void()> run = std::move(due->run);
    tasks_.erase(due);
    ++active_;
    lock.unlock();
    run();
    lock.lock();
    --active_;
  }
  cv_.notify_all();
}

void FakePlatform::JoinThreads() {
  {
    std::unique_lock<std::mutex> lock(mu_);
    --active_;
    while (running_threads_ > 0) {
      if (active_ == 0 && (!waiters_.empty() || !tasks_.empty())) {
        AdvanceLocked(lock);
      } else {
        cv_.wait(lock);
      }
    }
    ++active_;
  }
  for (std::thread& t : threads_) t.join();
  threads_.clear();
}

// ---------------------------------------------------------------- events

plat::Handle FakePlatform::CreateEvent() {
  std::lock_guard<std::mutex> lock(mu_);
  if (fail_create_event > 0) {
    --fail_create_event;
    return nullptr;
  }
  return new Event();
}

void FakePlatform::SetEvent(plat::Handle handle) {
  std::lock_guard<std::mutex> lock(mu_);
  Event* event = static_cast<Event*>(handle);
  for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
    if ((*it)->event == event) {
      (*it)->woken = true;
      (*it)->result = plat::kWaitObject0;
      ++active_;
      waiters_.erase(it);
      cv_.notify_all();
      return;
    }
  }
  event->signalled = true;
}

void FakePlatform::ResetEvent(plat::Handle handle) {
  std::lock_guard<std::mutex> lock(mu_);
  static_cast<Event*>(handle)->signalled = false;
}

uint32_t FakePlatform::WaitForEvent(plat::Handle handle, uint32_t milliseconds) {
  std::unique_lock<std::mutex> lock(mu_);
  Event* event = static_cast<Event*>(handle);
  if (event == nullptr) return plat::kWaitFailed;
  if (event->signalled) {
    event->signalled = false;  // auto-reset
    return plat::kWaitObject0;
  }
  if (milliseconds == 0) return plat::kWaitTimeout;
  Waiter w{event, milliseconds == plat::kInfinite ? UINT64_MAX : now_ + milliseconds};
  waiters_.push_back(&w);
  --active_;
  cv_.notify_all();
  while (!w.woken) {
    if (active_ == 0) {
      AdvanceLocked(lock);
    } else {
      cv_.wait(lock);
    }
  }
  return w.result;  // the waker counted this thread active again
}

void FakePlatform::CloseEvent(plat::Handle handle) { delete static_cast<Event*>(handle); }

bool FakePlatform::StartThread(uint32_t (*proc)(void*), void* param) {
  if (fail_start_thread) return false;
  std::lock_guard<std::mutex> lock(mu_);
  ++active_;
  ++running_threads_;
  threads_.emplace_back([this, proc, param] {
    proc(param);
    std::lock_guard<std::mutex> inner(mu_);
    --active_;
    --running_threads_;
    cv_.notify_all();
  });
  return true;
}

// ---------------------------------------------------------------- library and devices

plat::Handle FakePlatform::LoadLibrary(const char* name) {
  Log(std::string("LoadLibrary(") + name + ")");
  return load_library ? load_library(name) : nullptr;
}

void* FakePlatform::GetProcAddress(plat::Handle library, const char* name) {
  return get_proc_address ? get_proc_address(library, name) : nullptr;
}

void FakePlatform::FreeLibrary(plat::Handle library) {
  Log("FreeLibrary");
  if (free_library) free_library(library);
}

plat::Handle FakePlatform::OpenDevice(const char* name, uint32_t access) {
  return open_device ? open_device(name, access) : nullptr;
}

bool FakePlatform::GetScsiCapabilities(plat::Handle device, void* capabilities24) {
  return get_capabilities ? get_capabilities(device, capabilities24) : false;
}

bool FakePlatform::ScsiPassThroughDirect(plat::Handle device, void* block80) {
  return pass_through ? pass_through(device, block80) : false;
}

uint32_t FakePlatform::GetLastError() { return last_error; }

void FakePlatform::CloseDevice(plat::Handle device) {
  if (close_device) close_device(device);
}

uint32_t FakePlatform::GetDriveType(const char* root) { return drive_type ? drive_type(root) : 3; }

// ---------------------------------------------------------------- message boxes

int FakePlatform::MessageBox(plat::Handle owner, const char* text, const char* caption,
                             uint32_t flags) {
  MessageBoxCall call{owner, text ? text : "", caption ? caption : "", flags};
  int answer;
  {
    std::lock_guard<std::mutex> lock(log_mu_);
    message_boxes_.push_back(call);
    if (!message_box_answers.empty()) {
      answer = message_box_answers.front();
      message_box_answers.pop_front();
    } else {
      answer = (flags & 0xF) == plat::kMbYesNo ? plat::kIdYes : plat::kIdOk;
    }
  }
  if (on_message_box) on_message_box(call);
  return answer;
}

std::vector<FakePlatform::MessageBoxCall> FakePlatform::MessageBoxes() {
  std::lock_guard<std::mutex> lock(log_mu_);
  return message_boxes_;
}

// ---------------------------------------------------------------- system facts

plat::VersionInfo FakePlatform::GetVersion() { return version; }
uint32_t FakePlatform::GetUserDefaultLcid() { return lcid; }

bool FakePlatform::GetModuleFileName(char* out, size_t size) {
  CopyOut(module_path, out, size);
  return true;
}

bool FakePlatform::Cp932LeadByte(uint8_t byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

bool FakePlatform::IsDbcsLeadByte(uint8_t byte) { return lcid == 1041 && Cp932LeadByte(byte); }

std::string FakePlatform::NativePath(const char* windows_path) {
  std::string path(windows_path ? windows_path : "");
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// ---------------------------------------------------------------- files

plat::Handle FakePlatform::OpenFileForRead(const char* name) {
  if (name == nullptr || *name == '\0') return nullptr;
  FILE* file = std::fopen(NativePath(name).c_str(), "rb");
  if (file == nullptr) return nullptr;
  return new FakeFile{file, 0};
}

bool FakePlatform::ReadFile(plat::Handle handle, void* buffer, uint32_t size, uint32_t* read) {
  FakeFile* f = static_cast<FakeFile*>(handle);
  int n = f->reads++;
  if (fail_read && fail_read(n)) {
    *read = 0;
    return false;
  }
  *read = static_cast<uint32_t>(std::fread(buffer, 1, size, f->file));
  return true;
}

void FakePlatform::CloseFile(plat::Handle handle) {
  FakeFile* f = static_cast<FakeFile*>(handle);
  std::fclose(f->file);
  delete f;
}

uint32_t FakePlatform::GetTempPath(char* out, uint32_t size) {
  CopyOut(temp_path, out, size);
  return static_cast<uint32_t>(temp_path.size());
}

uint32_t FakePlatform::GetWindowsDirectory(char* out, uint32_t size) {
  if (windows_dir.size() >= size) return static_cast<uint32_t>(windows_dir.size() + 1);
  CopyOut(windows_dir, out, size);
  return static_cast<uint32_t>(windows_dir.size());
}

plat::CopyResult FakePlatform::CopyFileNoOverwrite(const char* from, const char* to) {
  std::string target = NativePath(to);
  if (FILE* exists = std::fopen(target.c_str(), "rb")) {
    std::fclose(exists);
    return plat::CopyResult::kExists;
  }
  FILE* in = std::fopen(NativePath(from).c_str(), "rb");
  if (in == nullptr) return plat::CopyResult::kFailed;
  FILE* out = std::fopen(target.c_str(), "wb");
  if (out == nullptr) {
    std::fclose(in);
    return plat::CopyResult::kFailed;
  }
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) std::fwrite(buffer, 1, n, out);
  std::fclose(in);
  std::fclose(out);
  Log(std::string("CopyFile(") + from + "," + to + ")");
  return plat::CopyResult::kCopied;
}

bool FakePlatform::StartProcess(const char* application, const char* current_directory) {
  Log(std::string("StartProcess(") + application + "," + current_directory + ")");
  return !fail_start_process;
}

bool FakePlatform::MoveFileDelayUntilReboot(const char* path) {
  Log(std::string("MoveFileDelayUntilReboot(") + path + ")");
  return !fail_move_file;
}

bool FakePlatform::SearchPath(const char* name, char* out, uint32_t size) {
  FILE* file = std::fopen(NativePath(name).c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  CopyOut(name, out, size);
  return true;
}

uint32_t FakePlatform::GetShortPathName(const char* path, char* out, uint32_t size) {
  if (short_path_name) return short_path_name(path, out, size);
  CopyOut(path, out, size);
  return static_cast<uint32_t>(std::strlen(path));
}

bool FakePlatform::FileStep(std::string step) {
  file_steps.push_back(std::move(step));
  return static_cast<int>(file_steps.size()) - 1 == fail_file_step;
}

namespace {
bool Exists(const std::string& native) {
  FILE* file = std::fopen(native.c_str(), "rb");
  if (file != nullptr) std::fclose(file);
  return file != nullptr;
}
}  // namespace

plat::Handle FakePlatform::CreateFileForWrite(const char* path) {
  if (FileStep(std::string("create ") + path)) return nullptr;
  return std::fopen(NativePath(path).c_str(), "wb");
}

bool FakePlatform::WriteFile(plat::Handle file, const void* data, uint32_t size) {
  const bool fail = FileStep("write " + std::to_string(size));
  const size_t count = fail ? size / 2 : size;
  const size_t written = std::fwrite(data, 1, count, static_cast<FILE*>(file));
  return !fail && written == size;
}

bool FakePlatform::FlushFile(plat::Handle file) {
  const bool fail = FileStep("flush");
  return std::fflush(static_cast<FILE*>(file)) == 0 && !fail;
}

bool FakePlatform::CloseWrittenFile(plat::Handle file) {
  const bool fail = FileStep("close");
  return std::fclose(static_cast<FILE*>(file)) == 0 && !fail;
}

bool FakePlatform::MoveFile(const char* from, const char* to) {
  if (FileStep(std::string("move ") + from + " " + to)) return false;
  const std::string target = NativePath(to);
  if (Exists(target)) return false;
  return std::rename(NativePath(from).c_str(), target.c_str()) == 0;
}

bool FakePlatform::DeleteFile(const char* path) {
  if (FileStep(std::string("delete ") + path)) return false;
  return std::remove(NativePath(path).c_str()) == 0;
}

// ---------------------------------------------------------------- shutdown

plat::Handle FakePlatform::OpenProcessTokenForPrivileges() {
  Log("OpenProcessToken");
  if (fail_open_token) return nullptr;
  return new FakeToken();
}

bool FakePlatform::LookupPrivilegeValue(const char* name, uint64_t* luid) {
  Log(std::string("LookupPrivilegeValue(") + name + ")");
  if (fail_lookup_privilege) return false;
  *luid = kShutdownLuid;
  return true;
}

bool FakePlatform::AdjustPrivilege(plat::Handle token, uint64_t luid, uint32_t attributes) {
  Log("AdjustPrivilege(" + std::to_string(luid) + "," + std::to_string(attributes) + ")");
  bool fail = attributes != 0 ? fail_adjust_enable : fail_adjust_disable;
  if (!fail) static_cast<FakeToken*>(token)->enabled = attributes != 0;
  return !fail;
}

bool FakePlatform::ExitWindowsReboot() {
  Log("ExitWindowsEx(EWX_REBOOT)");
  return !fail_exit_windows;
}

void FakePlatform::CloseHandle(plat::Handle handle) {
  Log("CloseHandle");
  delete static_cast<FakeToken*>(handle);
}

// ---------------------------------------------------------------- log

void FakePlatform::Log(std::string entry) {
  std::lock_guard<std::mutex> lock(log_mu_);
  calls_.push_back(std::move(entry));
}

std::vector<std::string> FakePlatform::Calls() {
  std::lock_guard<std::mutex> lock(log_mu_);
  return calls_;
}

void FakePlatform::ClearCalls() {
  std::lock_guard<std::mutex> lock(log_mu_);
  calls_.clear();
}
