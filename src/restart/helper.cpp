// The restart helper: a copy of this program in the temporary folder, named
// REB_xxxx.EXE, that restarts Windows after the main program has ended and is
// deleted by Windows at its next start.
#include <cstdio>
#include <cstring>
#include <string>

#include "package/package.h"
#include "platform/platform.h"
#include "restart/restart.h"
#include "text/catalogue.h"
#include "text/system_state.h"

namespace {

constexpr uint32_t kTempPathSize = 256;
constexpr uint32_t kWindowsDirSize = 128;
constexpr uint32_t kWindowsDirLimit = 115;  // room for "\WININIT.INI" and the terminator
constexpr uint32_t kShortPathSize = 256;
constexpr char kRenameHeader[] = "[RENAME]";
constexpr size_t kRenameHeaderLength = sizeof kRenameHeader - 1;

std::string ReadWholeFile(std::FILE* file) {
  std::string content;
  char chunk[512];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, got);
  return content;
}

// Offset just past the first line that begins with "[RENAME]" (case matters),
// or npos.  A header on a last line without a line end is ended here.
size_t FindRenameSectionBody(std::string& content) {
  size_t line = 0;
  while (line < content.size()) {
    size_t end = content.find('\n', line);
    if (content.compare(line, kRenameHeaderLength, kRenameHeader) == 0) {
      if (end == std::string::npos) {
        content.push_back('\n');
        end = content.size() - 1;
      }
      return end + 1;
    }
    if (end == std::string::npos) break;
    line = end + 1;
  }
  return std::string::npos;
}

}  // namespace

void ScheduleDeleteAtReboot(const char* path) {
  plat::Platform& os = plat::Os();
  if (OsKind != kOsWindows9x) {
    os.MoveFileDelayUntilReboot(path);
    return;
  }

  char ini[kWindowsDirSize];
  const uint32_t length = os.GetWindowsDirectory(ini, kWindowsDirSize);
  if (length == 0 || length > kWindowsDirLimit) return;
  std::strcat(ini, "\\WININIT.INI");

  // Without a short name there is no entry worth writing.
  char short_path[kShortPathSize];
  const uint32_t short_length = os.GetShortPathName(path, short_path, kShortPathSize);
  if (short_length == 0 || short_length >= kShortPathSize) return;
  const std::string entry = std::string("NUL=") + short_path + "\n";

  char found[kWindowsDirSize];
  if (!os.SearchPath(ini, found, kWindowsDirSize)) {
    std::FILE* file = static_cast<std::FILE*>(os.CreateTextFile(ini));
    if (file == nullptr) return;
    std::fputs(kRenameHeader, file);
    std::fputs("\n", file);
    std::fputs(entry.c_str(), file);
    std::fclose(file);
    return;
  }

  std::FILE* file = static_cast<std::FILE*>(os.OpenTextFileUpdate(found));
  if (file == nullptr) return;
  // Inserting inside the file means rewriting it: read it whole, put the
  // entry directly below an existing header (or append header and entry),
  // and write it back whole.  It only grows, so nothing of the old file is
  // left behind its new end.
  std::string content = ReadWholeFile(file);
  const size_t body = FindRenameSectionBody(content);
  if (body != std::string::npos) {
    content.insert(body, entry);
  } else {
    if (!content.empty() && content.back() != '\n') content.push_back('\n');
    content += kRenameHeader;
    content += "\n";
    content += entry;
  }
  std::rewind(file);
  std::fwrite(content.data(), 1, content.size(), file);
  std::fclose(file);
}

void StartRestartHelper(void* owner) {
  if (UpdatePackage.NoDeleteFile) return;
  plat::Platform& os = plat::Os();

  // The running module's full path: a name relative to the current folder
  // would not be found when the program was started from elsewhere.
  char source[1024] = {};
  const bool have_source = os.GetModuleFileName(source, sizeof source);
  char temp[kTempPathSize] = {};
  const uint32_t temp_length = os.GetTempPath(temp, kTempPathSize);
  const bool have_temp = temp_length != 0 && temp_length < kTempPathSize;

  char copy[kTempPathSize + 16] = {};
  bool copied = false;
  if (have_source && have_temp) {
    for (uint32_t counter = 0; counter <= 0xFFFF && !copied; ++counter) {
      std::snprintf(copy, sizeof copy, "%sREB_%04x.EXE", temp, static_cast<unsigned>(counter));
      copied = os.CopyFileNoOverwrite(source, copy);
    }
  }
  if (!copied) {
    os.MessageBox(owner, Text(Msg::CantReboot), kCaptionError, plat::kMbOk | plat::kMbIconStop);
    return;
  }

  ScheduleDeleteAtReboot(copy);
  os.StartProcess(copy, temp);
}
