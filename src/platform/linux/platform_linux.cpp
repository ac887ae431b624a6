// Linux implementation of the operating-system boundary.
#include "platform/linux/platform_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <scsi/sg.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/linux/sg_result.h"
#include "platform/ptr32.h"
#include "platform/request_blocks.h"

namespace plat {
namespace {

thread_local int t_errno = 0;

// The Win32 error a Windows program would have seen for the same failure, so
// the failure texts read the same on both systems.
uint32_t Win32Error(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return 5;  // ERROR_ACCESS_DENIED
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return 2;  // ERROR_FILE_NOT_FOUND
    case EBADF:
      return 6;  // ERROR_INVALID_HANDLE
    case ENOMEM:
      return 8;  // ERROR_NOT_ENOUGH_MEMORY
    case EIO:
      return 21;  // ERROR_NOT_READY (what Wine reports for a failed SG_IO)
    case EINVAL:
      return 87;  // ERROR_INVALID_PARAMETER
    case ETIMEDOUT:
      return 121;  // ERROR_SEM_TIMEOUT
    case EBUSY:
      return 170;  // ERROR_BUSY
    default:
      return 31;  // ERROR_GEN_FAILURE
  }
}

bool Fail(int error) {
  t_errno = error;
  return false;
}

int FdOf(Handle handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)) - 1; }
Handle HandleOf(int fd) { return reinterpret_cast<Handle>(static_cast<intptr_t>(fd) + 1); }

struct Event {
  std::mutex mu;
  std::condition_variable cv;
  bool signalled = false;
};

// sgN names only, in number order.
bool SgNumber(const char* name, long* number) {
  if (std::strncmp(name, "sg", 2) != 0 || name[2] == '\0') return false;
  char* end = nullptr;
  *number = std::strtol(name + 2, &end, 10);
  return *end == '\0' && name[2] >= '0' && name[2] <= '9';
}

// The SCSI peripheral device type of a character device node from sysfs; -1
// when sysfs does not say (no such node, not a character device, no sysfs).
int SysfsDeviceType(const std::string& sys, const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return -1;
  char sysfs[64];
  std::snprintf(sysfs, sizeof sysfs, "/dev/char/%u:%u/device/type", major(st.st_rdev),
                minor(st.st_rdev));
  FILE* file = std::fopen((sys + sysfs).c_str(), "r");
  if (file == nullptr) return -1;
  int type = -1;
  if (std::fscanf(file, "%d", &type) != 1) type = -1;
  std::fclose(file);
  return type;
}

constexpr int kCdromType = 5;

// The first entry of a folder (other than . and ..), "" when none.
std::string FirstEntry(const std::string& folder) {
  std::string name;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      name = entry->d_name;
      break;
    }
    closedir(dir);
  }
  return name;
}

std::string RealPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string out(real);
  std::free(real);
  return out;
}

// mountinfo writes blanks and the like as \ooo.
std::string Unescaped(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      out += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

}  // namespace

LinuxPlatform::LinuxPlatform(SystemPaths paths) : paths_(std::move(paths)) {}

LinuxPlatform::~LinuxPlatform() {
  JoinThreads();
  ReleaseNode();
}

int LinuxPlatform::last_errno() const { return t_errno; }

