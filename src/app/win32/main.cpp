// Program entry: the Win32 platform, the common controls, the two dialogs and
// the start-up routine that runs the whole program.
#include <string>

#include "app/startup.h"
#include "app/win32/dialog.h"
// commctrl.h needs windows.h (from dialog.h) first.
#include <commctrl.h>

#include "app/win32/firmware_update_dlg.h"
#include "app/win32/welcome_dlg.h"
#include "platform/win32/platform_win32.h"

namespace {

// Start-up's view of the shell: the executable's name and the two dialogs.
class Win32Shell final : public ShellUi {
 public:
  Win32Shell(ui::CFirmwareUpdateDlg& main_dialog, ui::CWelcomeDlg& welcome)
      : main_dialog_(main_dialog), welcome_(welcome) {}

  const char* ExecutableBaseName() override {
    char path[MAX_PATH + 1] = {};
    if (plat::Os().GetModuleFileName(path, sizeof(path))) {
      base_name_ = BaseNameFromModulePath(path);
    } else {
      base_name_.clear();
    }
    return base_name_.c_str();
  }
  int RunWelcomeDialog() override { return static_cast<int>(welcome_.DoModal()); }
  // The main dialog has no owner: it is the program's own top-level window.
  int RunMainDialog() override { return static_cast<int>(main_dialog_.DoModal()); }

 private:
  ui::CFirmwareUpdateDlg& main_dialog_;
  ui::CWelcomeDlg& welcome_;
  std::string base_name_;
};

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  plat::InstallWin32Platform();
  ::InitCommonControls();

  ui::CFirmwareUpdateDlg main_dialog;
  ui::CWelcomeDlg welcome;
  Win32Shell shell(main_dialog, welcome);
  StartUp(shell);
  return 0;
}
