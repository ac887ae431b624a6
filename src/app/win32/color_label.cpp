#include "app/win32/color_label.h"

#include <cstring>

#include "text/welcome_text.h"

namespace ui {

CColorLabel::CColorLabel()
    : fore_color_(::GetSysColor(COLOR_WINDOWTEXT)), back_color_(::GetSysColor(COLOR_3DFACE)) {}

CColorLabel::~CColorLabel() {
  if (font_ != nullptr) ::DeleteObject(font_);
  if (brush_ != nullptr) ::DeleteObject(brush_);
}

void CColorLabel::SetBackColor(COLORREF color) {
  back_color_ = color;
  if (brush_ != nullptr) {
    ::DeleteObject(brush_);
    brush_ = nullptr;
  }
  brush_ = ::CreateSolidBrush(color);
}

bool CColorLabel::SetPointFont(int tenths, const char* face) {
  LOGFONTA description;
  std::memset(&description, 0, sizeof(description));
  description.lfCharSet = DEFAULT_CHARSET;
  if (face != nullptr) {
    std::strncpy(description.lfFaceName, face, sizeof(description.lfFaceName) - 1);
  }
  HDC screen = ::GetDC(nullptr);
  const int dpi = screen != nullptr ? ::GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen != nullptr) ::ReleaseDC(nullptr, screen);
  description.lfHeight = PointSizeToFontHeight(tenths, dpi);

  if (font_ != nullptr) {
    ::DeleteObject(font_);
    font_ = nullptr;
  }
  font_ = ::CreateFontIndirectA(&description);
  return font_ != nullptr;
}

HBRUSH CColorLabel::CtlColor(HDC dc, UINT) {
  ::SetTextColor(dc, fore_color_);
  ::SetBkColor(dc, back_color_);
  if (font_ != nullptr) ::SelectObject(dc, font_);
  return brush_;
}

bool CColorLabel::OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) {
  if (message == kReflectCtlColor) {
    *result = reinterpret_cast<LRESULT>(
        CtlColor(reinterpret_cast<HDC>(wparam), static_cast<UINT>(lparam)));
    return true;
  }
  const bool paints = message == WM_PAINT || message == WM_PRINTCLIENT || message == WM_SETTEXT ||
                      message == WM_ENABLE;
  if (paints && font_ != nullptr) {
    // Some static-control implementations select the window's own font after
    // the colour notification, which would undo the font CtlColor selected,
    // and some draw a new text at once instead of through WM_PAINT.  Lend the
    // label's font to the window for the message that paints, so the text
    // comes out in it either way; the window keeps the dialog's font.
    const WPARAM own_font = static_cast<WPARAM>(SendMessage(WM_GETFONT));
    CallDefault(WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    *result = CallDefault(message, wparam, lparam);
    CallDefault(WM_SETFONT, own_font, FALSE);
    return true;
  }
  return false;
}

}  // namespace ui