int LinuxPlatform::ReadWriteAccess(const char* node) {
  const int fd = open(node, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  close(fd);
  return 0;
}

int LinuxPlatform::HoldNode(const std::string& node) {
  const int fd = open(node.c_str(), O_RDWR | O_EXCL | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  std::lock_guard<std::mutex> lock(mu_);
  held_fd_ = fd;
  held_node_ = node;
  return 0;
}

void LinuxPlatform::ReleaseNode() {
  std::lock_guard<std::mutex> lock(mu_);
  if (held_fd_ >= 0) close(held_fd_);
  held_fd_ = -1;
  held_node_.clear();
}

int LinuxPlatform::MaxTransferBytes() {
  int bytes = 0;
  if (held_fd_ < 0 || ioctl(held_fd_, BLKSECTGET, &bytes) != 0 || bytes <= 0) return -1;
  return bytes;
}

std::string LinuxPlatform::failure_detail() {
  std::lock_guard<std::mutex> lock(mu_);
  return failure_detail_;
}

int LinuxPlatform::failure_errno() {
  std::lock_guard<std::mutex> lock(mu_);
  return failure_errno_;
}

std::vector<std::pair<std::string, int>> LinuxPlatform::refused_nodes() {
  std::lock_guard<std::mutex> lock(mu_);
  return refused_;
}

// ------------------------------------------------------------ sysfs, /proc
std::string LinuxPlatform::SgNodeOf(const std::string& path) const {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return path;
  char sysfs[80];
  std::snprintf(sysfs, sizeof sysfs, "/dev/block/%u:%u/device/scsi_generic", major(st.st_rdev),
                minor(st.st_rdev));
  const std::string sg = FirstEntry(paths_.sys + sysfs);
  return sg.empty() ? std::string() : paths_.dev + "/" + sg;
}

std::string LinuxPlatform::BlockNodeOf(const std::string& sg_node) const {
  const std::string real = RealPath(sg_node);
  const std::string name = real.substr(real.rfind('/') + 1);
  const std::string block =
      FirstEntry(paths_.sys + "/class/scsi_generic/" + name + "/device/block");
  return block.empty() ? std::string() : paths_.dev + "/" + block;
}

std::string LinuxPlatform::MountPointOf(const std::string& block_node) const {
  std::ifstream mountinfo(paths_.proc + "/self/mountinfo");
  const std::string real = RealPath(block_node);
  std::string line;
  while (std::getline(mountinfo, line)) {
    // ID PARENT MAJ:MIN ROOT MOUNT-POINT OPTIONS [TAGS...] - TYPE SOURCE OPTIONS
    std::istringstream fields(line);
    std::string field, mount_point, source;
    for (int i = 0; fields >> field; ++i) {
      if (i == 4) mount_point = field;
      if (field == "-") {
        fields >> field >> source;
        break;
      }
    }
    source = Unescaped(source);
    if (!source.empty() && (source == block_node || source == real)) return Unescaped(mount_point);
  }
  return std::string();
}

std::vector<std::string> LinuxPlatform::HoldersOf(const std::vector<std::string>& nodes) const {
  std::vector<std::string> wanted, holders;
  for (const auto& node : nodes) {
    if (!node.empty()) wanted.push_back(RealPath(node));
  }
  const std::string self = std::to_string(getpid());
  DIR* proc = opendir(paths_.proc.c_str());
  if (proc == nullptr) return holders;
  while (const dirent* entry = readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    const std::string fds = paths_.proc + "/" + pid + "/fd";
    DIR* dir = opendir(fds.c_str());
    if (dir == nullptr) continue;
    bool holds = false;
    while (const dirent* fd = readdir(dir)) {
      char target[4096];
      const ssize_t length = readlink((fds + "/" + fd->d_name).c_str(), target, sizeof target - 1);
      if (length <= 0) continue;
      target[length] = '\0';
      holds = holds || std::find(wanted.begin(), wanted.end(), target) != wanted.end();
    }
    closedir(dir);
    if (!holds) continue;
    std::string name;
    std::ifstream comm(paths_.proc + "/" + pid + "/comm");
    std::getline(comm, name);
    holders.push_back(pid + " (" + name + ")");
  }
  closedir(proc);
  std::sort(holders.begin(), holders.end());
  return holders;
}

// ------------------------------------------------------------ events, threads
Handle LinuxPlatform::CreateEvent() { return new Event; }

void LinuxPlatform::SetEvent(Handle event) {
  auto* e = static_cast<Event*>(event);
  std::lock_guard<std::mutex> lock(e->mu);
  e->signalled = true;
  e->cv.notify_all();
}

void LinuxPlatform::ResetEvent(Handle event) {
  auto* e = static_cast<Event*>(event);
  std::lock_guard<std::mutex> lock(e->mu);
  e->signalled = false;
}

void LinuxPlatform::Sleep(uint32_t milliseconds) {
  if (wait_observer_ && !wait_observer_(milliseconds)) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint32_t LinuxPlatform::WaitForEvent(Handle event, uint32_t milliseconds) {
  auto* e = static_cast<Event*>(event);
  if (milliseconds != kInfinite && wait_observer_ && !wait_observer_(milliseconds)) {
    std::lock_guard<std::mutex> lock(e->mu);
    if (!e->signalled) return kWaitTimeout;
    e->signalled = false;
    return kWaitObject0;
  }
  std::unique_lock<std::mutex> lock(e->mu);
  if (milliseconds == kInfinite) {
    e->cv.wait(lock, [e] { return e->signalled; });
  } else if (!e->cv.wait_for(lock, std::chrono::milliseconds(milliseconds),
                             [e] { return e->signalled; })) {
    return kWaitTimeout;
  }
  e->signalled = false;  // auto-reset
  return kWaitObject0;
}

void LinuxPlatform::CloseEvent(Handle event) { delete static_cast<Event*>(event); }

bool LinuxPlatform::StartThread(uint32_t (*proc)(void*), void* param) {
  // The worker takes no signals: they are the front end's business, and a
  // signal arriving in the middle of SG_IO could cut a flash write short.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  bool started = true;
  try {
    std::lock_guard<std::mutex> lock(mu_);
    threads_.emplace_back([proc, param] { proc(param); });
  } catch (...) {
    started = false;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return started;
}

void LinuxPlatform::JoinThreads() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mu_);
    threads.swap(threads_);
  }
  for (auto& thread : threads) thread.join();
}

// ------------------------------------------------------------------ devices
// Windows' share modes have no counterpart here: ksfupd holds its node with
// O_EXCL on its own.
Handle LinuxPlatform::OpenDevice(const char* name, uint32_t access, uint32_t /*share*/) {
  std::lock_guard<std::mutex> lock(mu_);
  if (held_fd_ >= 0 && held_node_ == name) return HandleOf(held_fd_);
  // Vendor commands pass only on a node open for reading and writing: a
  // read-only descriptor is never worth having.
  if ((access & kGenericWrite) == 0) {
    Fail(EACCES);
    return nullptr;
  }
  const int fd = open(name, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    Fail(error);
    failure_errno_ = error;
    failure_detail_.clear();
    const bool noted = std::any_of(refused_.begin(), refused_.end(),
                                   [name](const auto& node) { return node.first == name; });
    if (!noted && (error == EACCES || error == EPERM || error == EBUSY)) {
      refused_.emplace_back(name, error);
    }
    return nullptr;
  }
  open_nodes_.emplace_back(fd, name);
  return HandleOf(fd);
}

std::string LinuxPlatform::NodeOf(Handle device) {
  std::lock_guard<std::mutex> lock(mu_);
  if (FdOf(device) == held_fd_) return held_node_;
  for (const auto& open : open_nodes_) {
    if (open.first == FdOf(device)) return open.second;
  }
  return std::string();
}

void LinuxPlatform::CloseDevice(Handle device) {
  const int fd = FdOf(device);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (fd == held_fd_) return;  // kept until ReleaseNode
    open_nodes_.erase(std::remove_if(open_nodes_.begin(), open_nodes_.end(),
                                     [fd](const auto& open) { return open.first == fd; }),
                      open_nodes_.end());
  }
  close(fd);
}

