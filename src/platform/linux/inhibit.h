// A systemd-logind inhibitor lock: while it is held, logind refuses to shut
// down, suspend, hibernate or idle the machine and ignores the power, suspend,
// hibernate keys and the lid switch.
#pragma once

#include <string>

namespace plat {

class InhibitLock {
 public:
  InhibitLock() = default;
  InhibitLock(const InhibitLock&) = delete;
  InhibitLock& operator=(const InhibitLock&) = delete;
  ~InhibitLock() { Release(); }

  // Asks logind on the system bus for a `block` lock, who "ksfupd", with
  // `why`.  False, with the reason in `reason`, when there is no system bus,
  // no logind, or logind refuses.
  bool Take(const std::string& why, std::string* reason);
  // Closes the lock's descriptor: logind lets go at once.
  void Release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace plat
