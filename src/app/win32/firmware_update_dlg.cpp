#include "app/win32/firmware_update_dlg.h"

#include <commctrl.h>

#include "discovery/drive_table.h"
#include "package/package.h"
#include "resource.h"
#include "text/catalogue.h"
#include "text/system_state.h"

namespace ui {

CFirmwareUpdateDlg::CFirmwareUpdateDlg()
    : CDialog(IDD_KSFUPD_DIALOG),
      icon_(::LoadIconA(AppInstance(), MAKEINTRESOURCEA(IDR_MAINFRAME))) {}

void CFirmwareUpdateDlg::DoDataExchange() {
  BindControl(exit_, IDCANCEL);
  BindControl(update_, IDOK);
  BindControl(status_, IDC_STATUS_LINE);
  BindControl(progress_, IDC_PROGRESS);
  BindControl(drive_list_, IDC_DRIVE_LIST);
}

bool CFirmwareUpdateDlg::OnInitDialog() {
  CDialog::OnInitDialog();

  ::SendMessageA(GetSafeHwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  ::SendMessageA(GetSafeHwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

  if (JapaneseMode()) status_.SetPointFont(90, FontMsPGothic());

  ::SetWindowTextA(GetSafeHwnd(), UpdatePackage.ApplicationTitle);

  for (int i = 0; i < DriveCount && i < kDriveTableSize; ++i) {
    drive_list_.SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(DriveTable[i].DisplayText));
  }
  drive_list_.SendMessage(CB_SETCURSEL, 0);
  drive_list_.SetFocus();

  status_.SetWindowText(Text(Msg::StatusSelectDrive));
  return false;
}

void CFirmwareUpdateDlg::OnOK() {
  // Nothing to do while an update runs, nor for a drive already updated (its
  // UPDATE button is disabled; Enter or a sent command must not bypass that).
  if (updating_ || !update_.IsWindowEnabled()) return;
  updating_ = true;
  View view(*this);
  OnUpdate(view);
  updating_ = false;
}

void CFirmwareUpdateDlg::OnCancel() {
  if (updating_) return;
  CDialog::OnCancel();
}

bool CFirmwareUpdateDlg::OnCommand(WORD id, WORD code, HWND) {
  if (id == IDC_DRIVE_LIST && code == CBN_SELCHANGE) {
    // The worker reads the selection: it must not change under a running update.
    if (!updating_) {
      View view(*this);
      OnDriveSelChange(view);
    }
    return true;
  }
  return false;
}

bool CFirmwareUpdateDlg::OnMessage(UINT message, WPARAM wparam, LPARAM, INT_PTR* result) {
  switch (message) {
    case WM_PAINT:
      if (!::IsIconic(GetSafeHwnd())) return false;  // default painting
      OnPaint();
      *result = TRUE;
      return true;
    case WM_QUERYDRAGICON:
      *result = reinterpret_cast<INT_PTR>(icon_);
      return true;
    case WM_QUERYENDSESSION:
      if (!session_held_) return false;  // accepted as by any dialog
      // A dialog procedure hands this answer back through DWLP_MSGRESULT.
      ::SetWindowLongPtrA(GetSafeHwnd(), DWLP_MSGRESULT, FALSE);
      *result = TRUE;
      return true;
    case WM_POWERBROADCAST:
      // Windows 98 to XP ask before a suspend the user or a timer starts
      // (later versions no longer ask and go by the execution state).
      if (!session_held_ || wparam != PBT_APMQUERYSUSPEND) return false;
      ::SetWindowLongPtrA(GetSafeHwnd(), DWLP_MSGRESULT, BROADCAST_QUERY_DENY);
      *result = TRUE;
      return true;
    default:
      return false;
  }
}

void CFirmwareUpdateDlg::OnPaint() {
  // Minimised: the application icon centred in the (iconic) client area.
  PAINTSTRUCT paint;
  HDC dc = ::BeginPaint(GetSafeHwnd(), &paint);
  ::SendMessageA(GetSafeHwnd(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int icon_width = ::GetSystemMetrics(SM_CXICON);
  const int icon_height = ::GetSystemMetrics(SM_CYICON);
  RECT client;
  ::GetClientRect(GetSafeHwnd(), &client);
  const int x = (client.right - client.left - icon_width + 1) / 2;
  const int y = (client.bottom - client.top - icon_height + 1) / 2;
  ::DrawIcon(dc, x, y, icon_);
  ::EndPaint(GetSafeHwnd(), &paint);
}

namespace {

// Entry points that Windows 95/98 (and NT 4) lack, looked up at run time so
// that the program still starts there.
using ReasonCreateFn = BOOL(WINAPI*)(HWND, LPCWSTR);
using ReasonDestroyFn = BOOL(WINAPI*)(HWND);
using ExecutionStateFn = DWORD(WINAPI*)(DWORD);

constexpr DWORD kEsContinuous = 0x80000000u;       // ES_CONTINUOUS
constexpr DWORD kEsSystemRequired = 0x00000001u;   // ES_SYSTEM_REQUIRED
constexpr DWORD kEsDisplayRequired = 0x00000002u;  // ES_DISPLAY_REQUIRED

// Power requests (Windows 7 and later): REASON_CONTEXT with a simple reason
// string, and the request kinds, as in the Windows 7 headers (this program is
// compiled for the oldest systems, whose headers do not have them).
struct ReasonContext {
  ULONG version;  // POWER_REQUEST_CONTEXT_VERSION
  DWORD flags;    // POWER_REQUEST_CONTEXT_SIMPLE_STRING
  union {
    struct {
      HMODULE module;
      ULONG id;
      ULONG count;
      LPWSTR* strings;
    } detailed;
    LPWSTR simple;
  } reason;
};
constexpr ULONG kPowerRequestContextVersion = 0;
constexpr DWORD kPowerRequestContextSimpleString = 0x1;
constexpr int kPowerRequestSystemRequired = 1;
// Windows 8 and later: keeps the process running where Modern Standby would
// suspend it.  Windows 7 refuses it; the system request still holds there.
constexpr int kPowerRequestExecutionRequired = 3;
using PowerCreateRequestFn = HANDLE(WINAPI*)(ReasonContext*);
using PowerRequestFn = BOOL(WINAPI*)(HANDLE, int);  // PowerSetRequest, PowerClearRequest

}  // namespace

void CFirmwareUpdateDlg::HoldSession(bool hold) {
  if (hold == session_held_) return;
  session_held_ = hold;
  // The display too: on a Modern Standby laptop the machine goes to sleep
  // with the display, whatever ES_SYSTEM_REQUIRED says.
  const auto set_state =
      plat::SystemFunction<ExecutionStateFn>("kernel32.dll", "SetThreadExecutionState");
  if (set_state != nullptr) {
    set_state(hold ? kEsContinuous | kEsSystemRequired | kEsDisplayRequired : kEsContinuous);
  }
  if (!hold) {
    ReleasePowerRequest();
    const auto destroy =
        plat::SystemFunction<ReasonDestroyFn>("user32.dll", "ShutdownBlockReasonDestroy");
    if (destroy != nullptr) destroy(GetSafeHwnd());
    return;
  }
  // The reason Windows shows beside the program: the waiting status line,
  // without its leading space, in the dialog's language.
  const char* reason = Text(Msg::StatusRunning);
  while (*reason == ' ') ++reason;
  wchar_t wide[128] = {};
  const UINT code_page = JapaneseMode() ? 932 : CP_ACP;
  if (::MultiByteToWideChar(code_page, 0, reason, -1, wide, 128) == 0) wide[0] = L'\0';
  HoldPowerRequest(wide);
  const auto create =
      plat::SystemFunction<ReasonCreateFn>("user32.dll", "ShutdownBlockReasonCreate");
  if (create != nullptr) create(GetSafeHwnd(), wide);
}

void CFirmwareUpdateDlg::HoldPowerRequest(const wchar_t* reason) {
  const auto create =
      plat::SystemFunction<PowerCreateRequestFn>("kernel32.dll", "PowerCreateRequest");
  const auto set = plat::SystemFunction<PowerRequestFn>("kernel32.dll", "PowerSetRequest");
  if (create == nullptr || set == nullptr) return;  // before Windows 7
  ReasonContext context{};
  context.version = kPowerRequestContextVersion;
  context.flags = kPowerRequestContextSimpleString;
  context.reason.simple = const_cast<LPWSTR>(reason);
  HANDLE request = create(&context);
  if (request == INVALID_HANDLE_VALUE || request == nullptr) return;
  power_request_ = request;
  power_system_set_ = set(request, kPowerRequestSystemRequired) != FALSE;
  power_execution_set_ = set(request, kPowerRequestExecutionRequired) != FALSE;
}

void CFirmwareUpdateDlg::ReleasePowerRequest() {
  if (power_request_ == nullptr) return;
  const auto clear = plat::SystemFunction<PowerRequestFn>("kernel32.dll", "PowerClearRequest");
  if (clear != nullptr) {
    if (power_execution_set_) clear(power_request_, kPowerRequestExecutionRequired);
    if (power_system_set_) clear(power_request_, kPowerRequestSystemRequired);
  }
  ::CloseHandle(power_request_);  // closing ends whatever the request still holds
  power_request_ = nullptr;
  power_system_set_ = false;
  power_execution_set_ = false;
}

// ------------------------------------------------------------------ View

int CFirmwareUpdateDlg::View::CurrentSelection() {
  return static_cast<int>(dialog_.drive_list_.SendMessage(CB_GETCURSEL));
}

void CFirmwareUpdateDlg::View::SetProgressRange(uint16_t maximum) {
  dialog_.progress_.SendMessage(PBM_SETRANGE, 0, MAKELPARAM(0, maximum));
}

void CFirmwareUpdateDlg::View::SetProgressStep(int step) {
  dialog_.progress_.SendMessage(PBM_SETSTEP, static_cast<WPARAM>(step));
}

void CFirmwareUpdateDlg::View::SetProgressPosition(int position) {
  dialog_.progress_.SendMessage(PBM_SETPOS, static_cast<WPARAM>(position));
}

void CFirmwareUpdateDlg::View::StepProgress() { dialog_.progress_.SendMessage(PBM_STEPIT); }

void CFirmwareUpdateDlg::View::Repaint() {
  // Paint what changed (bar, status line) in the dialog and its controls.
  ::RedrawWindow(dialog_.GetSafeHwnd(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  // Answer messages that other threads and programs send the dialog (so it is
  // not taken for hung and can be inspected); input and posted messages stay
  // queued until the update is over.
  MSG message;
  ::PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

}  // namespace ui
