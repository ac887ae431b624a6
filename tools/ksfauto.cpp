// ksfauto: a small UI automation tool for the end-to-end tests.
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
// values are trusted); only where that fails are they asked for by message.
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitNotFound = 3;
constexpr int kExitRefused = 4;

// ---------------------------------------------------------------- output ---

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
  return s;
}

// One value on one line: control characters and the backslash escaped.
std::string Escape(const std::wstring& w) {
  std::string out;
  for (wchar_t c : w) {
    switch (c) {
      case L'\\':
        out += "\\\\";
        break;
      case L'\n':
        out += "\\n";
        break;
      case L'\r':
        out += "\\r";
        break;
      case L'\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += Utf8(std::wstring(1, c));
        }
    }
  }
  return out;
}

void Emit(const std::string& line) {
  std::string l = line + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), l.data(), static_cast<DWORD>(l.size()), &written,
            nullptr);
}

void EmitKv(const char* key, const std::wstring& value) {
  Emit(std::string(key) + "=" + Escape(value));
}

std::string Hex(uintptr_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

int Fail(int code, const std::string& what) {
  Emit("error=" + what);
  return code;
}

// ------------------------------------------------------- command line ------

// The wide command line split by the usual Windows rules (quotes, and
// backslashes before quotes), so titles in any script survive.
std::vector<std::wstring> WideArgs() {
  std::vector<std::wstring> args;
  const wchar_t* p = GetCommandLineW();
  while (*p) {
    while (*p == L' ' || *p == L'\t') ++p;
    if (!*p) break;
    std::wstring arg;
    bool quoted = false;
    while (*p && (quoted || (*p != L' ' && *p != L'\t'))) {
      size_t backslashes = 0;
      while (*p == L'\\') {
        ++backslashes;
        ++p;
      }
      if (*p == L'"') {
        arg.append(backslashes / 2, L'\\');
        if (backslashes % 2) {
          arg += L'"';
        } else if (quoted && p[1] == L'"') {
          arg += L'"';
          ++p;
        } else {
          quoted = !quoted;
        }
        ++p;
      } else {
        arg.append(backslashes, L'\\');
        if (*p) arg += *p++;
      }
    }
    args.push_back(arg);
  }
  return args;
}

bool ParseNumber(const std::wstring& s, long long* out) {
  if (s.empty()) return false;
  wchar_t* end = nullptr;
  long long v = std::wcstoll(s.c_str(), &end, 0);
  if (!end || *end) return false;
  *out = v;
  return true;
}

// ---------------------------------------------------------- windows --------

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

std::vector<HWND> ChildWindows(HWND parent) {
  std::vector<HWND> all;
  EnumChildWindows(parent, Collect, reinterpret_cast<LPARAM>(&all));
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

// Sends a message and gives up when the owner does not answer in time.
bool Ask(HWND h, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result, UINT timeout_ms = 3000) {
  DWORD_PTR r = 0;
  if (!SendMessageTimeoutW(h, msg, wp, lp, SMTO_NORMAL, timeout_ms, &r)) return false;
  if (result) *result = static_cast<LRESULT>(r);
  return true;
}

// ----------------------------------------------------------- paint probe ---
//
// How a control paints (its font, text and background colours) is known only
// inside the program: fonts and brushes are process-local GDI objects, Wine
// does not pass WM_GETFONT between processes, and a label that draws with its
// own font selects it into the paint DC from the colour notification rather
// than making it the window's font.  So the probe runs inside the program, as
// a message hook whose module is this executable.  It asks the control for
// its window font, then sends the control's parent the same colour
// notification that painting sends, with a memory DC, and sees which font and
// colours end up selected in that DC and which brush comes back.
//
// Wine maps the executable into the program as the hook module without
// resolving its imports, so the hook calls nothing through the import table:
// it gets a block in the program's memory (written by us) that holds the
// addresses, as they lie in the program, of the functions it needs, and it
// leaves its answers in the same block.

constexpr WPARAM kProbeMagic = 0x4B534641;  // "KSFA"

struct ProbeBlock {
  decltype(&SendMessageW) send_message;
  decltype(&GetObjectW) get_object;
  decltype(&GetDC) get_dc;
  decltype(&GetDeviceCaps) get_device_caps;
  decltype(&ReleaseDC) release_dc;
  decltype(&CreateCompatibleDC) create_dc;
  decltype(&DeleteDC) delete_dc;
  decltype(&GetCurrentObject) current_object;
  decltype(&GetTextColor) text_color;
  decltype(&GetBkColor) back_color;
  decltype(&GetParent) get_parent;
  UINT notification;  // WM_CTLCOLORSTATIC or WM_CTLCOLORBTN
  LONG done;
  LONG dpi;
  HFONT window_font;
  LOGFONTW window_lf;
  HFONT paint_font;  // selected by the colour notification; 0 when none was
  LOGFONTW paint_lf;
  COLORREF fore, back;
  HBRUSH brush;
  LOGBRUSH brush_lb;
};

LRESULT CALLBACK ProbeHook(int code, WPARAM wp, LPARAM lp) {
  const CWPSTRUCT* msg = reinterpret_cast<const CWPSTRUCT*>(lp);
  if (code == HC_ACTION && msg && msg->message == WM_NULL && msg->wParam == kProbeMagic &&
      msg->lParam) {
    ProbeBlock* b = reinterpret_cast<ProbeBlock*>(msg->lParam);
    HWND h = msg->hwnd;
    b->window_font = reinterpret_cast<HFONT>(b->send_message(h, WM_GETFONT, 0, 0));
    if (b->window_font) b->get_object(b->window_font, sizeof b->window_lf, &b->window_lf);
    HDC screen = b->get_dc(h);
    b->dpi = b->get_device_caps(screen, LOGPIXELSY);
    b->release_dc(h, screen);
    if (HDC dc = b->create_dc(nullptr)) {
      HGDIOBJ before = b->current_object(dc, OBJ_FONT);
      b->brush = reinterpret_cast<HBRUSH>(b->send_message(b->get_parent(h), b->notification,
                                                          reinterpret_cast<WPARAM>(dc),
                                                          reinterpret_cast<LPARAM>(h)));
      HGDIOBJ after = b->current_object(dc, OBJ_FONT);
      if (after != before) {
        b->paint_font = static_cast<HFONT>(after);
        b->get_object(after, sizeof b->paint_lf, &b->paint_lf);
      }
      b->fore = b->text_color(dc);
      b->back = b->back_color(dc);
      if (b->brush) b->get_object(b->brush, sizeof b->brush_lb, &b->brush_lb);
      b->delete_dc(dc);
    }
    b->done = 1;
  }
  (void)wp;
  return 0;
}

// The address that `ours` (a function in one of our modules) has in the
// process `proc`: same module, same offset, that module's base there.
void* AddressIn(HANDLE proc, void* ours) {
  HMODULE mod = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(ours), &mod))
    return nullptr;
  wchar_t name[MAX_PATH] = {0};
  if (!K32GetModuleBaseNameW(GetCurrentProcess(), mod, name, MAX_PATH)) return nullptr;
  HMODULE theirs[1024];
  DWORD needed = 0;
  if (!K32EnumProcessModulesEx(proc, theirs, sizeof theirs, &needed, LIST_MODULES_ALL))
    return nullptr;
  for (DWORD i = 0; i < needed / sizeof(HMODULE) && i < 1024; ++i) {
    wchar_t other[MAX_PATH] = {0};
    if (K32GetModuleBaseNameW(proc, theirs[i], other, MAX_PATH) && lstrcmpiW(other, name) == 0)
      return reinterpret_cast<char*>(theirs[i]) +
             (static_cast<char*>(ours) - reinterpret_cast<char*>(mod));
  }
  return nullptr;
}

