// The virtual-clock double: clock, events, threads, devices, message boxes
// and the call log (system facts, files and shutdown: fake_platform_system.cpp).
#include "fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

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

void FakePlatform::Sleep(uint32_t milliseconds) {
  Event never_signalled;
  WaitForEvent(&never_signalled, milliseconds);
}

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

plat::Handle FakePlatform::OpenDevice(const char* name, uint32_t access, uint32_t share) {
  return open_device ? open_device(name, access, share) : nullptr;
}

bool FakePlatform::GetScsiCapabilities(plat::Handle device, void* capabilities24) {
  return get_capabilities ? get_capabilities(device, capabilities24) : false;
}

bool FakePlatform::ScsiPassThroughDirect(plat::Handle device, void* block80) {
  return pass_through ? pass_through(device, block80) : false;
}

bool FakePlatform::DeviceControl(plat::Handle device, uint32_t code, const void* in,
                                 uint32_t in_size, void* out, uint32_t out_size) {
  if (device_control) return device_control(device, code, in, in_size, out, out_size);
  last_error = 1;  // ERROR_INVALID_FUNCTION
  return false;
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
