// CFirmwareUpdateDlg: the main dialog (template 102): drive list, progress
// bar, status line, UPDATE and EXIT.
#pragma once

#include "app/win32/color_label.h"
#include "app/win32/dialog.h"
#include "update/update.h"

namespace ui {

class CFirmwareUpdateDlg : public CDialog {
 public:
  CFirmwareUpdateDlg();  // loads the application icon (resource 128)

 protected:
  void DoDataExchange() override;
  bool OnInitDialog() override;
  // UPDATE (the dialog's OK command) runs the update in place.
  void OnOK() override;
  void OnCancel() override;
  bool OnCommand(WORD id, WORD code, HWND control) override;
  bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, INT_PTR* result) override;

 private:
  // The view the update procedure works on: this dialog's controls.
  class View final : public UpdateView {
   public:
    explicit View(CFirmwareUpdateDlg& dialog) : dialog_(dialog) {}
    void EnableUpdateButton(bool enable) override { dialog_.update_.EnableWindow(enable); }
    void EnableExitButton(bool enable) override { dialog_.exit_.EnableWindow(enable); }
    int CurrentSelection() override;
    void SetStatusText(const char* text) override { dialog_.status_.SetWindowText(text); }
    void SetProgressRange(uint16_t maximum) override;
    void SetProgressStep(int step) override;
    void SetProgressPosition(int position) override;
    void StepProgress() override;
    void Repaint() override;
    void* OwnerWindow() override { return dialog_.GetSafeHwnd(); }
    void EndDialogOk() override { dialog_.EndDialog(IDOK); }
    void HoldSession(bool hold) override { dialog_.HoldSession(hold); }

   private:
    CFirmwareUpdateDlg& dialog_;
  };

  void OnPaint();
  // Refuses session ends, names the reason where Windows shows one, and keeps
  // the machine and its display from sleeping (true); undoes all of it (false).
  void HoldSession(bool hold);
  // The power request of Windows 7 and later, and its release.
  void HoldPowerRequest(const wchar_t* reason);
  void ReleasePowerRequest();

  // Members in binding order; destroyed in reverse.
  CButton exit_;
  CButton update_;
  CColorLabel status_;
  CWnd progress_;
  CWnd drive_list_;
  HICON icon_;
  // True while an update runs: the dialog thread is inside OnOK and answers
  // only paint requests and messages other programs send it.
  bool updating_ = false;
  // True from UPDATE until its last box is answered: WM_QUERYENDSESSION is
  // answered FALSE.
  bool session_held_ = false;
  // The power request while the session is held (Windows 7 and later), and
  // which of its kinds were granted.
  HANDLE power_request_ = nullptr;
  bool power_system_set_ = false;
  bool power_execution_set_ = false;
};

}  // namespace ui