// ----------------------------------------------------------- session -------

class Session {
 public:
  explicit Session(std::vector<std::wstring> args) : args_(std::move(args)) {}

  int Run() {
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

 private:
  static int Usage() {
    Emit("error=usage: ksfauto [--desktop NAME] COMMAND [ARGS] ... (see the source header)");
    return kExitUsage;
  }

  bool Take(std::wstring* out) {
    if (pos_ >= args_.size()) return false;
    *out = args_[pos_++];
    return true;
  }
  bool TakeNumber(long long* out) {
    std::wstring s;
    return Take(&s) && ParseNumber(s, out);
  }

  // The control with the given id in the current window (0: the window).
  int Control(HWND* out) {
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

  int Dispatch(const std::wstring& cmd) {
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
    if (cmd == L"sleep") return CmdSleep();
    if (cmd == L"pid") return CmdPid();
    if (cmd == L"delete-at-reboot") return CmdDeleteAtReboot();
    Emit("error=unknown command " + Escape(cmd));
    return kExitUsage;
  }

  int CmdWindows() {
    for (HWND h : TopLevelWindows())
      if (IsWindowVisible(h)) Emit("window " + Describe(h));
    return kExitOk;
  }

  int CmdWait(bool with_child) {
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

  int CmdGone() {
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

  int CmdAbsent() {
    Matcher m;
    if (!Take(&m.cls) || !Take(&m.title)) return Usage();
    if (HWND h = FindTop(m)) return Fail(kExitRefused, "present " + Describe(h));
    Emit("absent=1");
    return kExitOk;
  }

  int CmdTitle() {
    if (!current_) return Fail(kExitNotFound, "no current window");
    EmitKv("title", TextOf(current_));
    return kExitOk;
  }

  int CmdControls() {
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

  int CmdText() {
    HWND h = nullptr;
    if (int rc = Control(&h)) return rc;
    EmitKv("text", TextOf(h));
    return kExitOk;
  }

  int CmdFlag(bool enabled) {
    HWND h = nullptr;
    if (int rc = Control(&h)) return rc;
    bool v = enabled ? IsWindowEnabled(h) : IsWindowVisible(h);
    Emit(std::string(enabled ? "enabled=" : "visible=") + (v ? "1" : "0"));
    return kExitOk;
  }

  int CmdStyle() {
    HWND h = nullptr;
    if (int rc = Control(&h)) return rc;
    Emit("style=" + Hex(static_cast<DWORD>(GetWindowLongW(h, GWL_STYLE))));
    Emit("exstyle=" + Hex(static_cast<DWORD>(GetWindowLongW(h, GWL_EXSTYLE))));
    return kExitOk;
  }

  int CmdRect() {
    HWND h = nullptr;
    if (int rc = Control(&h)) return rc;
    RECT r{};
    GetWindowRect(h, &r);
    Emit("rect=" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
         std::to_string(r.right) + "," + std::to_string(r.bottom));
    return kExitOk;
  }

  int CmdCombo() {
    HWND h = nullptr;
    if (int rc = Control(&h)) return rc;
    LRESULT count = 0, sel = 0;
    if (!Ask(h, CB_GETCOUNT, 0, 0, &count) || !Ask(h, CB_GETCURSEL, 0, 0, &sel))
      return Fail(kExitRefused, "combo box does not answer");
    Emit("count=" + std::to_string(count));
    Emit("sel=" + std::to_string(sel));
    for (LRESULT i = 0; i < count; ++i) {
      LRESULT len = 0;
      if (!Ask(h, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0, &len) || len < 0)
        return Fail(kExitRefused, "combo item length");
      std::vector<wchar_t> buf(static_cast<size_t>(len) + 1, L'\0');
      if (!Ask(h, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buf.data()),
               nullptr))
        return Fail(kExitRefused, "combo item text");
      EmitKv(("item" + std::to_string(i)).c_str(), buf.data());
    }
    return kExitOk;
  }

  // Wine's progress control instance data, as far as we read it.
  struct ProgressInfo {
    HWND self;
    INT cur, min, max, step;
  };

  bool ProgressFromMemory(HWND h, ProgressInfo* out) {
    auto ptr = static_cast<uintptr_t>(GetWindowLongPtrW(h, 0));
    if (!ptr) return false;
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    HANDLE proc = OpenProcess(PROCESS_VM_READ | PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (!proc) return false;
    SIZE_T got = 0;
    bool ok = ReadProcessMemory(proc, reinterpret_cast<void*>(ptr), out, sizeof *out, &got) &&
              got == sizeof *out && out->self == h;
    CloseHandle(proc);
    return ok;
  }

  // The control's own state first: one consistent snapshot, read at once even
  // while the owner is busy, so it pairs with a status text read just before.
  // Where that state cannot be found, ask the control.
  int CmdProgress() {
    HWND h = nullptr;
    if (int rc = Control(&h)) return rc;
    ProgressInfo info{};
    if (ProgressFromMemory(h, &info)) {
      Emit("range=" + std::to_string(info.min) + "," + std::to_string(info.max));
      Emit("pos=" + std::to_string(info.cur));
      Emit("source=memory");
      return kExitOk;
    }
    // PBM_GETRANGE's structure is not carried between processes; its return
    // value (low limit for TRUE, high limit for FALSE) is.
    LRESULT low = 0, high = 0, pos = 0;
    if (!Ask(h, PBM_GETRANGE, TRUE, 0, &low) || !Ask(h, PBM_GETRANGE, FALSE, 0, &high) ||
        !Ask(h, PBM_GETPOS, 0, 0, &pos))
      return Fail(kExitRefused, "progress bar not readable");
    Emit("range=" + std::to_string(low) + "," + std::to_string(high));
    Emit("pos=" + std::to_string(pos));
    Emit("source=message");
    return kExitOk;
  }

  int CmdMsgbox() {
    if (!current_) return Fail(kExitNotFound, "no current window");
    EmitKv("caption", TextOf(current_));
    HWND text = nullptr;
    std::wstring buttons;
    for (HWND c : ChildWindows(current_)) {
      int id = GetDlgCtrlID(c);
      if (id == 0xFFFF && ClassOf(c) == L"Static") text = c;
      if (ClassOf(c) == L"Button" && IsWindowVisible(c)) {
        if (!buttons.empty()) buttons += L",";
        buttons += std::to_wstring(id) + L":" + TextOf(c);
      }
    }
    if (!text) return Fail(kExitNotFound, "no message text (static 0xFFFF)");
    EmitKv("text", TextOf(text));
    EmitKv("buttons", buttons);
    DWORD ex = static_cast<DWORD>(GetWindowLongW(current_, GWL_EXSTYLE));
    Emit(std::string("topmost=") + ((ex & WS_EX_TOPMOST) ? "1" : "0"));
    HWND owner = GetWindow(current_, GW_OWNER);
    Emit("owner=" + Hex(reinterpret_cast<uintptr_t>(owner)));
    return kExitOk;
  }

  template <typename Fn>
  static bool Resolve(HANDLE proc, Fn ours, Fn* theirs) {
    *theirs = reinterpret_cast<Fn>(AddressIn(proc, reinterpret_cast<void*>(ours)));
    return *theirs != nullptr;
  }

  // Runs the paint probe on control `h` inside its program.
  int Probe(HWND h, UINT notification, ProbeBlock* block) {
    DWORD pid = 0;
    DWORD tid = GetWindowThreadProcessId(h, &pid);
    HANDLE proc = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    if (!proc) return Fail(kExitRefused, "program not accessible");
    ProbeBlock& b = *block;
    b = ProbeBlock{};
    b.notification = notification;
    bool resolved = Resolve(proc, &SendMessageW, &b.send_message) &&
                    Resolve(proc, &GetObjectW, &b.get_object) && Resolve(proc, &GetDC, &b.get_dc) &&
                    Resolve(proc, &GetDeviceCaps, &b.get_device_caps) &&
                    Resolve(proc, &ReleaseDC, &b.release_dc) &&
                    Resolve(proc, &CreateCompatibleDC, &b.create_dc) &&
                    Resolve(proc, &DeleteDC, &b.delete_dc) &&
                    Resolve(proc, &GetCurrentObject, &b.current_object) &&
                    Resolve(proc, &GetTextColor, &b.text_color) &&
                    Resolve(proc, &GetBkColor, &b.back_color) &&
                    Resolve(proc, &GetParent, &b.get_parent);
    if (!resolved) {
      CloseHandle(proc);
      return Fail(kExitRefused, "program modules not found");
    }
    void* remote =
        VirtualAllocEx(proc, nullptr, sizeof b, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    bool answered = false;
    if (remote && WriteProcessMemory(proc, remote, &b, sizeof b, nullptr)) {
      if (HHOOK hook =
              SetWindowsHookExW(WH_CALLWNDPROC, ProbeHook, GetModuleHandleW(nullptr), tid)) {
        answered = Ask(h, WM_NULL, kProbeMagic, reinterpret_cast<LPARAM>(remote), nullptr, 5000);
        UnhookWindowsHookEx(hook);
      }
      ReadProcessMemory(proc, remote, &b, sizeof b, nullptr);
    }
    if (remote) VirtualFreeEx(proc, remote, 0, MEM_RELEASE);
    CloseHandle(proc);
    if (!answered || b.done != 1) return Fail(kExitRefused, "control not probed");
    return kExitOk;
  }

  static UINT NotificationFor(HWND h) {
    return ClassOf(h) == L"Button" && (GetWindowLongW(h, GWL_STYLE) & BS_TYPEMASK) != BS_GROUPBOX
               ? WM_CTLCOLORBTN
               : WM_CTLCOLORSTATIC;
  }

  // The font the control's text is drawn in: the one its colour notification
  // selects (source=paint) or else its window font (source=window).
  int CmdFont() {
    HWND h = nullptr;
    if (int rc = Control(&h)) return rc;
    ProbeBlock b;
    if (int rc = Probe(h, NotificationFor(h), &b)) return rc;
    const LOGFONTW* lf = nullptr;
    if (b.paint_font) {
      lf = &b.paint_lf;
      Emit("source=paint");
    } else if (b.window_font) {
      lf = &b.window_lf;
      Emit("source=window");
    } else {
      Emit("source=none");
      Emit("face=");
      return kExitOk;
    }
    EmitKv("face", lf->lfFaceName);
    Emit("height=" + std::to_string(lf->lfHeight));
    Emit("weight=" + std::to_string(lf->lfWeight));
    // Tenths of a point, as the program gives them, at the program's dpi.
    LONG height = lf->lfHeight < 0 ? -lf->lfHeight : lf->lfHeight;
    Emit("points10=" + std::to_string(MulDiv(height, 720, b.dpi ? b.dpi : 96)));
    return kExitOk;
  }

  static std::string Rgb(COLORREF c) {
    return std::to_string(GetRValue(c)) + "," + std::to_string(GetGValue(c)) + "," +
           std::to_string(GetBValue(c));
  }

  // Text colour, text background and background brush colour (R,G,B) that the
  // control paints with.
  int CmdColors() {
    HWND h = nullptr;
    if (int rc = Control(&h)) return rc;
    ProbeBlock b;
    if (int rc = Probe(h, NotificationFor(h), &b)) return rc;
    Emit("fore=" + Rgb(b.fore));
    Emit("back=" + Rgb(b.back));
    Emit("brush=" + (b.brush && b.brush_lb.lbStyle == BS_SOLID ? Rgb(b.brush_lb.lbColor)
                                                               : std::string("none")));
    return kExitOk;
  }

  int CmdClick() {
    HWND h = nullptr;
    if (int rc = Control(&h)) return rc;
    if (!IsWindowVisible(h)) return Fail(kExitRefused, "button not visible");
    if (!IsWindowEnabled(h)) return Fail(kExitRefused, "button disabled");
    HWND parent = GetParent(h);
    int id = GetDlgCtrlID(h);
    // Posted, not sent: the handler may run for a minute or open a modal box.
    if (!PostMessageW(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(h)))
      return Fail(kExitRefused, "post failed");
    Emit("clicked=" + std::to_string(id));
    return kExitOk;
  }

  int CmdSelect() {
    HWND h = nullptr;
    if (int rc = Control(&h)) return rc;
    long long index = 0;
    if (!TakeNumber(&index)) return Usage();
    LRESULT r = 0;
    if (!Ask(h, CB_SETCURSEL, static_cast<WPARAM>(index), 0, &r) || r != index)
      return Fail(kExitRefused, "CB_SETCURSEL failed");
    if (!PostMessageW(GetParent(h), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(h), CBN_SELCHANGE),
                      reinterpret_cast<LPARAM>(h)))
      return Fail(kExitRefused, "post failed");
    Emit("selected=" + std::to_string(index));
    return kExitOk;
  }

  int CmdKey() {
    long long vk = 0;
    if (!TakeNumber(&vk)) return Usage();
    if (!current_) return Fail(kExitNotFound, "no current window");
    GUITHREADINFO gti{};
    gti.cbSize = sizeof gti;
    HWND target = current_;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(current_, nullptr), &gti) && gti.hwndFocus)
      target = gti.hwndFocus;
    UINT scan = MapVirtualKeyW(static_cast<UINT>(vk), 0);
    PostMessageW(target, WM_KEYDOWN, static_cast<WPARAM>(vk), 1 | (scan << 16));
    PostMessageW(target, WM_KEYUP, static_cast<WPARAM>(vk), 1 | (scan << 16) | 0xC0000000u);
    Emit("key=" + std::to_string(vk) + " target=" + Hex(reinterpret_cast<uintptr_t>(target)));
    return kExitOk;
  }

  int CmdClose() {
    if (!current_) return Fail(kExitNotFound, "no current window");
    PostMessageW(current_, WM_CLOSE, 0, 0);
    Emit("closed=1");
    return kExitOk;
  }

  int CmdSleep() {
    long long ms = 0;
    if (!TakeNumber(&ms) || ms < 0) return Usage();
    Sleep(static_cast<DWORD>(ms));
    return kExitOk;
  }

  int CmdPid() {
    if (!current_) return Fail(kExitNotFound, "no current window");
    DWORD pid = 0;
    GetWindowThreadProcessId(current_, &pid);
    Emit("pid=" + std::to_string(pid));
    return kExitOk;
  }

  int CmdDeleteAtReboot() {
    std::wstring path;
    if (!Take(&path)) return Usage();
    if (!MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
      return Fail(kExitRefused, "MoveFileEx failed " + std::to_string(GetLastError()));
    Emit("scheduled=" + Escape(path));
    return kExitOk;
  }

  std::vector<std::wstring> args_;
  size_t pos_ = 0;
  HWND current_ = nullptr;
};

}  // namespace

int main() {
  Session session(WideArgs());
  return session.Run();
}
