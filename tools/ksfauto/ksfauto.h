// ksfauto: a small UI automation tool for the end-to-end tests.  This header
// holds what its parts share: output.cpp (output lines, the command line),
// windows.cpp (finding and reading windows), controls.cpp (combo box,
// progress bar, message box, buttons, keys), paint_probe.cpp (font and
// colours, read inside the program) and session.cpp (the command loop).
//
// It runs inside Wine, in the same prefix (and so on the same desktop) as the
// program under test, finds the program's top-level windows and reads or
// drives their controls.  Every command writes plain "key=value" lines to
// stdout, one value per line, UTF-8, with \n, \r, \t, \\ and other control
// characters escaped, so shell scripts can compare texts directly.
//
//   ksfauto [--desktop NAME] COMMAND [ARGS] [COMMAND [ARGS]] ...
//
// Commands run in order; `wait` selects the "current" window that the later
// commands work on.  Control ids are decimal or 0x-hex; id 0 is the current
// window itself.
//
//   windows                       list visible top-level windows
//   wait CLASS TITLE MS           wait for a visible top-level window (CLASS or
//                                 TITLE "*" = any; TITLE "~part" = contains)
//   waitc CLASS TITLE ID MS       the same, for a window that has control ID
//                                 (tells a message box, 0xFFFF, from a dialog)
//   gone MS                       wait until the current window has gone
//   absent CLASS TITLE            fail if such a window exists now
//   title                         caption of the current window
//   controls                      list the current window's child controls
//   text ID                       text of a control
//   enabled ID | visible ID       1 or 0
//   style ID                      window style and extended style
//   rect ID                       window rectangle (screen coordinates)
//   combo ID                      item count, selection and items
//   progress ID                   range and position of a progress bar
//   msgbox                        caption, text and buttons of a message box
//   font ID                       face and size of the font the control's
//                                 text is drawn in
//   colors ID                     its text, text background and brush colours
//   click ID                      press a button (refused when disabled)
//   select ID INDEX               select a combo box item, notify the parent
//   key VK                        press a key in the current window's focus
//   close                         post WM_CLOSE to the current window
//   suspend-query                 send the suspend question (98 to XP); its answer
//   sleep MS                      pause
//   pid                           process id owning the current window
//   delete-at-reboot PATH         MoveFileEx(PATH, NULL, DELAY_UNTIL_REBOOT)
//
// Exit codes: 0 done, 2 usage, 3 window/control not found or time-out,
// 4 the target refused (disabled button, failed message).
//
// Reading during an update: the program's dialog thread is busy in its UPDATE
// handler and handles no sent messages then, so everything that can be read
// without a message is read so (window texts from the window manager, styles).
// A progress bar's range and position are read from the control's instance
// data (Wine's progress control keeps its state behind the first window-extra
// pointer, beginning with its own window handle, which is checked before the
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ksfauto {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitNotFound = 3;
constexpr int kExitRefused = 4;

// --- output.cpp
std::string Escape(const std::wstring& w);  // one value on one line, UTF-8
void Emit(const std::string& line);
void EmitKv(const char* key, const std::wstring& value);
std::string Hex(uintptr_t v);
int Fail(int code, const std::string& what);  // emits the error, returns `code`
std::vector<std::wstring> WideArgs();
bool ParseNumber(const std::wstring& s, long long* out);

// --- windows.cpp
std::wstring ClassOf(HWND h);
std::wstring TextOf(HWND h);
std::vector<HWND> ChildWindows(HWND parent);
// Sends a message and gives up when the owner does not answer in time.
bool Ask(HWND h, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result, UINT timeout_ms = 3000);

class Session {
 public:
  explicit Session(std::vector<std::wstring> args) : args_(std::move(args)) {}
  int Run();

 private:
  static int Usage();
  bool Take(std::wstring* out);
  bool TakeNumber(long long* out);
  // The control with the given id in the current window (0: the window).
  int Control(HWND* out);
  int Dispatch(const std::wstring& cmd);

  // windows.cpp
  int CmdWindows();
  int CmdWait(bool with_child);
  int CmdGone();
  int CmdAbsent();
  int CmdTitle();
  int CmdControls();
  int CmdText();
  int CmdFlag(bool enabled);
  int CmdStyle();
  int CmdRect();
  int CmdPid();
  int CmdClose();
  int CmdSuspendQuery();
  int CmdSleep();
  int CmdDeleteAtReboot();
  // controls.cpp
  int CmdCombo();
  int CmdProgress();
  int CmdMsgbox();
  int CmdClick();
  int CmdSelect();
  int CmdKey();
  // paint_probe.cpp
  int CmdFont();
  int CmdColors();

  std::vector<std::wstring> args_;
  size_t pos_ = 0;
  HWND current_ = nullptr;
};

}  // namespace ksfauto
