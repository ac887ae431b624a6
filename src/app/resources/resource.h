// Resource identifiers shared by ksfupd.rc and the dialog code.
#pragma once

// Main dialog (template 102) and its controls.
#define IDD_KSFUPD_DIALOG 102
#define IDC_DRIVE_LIST 103
#define IDC_PROGRESS 104
#define IDC_STATUS_LINE 1032

// Application icon and the welcome dialog's logo bitmap.
#define IDR_MAINFRAME 128
#define IDB_LOGO 137

// Welcome dialog (template 129) and its controls.
#define IDD_WELCOME 129
#define IDC_WELCOME_PANEL 1007
#define IDC_WELCOME_MODEL 1008
#define IDC_WELCOME_VERSION 1009
#define IDC_WELCOME_TEXT 1010
#define IDC_WELCOME_INFO 1011
#define IDC_WELCOME_FRAME 1012
#define IDC_WELCOME_RIGHTS 1013
#define IDC_WELCOME_LOGO 1014
