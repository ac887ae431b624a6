// Restarting Windows (both OS families) and the timed wait.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/catalogue.h"
#include "app/system_state.h"
#include "fake_platform.h"
#include "restart/restart.h"

namespace {

constexpr const char* kBox = "MessageBox(Can't reboot.)";

struct Case {
  const char* name;
  uint8_t os_kind;
  void (*setup)(FakePlatform&);
  std::vector<std::string> calls;
};

TEST(RestartWindows, CallSequences) {
  const std::string enable =
      "AdjustPrivilege(" + std::to_string(FakePlatform::kShutdownLuid) + ",2)";
  const std::string disable =
      "AdjustPrivilege(" + std::to_string(FakePlatform::kShutdownLuid) + ",0)";
  const std::string lookup = "LookupPrivilegeValue(SeShutdownPrivilege)";
  const std::string reboot = "ExitWindowsEx(EWX_REBOOT)";
  const Case cases[] = {
      {"9x: restart, no token", 0, [](FakePlatform&) {}, {reboot}},
      {"9x: refused", 0, [](FakePlatform& os) { os.fail_exit_windows = true; }, {reboot, kBox}},
      {"NT: restart with the privilege on, then off",
       2,
       [](FakePlatform&) {},
       {"OpenProcessToken", lookup, enable, reboot, disable, "CloseHandle"}},
      {"NT 4 counts alike",
       1,
       [](FakePlatform&) {},
       {"OpenProcessToken", lookup, enable, reboot, disable, "CloseHandle"}},
      {"NT: no token",
       2,
       [](FakePlatform& os) { os.fail_open_token = true; },
       {"OpenProcessToken", kBox}},
      {"NT: lookup fails, no restart request",
       2,
       [](FakePlatform& os) { os.fail_lookup_privilege = true; },
       {"OpenProcessToken", lookup, kBox, "CloseHandle"}},
      {"NT: privilege not granted",
       2,
       [](FakePlatform& os) { os.fail_adjust_enable = true; },
       {"OpenProcessToken", lookup, enable, kBox, "CloseHandle"}},
      {"NT: restart refused, privilege switched off anyway",
       2,
       [](FakePlatform& os) { os.fail_exit_windows = true; },
       {"OpenProcessToken", lookup, enable, reboot, kBox, disable, "CloseHandle"}},
      {"NT: switching off fails",
       2,
       [](FakePlatform& os) { os.fail_adjust_disable = true; },
       {"OpenProcessToken", lookup, enable, reboot, disable, kBox, "CloseHandle"}},
      {"NT: refused and switching off fails: one box",
       2,
       [](FakePlatform& os) {
         os.fail_exit_windows = true;
         os.fail_adjust_disable = true;
       },
       {"OpenProcessToken", lookup, enable, reboot, kBox, disable, "CloseHandle"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform os;
    c.setup(os);
    OsKind = c.os_kind;
    UserLcid = 1033;
    // Each box is noted at its place among the system calls.
    std::vector<std::string> sequence;
    size_t seen = 0;
    auto flush = [&] {
      const auto calls = os.Calls();
      for (; seen < calls.size(); ++seen) sequence.push_back(calls[seen]);
    };
    os.on_message_box = [&](const FakePlatform::MessageBoxCall& box) {
      flush();
      sequence.push_back("MessageBox(" + box.text + ")");
      EXPECT_EQ(box.owner, nullptr);
      EXPECT_EQ(box.caption, "Error - Upgrade Program");
      EXPECT_EQ(box.flags, plat::kMbOk | plat::kMbIconStop);
    };
    RestartWindows();
    flush();
    EXPECT_EQ(sequence, c.calls);
  }
  OsKind = 0;
}

TEST(RestartWindows, JapaneseRefusal) {
  FakePlatform os;
  OsKind = 0;
  UserLcid = 1041;
  os.fail_exit_windows = true;
  RestartWindows();
  ASSERT_EQ(os.MessageBoxes().size(), 1u);
  EXPECT_EQ(os.MessageBoxes()[0].text, TextIn(Msg::CantReboot, true));
  EXPECT_EQ(os.MessageBoxes()[0].caption, "Error - Upgrade Program");
  UserLcid = 0;
}

TEST(WaitMilliseconds, LastsTheTimeOutInVirtualTime) {
  const uint32_t cases[] = {0, 1, 20, 8000, 45000};
  for (uint32_t ms : cases) {
    FakePlatform os;
    const uint64_t start = os.NowMs();
    WaitMilliseconds(ms);
    EXPECT_EQ(os.NowMs() - start, ms);
  }
}

TEST(WaitMilliseconds, ReturnsAtOnceWithoutAnEvent) {
  FakePlatform os;
  os.fail_create_event = 1;
  WaitMilliseconds(5000);
  EXPECT_EQ(os.NowMs(), 0u);
  WaitMilliseconds(5000);  // the next event can be had again
  EXPECT_EQ(os.NowMs(), 5000u);
}

}  // namespace
