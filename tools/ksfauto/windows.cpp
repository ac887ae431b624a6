// Finding windows and reading what the window manager knows of them, and the
// commands that need no more than that.
#include "ksfauto.h"

namespace ksfauto {
namespace {

struct Matcher {
  std::wstring cls, title;
  int child = 0;  // 0: any; else the window must have this control
  bool Matches(HWND h) const {
    if (!IsWindowVisible(h)) return false;
    if (child && !GetDlgItem(h, child)) return false;
    if (cls != L"*" && ClassOf(h) != cls) return false;
    if (title == L"*") return true;
    std::wstring t = TextOf(h);
    if (!title.empty() && title[0] == L'~') return t.find(title.substr(1)) != std::wstring::npos;
    return t == title;
  }
};

BOOL CALLBACK Collect(HWND h, LPARAM p) {
  reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
  return TRUE;
}

std::vector<HWND> TopLevelWindows() {
  std::vector<HWND> all;
  EnumWindows(Collect, reinterpret_cast<LPARAM>(&all));
  return all;
}

HWND FindTop(const Matcher& m) {
  for (HWND h : TopLevelWindows())
    if (m.Matches(h)) return h;
  return nullptr;
}

std::string Describe(HWND h) {
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  return "hwnd=" + Hex(reinterpret_cast<uintptr_t>(h)) + " pid=" + std::to_string(pid) +
         " class=" + Escape(ClassOf(h)) + " title=" + Escape(TextOf(h));
}

}  // namespace

std::wstring ClassOf(HWND h) {
  wchar_t buf[256] = {0};
  GetClassNameW(h, buf, 256);
  return buf;
}

// For a window of another process this asks the window manager, not the
// window, so it works while the owner's thread is busy.
std::wstring TextOf(HWND h) {
  int len = GetWindowTextLengthW(h);
  std::vector<wchar_t> buf(static_cast<size_t>(len) + 512, L'\0');
  GetWindowTextW(h, buf.data(), static_cast<int>(buf.size()));
  return buf.data();
}

std::vector<HWND> ChildWindows(HWND parent) {
  std::vector<HWND> all;
  EnumChildWindows(parent, Collect, reinterpret_cast<LPARAM>(&all));
  return all;
}

bool Ask(HWND h, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result, UINT timeout_ms) {
  DWORD_PTR r = 0;
  if (!SendMessageTimeoutW(h, msg, wp, lp, SMTO_NORMAL, timeout_ms, &r)) return false;
  if (result) *result = static_cast<LRESULT>(r);
  return true;
}

int Session::CmdWindows() {
  for (HWND h : TopLevelWindows())
    if (IsWindowVisible(h)) Emit("window " + Describe(h));
  return kExitOk;
}

int Session::CmdWait(bool with_child) {
  Matcher m;
  long long ms = 0, child = 0;
  if (!Take(&m.cls) || !Take(&m.title)) return Usage();
  if (with_child && !TakeNumber(&child)) return Usage();
  if (!TakeNumber(&ms)) return Usage();
  m.child = static_cast<int>(child);
  DWORD start = GetTickCount();
  for (;;) {
    if (HWND h = FindTop(m)) {
      current_ = h;
      Emit("found " + Describe(h));
      return kExitOk;
    }
    if (static_cast<long long>(GetTickCount() - start) >= ms) break;
    Sleep(50);
  }
  return Fail(kExitNotFound,
              "timeout waiting for class=" + Escape(m.cls) + " title=" + Escape(m.title));
}

int Session::CmdGone() {
  long long ms = 0;
  if (!TakeNumber(&ms)) return Usage();
  if (!current_) return Fail(kExitNotFound, "no current window");
  DWORD start = GetTickCount();
  while (IsWindow(current_) && IsWindowVisible(current_)) {
    if (static_cast<long long>(GetTickCount() - start) >= ms)
      return Fail(kExitNotFound, "window still there");
    Sleep(50);
  }
  Emit("gone=1");
  current_ = nullptr;
  return kExitOk;
}

int Session::CmdAbsent() {
  Matcher m;
  if (!Take(&m.cls) || !Take(&m.title)) return Usage();
  if (HWND h = FindTop(m)) return Fail(kExitRefused, "present " + Describe(h));
  Emit("absent=1");
  return kExitOk;
}

int Session::CmdTitle() {
  if (!current_) return Fail(kExitNotFound, "no current window");
  EmitKv("title", TextOf(current_));
  return kExitOk;
}

int Session::CmdControls() {
  if (!current_) return Fail(kExitNotFound, "no current window");
  for (HWND c : ChildWindows(current_)) {
    LONG style = GetWindowLongW(c, GWL_STYLE);
    LONG ex = GetWindowLongW(c, GWL_EXSTYLE);
    Emit("control id=" + std::to_string(GetDlgCtrlID(c)) + " class=" + Escape(ClassOf(c)) +
         " enabled=" + (IsWindowEnabled(c) ? "1" : "0") + " visible=" +
         (IsWindowVisible(c) ? "1" : "0") + " style=" + Hex(static_cast<DWORD>(style)) +
         " exstyle=" + Hex(static_cast<DWORD>(ex)) + " text=" + Escape(TextOf(c)));
  }
  return kExitOk;
}

int Session::CmdText() {
  HWND h = nullptr;
  if (int rc = Control(&h)) return rc;
  EmitKv("text", TextOf(h));
  return kExitOk;
}

int Session::CmdFlag(bool enabled) {
  HWND h = nullptr;
  if (int rc = Control(&h)) return rc;
  bool v = enabled ? IsWindowEnabled(h) : IsWindowVisible(h);
  Emit(std::string(enabled ? "enabled=" : "visible=") + (v ? "1" : "0"));
  return kExitOk;
}

int Session::CmdStyle() {
  HWND h = nullptr;
  if (int rc = Control(&h)) return rc;
  Emit("style=" + Hex(static_cast<DWORD>(GetWindowLongW(h, GWL_STYLE))));
  Emit("exstyle=" + Hex(static_cast<DWORD>(GetWindowLongW(h, GWL_EXSTYLE))));
  return kExitOk;
}

int Session::CmdRect() {
  HWND h = nullptr;
  if (int rc = Control(&h)) return rc;
  RECT r{};
  GetWindowRect(h, &r);
  Emit("rect=" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
       std::to_string(r.right) + "," + std::to_string(r.bottom));
  return kExitOk;
}

int Session::CmdPid() {
  if (!current_) return Fail(kExitNotFound, "no current window");
  DWORD pid = 0;
  GetWindowThreadProcessId(current_, &pid);
  Emit("pid=" + std::to_string(pid));
  return kExitOk;
}

int Session::CmdClose() {
  if (!current_) return Fail(kExitNotFound, "no current window");
  PostMessageW(current_, WM_CLOSE, 0, 0);
  Emit("closed=1");
  return kExitOk;
}

// The question Windows 98 to XP send before a suspend: "result" is the
// window's answer (BROADCAST_QUERY_DENY 0x424D5144 refuses it).
int Session::CmdSuspendQuery() {
  if (!current_) return Fail(kExitNotFound, "no current window");
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutW(current_, WM_POWERBROADCAST, PBT_APMQUERYSUSPEND, 0, SMTO_NORMAL, 5000,
                           &answer)) {
    return Fail(kExitNotFound, "no answer");
  }
  char text[16];
  std::snprintf(text, sizeof text, "%08lX", static_cast<unsigned long>(answer));
  Emit(std::string("result=") + text);
  return kExitOk;
}

int Session::CmdSleep() {
  long long ms = 0;
  if (!TakeNumber(&ms) || ms < 0) return Usage();
  Sleep(static_cast<DWORD>(ms));
  return kExitOk;
}

int Session::CmdDeleteAtReboot() {
  std::wstring path;
  if (!Take(&path)) return Usage();
  if (!MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
    return Fail(kExitRefused, "MoveFileEx failed " + std::to_string(GetLastError()));
  Emit("scheduled=" + Escape(path));
  return kExitOk;
}

}  // namespace ksfauto
