// The operating-system boundary for the Linux build.
//
// Drives are SCSI generic nodes (/dev/sgN): the pass-through transport's
// 80-byte request becomes one sg_io_hdr_t, submitted with write() on the node
// and collected with poll() and read(), so the transport, discovery, checks and
// flash worker run unchanged.  A node held for an update is opened once,
// exclusively, and every request on it goes through that one descriptor.  Waits and the
// worker thread use real time and std::thread.  Message boxes go to a handler
// that the front end installs.  What Linux has no use for (ASPI, restart,
// helper copies) answers "not available".
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "platform/platform.h"

namespace plat {

// One device command as the platform is about to send it.
struct DeviceCommand {
  const char* node;
  const uint8_t* cdb;
  uint8_t cdb_length;
  uint8_t data_in;  // the request's DataIn: 0 out, 1 in, 2 none
  const uint8_t* data;
  uint32_t length;
};

// Where device nodes, sysfs and /proc are looked for (tests point them at
// folders of their own).
struct SystemPaths {
  std::string dev = "/dev";
  std::string sys = "/sys";
  std::string proc = "/proc";
};

class LinuxPlatform final : public Platform {
 public:
  explicit LinuxPlatform(SystemPaths paths);
  ~LinuxPlatform() override;

  // --- set by the front end ---
  using MessageHandler = std::function<int(const char* text, const char* caption, uint32_t flags)>;
  void SetMessageHandler(MessageHandler handler) { message_handler_ = std::move(handler); }
  void SetLcid(uint32_t lcid) { lcid_ = lcid; }
  // Only these nodes are drives (an explicit --device); empty: scan node_dir.
  void SetNodes(std::vector<std::string> nodes) { fixed_nodes_ = std::move(nodes); }
  // Decides whether a command reaches the device; one held back is answered
  // GOOD with no data.  Unset: everything is sent.
  void SetAdmit(std::function<bool(const DeviceCommand&)> admit) { admit_ = std::move(admit); }
  // Told of every command after its answer (sent or held back), on the thread
  // that sent it: the SCSI status (0xFF when the request failed locally) and
  // the sense bytes.
  using CommandObserver = std::function<void(const DeviceCommand&, bool sent, uint8_t status,
                                             const uint8_t* sense, uint8_t sense_length)>;
  void SetCommandObserver(CommandObserver observer) { observer_ = std::move(observer); }
  // Also told of every command, for a trace (--verbose), with the time the
  // request took in seconds; independent of the observer above.
  using CommandTracer =
      std::function<void(const DeviceCommand&, bool sent, uint8_t status, const uint8_t* sense,
                         uint8_t sense_length, double seconds)>;
  void SetCommandTracer(CommandTracer tracer) { tracer_ = std::move(tracer); }
  // Told of every timed wait before it starts; returning false skips the wait
  // (it ends at once with a time-out).  Unset: every wait runs.
  void SetWaitObserver(std::function<bool(uint32_t)> observer) {
    wait_observer_ = std::move(observer);
  }
  // Waits for the worker threads started so far.
  void JoinThreads();
  // errno of the last failed open or request on this thread.
  int last_errno() const;

  // Whether `node` opens for reading and writing: 0, or the errno.
  static int ReadWriteAccess(const char* node);

  // --- the drive held for an update ---
  // Opens `node` for reading and writing, exclusively (O_EXCL, which the sg
  // driver honours); from then on every request on the node goes through this
  // one descriptor.  0, or the errno (EBUSY: another program has it open).
  int HoldNode(const std::string& node);
  void ReleaseNode();
  // The held node's maximum transfer in bytes (the sg driver answers
  // BLKSECTGET with its queue's limit in bytes); -1 when it does not say.
  int MaxTransferBytes();
  // What failed below the drive in the last such failure ("host status
  // DID_RESET"), empty when none did.
  std::string failure_detail();
  // The errno of the last request that failed below the drive (or of a device
  // that did not open), 0 when the last request got an answer.
  int failure_errno();

  // --- what sysfs and /proc say ---
  // The sg node to use for `path`: a block device (a symlink is followed)
  // gives the same drive's sg node from sysfs, or "" when it has none;
  // anything else is used as it is.
  std::string SgNodeOf(const std::string& path) const;
  // The drive's block node (srN) from sysfs, "" when it has none.
  std::string BlockNodeOf(const std::string& sg_node) const;
  // Where `block_node` is mounted, "" when nowhere.
  std::string MountPointOf(const std::string& block_node) const;
  // The other processes that have one of `nodes` open, as "PID (NAME)".
  std::vector<std::string> HoldersOf(const std::vector<std::string>& nodes) const;
  // Nodes that could not be opened while looking for drives, with the errno.
  std::vector<std::pair<std::string, int>> refused_nodes();

