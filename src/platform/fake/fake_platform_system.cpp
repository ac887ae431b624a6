// The virtual-clock double's system facts, files, folders and shutdown.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "fake_platform.h"

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

// ---------------------------------------------------------------- system facts

plat::VersionInfo FakePlatform::GetVersion() { return version; }
uint32_t FakePlatform::GetUserDefaultLcid() { return lcid; }

uint32_t FakePlatform::GetAnsiCodePage() {
  if (code_page != 0) return code_page;
  return lcid == 1041 ? 932 : 1252;
}

bool FakePlatform::GetModuleFileName(char* out, size_t size) {
  CopyOut(module_path, out, size);
  return true;
}

bool FakePlatform::GetModuleCopyPath(char* out, size_t size) {
  return GetModuleFileName(out, size);
}

bool FakePlatform::SetCurrentDirectory(const char* path) {
  Log(std::string("SetCurrentDirectory(") + path + ")");
  return chdir(NativePath(path).c_str()) == 0;
}

bool FakePlatform::ClaimInstance(const char*) { return !other_instance; }

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
