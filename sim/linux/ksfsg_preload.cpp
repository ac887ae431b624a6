// libksfsg.so: makes chosen files act as SCSI generic devices of emulated
// Kestran drives, for a process started with LD_PRELOAD.
//
// Environment (read at the first ioctl):
//   KSF_SG_DEVICES  the files that act as drives, separated by ':'; the n-th
//                   file is the n-th `drive` line of the configuration
//   KSF_SIM_CONFIG  the configuration file (sim/README.md), a Unix path;
//                   without it every listed file is a default drive
//   KSF_SIM_TRACE   append one line per command:
//                   "<ms> <file name> <time-out ms> <FormatTrace>"
//   KSF_SIM_FLASH   flash dumps, as WNASPI32.DLL writes them
//
//   KSF_SG_MAX_TRANSFER  what BLKSECTGET answers, in bytes as the sg driver
//                   does (default 524288)
//
// A descriptor is an emulated drive when fstat gives the device and inode of
// one of those files (so hard links, dup'ed descriptors and descriptors passed
// from another process count too).  On such a descriptor ioctl(SG_IO) runs the
// command on the drive model, SG_GET_VERSION_NUM reports an sg driver and
// BLKSECTGET the largest transfer; every other call, and every call on any
// other descriptor, goes to the C library untouched.  Both ioctl and
// __ioctl_time64 are answered: a 32-bit program built with 64-bit time_t
// (Debian's 32-bit Wine) calls the latter.
//
// As the sg driver does, the library also
//   - takes a request by write() of an sg_io_hdr_t on a descriptor this
//     process opened, runs it, and hands the answer to the next read()
//     (poll() says POLLIN meanwhile; with no answer waiting, read() reads
//     the plain file);
//   - refuses commands other than the read-only kernel filter's (TEST UNIT
//     READY, INQUIRY, ...) with EPERM on a descriptor open for reading only;
//   - honours O_EXCL: each open takes a flock on "<file>.lock" beside the
//     emulated file, exclusive for O_EXCL and shared otherwise, without
//     waiting; a conflict fails the open with EBUSY, across processes.  The
//     lock goes with the descriptor's close.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sg_adapter.h"
#include "sim_config.h"
#include "sim_files.h"