  // --- Platform ---
  Handle CreateEvent() override;
  void SetEvent(Handle event) override;
  void ResetEvent(Handle event) override;
  uint32_t WaitForEvent(Handle event, uint32_t milliseconds) override;
  void CloseEvent(Handle event) override;
  void Sleep(uint32_t milliseconds) override;
  bool StartThread(uint32_t (*proc)(void*), void* param) override;

  Handle LoadLibrary(const char*) override { return nullptr; }
  void* GetProcAddress(Handle, const char*) override { return nullptr; }
  void FreeLibrary(Handle) override {}

  Handle OpenDevice(const char* name, uint32_t access, uint32_t share) override;
  bool GetScsiCapabilities(Handle device, void* capabilities24) override;
  bool ScsiPassThroughDirect(Handle device, void* block80) override;
  bool DeviceControl(Handle device, uint32_t code, const void* in, uint32_t in_size, void* out,
                     uint32_t out_size) override;
  uint32_t GetLastError() override;
  void CloseDevice(Handle device) override;
  uint32_t GetDriveType(const char* root) override;
  bool CdromDeviceNode(int index, char* out, size_t size) override;

  int MessageBox(Handle owner, const char* text, const char* caption, uint32_t flags) override;

  VersionInfo GetVersion() override { return VersionInfo{2, 6}; }
  uint32_t GetUserDefaultLcid() override { return lcid_; }
  // The Japanese texts are Shift-JIS, converted for the terminal.
  uint32_t GetAnsiCodePage() override { return lcid_ == 1041 ? 932 : 1252; }
  bool GetModuleFileName(char* out, size_t size) override;
  bool SetCurrentDirectory(const char* path) override { return chdir(path) == 0; }
  // The sg node is held with O_EXCL instead.
  bool ClaimInstance(const char*) override { return true; }
  bool IsDbcsLeadByte(uint8_t) override { return false; }  // texts are UTF-8

  Handle OpenFileForRead(const char* name) override;
  bool ReadFile(Handle file, void* buffer, uint32_t size, uint32_t* read) override;
  void CloseFile(Handle file) override;

  bool GetModuleCopyPath(char* out, size_t size) override { return GetModuleFileName(out, size); }
  uint32_t GetTempPath(char* out, uint32_t size) override;
  uint32_t GetWindowsDirectory(char*, uint32_t) override { return 0; }
  CopyResult CopyFileNoOverwrite(const char*, const char*) override { return CopyResult::kFailed; }
  bool StartProcess(const char*, const char*) override { return false; }
  bool MoveFileDelayUntilReboot(const char*) override { return false; }
  bool SearchPath(const char*, char*, uint32_t) override { return false; }
  uint32_t GetShortPathName(const char*, char*, uint32_t) override { return 0; }
  // No restart helper on Linux: nothing is ever written for it.
  Handle CreateFileForWrite(const char*) override { return nullptr; }
  bool WriteFile(Handle, const void*, uint32_t) override { return false; }
  bool FlushFile(Handle) override { return false; }
  bool CloseWrittenFile(Handle) override { return false; }
  bool MoveFile(const char*, const char*) override { return false; }
  bool DeleteFile(const char*) override { return false; }

  Handle OpenProcessTokenForPrivileges() override { return nullptr; }
  bool LookupPrivilegeValue(const char*, uint64_t*) override { return false; }
  bool AdjustPrivilege(Handle, uint64_t, uint32_t) override { return false; }
  bool ExitWindowsReboot() override { return false; }
  void CloseHandle(Handle) override {}

 private:
  void ScanNodes();
  std::string NodeOf(Handle device);

  SystemPaths paths_;
  std::vector<std::string> fixed_nodes_;
  std::vector<std::string> scanned_;
  MessageHandler message_handler_;
  uint32_t lcid_ = 1033;
  std::function<bool(const DeviceCommand&)> admit_;
  CommandObserver observer_;
  CommandTracer tracer_;
  std::function<bool(uint32_t)> wait_observer_;

  std::mutex mu_;  // guards the members below
  std::vector<std::thread> threads_;
  std::vector<std::pair<int, std::string>> open_nodes_;
  std::vector<std::pair<std::string, int>> refused_;
  int held_fd_ = -1;
  std::string held_node_;
  std::string failure_detail_;
  int failure_errno_ = 0;
};

}  // namespace plat
