// The restart helper: a copy of this program in the temporary folder, named
// REB_xxxx.EXE, that restarts Windows after the main program has ended and is
// deleted by Windows at its next start.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "package/package.h"
#include "platform/platform.h"
#include "restart/restart.h"
#include "text/catalogue.h"
#include "text/system_state.h"

namespace {

constexpr uint32_t kTempPathSize = 1024;  // UTF-8: up to three bytes a character
constexpr uint32_t kWindowsDirSize = 128;
constexpr uint32_t kWindowsDirLimit = 115;  // room for "\WININIT.INI" and the terminator
constexpr uint32_t kShortPathSize = 256;
constexpr char kRenameHeader[] = "[RENAME]";
constexpr size_t kRenameHeaderLength = sizeof kRenameHeader - 1;
constexpr char kLineEnd[] = "\r\n";

// The whole file as it is on disk (binary: every byte of other programs'
// entries is kept as it was).  False when it cannot be read.
bool ReadWholeFile(const char* path, std::string& content) {
  plat::Platform& os = plat::Os();
  plat::Handle file = os.OpenFileForRead(path);
  if (file == nullptr) return false;
  char chunk[4096];
  uint32_t got = 0;
  bool ok;
  while ((ok = os.ReadFile(file, chunk, sizeof chunk, &got)) && got > 0) content.append(chunk, got);
  os.CloseFile(file);
  return ok;
}

// Writes `content` as a new file at `path`: every write, the flush and the
// close checked.  On any failure the partial file is removed.
bool WriteNewFile(const char* path, const std::string& content) {
  plat::Platform& os = plat::Os();
  plat::Handle file = os.CreateFileForWrite(path);
  if (file == nullptr) return false;
  constexpr size_t kChunk = 4096;
  bool ok = true;
  for (size_t at = 0; ok && at < content.size(); at += kChunk) {
    const size_t size = std::min(kChunk, content.size() - at);
    ok = os.WriteFile(file, content.data() + at, static_cast<uint32_t>(size));
  }
  ok = ok && os.FlushFile(file);
  ok = os.CloseWrittenFile(file) && ok;
  if (!ok) os.DeleteFile(path);
  return ok;
}

// True when every line of `old` is a line of `content`.
bool HasEveryLine(const std::string& content, const std::string& old) {
  const std::string lines = "\n" + content + "\n";
  size_t line = 0;
  while (line < old.size()) {
    size_t end = old.find('\n', line);
    if (end == std::string::npos) end = old.size();
    if (lines.find("\n" + old.substr(line, end - line) + "\n") == std::string::npos &&
        lines.find("\n" + old.substr(line, end - line) + "\r\n") == std::string::npos) {
      return false;
    }
    line = end + 1;
  }
  return true;
}

// True when the line at `at` begins with "[RENAME]" in any case: Windows reads
// section names without regard to case, so "[rename]" is the same section.
bool IsRenameHeader(const std::string& content, size_t at) {
  if (content.size() - at < kRenameHeaderLength) return false;
  for (size_t i = 0; i < kRenameHeaderLength; ++i) {
    const char c = content[at + i];
    const char upper = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    if (upper != kRenameHeader[i]) return false;
  }
  return true;
}

// Offset just past the first line that begins with "[RENAME]" (any case), or
// npos.  A header on a last line without a line end is ended here.
size_t FindRenameSectionBody(std::string& content) {
  size_t line = 0;
  while (line < content.size()) {
    size_t end = content.find('\n', line);
    if (IsRenameHeader(content, line)) {
      if (end == std::string::npos) {
        content += kLineEnd;
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

// WININIT.INI is never rewritten in place: a write that fails half-way (a
// full disk) would leave the new head on the old tail and lose other
// programs' pending renames.  The new contents go into WININIT.KSN beside it,
// every write, the flush and the close checked; then the old file is renamed
// to WININIT.KSO, the new one to WININIT.INI, and the old one deleted.  95/98
// have no replacing rename, so for the moment between the two renames the old
// file is kept under WININIT.KSO: a run interrupted there (power cut) is
// repaired by the next one, which renames it back before anything else.  On
// any failure the old file is back in place (or, if even that rename fails,
// kept whole under WININIT.KSO) and the new one removed.
bool ScheduleDeleteAtReboot(const char* path) {
  plat::Platform& os = plat::Os();
  if (OsKind != kOsWindows9x) return os.MoveFileDelayUntilReboot(path);

  char windows[kWindowsDirSize];
  const uint32_t length = os.GetWindowsDirectory(windows, kWindowsDirSize);
  if (length == 0 || length > kWindowsDirLimit) return false;
  const std::string ini = std::string(windows) + "\\WININIT.INI";
  const std::string fresh = std::string(windows) + "\\WININIT.KSN";
  const std::string kept = std::string(windows) + "\\WININIT.KSO";

  // Without a short name there is no entry worth writing.
  char short_path[kShortPathSize];
  const uint32_t short_length = os.GetShortPathName(path, short_path, kShortPathSize);
  if (short_length == 0 || short_length >= kShortPathSize) return false;
  const std::string entry = std::string("NUL=") + short_path + kLineEnd;

  char found[kWindowsDirSize];
  bool exists = os.SearchPath(ini.c_str(), found, kWindowsDirSize);
  std::string content;
  if (exists && !ReadWholeFile(ini.c_str(), content)) return false;
  if (os.SearchPath(kept.c_str(), found, kWindowsDirSize)) {
    std::string old;
    if (!ReadWholeFile(kept.c_str(), old)) return false;
    if (!exists) {
      // An earlier run stopped between its renames: its old file comes back.
      if (!os.MoveFile(kept.c_str(), ini.c_str())) return false;
      exists = true;
      content = old;
    } else if (HasEveryLine(content, old)) {
      // Left behind by a run whose last delete failed: nothing but lines
      // WININIT.INI has.
      if (!os.DeleteFile(kept.c_str())) return false;
    } else {
      return false;  // lines found nowhere else: kept for whoever looks
    }
  }
  // The entry goes directly below an existing header, or header and entry
  // are appended on lines of their own.
  const size_t body = FindRenameSectionBody(content);
  if (body != std::string::npos) {
    content.insert(body, entry);
  } else {
    if (!content.empty() && content.back() != '\n') content += kLineEnd;
    content += kRenameHeader;
    content += kLineEnd;
    content += entry;
  }

  os.DeleteFile(fresh.c_str());  // a leftover of an interrupted run, if any
  if (!WriteNewFile(fresh.c_str(), content)) return false;
  if (!exists) {
    if (os.MoveFile(fresh.c_str(), ini.c_str())) return true;
    os.DeleteFile(fresh.c_str());
    return false;
  }
  if (!os.MoveFile(ini.c_str(), kept.c_str())) {
    os.DeleteFile(fresh.c_str());
    return false;
  }
  if (!os.MoveFile(fresh.c_str(), ini.c_str())) {
    os.MoveFile(kept.c_str(), ini.c_str());  // if this fails too, the next run does it
    os.DeleteFile(fresh.c_str());
    return false;
  }
  os.DeleteFile(kept.c_str());  // a leftover holds only lines of the new file: see above
  return true;
}

void StartRestartHelper(void* owner) {
  if (UpdatePackage.NoDeleteFile) return;
  plat::Platform& os = plat::Os();

  // The running module's full path: a name relative to the current folder
  // would not be found when the program was started from elsewhere.  Copy
  // paths (UTF-8 on the NT family) keep every character of the temp folder.
  char source[1024] = {};
  const bool have_source = os.GetModuleCopyPath(source, sizeof source);
  char temp[kTempPathSize] = {};
  const uint32_t temp_length = os.GetTempPath(temp, kTempPathSize);
  const bool have_temp = temp_length != 0 && temp_length < kTempPathSize;

  char copy[kTempPathSize + 16] = {};
  bool copied = false;
  if (have_source && have_temp) {
    // The next name only when this one is taken: any other failure (source
    // missing, disk full, no access) would fail under every name.
    plat::CopyResult result = plat::CopyResult::kExists;
    for (uint32_t counter = 0; counter <= 0xFFFF && result == plat::CopyResult::kExists;
         ++counter) {
      std::snprintf(copy, sizeof copy, "%sREB_%04x.EXE", temp, static_cast<unsigned>(counter));
      result = os.CopyFileNoOverwrite(source, copy);
    }
    copied = result == plat::CopyResult::kCopied;
  }
  // Without a copy, or with a copy that does not start, nothing will restart
  // the computer: the user is told rather than left waiting.
  if (copied) {
    ScheduleDeleteAtReboot(copy);
    if (os.StartProcess(copy, temp)) return;
  }
  os.MessageBox(owner, Text(Msg::CantReboot), kCaptionError, plat::kMbOk | plat::kMbIconStop);
}
