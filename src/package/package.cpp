// The package description file: read into UpdatePackage, then the images.
#include <cstdio>
#include <cstring>
#include <string>
#ifndef _WIN32
#include <dirent.h>
#include <strings.h>
#endif

#include "package/package.h"
#include "platform/platform.h"

UpdatePackageRecord UpdatePackage;
PackageFault LastPackageFault;

namespace {

uint32_t g_line = 0;         // the description file's line being read
uint32_t g_buffer_line = 0;  // where BUFFERSIZE was given

// The key (without its '=') and the line of a value error.
void NoteFault(const char* key, uint32_t line) {
  std::snprintf(LastPackageFault.key, sizeof LastPackageFault.key, "%.*s",
                static_cast<int>(std::strcspn(key, "=")), key);
  LastPackageFault.line = line;
}

constexpr const char* kFallbackName = "kestfirm.ini";
constexpr const char* kFirstSection = "[UPGRADEINFORMATION]";
constexpr const char* kSecondSection = "[OPTION]";

constexpr uint32_t kClassDefaultWritable = 0x58000;  // classes 1 and 2
constexpr uint32_t kClassDefaultRom = 0x20000;       // class 3

// Reads one line of any length, keeping at most kPackageLineLimit bytes of it
// (a file with one huge line must not take the memory); *cut tells that the
// line went on.  The line end (LF, or CR LF) is dropped.  False at the end of
// the file.  A read error counts as the end of the file: the line it
// interrupted is not used.
bool ReadLine(FILE* file, std::string& line, bool* cut) {
  line.clear();
  *cut = false;
  bool any = false;
  int c;
  ++g_line;
  while ((c = std::getc(file)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line.size() < kPackageLineLimit) {
      line.push_back(static_cast<char>(c));
    } else {
      *cut = true;
    }
  }
  if (c == EOF && (std::ferror(file) || !any)) return false;
  // A CR beyond the limit was never kept; only an end CR LF is a line end.
  if (!*cut && !line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

// Upper-cased copy of a line in the system code page: the second byte of a
// two-byte character is left alone (it may lie in the range of 'a'..'z').
std::string UpperCopy(const std::string& line) {
  std::string upper(line);
  plat::Platform& os = plat::Os();
  for (size_t i = 0; i < upper.size(); ++i) {
    const auto byte = static_cast<uint8_t>(upper[i]);
    if (os.IsDbcsLeadByte(byte)) {
      ++i;  // skip the trail byte
    } else if (byte >= 'a' && byte <= 'z') {
      upper[i] = static_cast<char>(byte - 'a' + 'A');
    }
  }
  return upper;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Decimal number the way the C library's atoi reads it: leading white
// space, an optional sign, digits up to the first other character; no digits
// give 0.  Kept modulo 2^32, so "-1" is 0xFFFFFFFF.
uint32_t ParseNumber(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  uint32_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) value = value * 10u + uint32_t(*text - '0');
  return negative ? 0u - value : value;
}

enum class LineResult { kIgnored, kStored, kTooLong, kSectionEnd };

// One line of [UPGRADEINFORMATION]: keys are found on the upper-cased copy,
// values taken from the line as written.
LineResult FirstSectionLine(const std::string& line, const std::string& upper, bool cut) {
  UpdatePackageRecord& p = UpdatePackage;
  struct TextKey {
    const char* key;
    char* field;
    size_t capacity;
  };
  const TextKey text_keys[] = {
      {"APPLICATIONTITLE=", p.ApplicationTitle, sizeof(p.ApplicationTitle)},
      {"INQUIRY=", p.InquiryList, sizeof(p.InquiryList)},
      {"BOOTFIRMWAREFILENAME=", p.BootFileName, sizeof(p.BootFileName)},
      {"FIRMWAREFILENAME=", p.MainFileName, sizeof(p.MainFileName)},
      {"VERSION=", p.PackageVersion, sizeof(p.PackageVersion)},
  };
  struct NumberKey {
    const char* key;
    uint32_t* field;
  };
  const NumberKey number_keys[] = {
      {"BOOTFIRMWAREFILESIZE=", &p.BootImageSize},
      {"FIRMWAREFILESIZE=", &p.MainImageSize},
      {"BUFFERSIZE=", &p.BufferSize},
  };

  for (const TextKey& k : text_keys) {
    if (!StartsWith(upper, k.key)) continue;
    const std::string value = line.substr(std::strlen(k.key));
    if (cut || value.size() >= k.capacity) {
      NoteFault(k.key, g_line);
      return LineResult::kTooLong;
    }
    std::memcpy(k.field, value.data(), value.size());
    k.field[value.size()] = '\0';
    if (k.field == p.BootFileName) p.BootImagePresent = 1;
    return LineResult::kStored;
  }
  for (const NumberKey& k : number_keys) {
    if (!StartsWith(upper, k.key)) continue;
    // The whole number was not kept, so its value is unknown.
    if (cut) {
      NoteFault(k.key, g_line);
      return LineResult::kTooLong;
    }
    if (k.field == &p.BufferSize) g_buffer_line = g_line;
    *k.field = ParseNumber(line.c_str() + std::strlen(k.key));
    return LineResult::kStored;
  }
  if (StartsWith(upper, kSecondSection)) return LineResult::kSectionEnd;
  return LineResult::kIgnored;
}

// One line of [OPTION], already upper-cased (values are seen in upper case);
// `cut`: the line went on beyond what was kept.
// A YES/NO value counts by its first characters only ("NOW" is a NO); any
// other value leaves the field as it was, so a flag once set stays set.
void SecondSectionLine(const std::string& upper, bool cut) {
  UpdatePackageRecord& p = UpdatePackage;
  enum class Test { kNo, kYes, kNumber, kNone };
  struct OptionKey {
    const char* key;
    Test test;
    uint8_t* field;
    uint8_t value;  // for kNo / kYes
  };
  const OptionKey keys[] = {
      {"USE SCSIPASSTHROUGHINTERFACE ON WINNT=", Test::kNo, &p.NoPassThrough, 1},
      {"USE DOZEV EXTERNAL DRIVE INQUIRY=", Test::kYes, &p.ExternalInquiry, 1},
      {"USE PCB VERSION CHECK=", Test::kNumber, &p.BoardVersionLimit, 0},
      {"USE DELETE FILE=", Test::kNo, &p.NoDeleteFile, 1},
      {"USE RESTART=", Test::kNo, &p.NoRestart, 1},
      {"USE BINARY INFORMATION=", Test::kNone, nullptr, 0},
      {"USE CDR CAUTION=", Test::kYes, &p.DriveClass, 1},
      {"USE CDRW CAUTION=", Test::kYes, &p.DriveClass, 2},
      {"USE CDROM CAUTION=", Test::kYes, &p.DriveClass, 3},
      {"UPDATE WAIT TIME=", Test::kNumber, &p.WaitTime, 0},
  };
  for (const OptionKey& k : keys) {
    if (!StartsWith(upper, k.key)) continue;
    const std::string value = upper.substr(std::strlen(k.key));
    switch (k.test) {
      case Test::kNo:
        if (StartsWith(value, "NO")) *k.field = k.value;
        break;
      case Test::kYes:
        if (StartsWith(value, "YES")) *k.field = k.value;
        break;
      case Test::kNumber:  // the number's low 8 bits; unknown on a cut line
        if (cut) break;
        *k.field = static_cast<uint8_t>(ParseNumber(value.c_str()));
        break;
      case Test::kNone:
        break;
    }
    return;
  }
}

// Reads the description file; returns 0 or the code of the first failure.
uint8_t ReadDescription(FILE* file) {
  std::string line;
  bool cut = false;
  for (;;) {
    if (!ReadLine(file, line, &cut)) return kPackageNoFirstSection;
    if (StartsWith(UpperCopy(line), kFirstSection)) break;
  }
  for (;;) {
    if (!ReadLine(file, line, &cut)) return kPackageNoSecondSection;
    const LineResult result = FirstSectionLine(line, UpperCopy(line), cut);
    if (result == LineResult::kTooLong) return kPackageValueTooLong;
    if (result == LineResult::kSectionEnd) break;
  }
  while (ReadLine(file, line, &cut)) SecondSectionLine(UpperCopy(line), cut);
  return kPackageLoaded;
}

// "%.24s Upgrade => %.4s" from the INQUIRY list and the version, each run of
// two or more blanks reduced to one.
void DeriveTitle() {
  UpdatePackageRecord& p = UpdatePackage;
  char formatted[64];
  std::snprintf(formatted, sizeof(formatted), "%.24s Upgrade => %.4s", p.InquiryList,
                p.PackageVersion);
  size_t out = 0;
  for (size_t in = 0; formatted[in] != '\0'; ++in) {
    if (formatted[in] == ' ' && out > 0 && p.ApplicationTitle[out - 1] == ' ') continue;
    p.ApplicationTitle[out++] = formatted[in];
  }
  p.ApplicationTitle[out] = '\0';
}

}  // namespace

void ResetUpdatePackage() {
  ReleaseImage(UpdatePackage.BootImage);
  ReleaseImage(UpdatePackage.MainImage);
  std::memset(&UpdatePackage, 0, sizeof(UpdatePackage));
  UpdatePackage.BufferSize = 2048;
  UpdatePackage.WaitTime = 45;
}

std::string FoundName(const char* name) {
#ifndef _WIN32
  std::string found;
  if (DIR* dir = opendir(".")) {
    while (const dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, name) == 0) {
        found = name;
        break;
      }
      if (found.empty() && strcasecmp(entry->d_name, name) == 0) found = entry->d_name;
    }
    closedir(dir);
  }
  if (!found.empty()) return found;
#endif
  return name;
}

