// The paint probe: the font and colours a control paints with, read inside
// the program (fonts, brushes and colours).
#include "ksfauto.h"

#include <psapi.h>

namespace ksfauto {
namespace {

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

template <typename Fn>
bool Resolve(HANDLE proc, Fn ours, Fn* theirs) {
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
  bool resolved =
      Resolve(proc, &SendMessageW, &b.send_message) && Resolve(proc, &GetObjectW, &b.get_object) &&
      Resolve(proc, &GetDC, &b.get_dc) && Resolve(proc, &GetDeviceCaps, &b.get_device_caps) &&
      Resolve(proc, &ReleaseDC, &b.release_dc) &&
      Resolve(proc, &CreateCompatibleDC, &b.create_dc) && Resolve(proc, &DeleteDC, &b.delete_dc) &&
      Resolve(proc, &GetCurrentObject, &b.current_object) &&
      Resolve(proc, &GetTextColor, &b.text_color) && Resolve(proc, &GetBkColor, &b.back_color) &&
      Resolve(proc, &GetParent, &b.get_parent);
  if (!resolved) {
    CloseHandle(proc);
    return Fail(kExitRefused, "program modules not found");
  }
  void* remote = VirtualAllocEx(proc, nullptr, sizeof b, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  bool answered = false;
  if (remote && WriteProcessMemory(proc, remote, &b, sizeof b, nullptr)) {
    if (HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, ProbeHook, GetModuleHandleW(nullptr), tid)) {
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

UINT NotificationFor(HWND h) {
  return ClassOf(h) == L"Button" && (GetWindowLongW(h, GWL_STYLE) & BS_TYPEMASK) != BS_GROUPBOX
             ? WM_CTLCOLORBTN
             : WM_CTLCOLORSTATIC;
}

std::string Rgb(COLORREF c) {
  return std::to_string(GetRValue(c)) + "," + std::to_string(GetGValue(c)) + "," +
         std::to_string(GetBValue(c));
}

}  // namespace

// The font the control's text is drawn in: the one its colour notification
// selects (source=paint) or else its window font (source=window).
int Session::CmdFont() {
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

// Text colour, text background and background brush colour (R,G,B) that the
// control paints with.
int Session::CmdColors() {
  HWND h = nullptr;
  if (int rc = Control(&h)) return rc;
  ProbeBlock b;
  if (int rc = Probe(h, NotificationFor(h), &b)) return rc;
  Emit("fore=" + Rgb(b.fore));
  Emit("back=" + Rgb(b.back));
  Emit("brush=" +
       (b.brush && b.brush_lb.lbStyle == BS_SOLID ? Rgb(b.brush_lb.lbColor) : std::string("none")));
  return kExitOk;
}

}  // namespace ksfauto
