// The restart helper's copy and its deletion at the next start of Windows
// (MoveFileEx on the NT family, WININIT.INI on 95/98/Me), against real files in
// a scratch folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "restart/restart.h"
#include "scratch_dir.h"
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
  std::string Ini() const { return fake_.windows_dir + "/WININIT.INI"; }

  const ScratchDir scratch_;
  const std::string dir_ = std::filesystem::current_path().string(), temp_ = dir_ + "/temp/";
  BenchPlatform fake_;
};

// With the package's delete-file option off nothing at all happens.  Only a
// taken name moves on to the next one; any other failure would fail under
// every name, so "Can't reboot." comes at once, as it does when the copy does
// not start.  The copy itself and the calls after it are seen end to end;
// here, that on the NT family WININIT.INI is left alone.
TEST_F(RestartHelperTest, WithoutACopySaysCantRebootAndStartsNothing) {
  using plat::CopyResult;
  void* owner = reinterpret_cast<void*>(0x77);
  UpdatePackage.NoDeleteFile = 1;
  StartRestartHelper(owner);
  UpdatePackage.NoDeleteFile = 0;
  for (const CopyResult failure : {CopyResult::kExists, CopyResult::kFailed}) {
    Texts tried;
    fake_.copy_file = [&tried, failure](const std::string& to) {
      tried.push_back(to);
      return failure;
    };
    StartRestartHelper(owner);
    const bool taken = failure == CopyResult::kExists;
    EXPECT_EQ(tried.size(), taken ? 0x10000u : 1u);
    EXPECT_EQ(tried.back(), temp_ + (taken ? "REB_ffff.EXE" : "REB_0000.EXE"));
  }
  EXPECT_EQ(Boxes(fake_, owner), Texts(2, Box(kCaptionError, plat::kMbIconStop, "Can't reboot.")));
  EXPECT_TRUE(fake_.Calls().empty());
  fake_.copy_file = nullptr;
  StartRestartHelper(owner);
  EXPECT_EQ(ReadFile(temp_ + "REB_0000.EXE"), "MZ program");
  EXPECT_FALSE(std::filesystem::exists(Ini()));
  EXPECT_EQ(Boxes(fake_, owner).size(), 2u);
  fake_.fail_start_process = true;  // a copy that does not start restarts nothing either
  StartRestartHelper(owner);
  EXPECT_EQ(Boxes(fake_, owner), Texts(3, Box(kCaptionError, plat::kMbIconStop, "Can't reboot.")));
}

