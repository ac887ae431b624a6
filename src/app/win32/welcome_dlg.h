// CWelcomeDlg: the welcome page (template 129) shown before any drive is
// touched when the package asks for it.
#pragma once

#include <string>

#include "app/win32/color_label.h"
#include "app/win32/dialog.h"

namespace ui {

class CWelcomeDlg : public CDialog {
 public:
  CWelcomeDlg();

 protected:
  void DoDataExchange() override;
  bool OnInitDialog() override;

 private:
  // Members in binding order.
  CColorLabel text_;     // 1010
  CColorLabel panel_;    // 1007
  CStatic logo_;         // 1014
  CColorLabel rights_;   // 1013
  CColorLabel frame_;    // 1012
  CColorLabel info_;     // 1011
  CColorLabel version_;  // 1009
  CColorLabel model_;    // 1008
  std::string notice_;
};

}  // namespace ui
