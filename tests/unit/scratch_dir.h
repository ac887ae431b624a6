// A fresh temporary directory that is the current directory while the object
// lives: package files are looked up in the current directory.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class ScratchDir {
 public:
  ScratchDir() : previous_(std::filesystem::current_path()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "ksf-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
    std::filesystem::current_path(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path_ / name, std::ios::binary) << bytes;
  }
  // `size` bytes whose byte i is (i * 7 + seed) & 0xFF.
  static std::string Pattern(uint32_t size, uint8_t seed = 1) {
    std::string bytes(size, '\0');
    for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7u + seed) & 0xFF);
    return bytes;
  }
  void WriteImage(const std::string& name, uint32_t size) const { Write(name, Pattern(size)); }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};
