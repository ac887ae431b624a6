// The restart helper copy and the delete-at-reboot entry (MoveFileEx on the
// NT family, WININIT.INI on 95/98/Me), against real files in a scratch folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "app/catalogue.h"
#include "app/system_state.h"
#include "fake_platform.h"
#include "package/package.h"
#include "restart/restart.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class RestartHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ksf_restart_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    windows_ = dir_ + "/windows";
    temp_ = dir_ + "/temp/";
    ASSERT_EQ(mkdir(windows_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(temp_.c_str(), 0700), 0);
    WriteFile(dir_ + "/ksfupd.exe", "MZ program");
    fake_.module_path = dir_ + "/ksfupd.exe";
    fake_.temp_path = temp_;
    fake_.windows_dir = windows_;
    ResetUpdatePackage();
    OsKind = 2;
    UserLcid = 1033;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Ini() const { return windows_ + "/WININIT.INI"; }

  FakePlatform fake_;
  std::string dir_, windows_, temp_;
};

TEST_F(RestartHelperTest, CopiesTheRunningModuleSchedulesItsDeletionAndStartsIt) {
  void* owner = reinterpret_cast<void*>(0x1234);
  StartRestartHelper(owner);
  const std::string copy = temp_ + "REB_0000.EXE";
  EXPECT_EQ(ReadFile(copy), "MZ program");
  EXPECT_EQ(fake_.Calls(),
            (std::vector<std::string>{"CopyFile(" + fake_.module_path + "," + copy + ")",
                                      "MoveFileDelayUntilReboot(" + copy + ")",
                                      "StartProcess(" + copy + "," + temp_ + ")"}));
  EXPECT_TRUE(fake_.MessageBoxes().empty());
}

TEST_F(RestartHelperTest, SkipsNamesOfEarlierCopiesWithoutOverwritingThem) {
  WriteFile(temp_ + "REB_0000.EXE", "old copy");
  StartRestartHelper(nullptr);
  EXPECT_EQ(ReadFile(temp_ + "REB_0000.EXE"), "old copy");
  EXPECT_EQ(ReadFile(temp_ + "REB_0001.EXE"), "MZ program");
  EXPECT_EQ(fake_.Calls().back(), "StartProcess(" + temp_ + "REB_0001.EXE," + temp_ + ")");
}

TEST_F(RestartHelperTest, DeleteFileOptionOffDoesNothingAtAll) {
  UpdatePackage.NoDeleteFile = 1;
  StartRestartHelper(nullptr);
  EXPECT_TRUE(fake_.Calls().empty());
  EXPECT_TRUE(fake_.MessageBoxes().empty());
  EXPECT_FALSE(Exists(temp_ + "REB_0000.EXE"));
}

TEST_F(RestartHelperTest, NoCopyPossibleSaysCantRebootOwnedByTheDialogAndStartsNothing) {
  fake_.module_path = dir_ + "/missing.exe";
  void* owner = reinterpret_cast<void*>(0x77);
  StartRestartHelper(owner);
  ASSERT_EQ(fake_.MessageBoxes().size(), 1u);
  const auto box = fake_.MessageBoxes()[0];
  EXPECT_EQ(box.owner, owner);
  EXPECT_EQ(box.text, "Can't reboot.");
  EXPECT_EQ(box.caption, "Error - Upgrade Program");
  EXPECT_EQ(box.flags, plat::kMbOk | plat::kMbIconStop);
  EXPECT_TRUE(fake_.Calls().empty());
}

TEST_F(RestartHelperTest, OnWindows9xTheCopyIsEnteredInWininit) {
  OsKind = 0;
  StartRestartHelper(nullptr);
  EXPECT_EQ(ReadFile(Ini()), "[RENAME]\nNUL=" + temp_ + "REB_0000.EXE\n");
  for (const auto& call : fake_.Calls()) EXPECT_EQ(call.find("MoveFile"), std::string::npos);
}

TEST_F(RestartHelperTest, NtFamilyUsesTheDelayedMoveAndLeavesWininitAlone) {
  OsKind = 1;
  ScheduleDeleteAtReboot("C:\\TEMP\\REB_0000.EXE");
  EXPECT_EQ(fake_.Calls(),
            std::vector<std::string>{"MoveFileDelayUntilReboot(C:\\TEMP\\REB_0000.EXE)"});
  EXPECT_FALSE(Exists(Ini()));
}

// Every existing WININIT.INI: the entry goes directly below the first
// "[RENAME]" line and every other byte stays as it was; without such a line
// the header and entry are appended on a line of their own.
struct WininitCase {
  const char* name;
  std::string before;
  std::string after;
};

class WininitTest : public RestartHelperTest, public ::testing::WithParamInterface<WininitCase> {};

