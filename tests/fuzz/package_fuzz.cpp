// Arbitrary bytes as the package description file: LoadPackage must neither
// crash nor overrun a field, and a package it accepts must be usable; lines
// far longer than the reader keeps are among them (see Expand).
//
// The input is written to a file in a private temporary directory (the
// current directory while fuzzing) and loaded from there.  Image files are
// served only under the name "a.bin" (a 40-byte file), so every input stays
// cheap and nothing outside the directory is ever opened.
#include <cstdint>
#include <cstring>
#include <string>

#include "../unit/scratch_dir.h"
#include "fake_platform.h"
#include "package/package.h"

namespace {

class FuzzPlatform : public FakePlatform {
 public:
  plat::Handle OpenFileForRead(const char* name) override {
    return std::strcmp(name, "a.bin") == 0 ? FakePlatform::OpenFileForRead(name) : nullptr;
  }
};

struct Setup {
  Setup() { dir.WriteImage("a.bin", 40); }
  ScratchDir dir;
  FuzzPlatform os;
};

template <size_t n>
void CheckTerminated(const char (&field)[n]) {
  if (std::memchr(field, '\0', n) == nullptr) __builtin_trap();
}

// With bit 1 of the first byte set, the three bytes 0x00 B N stand for the
// byte B repeated (N + 1) * 1024 times: short inputs then carry lines far
// longer than what the reader keeps of a line (kPackageLineLimit), up to
// 64 times as long, several per file.
std::string Expand(const uint8_t* data, size_t size) {
  const bool expand = size > 0 && (data[0] & 2);
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    if (expand && data[i] == 0 && i + 2 < size && text.size() < (1u << 20)) {
      text.append((data[i + 2] + 1u) * 1024u, static_cast<char>(data[i + 1]));
      i += 2;
    } else {
      text.push_back(static_cast<char>(data[i]));
    }
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup setup;
  // The first byte picks the code page, so the multibyte-aware upper-casing
  // is exercised as well.
  setup.os.lcid = (size > 0 && (data[0] & 1)) ? 1041 : 1033;
  setup.dir.Write("FUZZ.INI", Expand(data, size));

  ResetUpdatePackage();
  const uint8_t code = LoadPackage("FUZZ.INI");
  const UpdatePackageRecord& p = UpdatePackage;
  CheckTerminated(p.ApplicationTitle);
  CheckTerminated(p.InquiryList);
  CheckTerminated(p.BootFileName);
  CheckTerminated(p.PackageVersion);
  CheckTerminated(p.MainFileName);
  // Only the documented codes; 1 cannot happen, the file is always there.
  if (code > 12 || code == 1) __builtin_trap();
  if (code == 0) {
    // An accepted package can be flashed and shown: both buffers cover the
    // flash layout, the progress divisor is not 0, the title is set.
    if (p.MainImage == nullptr || p.BufferSize == 0 || p.ApplicationTitle[0] == '\0') {
      __builtin_trap();
    }
    if (p.BootImagePresent && p.BootImage == nullptr) __builtin_trap();
    volatile uint8_t sink = p.MainImage[kMainImageReadLength - 1];
    if (p.BootImage != nullptr) sink = p.BootImage[kBootImageReadLength - 1];
    (void)sink;
    if (std::strchr(p.InquiryList, ';') == nullptr) __builtin_trap();
  }
  ResetUpdatePackage();
  return 0;
}
