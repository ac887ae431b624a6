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
// A descriptor is an emulated drive when fstat gives the device and inode of
// one of those files (so hard links, dup'ed descriptors and descriptors passed
// from another process count too).  On such a descriptor ioctl(SG_IO) runs the
// command on the drive model and SG_GET_VERSION_NUM reports an sg driver;
// every other call, and every call on any other descriptor, goes to the C
// library untouched.  Both ioctl and __ioctl_time64 are answered: a 32-bit
// program built with 64-bit time_t (Debian's 32-bit Wine) calls the latter.
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
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
  std::vector<std::string> paths;
  const std::string list = Env("KSF_SG_DEVICES");
  for (size_t begin = 0; begin <= list.size();) {
    size_t end = list.find(':', begin);
    if (end == std::string::npos) end = list.size();
    if (end > begin) paths.push_back(list.substr(begin, end - begin));
    begin = end + 1;
  }

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

// Answers the request when `fd` is an emulated drive; false: not ours.
bool Answer(int fd, unsigned long request, void* arg, int* result) {
  if (request != SG_IO && request != SG_GET_VERSION_NUM) return false;
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

}  // namespace

extern "C" {

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
