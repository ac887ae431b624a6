// A fresh temporary directory that is the current directory while the object
// lives: package files are looked up in the current directory.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ksf-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) std::abort();
    path_ = buffer.data();
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream out(path_ / name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  // A file of `size` bytes whose byte i is (i * 7 + seed) & 0xFF.
  static std::string Pattern(uint32_t size, uint8_t seed = 1) {
    std::string bytes(size, '\0');
    for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7u + seed) & 0xFF);
    return bytes;
  }
  void WriteImage(const std::string& name, uint32_t size, uint8_t seed = 1) const {
    Write(name, Pattern(size, seed));
  }

 private:
  std::filesystem::path path_;
  std::filesystem::path previous_;
};
