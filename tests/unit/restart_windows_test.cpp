// Restarting Windows (both OS families) and the timed wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "fake_platform.h"
#include "restart/restart.h"
#include "text/catalogue.h"
#include "text/system_state.h"
#include "update_bench.h"

namespace {

using F = FakePlatform;

TEST(RestartWindows, CallSequences) {
  // The calls as letters: O open the token, L look up the shutdown privilege,
  // E / D enable / disable it, R restart, C close the token; then the boxes,
  // B / J for "Can't reboot." in English / Japanese (J cases run with 1041).
  const std::tuple<uint8_t, std::vector<bool F::*>, const char*> cases[] = {
      {0, {&F::fail_exit_windows}, "RJ"},
      {1, {}, "OLERDC"},
      {2, {&F::fail_open_token}, "OB"},
      {2, {&F::fail_lookup_privilege}, "OLCB"},
      {2, {&F::fail_adjust_enable}, "OLECB"},
      {2, {&F::fail_exit_windows}, "OLERDCB"},
      {2, {&F::fail_adjust_disable}, "OLERDCB"},
      {2, {&F::fail_exit_windows, &F::fail_adjust_disable}, "OLERDCB"},
  };
  const std::string luid = std::to_string(F::kShutdownLuid);
  const std::string known[] = {
      "OpenProcessToken",
      "LookupPrivilegeValue(SeShutdownPrivilege)",
      "AdjustPrivilege(" + luid + ",2)",
      "AdjustPrivilege(" + luid + ",0)",
      "ExitWindowsEx(EWX_REBOOT)",
      "CloseHandle",
      Box(kCaptionError, plat::kMbIconStop, "Can't reboot."),
      Box(kCaptionError, plat::kMbIconStop, TextIn(Msg::CantReboot, true))};
  auto letter = [&](const std::string& s) {
    return "OLEDRCBJ?"[std::find(known, known + 8, s) - known];
  };
  for (const auto& [os_kind, failing, calls] : cases) {
    F os;
    for (bool F::*flag : failing) os.*flag = true;
    OsKind = os_kind;
    UserLcid = std::strchr(calls, 'J') != nullptr ? 1041 : 1033;
    RestartWindows();
    std::string seen;
    for (const std::string& call : os.Calls()) seen += letter(call);
    for (const std::string& box : Boxes(os, nullptr)) seen += letter(box);
    EXPECT_EQ(seen, calls) << "OsKind " << int{os_kind};
  }
  OsKind = 0;
  UserLcid = 0;
}

// Without an event a wait still takes its time: a worker's wait skipped
// would let the update go on while the drive programs its flash.
TEST(WaitMilliseconds, TakesItsTimeEvenWhenNoEventCanBeHad) {
  F os;
  os.fail_create_event = 1;
  WaitMilliseconds(5000);
  EXPECT_EQ(os.NowMs(), 5000u);
}

}  // namespace
