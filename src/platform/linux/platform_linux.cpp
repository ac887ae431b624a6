// Linux implementation of the operating-system boundary.
#include "platform/linux/platform_linux.h"

#include <dirent.h>
#include <fcntl.h>
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
int SysfsDeviceType(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return -1;
  char sysfs[96];
  std::snprintf(sysfs, sizeof sysfs, "/sys/dev/char/%u:%u/device/type", major(st.st_rdev),
                minor(st.st_rdev));
  FILE* file = std::fopen(sysfs, "r");
  if (file == nullptr) return -1;
  int type = -1;
  if (std::fscanf(file, "%d", &type) != 1) type = -1;
  std::fclose(file);
  return type;
}

constexpr int kCdromType = 5;

}  // namespace

LinuxPlatform::LinuxPlatform(std::string node_dir) : node_dir_(std::move(node_dir)) {}

LinuxPlatform::~LinuxPlatform() { JoinThreads(); }

int LinuxPlatform::last_errno() const { return t_errno; }

int LinuxPlatform::ReadWriteAccess(const char* node) {
  const int fd = open(node, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  close(fd);
  return 0;
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
  const int mode = (access & kGenericWrite) != 0 ? O_RDWR : O_RDONLY;
  const int fd = open(name, mode | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    Fail(errno);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(mu_);
  open_nodes_.emplace_back(fd, name);
  return HandleOf(fd);
}

std::string LinuxPlatform::NodeOf(Handle device) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& open : open_nodes_) {
    if (open.first == FdOf(device)) return open.second;
  }
  return std::string();
}

void LinuxPlatform::CloseDevice(Handle device) {
  const int fd = FdOf(device);
  {
    std::lock_guard<std::mutex> lock(mu_);
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

  if (admit_ && !admit_(command)) {
    block->ScsiStatus = 0;
    block->SenseInfoLength = 0;
    if (observer_) observer_(command, false, 0, sense, 0);
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

  int result;
  do {
    result = ioctl(FdOf(device), SG_IO, &io);
  } while (result < 0 && errno == EINTR);
  if (result < 0) {
    const int error = errno;
    if (observer_) observer_(command, true, 0xFF, sense, 0);
    return Fail(error);
  }
  // A request the adapter or the driver could not complete never got an
  // answer from the drive.
  constexpr uint16_t kDidTimeOut = 0x03;
  constexpr uint16_t kDriverTimeout = 0x06;
  if (io.host_status != 0 || (io.driver_status & 0x0F) == kDriverTimeout) {
    if (observer_) observer_(command, true, 0xFF, sense, 0);
    const bool timed_out = io.host_status == kDidTimeOut || (io.driver_status & 0x0F) == 0x06;
    return Fail(timed_out ? ETIMEDOUT : EIO);
  }
  block->ScsiStatus = io.status;
  block->SenseInfoLength = io.sb_len_wr;
  if (io.resid > 0 && static_cast<uint32_t>(io.resid) <= block->DataTransferLength) {
    block->DataTransferLength -= static_cast<uint32_t>(io.resid);
  }
  if (observer_) observer_(command, true, io.status, sense, io.sb_len_wr);
  return true;
}

uint32_t LinuxPlatform::GetLastError() { return Win32Error(t_errno); }

uint32_t LinuxPlatform::GetDriveType(const char* root) {
  (void)root;
  return 1;  // DRIVE_NO_ROOT_DIR: Linux has no drive letters
}

void LinuxPlatform::ScanNodes() {
  scanned_.clear();
  if (!fixed_nodes_.empty()) {
    for (const auto& node : fixed_nodes_) {
      const int type = SysfsDeviceType(node);
      if (type < 0 || type == kCdromType) scanned_.push_back(node);
    }
    return;
  }
  std::vector<std::pair<long, std::string>> found;
  DIR* dir = opendir(node_dir_.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    long number = 0;
    if (!SgNumber(entry->d_name, &number)) continue;
    std::string path = node_dir_ + "/" + entry->d_name;
    // Devices that sysfs names as another class are left alone; where sysfs
    // does not say, the drive's own INQUIRY answer decides.
    const int type = SysfsDeviceType(path);
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
