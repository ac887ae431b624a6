// CColorLabel: a static-text control with its own text colour, background
// colour and font, applied through the reflected control-colour notification.
#pragma once

#include "app/win32/dialog.h"

namespace ui {

class CStatic : public CWnd {};
class CButton : public CWnd {};

class CColorLabel : public CStatic {
 public:
  // Colours start as the dialog defaults: window text on the dialog face.
  CColorLabel();
  ~CColorLabel() override;  // font, then brush, then the base

  void SetForeColor(COLORREF color) { fore_color_ = color; }
  // Stores the colour and makes it the background brush (a second call
  // releases the earlier brush).
  void SetBackColor(COLORREF color);
  // Creates the label's font, `tenths` of a point high on the screen; it takes
  // effect through CtlColor only.  A second call releases the earlier font.
  bool SetPointFont(int tenths, const char* face);
  // Prepares `dc` for drawing the label; nullptr when no background brush is
  // set (the dialog's default colouring then applies).
  HBRUSH CtlColor(HDC dc, UINT kind);

  COLORREF fore_color() const { return fore_color_; }
  COLORREF back_color() const { return back_color_; }
  HBRUSH brush() const { return brush_; }
  HFONT font() const { return font_; }

 protected:
  bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) override;

 private:
  COLORREF fore_color_;
  COLORREF back_color_;
  HBRUSH brush_ = nullptr;
  HFONT font_ = nullptr;
};

}  // namespace ui
