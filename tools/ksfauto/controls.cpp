// Commands that read or drive one control: combo box, progress bar, message
// box, buttons and keys.
#include "ksfauto.h"

#include <commctrl.h>

namespace ksfauto {
namespace {

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

}  // namespace

int Session::CmdCombo() {
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

// The control's own state first: one consistent snapshot, read at once even
// while the owner is busy, so it pairs with a status text read just before.
// Where that state cannot be found, ask the control.
int Session::CmdProgress() {
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

int Session::CmdMsgbox() {
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

int Session::CmdClick() {
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

int Session::CmdSelect() {
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

int Session::CmdKey() {
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

}  // namespace ksfauto
