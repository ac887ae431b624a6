// The command loop: arguments in order, one command and its arguments at a
// time, the current window kept between them.
#include "ksfauto.h"

namespace ksfauto {

int Session::Run() {
  size_t i = 1;
  if (i + 1 < args_.size() && args_[i] == L"--desktop") {
    HDESK d = OpenDesktopW(args_[i + 1].c_str(), 0, FALSE, GENERIC_ALL);
    if (!d || !SetThreadDesktop(d)) return Fail(kExitNotFound, "desktop not found");
    i += 2;
  }
  if (i >= args_.size()) return Usage();
  pos_ = i;
  while (pos_ < args_.size()) {
    std::wstring cmd = args_[pos_++];
    int rc = Dispatch(cmd);
    if (rc != kExitOk) return rc;
  }
  return kExitOk;
}

int Session::Usage() {
  Emit("error=usage: ksfauto [--desktop NAME] COMMAND [ARGS] ... (see the source header)");
  return kExitUsage;
}

bool Session::Take(std::wstring* out) {
  if (pos_ >= args_.size()) return false;
  *out = args_[pos_++];
  return true;
}

bool Session::TakeNumber(long long* out) {
  std::wstring s;
  return Take(&s) && ParseNumber(s, out);
}

// The control with the given id in the current window (0: the window).
int Session::Control(HWND* out) {
  long long id = 0;
  if (!TakeNumber(&id)) return Usage();
  if (!current_) return Fail(kExitNotFound, "no current window (use wait first)");
  if (id == 0) {
    *out = current_;
    return kExitOk;
  }
  HWND h = GetDlgItem(current_, static_cast<int>(id));
  if (!h) {
    // Message boxes and nested frames: search all descendants.
    for (HWND c : ChildWindows(current_))
      if (GetDlgCtrlID(c) == static_cast<int>(id)) {
        h = c;
        break;
      }
  }
  if (!h) return Fail(kExitNotFound, "control " + std::to_string(id) + " not found");
  *out = h;
  return kExitOk;
}

int Session::Dispatch(const std::wstring& cmd) {
  if (cmd == L"windows") return CmdWindows();
  if (cmd == L"wait") return CmdWait(false);
  if (cmd == L"waitc") return CmdWait(true);
  if (cmd == L"gone") return CmdGone();
  if (cmd == L"absent") return CmdAbsent();
  if (cmd == L"title") return CmdTitle();
  if (cmd == L"controls") return CmdControls();
  if (cmd == L"text") return CmdText();
  if (cmd == L"enabled") return CmdFlag(true);
  if (cmd == L"visible") return CmdFlag(false);
  if (cmd == L"style") return CmdStyle();
  if (cmd == L"rect") return CmdRect();
  if (cmd == L"combo") return CmdCombo();
  if (cmd == L"progress") return CmdProgress();
  if (cmd == L"msgbox") return CmdMsgbox();
  if (cmd == L"font") return CmdFont();
  if (cmd == L"colors") return CmdColors();
  if (cmd == L"click") return CmdClick();
  if (cmd == L"select") return CmdSelect();
  if (cmd == L"key") return CmdKey();
  if (cmd == L"close") return CmdClose();
  if (cmd == L"suspend-query") return CmdSuspendQuery();
  if (cmd == L"sleep") return CmdSleep();
  if (cmd == L"pid") return CmdPid();
  if (cmd == L"delete-at-reboot") return CmdDeleteAtReboot();
  Emit("error=unknown command " + Escape(cmd));
  return kExitUsage;
}

}  // namespace ksfauto

int main() {
  ksfauto::Session session(ksfauto::WideArgs());
  return session.Run();
}