uint8_t LoadPackage(const char* first_candidate) {
  UpdatePackageRecord& p = UpdatePackage;
  LastPackageFault = {};
  g_line = 0;
  g_buffer_line = 0;

  FILE* file = std::fopen(FoundName(first_candidate).c_str(), "r");
  if (file == nullptr) file = std::fopen(FoundName(kFallbackName).c_str(), "r");
  if (file == nullptr) return kPackageNoFile;
  const uint8_t read_result = ReadDescription(file);
  std::fclose(file);
  if (read_result != kPackageLoaded) return read_result;

  if (p.MainImageSize == 0) {
    switch (p.DriveClass) {
      case 1:
      case 2:
        p.MainImageSize = kClassDefaultWritable;
        break;
      case 3:
        p.MainImageSize = kClassDefaultRom;
        break;
      default:
        return kPackageNoMainSize;
    }
  }

  if (p.BootImagePresent == 1) {
    ReleaseImage(p.BootImage);
    const uint8_t code =
        LoadImageFile(p.BootFileName, p.BootImageSize, kBootImageReadLength, &p.BootImage);
    if (code != kPackageLoaded) {
      std::snprintf(LastPackageFault.file, sizeof LastPackageFault.file, "%s", p.BootFileName);
      return code;
    }
  }
  ReleaseImage(p.MainImage);
  const uint8_t code =
      LoadImageFile(p.MainFileName, p.MainImageSize, kMainImageReadLength, &p.MainImage);
  if (code != kPackageLoaded) {
    std::snprintf(LastPackageFault.file, sizeof LastPackageFault.file, "%s", p.MainFileName);
    return code;
  }

  if (p.InquiryList[0] == '\0' || p.InquiryList[0] == ';' || p.PackageVersion[0] == '\0') {
    return kPackageNoInquiryOrVersion;
  }
  if (std::strchr(p.InquiryList, ';') == nullptr) return kPackageInquiryNotTerminated;
  // The progress display divides by BufferSize.
  if (p.BufferSize == 0) {
    NoteFault("BUFFERSIZE", g_buffer_line);
    return kPackageBadBufferSize;
  }

  if (p.ApplicationTitle[0] == '\0') DeriveTitle();
  return kPackageLoaded;
}