bool LinuxPlatform::GetScsiCapabilities(Handle device, void* capabilities24) {
  (void)device;
  // The sg driver copies through its own buffers: no alignment is needed.
  IoScsiCapabilities caps = {};
  caps.Length = sizeof caps;
  caps.MaximumTransferLength = 0x10000;
  caps.AlignmentMask = 0;
  std::memcpy(capabilities24, &caps, sizeof caps);
  return true;
}

// The CD-ROM class driver's requests (exclusive access, media-change
// polling) do not exist on sg nodes: they fail as on Windows before Vista.
bool LinuxPlatform::DeviceControl(Handle, uint32_t, const void*, uint32_t, void*, uint32_t) {
  return Fail(EINVAL);
}

bool LinuxPlatform::ScsiPassThroughDirect(Handle device, void* block80) {
  auto* block = static_cast<PassThroughBlock*>(block80);
  if (block->CdbLength == 0 || block->CdbLength > sizeof block->Cdb) return Fail(EINVAL);
  // The sense area must lie inside the block.
  const uint32_t sense_end = block->SenseInfoOffset + block->SenseInfoLength;
  if (block->SenseInfoLength != 0 &&
      (block->SenseInfoOffset < offsetof(PassThroughBlock, Sense) || sense_end > sizeof *block)) {
    return Fail(EINVAL);
  }
  auto* data = static_cast<uint8_t*>(FieldToPtr(block->DataBuffer));
  if (block->DataTransferLength != 0 && data == nullptr) return Fail(EINVAL);

  const std::string node = NodeOf(device);
  const DeviceCommand command{node.c_str(),  block->Cdb, block->CdbLength,
                              block->DataIn, data,       block->DataTransferLength};
  uint8_t* sense = reinterpret_cast<uint8_t*>(block) + block->SenseInfoOffset;
  const auto started = std::chrono::steady_clock::now();
  // The answer, to the observer and the tracer.
  const auto tell = [&](bool sent, uint8_t status, uint8_t sense_length) {
    if (observer_) observer_(command, sent, status, sense, sense_length);
    if (tracer_) {
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
      tracer_(command, sent, status, sense, sense_length, took.count());
    }
  };

  if (admit_ && !admit_(command)) {
    block->ScsiStatus = 0;
    block->SenseInfoLength = 0;
    tell(false, 0, 0);
    return true;
  }

  sg_io_hdr_t io = {};
  io.interface_id = 'S';
  io.cmd_len = block->CdbLength;
  io.cmdp = block->Cdb;
  io.dxfer_len = block->DataTransferLength;
  io.dxferp = data;
  switch (block->DataIn) {
    case 0:
      io.dxfer_direction = SG_DXFER_TO_DEV;
      break;
    case 1:
      io.dxfer_direction = SG_DXFER_FROM_DEV;
      break;
    default:
      // No direction, no data.
      if (block->DataTransferLength != 0) return Fail(EINVAL);
      io.dxfer_direction = SG_DXFER_NONE;
      break;
  }
  io.mx_sb_len = static_cast<uint8_t>(block->SenseInfoLength);
  io.sbp = sense;
  io.timeout = block->TimeOutValue * 1000u;

  // Submitted once with write(), collected with poll() and read().  Unlike
  // ioctl(SG_IO), which the kernel restarts (and so sends again) after a stop
  // signal, only the collection is repeated when a signal breaks a wait.
  const int fd = FdOf(device);
  int error = 0;
  if (write(fd, &io, sizeof io) < 0) {
    error = errno;
  } else {
    for (;;) {
      pollfd ready = {fd, POLLIN, 0};
      if (poll(&ready, 1, -1) < 0 && errno != EINTR) {
        error = errno;
        break;
      }
      if (read(fd, &io, sizeof io) >= 0) break;
      if (errno != EAGAIN && errno != EINTR) {
        error = errno;
        break;
      }
    }
  }
  std::string detail;
  if (error == 0) error = ClassifySgResult(io, &detail);
  {
    std::lock_guard<std::mutex> lock(mu_);
    failure_detail_ = detail;
    failure_errno_ = error;
  }
  if (error != 0) {
    // A request the adapter or the driver could not complete never got an
    // answer from the drive.
    tell(true, 0xFF, 0);
    return Fail(error);
  }
  block->ScsiStatus = io.status;
  block->SenseInfoLength = io.sb_len_wr;
  if (io.resid > 0 && static_cast<uint32_t>(io.resid) <= block->DataTransferLength) {
    block->DataTransferLength -= static_cast<uint32_t>(io.resid);
  }
  tell(true, io.status, io.sb_len_wr);
  return true;
}

