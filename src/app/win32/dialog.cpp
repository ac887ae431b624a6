#include "app/win32/dialog.h"

namespace ui {
namespace {

// Window property that leads from a subclassed control to its C++ object.
constexpr char kObjectProperty[] = "KsfBoundControl";

}  // namespace

HINSTANCE AppInstance() { return ::GetModuleHandleA(nullptr); }

// ------------------------------------------------------------------ CWnd

CWnd::~CWnd() { Detach(); }

bool CWnd::Attach(HWND window) {
  if (window == nullptr || hwnd_ != nullptr) return false;
  hwnd_ = window;
  ::SetPropA(window, kObjectProperty, this);
  previous_ = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::SubclassProc)));
  return true;
}

void CWnd::Detach() {
  if (hwnd_ == nullptr) return;
  if (::IsWindow(hwnd_)) {
    ::SetWindowLongPtrA(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_));
    ::RemovePropA(hwnd_, kObjectProperty);
  }
  hwnd_ = nullptr;
  previous_ = nullptr;
}

bool CWnd::OnMessage(UINT, WPARAM, LPARAM, LRESULT*) { return false; }

LRESULT CALLBACK CWnd::SubclassProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = static_cast<CWnd*>(::GetPropA(window, kObjectProperty));
  if (self == nullptr) return ::DefWindowProcA(window, message, wparam, lparam);
  const WNDPROC previous = self->previous_;
  if (message == WM_NCDESTROY) {
    // The window goes with its dialog; the object outlives it.
    self->Detach();
    return ::CallWindowProcA(previous, window, message, wparam, lparam);
  }
  LRESULT result = 0;
  if (self->OnMessage(message, wparam, lparam, &result)) return result;
  return ::CallWindowProcA(previous, window, message, wparam, lparam);
}

// ------------------------------------------------------------------ CDialog

INT_PTR CDialog::DoModal(HWND parent) {
  return ::DialogBoxParamA(AppInstance(), MAKEINTRESOURCEA(template_id_), parent,
                           &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

bool CDialog::OnInitDialog() {
  DoDataExchange();
  return true;
}

bool CDialog::OnCommand(WORD, WORD, HWND) { return false; }

bool CDialog::OnMessage(UINT, WPARAM, LPARAM, INT_PTR*) { return false; }

void CDialog::BindControl(CWnd& control, int id) { control.Attach(GetDlgItem(id)); }

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  CDialog* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<CDialog*>(lparam);
    self->hwnd_ = window;
    ::SetWindowLongPtrA(window, DWLP_USER, lparam);
  } else {
    self = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(window, DWLP_USER));
  }
  if (self == nullptr) return FALSE;
  const INT_PTR result = self->Dispatch(message, wparam, lparam);
  if (message == WM_NCDESTROY) self->hwnd_ = nullptr;
  return result;
}

INT_PTR CDialog::Dispatch(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog() ? TRUE : FALSE;
    case WM_COMMAND: {
      const WORD id = LOWORD(wparam);
      const WORD code = HIWORD(wparam);
      const HWND control = reinterpret_cast<HWND>(lparam);
      if (OnCommand(id, code, control)) return TRUE;
      if (id == IDOK) {
        OnOK();
        return TRUE;
      }
      if (id == IDCANCEL) {
        OnCancel();
        return TRUE;
      }
      return FALSE;
    }
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC: {
      // Reflect the notification to a bound control; with no brush from it the
      // dialog's default colouring applies (return FALSE).
      const HWND control = reinterpret_cast<HWND>(lparam);
      if (control != nullptr && ::GetPropA(control, kObjectProperty) != nullptr) {
        const LRESULT brush = ::SendMessageA(control, kReflectCtlColor, wparam,
                                             static_cast<LPARAM>(message - WM_CTLCOLORMSGBOX));
        if (brush != 0) return static_cast<INT_PTR>(brush);
      }
      break;
    }
    default:
      break;
  }
  INT_PTR result = FALSE;
  if (OnMessage(message, wparam, lparam, &result)) return result;
  return FALSE;
}

}  // namespace ui
