// The real operating-system boundary for the Windows build.
#pragma once

#include "platform/platform.h"

namespace plat {

// The process-wide Win32 implementation of `Platform`.
Platform& Win32Platform();
// Makes it the platform in force (`Os()`); called first thing at program start.
void InstallWin32Platform();

}  // namespace plat
