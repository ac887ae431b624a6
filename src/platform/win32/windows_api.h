// <windows.h> for the code that talks to Windows directly.  Include it after
// platform/platform.h: it undoes the A/W name macros (CreateEvent,
// LoadLibrary, MessageBox, ...) that would otherwise rename the Platform
// interface's methods; callers use the explicit ...A forms.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#undef CreateEvent
#undef LoadLibrary
#undef GetProcAddress
#undef MessageBox
#undef GetModuleFileName
#undef GetTempPath
#undef GetWindowsDirectory
#undef SearchPath
#undef GetShortPathName
#undef GetDriveType
#undef LookupPrivilegeValue
#undef MoveFile
#undef DeleteFile
#undef SetCurrentDirectory