TEST_F(RestartHelperTest, NothingIsScheduledWithoutAShortNameOrAUsableWindowsDirectory) {
  OsKind = 0;
  const std::string w115 = dir_ + "/" + std::string(114 - dir_.size(), 'w');
  const std::pair<std::string, const char*> cases[] = {
      // Windows directory, WININIT.INI
      {w115, "[RENAME]\r\nNUL=C:\\T\\REB_0000.EXE\r\n"},
      {w115 + "w", ""},
      {"", ""}};
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

// The entry goes directly below the first "[RENAME]" line and every other
// byte stays as it was; without such a line the header and entry are appended
// on a line of their own.  Every file step of that update fails in turn (the
// create, each write, the flush, the close, each rename and delete), from
// every state a Windows folder can be in, a run cut short between the renames
// included.  Afterwards every line of the old file is there whole, under
// WININIT.INI or, only when even the way back failed, kept for the next run; no
// new file is left behind; and success is reported only with the complete new
// file in place.
TEST_F(RestartHelperTest, WininitLosesNoLineAndReportsNoFalseSuccessWhateverStepFails) {
  OsKind = 0;
  // WININIT.INI is read before long names exist: the entry is the short name.
  fake_.short_path_name = [](const char*, char* out, uint32_t size) {
    return static_cast<uint32_t>(std::snprintf(out, size, "C:\\T\\REB_0000.EXE"));
  };
  const std::string r = "[RENAME]\n", e = "NUL=C:\\T\\REB_0000.EXE\n";
  const std::string a = "NUL=C:\\A.TMP\n", other = "; c\n[Other]\nk=v\n", last = "[Last]\nz=1\n";
  const std::string long_line = std::string(254, 'x') + r;
  std::string big;  // several writes
  for (int i = 0; big.size() < 9000; ++i) big += "C:\\NEW" + std::to_string(i) + "=C:\\OLD\n";
  const std::string ksn = fake_.windows_dir + "/WININIT.KSN",
                    kso = fake_.windows_dir + "/WININIT.KSO";
  struct {
    std::string ini, after;      // lines end in "\r\n" on disk
    bool exists = true;          // WININIT.INI
    const char* kept = nullptr;  // WININIT.KSO from an earlier run
  } cases[] = {
      {"", r + e, false},
      {"", r + e},
      {other + r + "C:\\N.DLL=C:\\O.DLL\n" + last, other + r + e + "C:\\N.DLL=C:\\O.DLL\n" + last},
      {r + "NUL=A\n" + r + "NUL=B", r + e + "NUL=A\n" + r + "NUL=B"},  // the first header only
      {"[X]\n[RENAME]", "[X]\n" + r + e},
      {other, other + r + e},
      {"[Other]\nk=v", "[Other]\nk=v\n" + r + e},
      {"[rename]\n" + a, "[rename]\n" + e + a},  // section names have no case
      {"k=[RENAME]\n", "k=[RENAME]\n" + r + e},
      {long_line, long_line + r + e},
      {big, big + r + e},
      {"", r + e + a, false, "[RENAME]\nNUL=C:\\A.TMP\n"},  // cut between the renames
      {r + a, r + e + a, true, "[RENAME]\n"},               // a stale copy
  };
  const auto crlf = [](std::string text) {
    for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2)
      text.insert(at, "\r");
    return text;
  };
  int faults = 0, changed = 0, false_successes = 0;
  for (const auto& c : cases) {
    const std::string ini = crlf(c.ini), after = crlf(c.after), kept = crlf(c.kept ? c.kept : "");
    const std::string old = c.exists ? ini : kept;
    for (int step = 0;; ++step) {
      for (const std::string& f : {Ini(), ksn, kso}) std::filesystem::remove(f);
      if (c.exists) std::ofstream(Ini(), std::ios::binary) << ini;
      if (c.kept) std::ofstream(kso, std::ios::binary) << kept;
      fake_.file_steps.clear();
      fake_.fail_file_step = step;
      const bool ok = ScheduleDeleteAtReboot("C:\\Temp Files\\REB_0000.EXE");
      const bool injected = step < static_cast<int>(fake_.file_steps.size());
      const std::string where =
          old.substr(0, 40) + ", failed: " + (injected ? fake_.file_steps[step] : "none");
      const bool in_place = std::filesystem::exists(Ini());
      const std::string now = ReadFile(in_place ? Ini() : kso);
      const bool false_success = ok && (!in_place || now != after);
      false_successes += false_success;
      EXPECT_FALSE(false_success) << where << ": success without the new file";
      EXPECT_FALSE(std::filesystem::exists(ksn)) << where;
      // Every old line whole: the new file in place, or the old one as it was.
      changed += !ok && now != old;
      EXPECT_TRUE(ok || now == old) << where << ": the old file as it was";
      // ... and back under its name, unless the step that failed was the one
      // bringing it back.
      const std::string& failed = injected ? fake_.file_steps[step] : "";
      const bool bringing_back =
          failed.find("KSO") != std::string::npos && failed.rfind("INI") == failed.size() - 3;
      const bool existed = c.exists || c.kept;
      EXPECT_TRUE(ok || in_place == existed || bringing_back) << where;
      if (!injected) {
        EXPECT_TRUE(ok) << where;
        break;
      }
      ++faults;
    }
  }
  std::printf("FIGURE: WININIT.INI faults injected %d, old file changed %d, false successes %d\n",
              faults, changed, false_successes);
  EXPECT_GT(faults, 40);
}

}  // namespace
