// A minimal dialog layer: modal dialogs run from resource templates, controls
// bound to C++ objects by id (subclassing), and the control-colour
// notification reflected back to the control that asked for it.
#pragma once

#include "platform/win32/windows_api.h"

namespace ui {

// The message a dialog sends to a bound control in answer to a WM_CTLCOLOR*
// notification of that control: wParam the device context, lParam the control
// kind (CTLCOLOR_STATIC, ...).  The control answers with a brush or 0.
constexpr UINT kReflectCtlColor = WM_APP + 0x2C0;

HINSTANCE AppInstance();

// A window owned elsewhere (a dialog's control) that a C++ object attaches to.
class CWnd {
 public:
  CWnd() = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;
  virtual ~CWnd();

  HWND GetSafeHwnd() const { return hwnd_; }
  // Subclasses `window` so its messages pass through this object first.
  bool Attach(HWND window);
  void Detach();

  void SetWindowText(const char* text) const { ::SetWindowTextA(hwnd_, text); }
  void EnableWindow(bool enable) const { ::EnableWindow(hwnd_, enable ? TRUE : FALSE); }
  bool IsWindowEnabled() const { return ::IsWindowEnabled(hwnd_) != FALSE; }
  void ShowWindow(int show) const { ::ShowWindow(hwnd_, show); }
  void SetFocus() const { ::SetFocus(hwnd_); }
  LRESULT SendMessage(UINT message, WPARAM wparam = 0, LPARAM lparam = 0) const {
    return ::SendMessageA(hwnd_, message, wparam, lparam);
  }

 protected:
  // A message sent to the control.  Return true with *result set to consume
  // it; false passes it on to the control's own window procedure.
  virtual bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result);
  // Hands a message to the control's own window procedure.
  LRESULT CallDefault(UINT message, WPARAM wparam, LPARAM lparam) const {
    return ::CallWindowProcA(previous_, hwnd_, message, wparam, lparam);
  }

 private:
  static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  HWND hwnd_ = nullptr;
  WNDPROC previous_ = nullptr;
};

// A modal dialog run from a resource template.
class CDialog {
 public:
  explicit CDialog(int template_id) : template_id_(template_id) {}
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;
  virtual ~CDialog() = default;

  // Runs the dialog; the EndDialog result, or -1 when it could not be created.
  INT_PTR DoModal(HWND parent = nullptr);
  HWND GetSafeHwnd() const { return hwnd_; }
  HWND GetDlgItem(int id) const { return ::GetDlgItem(hwnd_, id); }
  void EndDialog(int result) const { ::EndDialog(hwnd_, result); }

 protected:
  // Binds the template's controls to members (BindControl).
  virtual void DoDataExchange() {}
  // Runs DoDataExchange.  Return true to let the system set the focus.
  virtual bool OnInitDialog();
  virtual void OnOK() { EndDialog(IDOK); }
  virtual void OnCancel() { EndDialog(IDCANCEL); }
  // A WM_COMMAND other than IDOK / IDCANCEL; true when handled.
  virtual bool OnCommand(WORD id, WORD code, HWND control);
  // Any other message; return true with *result set when handled (the
  // dialog-procedure result: TRUE, or the value for messages such as
  // WM_QUERYDRAGICON and WM_CTLCOLOR*).
  virtual bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, INT_PTR* result);

  void BindControl(CWnd& control, int id);

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR Dispatch(UINT message, WPARAM wparam, LPARAM lparam);

  int template_id_;
  HWND hwnd_ = nullptr;
};

}  // namespace ui
