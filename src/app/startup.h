// The whole run of the program, from the first decision to the last clean-up.
#pragma once

#include <string>

// What start-up needs from the user-interface shell: the executable's name and
// the two modal dialogs.  The Win32 entry point implements it with the real
// dialogs; tests script it.
class ShellUi {
 public:
  virtual ~ShellUi() = default;
  // The running executable's file name without directory and extension
  // (C:\TEMP\REB_1A2B.EXE gives "REB_1A2B").
  virtual const char* ExecutableBaseName() = 0;
  // Modal runs; the result is the dialog's end code (1: OK, 2: Cancel/EXIT).
  virtual int RunWelcomeDialog() = 0;
  // Also makes the main dialog the application's main window.
  virtual int RunMainDialog() = 0;
};

// Runs the program: process-wide state, system facts, restart-helper mode,
// package, transport, welcome dialog, ASPI, drives, main dialog, clean-up and
// the optional restart.  Always returns false (the application then ends).
bool StartUp(ShellUi& ui);

// The file name of `module_path` without directory and without extension.
// Both '\' and '/' separate directories; a '\' that is the second byte of a
// two-byte character (code page of the system) does not.
std::string BaseNameFromModulePath(const char* module_path);
