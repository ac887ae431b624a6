// The emulated drive's lock.  Its Windows build is a DLL made with the
// toolchain's win32 thread model, which has no std::mutex: there the lock is a
// critical section.  Either way it is a standard BasicLockable, so
// std::lock_guard and std::unique_lock work with it.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <mutex>
#endif

namespace sim {

#if defined(_WIN32)
class Lock {
 public:
  Lock() { ::InitializeCriticalSection(&section_); }
  ~Lock() { ::DeleteCriticalSection(&section_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void lock() { ::EnterCriticalSection(&section_); }
  void unlock() { ::LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};
#else
using Lock = std::mutex;
#endif

}  // namespace sim
