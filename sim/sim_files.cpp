#include "sim_files.h"

#include <cstdio>

namespace sim {

bool ReadWholeFile(const std::string& path, std::string* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out->append(chunk, n);
  std::fclose(f);
  return true;
}

void AppendTraceLine(const std::string& path, uint64_t ms, const std::string& text) {
  if (path.empty()) return;
  if (FILE* f = std::fopen(path.c_str(), "a")) {
    std::fprintf(f, "%llu %s\n", static_cast<unsigned long long>(ms), text.c_str());
    std::fclose(f);
  }
}

void WriteFlashDumps(const std::string& path, const std::vector<const KestranDrive*>& drives) {
  if (path.empty()) return;
  for (size_t i = 0; i < drives.size(); ++i) {
    const std::string name = i == 0 ? path : path + "." + std::to_string(i);
    if (FILE* f = std::fopen(name.c_str(), "wb")) {
      const std::vector<uint8_t>& flash = drives[i]->flash();
      std::fwrite(flash.data(), 1, flash.size(), f);
      std::fclose(f);
    }
  }
}

}  // namespace sim