uint32_t LinuxPlatform::GetLastError() { return Win32Error(t_errno); }

uint32_t LinuxPlatform::GetDriveType(const char* root) {
  (void)root;
  return 1;  // DRIVE_NO_ROOT_DIR: Linux has no drive letters
}

void LinuxPlatform::ScanNodes() {
  scanned_.clear();
  {
    std::lock_guard<std::mutex> lock(mu_);
    refused_.clear();
  }
  if (!fixed_nodes_.empty()) {
    for (const auto& node : fixed_nodes_) {
      const int type = SysfsDeviceType(paths_.sys, node);
      if (type < 0 || type == kCdromType) scanned_.push_back(node);
    }
    return;
  }
  std::vector<std::pair<long, std::string>> found;
  DIR* dir = opendir(paths_.dev.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    long number = 0;
    if (!SgNumber(entry->d_name, &number)) continue;
    std::string path = paths_.dev + "/" + entry->d_name;
    // Devices that sysfs names as another class are left alone; where sysfs
    // does not say, the drive's own INQUIRY answer decides.
    const int type = SysfsDeviceType(paths_.sys, path);
    if (type >= 0 && type != kCdromType) continue;
    found.emplace_back(number, std::move(path));
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  for (auto& node : found) scanned_.push_back(std::move(node.second));
}

bool LinuxPlatform::CdromDeviceNode(int index, char* out, size_t size) {
  if (index == 0) ScanNodes();
  // Paths that do not fit are passed over, never cut short.
  int seen = 0;
  for (const auto& node : scanned_) {
    if (node.size() >= size) continue;
    if (seen++ == index) {
      std::memcpy(out, node.c_str(), node.size() + 1);
      return true;
    }
  }
  return false;
}

// --------------------------------------------------------------- the rest
int LinuxPlatform::MessageBox(Handle owner, const char* text, const char* caption, uint32_t flags) {
  (void)owner;
  if (message_handler_) return message_handler_(text, caption, flags);
  std::fprintf(stderr, "%s\n", text);
  return (flags & kMbYesNo) != 0 ? kIdNo : kIdOk;
}

bool LinuxPlatform::GetModuleFileName(char* out, size_t size) {
  if (size == 0) return false;
  const ssize_t length = readlink("/proc/self/exe", out, size - 1);
  if (length < 0) return false;
  out[length] = '\0';
  return true;
}

Handle LinuxPlatform::OpenFileForRead(const char* name) {
  const int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Fail(errno);
    return nullptr;
  }
  return HandleOf(fd);
}

bool LinuxPlatform::ReadFile(Handle file, void* buffer, uint32_t size, uint32_t* read) {
  ssize_t got;
  do {
    got = ::read(FdOf(file), buffer, size);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return Fail(errno);
  *read = static_cast<uint32_t>(got);
  return true;
}

void LinuxPlatform::CloseFile(Handle file) { close(FdOf(file)); }

uint32_t LinuxPlatform::GetTempPath(char* out, uint32_t size) {
  const char* dir = "/tmp/";
  const uint32_t length = static_cast<uint32_t>(std::strlen(dir));
  if (size <= length) return length + 1;
  std::memcpy(out, dir, length + 1);
  return length;
}

}  // namespace plat