namespace {

using IoctlFn = int (*)(int, unsigned long, ...);

uint64_t NowMs() {
  static const timespec start = [] {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
  }();
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  const int64_t ms = static_cast<int64_t>(t.tv_sec - start.tv_sec) * 1000 +
                     (static_cast<int64_t>(t.tv_nsec) - start.tv_nsec) / 1000000;
  return static_cast<uint64_t>(ms);
}

void SleepMs(uint32_t ms) {
  timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

struct Emulated {
  std::string path;
  std::string label;  // the file's base name, in the trace
  bool known = false;
  uint32_t timeout_ms = 0;  // of the request being run, for the trace
  dev_t dev = 0;
  ino_t ino = 0;
  sim::SgDevice device;
};

struct State {
  std::mutex mu;
  bool ok = false;
  std::string trace_path;
  std::string flash_path;
  sim::SimSetup setup;
  std::vector<Emulated> devices;
};

State* g_state = nullptr;  // never freed: other libraries' destructors may still call ioctl
std::once_flag g_once;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// The files listed in KSF_SG_DEVICES, in order.
std::vector<std::string> DevicePaths() {
  std::vector<std::string> paths;
  const std::string list = Env("KSF_SG_DEVICES");
  for (size_t begin = 0; begin <= list.size();) {
    size_t end = list.find(':', begin);
    if (end == std::string::npos) end = list.size();
    if (end > begin) paths.push_back(list.substr(begin, end - begin));
    begin = end + 1;
  }
  return paths;
}

void TraceLine(const State& s, const std::string& text) {
  sim::AppendTraceLine(s.trace_path, NowMs(), text);
}

void WriteFlash(const State& s) {
  std::vector<const sim::KestranDrive*> drives;
  for (const Emulated& e : s.devices) drives.push_back(e.device.drive);
  sim::WriteFlashDumps(s.flash_path, drives);
}

void Initialise() {
  NowMs();
  auto* s = new State;
  s->trace_path = Env("KSF_SIM_TRACE");
  s->flash_path = Env("KSF_SIM_FLASH");
  const std::vector<std::string> paths = DevicePaths();

  std::string text, error;
  const std::string config_path = Env("KSF_SIM_CONFIG");
  if (config_path.empty()) {
    text = "adapter\n";
    for (size_t i = 0; i < paths.size(); ++i) text += "drive target=" + std::to_string(i) + "\n";
  } else if (!sim::ReadWholeFile(config_path, &text)) {
    error = "cannot read " + config_path;
  }
  if (error.empty()) s->ok = sim::LoadSimConfig(text, NowMs, s->setup, &error);
  if (s->ok && s->setup.drives.size() < paths.size()) {
    s->ok = false;
    error = std::to_string(paths.size()) + " devices but " +
            std::to_string(s->setup.drives.size()) + " drive lines";
  }
  if (!s->ok) {
    // The listed files then act as nothing: their ioctls fail as on a plain file.
    std::fprintf(stderr, "libksfsg (emulated drive): configuration: %s\n", error.c_str());
    TraceLine(*s, "config error: " + error);
    g_state = s;
    return;
  }
  for (size_t i = 0; i < paths.size(); ++i) {
    Emulated e;
    e.path = paths[i];
    const size_t slash = e.path.rfind('/');
    e.label = slash == std::string::npos ? e.path : e.path.substr(slash + 1);
    e.device.drive = s->setup.drives[i].get();
    e.device.now_ms = NowMs;
    e.device.sleep_ms = SleepMs;
    e.device.drive->on_command = [s, i](const sim::TraceEntry& entry) {
      const Emulated& self = s->devices[i];
      TraceLine(*s,
                self.label + " " + std::to_string(self.timeout_ms) + " " + sim::FormatTrace(entry));
      const bool flash_control = entry.opcode() == 0xF5 && entry.direction == sim::Direction::kNone;
      if (flash_control || entry.opcode() == 0xF6) WriteFlash(*s);
    };
    s->devices.push_back(std::move(e));
  }
  WriteFlash(*s);  // the erased flash, so a run that never programs is seen as such
  g_state = s;
}

// The emulated drive behind `fd`, or null.  The files' device and inode are
// looked up again on a miss, so a file created (or replaced) after the first
// look counts too.  Called with mu held.
Emulated* Find(State& s, int fd) {
  if (!s.ok) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0) return nullptr;
  for (int pass = 0; pass < 2; ++pass) {
    for (Emulated& e : s.devices) {
      if (pass == 1) {
        struct stat ps;
        e.known = stat(e.path.c_str(), &ps) == 0;
        e.dev = e.known ? ps.st_dev : 0;
        e.ino = e.known ? ps.st_ino : 0;
      }
      if (e.known && e.dev == st.st_dev && e.ino == st.st_ino) return &e;
    }
  }
  return nullptr;
}

// The kernel's filter for a descriptor open for reading only.
bool ReadOnlyRefuses(int fd, const sg_io_hdr_t& hdr) {
  if ((fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY || hdr.cmdp == nullptr) return false;
  switch (hdr.cmdp[0]) {
    case 0x00:  // TEST UNIT READY
    case 0x03:  // REQUEST SENSE
    case 0x12:  // INQUIRY
    case 0x1A:  // MODE SENSE (6)
    case 0x25:  // READ CAPACITY
    case 0x28:  // READ (10)
    case 0x43:  // READ TOC
    case 0x4A:  // GET EVENT STATUS NOTIFICATION
    case 0x5A:  // MODE SENSE (10)
      return false;
    default:
      return true;
  }
}

int MaxTransfer() {
  const std::string value = Env("KSF_SG_MAX_TRANSFER");
  return value.empty() ? 524288 : std::atoi(value.c_str());
}

// Answers the request when `fd` is an emulated drive; false: not ours.
bool Answer(int fd, unsigned long request, void* arg, int* result) {
  if (request != SG_IO && request != SG_GET_VERSION_NUM && request != BLKSECTGET) return false;
  std::call_once(g_once, Initialise);
  State& s = *g_state;
  std::lock_guard<std::mutex> lock(s.mu);
  Emulated* e = Find(s, fd);
  if (e == nullptr) return false;
  int error = 0;
  if (arg == nullptr) {
    error = EFAULT;
  } else if (request == SG_GET_VERSION_NUM) {
    *static_cast<int*>(arg) = sim::kSgVersionNum;
  } else if (request == BLKSECTGET) {
    *static_cast<int*>(arg) = MaxTransfer();
  } else if (ReadOnlyRefuses(fd, *static_cast<sg_io_hdr_t*>(arg))) {
    error = EPERM;
  } else {
    auto& hdr = *static_cast<sg_io_hdr_t*>(arg);
    e->timeout_ms = hdr.timeout;
    error = sim::SgExecute(e->device, hdr);
  }
  *result = error == 0 ? 0 : -1;
  if (error != 0) errno = error;
  return true;
}

int Forward(bool time64, int fd, unsigned long request, void* arg) {
  static IoctlFn next_ioctl = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
  static IoctlFn next_time64 = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "__ioctl_time64"));
  IoctlFn next = time64 && next_time64 != nullptr ? next_time64 : next_ioctl;
  if (next == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return next(fd, request, arg);
}

int Ioctl(bool time64, int fd, unsigned long request, void* arg) {
  int result = 0;
  if (Answer(fd, request, arg, &result)) return result;
  return Forward(time64, fd, request, arg);
}

// ---------------------------------------------- open, close, write, read, poll
template <typename Fn>
Fn Next(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}
using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using CloseFn = int (*)(int);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using ReadFn = ssize_t (*)(int, void*, size_t);
using PollFn = int (*)(pollfd*, nfds_t, int);

// The descriptors this process opened on emulated files: the lock each holds
// and the answers written requests wait in.
struct Opened {
  int lock_fd = -1;
  std::deque<sg_io_hdr_t> answers;
};
std::mutex g_fd_mu;
// Made at first use: other libraries' constructors may read or write before
// this library's own have run.  Never freed, as g_state.
std::map<int, Opened>& OpenedFds() {
  static auto* opened = new std::map<int, Opened>;
  return *opened;
}

// The listed file that `fd` is, "" when none (no configuration read: this runs
// for every open).
std::string ListedFile(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return "";
  for (const std::string& path : DevicePaths()) {
    struct stat ps;
    if (stat(path.c_str(), &ps) == 0 && ps.st_dev == st.st_dev && ps.st_ino == st.st_ino) {
      return path;
    }
  }
  return "";
}

// After a successful open: the sg driver's O_EXCL rule on an emulated file.
int Opening(int fd, int flags) {
  if (fd < 0) return fd;
  const std::string path = ListedFile(fd);
  if (path.empty()) return fd;
  static OpenFn next_open = Next<OpenFn>("open");
  static CloseFn next_close = Next<CloseFn>("close");
  const int lock_fd = next_open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lock_fd < 0 || flock(lock_fd, ((flags & O_EXCL) ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    if (lock_fd >= 0) next_close(lock_fd);
    next_close(fd);
    errno = EBUSY;
    return -1;
  }
  std::lock_guard<std::mutex> lock(g_fd_mu);
  Opened& opened = OpenedFds()[fd];
  if (opened.lock_fd >= 0) next_close(opened.lock_fd);  // a number reused behind our back
  opened = Opened{};
  opened.lock_fd = lock_fd;
  return fd;
}

int OpenAt(int dir, const char* path, int flags, mode_t mode) {
  static OpenatFn next_openat = Next<OpenatFn>("openat");
  return Opening(next_openat(dir, path, flags, mode), flags);
}

mode_t ModeOf(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

bool IsOpened(int fd) {
  std::lock_guard<std::mutex> lock(g_fd_mu);
  return OpenedFds().count(fd) != 0;
}

// A request written to an emulated descriptor: run now, answered by read().
ssize_t Submit(int fd, const void* buffer, size_t count) {
  sg_io_hdr_t hdr;
  std::memcpy(&hdr, buffer, sizeof hdr);
  int result = 0;
  if (!Answer(fd, SG_IO, &hdr, &result)) {
    errno = EBADF;
    return -1;
  }
  if (result != 0 && errno == EIO) {
    // What the driver reports for a fault below the drive.
    hdr.host_status = 0x07;  // DID_ERROR
    hdr.info = SG_INFO_CHECK;
  } else if (result != 0) {
    return -1;
  }
  std::lock_guard<std::mutex> lock(g_fd_mu);
  OpenedFds()[fd].answers.push_back(hdr);
  return static_cast<ssize_t>(count);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeOf(flags, ap);
  va_end(ap);
  return OpenAt(AT_FDCWD, path, flags, mode);
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeOf(flags, ap);
  va_end(ap);
  return OpenAt(AT_FDCWD, path, flags | O_LARGEFILE, mode);
}

__attribute__((visibility("default"))) int openat(int dir, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeOf(flags, ap);
  va_end(ap);
  return OpenAt(dir, path, flags, mode);
}

__attribute__((visibility("default"))) int openat64(int dir, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeOf(flags, ap);
  va_end(ap);
  return OpenAt(dir, path, flags | O_LARGEFILE, mode);
}

__attribute__((visibility("default"))) int close(int fd) {
  static CloseFn next_close = Next<CloseFn>("close");
  {
    std::lock_guard<std::mutex> lock(g_fd_mu);
    auto found = OpenedFds().find(fd);
    if (found != OpenedFds().end()) {
      next_close(found->second.lock_fd);
      OpenedFds().erase(found);
    }
  }
  return next_close(fd);
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void* buffer, size_t count) {
  static WriteFn next_write = Next<WriteFn>("write");
  if (count >= sizeof(sg_io_hdr_t) &&
      static_cast<const sg_io_hdr_t*>(buffer)->interface_id == 'S' && IsOpened(fd)) {
    return Submit(fd, buffer, count);
  }
  return next_write(fd, buffer, count);
}

__attribute__((visibility("default"))) ssize_t read(int fd, void* buffer, size_t count) {
  static ReadFn next_read = Next<ReadFn>("read");
  {
    std::lock_guard<std::mutex> lock(g_fd_mu);
    auto found = OpenedFds().find(fd);
    // With no answer waiting the file reads as the file it is (the driver
    // would say EAGAIN; a program polls first), so other readers of the
    // file, such as Wine looking for a disc, see what they saw before.
    if (found != OpenedFds().end() && count >= sizeof(sg_io_hdr_t) &&
        !found->second.answers.empty()) {
      std::memcpy(buffer, &found->second.answers.front(), sizeof(sg_io_hdr_t));
      found->second.answers.pop_front();
      return sizeof(sg_io_hdr_t);
    }
  }
  return next_read(fd, buffer, count);
}

__attribute__((visibility("default"))) int poll(pollfd* fds, nfds_t count, int timeout) {
  static PollFn next_poll = Next<PollFn>("poll");
  {
    std::lock_guard<std::mutex> lock(g_fd_mu);
    int ready = 0;
    nfds_t ours = 0;
    for (nfds_t i = 0; i < count; ++i) {
      auto found = OpenedFds().find(fds[i].fd);
      if (found == OpenedFds().end()) continue;
      ++ours;
      fds[i].revents = static_cast<short>(fds[i].events &
                                          (POLLOUT | (found->second.answers.empty() ? 0 : POLLIN)));
      if (fds[i].revents != 0) ++ready;
    }
    if (ours == count && count > 0) return ready;
  }
  return next_poll(fds, count, timeout);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return Ioctl(false, fd, request, arg);
}

__attribute__((visibility("default"))) int __ioctl_time64(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return Ioctl(true, fd, request, arg);
}

}  // extern "C"
