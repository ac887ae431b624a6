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

namespace plat {

// A function of a system DLL looked up at run time (nullptr where the system
// lacks it), so that the loader never refuses the program for it.  The DLL is
// loaded when it is not yet and stays loaded.
template <typename Fn>
Fn SystemFunction(const char* dll, const char* name) {
  HMODULE module = ::GetModuleHandleA(dll);
  if (module == nullptr) module = ::LoadLibraryA(dll);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

}  // namespace plat
