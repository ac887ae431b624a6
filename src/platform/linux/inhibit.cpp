#include "platform/linux/inhibit.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>

namespace plat {

constexpr const char* kInhibitWhat =
    "shutdown:sleep:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:"
    "handle-lid-switch";

bool InhibitLock::Take(const std::string& why, std::string* reason) {
  Release();
  sd_bus* bus = nullptr;
  int result = sd_bus_open_system(&bus);
  if (result < 0) {
    *reason = std::string("no system bus: ") + std::strerror(-result);
    return false;
  }
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  result = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                              "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss",
                              kInhibitWhat, "ksfupd", why.c_str(), "block");
  int fd = -1;
  if (result < 0) {
    *reason = error.message != nullptr ? error.message : std::strerror(-result);
  } else if ((result = sd_bus_message_read(reply, "h", &fd)) < 0) {
    *reason = std::string("no lock in logind's answer: ") + std::strerror(-result);
  } else {
    // The message owns `fd`: keep a copy of our own, closed on exec so that
    // no program started later holds the lock on.
    fd_ = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (fd_ < 0) *reason = std::strerror(errno);
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_flush_close_unref(bus);
  return fd_ >= 0;
}

void InhibitLock::Release() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

}  // namespace plat
