// The restart helper's copy and its deletion at the next start of Windows
// (MoveFileEx on the NT family, WININIT.INI on 95/98/Me), against real files in
// a scratch folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "restart/restart.h"
#include "update_bench.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

class RestartHelperTest : public ::testing::Test {
 protected:
  RestartHelperTest() {
    std::filesystem::create_directories(fake_.windows_dir = dir_ + "/windows");
    std::filesystem::create_directories(fake_.temp_path = temp_);
    std::ofstream(fake_.module_path = dir_ + "/ksfupd.exe") << "MZ program";
    ResetUpdatePackage();
    OsKind = 1;
    UserLcid = 1033;
  }
  ~RestartHelperTest() override { std::filesystem::remove_all(dir_); }
  static std::string MakeDir() {
    char pattern[] = "/tmp/ksf_restart_XXXXXX";
    return mkdtemp(pattern) ? pattern : "/nonexistent";
  }
  std::string Ini() const { return fake_.windows_dir + "/WININIT.INI"; }

  const std::string dir_ = MakeDir(), temp_ = dir_ + "/temp/";
  BenchPlatform fake_;
};

TEST_F(RestartHelperTest, CopiesUnderTheFirstFreeNameSchedulesItsDeletionAndStartsIt) {
  std::ofstream(temp_ + "REB_0000.EXE") << "old copy";  // left from an earlier run
  StartRestartHelper(nullptr);
  const std::string copy = temp_ + "REB_0001.EXE";
  EXPECT_EQ(ReadFile(temp_ + "REB_0000.EXE") + "," + ReadFile(copy), "old copy,MZ program");
  EXPECT_EQ(fake_.Calls(), (Texts{"CopyFile(" + fake_.module_path + "," + copy + ")",
                                  "MoveFileDelayUntilReboot(" + copy + ")",
                                  "StartProcess(" + copy + "," + temp_ + ")"}));
  EXPECT_FALSE(std::filesystem::exists(Ini()));
  EXPECT_TRUE(fake_.MessageBoxes().empty());
  // On 95/98/Me the copy goes into WININIT.INI instead.
  OsKind = 0;
  fake_.ClearCalls();
  StartRestartHelper(nullptr);
  EXPECT_EQ(ReadFile(Ini()), "[RENAME]\nNUL=" + temp_ + "REB_0002.EXE\n");
  EXPECT_EQ(fake_.Calls().size(), 2u);  // the copy and the start
}

TEST_F(RestartHelperTest, DeleteFileOptionOffDoesNothingAtAll) {
  UpdatePackage.NoDeleteFile = 1;
  fake_.copy_file = [](const std::string& to) {
    ADD_FAILURE() << "copied to " << to;
    return false;
  };
  StartRestartHelper(nullptr);
  EXPECT_TRUE(fake_.Calls().empty() && fake_.MessageBoxes().empty());
}

TEST_F(RestartHelperTest, AfterEveryNameFailsSaysCantRebootAndStartsNothing) {
  std::string first, last;
  int tries = 0;
  fake_.copy_file = [&](const std::string& to) {
    (tries++ == 0 ? first : last) = to;
    return false;
  };
  void* owner = reinterpret_cast<void*>(0x77);
  StartRestartHelper(owner);
  EXPECT_EQ(Boxes(fake_, owner), Texts{Box(kCaptionError, plat::kMbIconStop, "Can't reboot.")});
  EXPECT_EQ(tries, 0x10000);
  EXPECT_EQ(first + "," + last, temp_ + "REB_0000.EXE," + temp_ + "REB_ffff.EXE");
  EXPECT_TRUE(fake_.Calls().empty());
}

// Every existing WININIT.INI: the entry goes directly below the first
// "[RENAME]" line and every other byte stays as it was; without such a line
// the header and entry are appended on a line of their own.
TEST_F(RestartHelperTest, WininitEntryLandsInsideTheRenameSectionAndNothingElseChanges) {
  OsKind = 0;
  fake_.short_path_name = [](const char*, char* out, uint32_t size) {
    return static_cast<uint32_t>(std::snprintf(out, size, "C:\\WINDOWS\\TEMP\\REB_0000.EXE"));
  };
  const std::string e = "NUL=C:\\WINDOWS\\TEMP\\REB_0000.EXE\n", r = "[RENAME]\n";
  const std::string long_line = std::string(254, 'x') + r;
  const std::pair<std::string, std::string> cases[] = {
      {"", r + e},
      {r + "NUL=C:\\A.TMP\nNUL=C:\\B.TMP\n", r + e + "NUL=C:\\A.TMP\nNUL=C:\\B.TMP\n"},
      {"; c\n[Other]\nk=v\n" + r + "C:\\N.DLL=C:\\O.DLL\n[Last]\nz=1\n",
       "; c\n[Other]\nk=v\n" + r + e + "C:\\N.DLL=C:\\O.DLL\n[Last]\nz=1\n"},
      {r + "NUL=A\n" + r + "NUL=B", r + e + "NUL=A\n" + r + "NUL=B"},  // the first header only
      {"[X]\n[RENAME]", "[X]\n" + r + e},
      {"[Other]\nk=v\n", "[Other]\nk=v\n" + r + e},
      {"[Other]\nk=v", "[Other]\nk=v\n" + r + e},
      {"[rename]\nNUL=C:\\A.TMP\n", "[rename]\nNUL=C:\\A.TMP\n" + r + e},
      {"k=[RENAME]\n", "k=[RENAME]\n" + r + e},
      {long_line, long_line + r + e}};
  for (const auto& [before, after] : cases) {
    std::ofstream(Ini(), std::ios::binary) << before;
    ScheduleDeleteAtReboot("C:\\WINDOWS\\TEMP\\REB_0000.EXE");
    EXPECT_EQ(ReadFile(Ini()), after) << before;
  }
}

TEST_F(RestartHelperTest, NothingIsScheduledWithoutAShortNameOrAUsableWindowsDirectory) {
  OsKind = 0;
  const std::string w115 = dir_ + "/" + std::string(114 - dir_.size(), 'w');
  const std::pair<std::string, const char*> cases[] = {
      // Windows directory, WININIT.INI
      {w115, "[RENAME]\nNUL=C:\\T\\REB_0000.EXE\n"},
      {w115 + "w", ""},
      {"", ""},
      {dir_ + "/no/such", ""}};
  for (const auto& [windows, ini] : cases) {
    if (windows.size() >= 115) std::filesystem::create_directories(windows);
    fake_.windows_dir = windows;
    ScheduleDeleteAtReboot("C:\\T\\REB_0000.EXE");
    EXPECT_EQ(ReadFile(windows + "/WININIT.INI"), ini) << windows.size();
  }
  fake_.windows_dir = dir_ + "/windows";
  fake_.short_path_name = [](const char*, char*, uint32_t) -> uint32_t { return 0; };
  ScheduleDeleteAtReboot("C:\\T\\REB_0000.EXE");
  EXPECT_FALSE(std::filesystem::exists(Ini()));
}

}  // namespace
