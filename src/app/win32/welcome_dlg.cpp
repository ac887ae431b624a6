#include "app/win32/welcome_dlg.h"

#include "package/package.h"
#include "resource.h"
#include "text/catalogue.h"
#include "text/system_state.h"
#include "text/welcome_text.h"

namespace ui {
namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kGrey = RGB(128, 128, 128);

}  // namespace

CWelcomeDlg::CWelcomeDlg() : CDialog(IDD_WELCOME) {}

void CWelcomeDlg::DoDataExchange() {
  BindControl(text_, IDC_WELCOME_TEXT);
  BindControl(panel_, IDC_WELCOME_PANEL);
  BindControl(logo_, IDC_WELCOME_LOGO);
  BindControl(rights_, IDC_WELCOME_RIGHTS);
  BindControl(frame_, IDC_WELCOME_FRAME);
  BindControl(info_, IDC_WELCOME_INFO);
  BindControl(version_, IDC_WELCOME_VERSION);
  BindControl(model_, IDC_WELCOME_MODEL);
}

bool CWelcomeDlg::OnInitDialog() {
  CDialog::OnInitDialog();

  // The white panel lies under every other control but would otherwise paint
  // over them: keep it off its siblings.
  const HWND panel = panel_.GetSafeHwnd();
  ::SetWindowLongPtrA(panel, GWL_STYLE, ::GetWindowLongPtrA(panel, GWL_STYLE) | WS_CLIPSIBLINGS);

  const WelcomeWords words = ExtractWelcomeWords(
      UpdatePackage.InquiryList, UpdatePackage.DriveClass, UpdatePackage.PackageVersion);
  const bool japanese = JapaneseMode();

  panel_.SetBackColor(kWhite);

  ::SetWindowTextA(GetSafeHwnd(), WelcomeCaption(words).c_str());

  model_.SetForeColor(kBlue);
  model_.SetBackColor(kWhite);
  model_.SetPointFont(190, "Times New Roman Bold");
  model_.SetWindowText(ModelLabelText(words).c_str());

  version_.SetForeColor(kBlack);
  version_.SetBackColor(kWhite);
  version_.SetPointFont(150, "Times New Roman");
  version_.SetWindowText(VersionLabelText(words).c_str());

  const bool needs_aspi = WelcomeNeedsAspi(OsKind, UpdatePackage.NoPassThrough);
  info_.SetWindowText(InformationLineText(needs_aspi, japanese));
  if (needs_aspi && japanese) info_.SetPointFont(90, FontMsGothic());
  info_.SetForeColor(kBlack);
  info_.SetBackColor(kWhite);

  frame_.SetForeColor(kBlack);
  frame_.SetBackColor(kWhite);

  if (japanese) text_.SetPointFont(90, FontMsGothic());
  notice_ = ComposeNotice(words, japanese);

  text_.SetForeColor(kBlack);
  text_.SetBackColor(kWhite);
  text_.SetWindowText(notice_.c_str());

  if (!ShowsMakerLogo(UpdatePackage.InquiryList)) logo_.ShowWindow(SW_HIDE);

  rights_.SetForeColor(kGrey);
  rights_.SetBackColor(kWhite);
  rights_.SetPointFont(85, "Arial");

  text_.SetFocus();
  return false;
}

}  // namespace ui
