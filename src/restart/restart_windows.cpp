// The restart of Windows.
#include "platform/platform.h"
#include "restart/restart.h"
#include "text/catalogue.h"
#include "text/system_state.h"

namespace {

constexpr const char* kShutdownPrivilege = "SeShutdownPrivilege";
constexpr uint32_t kPrivilegeEnabled = 2;  // SE_PRIVILEGE_ENABLED

void ShowCantReboot() {
  plat::Os().MessageBox(nullptr, Text(Msg::CantReboot), kCaptionError,
                        plat::kMbOk | plat::kMbIconStop);
}

// NT family: the restart needs the shutdown privilege, switched on only for
// the request itself.  Any refusal is reported once; the token is closed on
// every way out.
void RestartNt() {
  plat::Platform& os = plat::Os();
  plat::Handle token = os.OpenProcessTokenForPrivileges();
  if (token == nullptr) {
    ShowCantReboot();
    return;
  }
  uint64_t luid = 0;
  if (!os.LookupPrivilegeValue(kShutdownPrivilege, &luid) ||
      !os.AdjustPrivilege(token, luid, kPrivilegeEnabled)) {
    ShowCantReboot();
    os.CloseHandle(token);
    return;
  }
  bool reported = false;
  if (!os.ExitWindowsReboot()) {
    ShowCantReboot();
    reported = true;
  }
  // Switched off again even when the restart was refused.
  if (!os.AdjustPrivilege(token, luid, 0) && !reported) ShowCantReboot();
  os.CloseHandle(token);
}

}  // namespace

void RestartWindows() {
  if (OsKind != kOsWindows9x) {
    RestartNt();
    return;
  }
  if (!plat::Os().ExitWindowsReboot()) ShowCantReboot();
}