TEST_P(WininitTest, EntryLandsInsideTheRenameSectionAndNothingElseChanges) {
  OsKind = 0;
  fake_.short_path_name = [](const char*, char* out, uint32_t size) -> uint32_t {
    std::snprintf(out, size, "C:\\WINDOWS\\TEMP\\REB_0000.EXE");
    return 28;
  };
  WriteFile(Ini(), GetParam().before);
  ScheduleDeleteAtReboot("C:\\WINDOWS\\TEMP\\REB_0000.EXE");
  EXPECT_EQ(ReadFile(Ini()), GetParam().after);
}

const std::string kEntry = "NUL=C:\\WINDOWS\\TEMP\\REB_0000.EXE\n";
const std::string kLongLine = std::string(254, 'x') + "[RENAME]\n";

INSTANTIATE_TEST_SUITE_P(
    Amend, WininitTest,
    ::testing::Values(
        WininitCase{"Empty", "", "[RENAME]\n" + kEntry},
        WininitCase{"OnlyHeader", "[RENAME]\n", "[RENAME]\n" + kEntry},
        WininitCase{"HeaderWithEntries", "[RENAME]\nNUL=C:\\A.TMP\nNUL=C:\\B.TMP\n",
                    "[RENAME]\n" + kEntry + "NUL=C:\\A.TMP\nNUL=C:\\B.TMP\n"},
        WininitCase{"SectionInTheMiddle",
                    "; comment\n[Other]\nkey=value\n[RENAME]\nC:\\NEW.DLL=C:\\OLD.DLL\n"
                    "[Last]\nz=1\n",
                    "; comment\n[Other]\nkey=value\n[RENAME]\n" + kEntry +
                        "C:\\NEW.DLL=C:\\OLD.DLL\n[Last]\nz=1\n"},
        WininitCase{"OnlyFirstHeaderGetsTheEntry", "[RENAME]\nNUL=A\n[RENAME]\nNUL=B",
                    "[RENAME]\n" + kEntry + "NUL=A\n[RENAME]\nNUL=B"},
        WininitCase{"SectionKeepsALastLineWithoutLineEnd", "[RENAME]\nNUL=C:\\A.TMP",
                    "[RENAME]\n" + kEntry + "NUL=C:\\A.TMP"},
        WininitCase{"HeaderIsTheUnendedLastLine", "[X]\n[RENAME]", "[X]\n[RENAME]\n" + kEntry},
        WininitCase{"NoSection", "[Other]\nkey=value\n", "[Other]\nkey=value\n[RENAME]\n" + kEntry},
        WininitCase{"NoSectionAndUnendedLastLine", "[Other]\nkey=value",
                    "[Other]\nkey=value\n[RENAME]\n" + kEntry},
        WininitCase{"LowerCaseHeaderIsNotTheSection", "[rename]\nNUL=C:\\A.TMP\n",
                    "[rename]\nNUL=C:\\A.TMP\n[RENAME]\n" + kEntry},
        WininitCase{"HeaderTextInsideALineIsNotAHeader", "key=[RENAME]\n",
                    "key=[RENAME]\n[RENAME]\n" + kEntry},
        WininitCase{"LongLineEndingInHeaderText", kLongLine, kLongLine + "[RENAME]\n" + kEntry}),
    [](const ::testing::TestParamInfo<WininitCase>& info) { return info.param.name; });

TEST_F(RestartHelperTest, WindowsDirectoryOf115CharactersStillWorks116DoesNot) {
  OsKind = 0;
  for (size_t length : {115u, 116u}) {
    std::string windows = dir_ + "/";
    windows += std::string(length - windows.size(), 'w');
    ASSERT_EQ(windows.size(), length);
    ASSERT_EQ(mkdir(windows.c_str(), 0700), 0);
    fake_.windows_dir = windows;
    ScheduleDeleteAtReboot("C:\\T\\REB_0000.EXE");
    EXPECT_EQ(Exists(windows + "/WININIT.INI"), length == 115) << length;
    if (length == 115) {
      EXPECT_EQ(ReadFile(windows + "/WININIT.INI"), "[RENAME]\nNUL=C:\\T\\REB_0000.EXE\n");
    }
  }
}

TEST_F(RestartHelperTest, NothingIsScheduledWithoutAShortNameOrAWindowsDirectory) {
  OsKind = 0;
  fake_.short_path_name = [](const char*, char*, uint32_t) -> uint32_t { return 0; };
  ScheduleDeleteAtReboot("C:\\T\\REB_0000.EXE");
  EXPECT_FALSE(Exists(Ini()));

  fake_.short_path_name = nullptr;
  fake_.windows_dir = "";
  ScheduleDeleteAtReboot("C:\\T\\REB_0000.EXE");
  fake_.windows_dir = dir_ + "/no/such/folder";  // WININIT.INI cannot be created there
  ScheduleDeleteAtReboot("C:\\T\\REB_0000.EXE");
  EXPECT_FALSE(Exists(Ini()));
}

}  // namespace
