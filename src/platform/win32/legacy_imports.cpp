// The three wide-character kernel32 functions that the toolchain's runtime
// calls (libgcc's thread support: CreateSemaphoreW for its locks; the C
// runtime's extras: GetModuleHandleW and LoadLibraryW to find optional
// functions at run time) would be the program's only wide-character imports.
// Windows 95/98/Me do not implement those functions.  The import table entry
// the runtime calls through (`__imp_...`) is defined here instead, pointing
// at a wrapper of the ANSI function, so the loader never looks for them and
// the runtime's locks get a working semaphore on every system.  The names
// passed are plain ASCII (DLL names) or absent (unnamed semaphores).
#include "platform/win32/windows_api.h"

namespace {

// A wide ASCII name as an ANSI string; false when it does not fit.
bool Narrow(LPCWSTR wide, char* out, int size) {
  return ::WideCharToMultiByte(CP_ACP, 0, wide, -1, out, size, nullptr, nullptr) != 0;
}

HANDLE WINAPI CreateSemaphoreAnsi(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum,
                                  LPCWSTR name) {
  char narrow[MAX_PATH];
  if (name != nullptr && !Narrow(name, narrow, MAX_PATH)) return nullptr;
  return ::CreateSemaphoreA(attributes, initial, maximum, name == nullptr ? nullptr : narrow);
}

HMODULE WINAPI GetModuleHandleAnsi(LPCWSTR name) {
  char narrow[MAX_PATH];
  if (name == nullptr) return ::GetModuleHandleA(nullptr);
  return Narrow(name, narrow, MAX_PATH) ? ::GetModuleHandleA(narrow) : nullptr;
}

HMODULE WINAPI LoadLibraryAnsi(LPCWSTR name) {
  char narrow[MAX_PATH];
  return name != nullptr && Narrow(name, narrow, MAX_PATH) ? ::LoadLibraryA(narrow) : nullptr;
}

}  // namespace

// The import slots' names: "__imp__Name@argument-bytes" in the 32-bit
// (stdcall) build, "__imp_Name" in the 64-bit one.
#if defined(_WIN64)
#define KSF_IMPORT_SLOT(name, bytes) "__imp_" #name
#else
#define KSF_IMPORT_SLOT(name, bytes) "__imp__" #name "@" #bytes
#endif

extern "C" {
extern decltype(&CreateSemaphoreAnsi) ksf_slot_create_semaphore_w __asm__(
    KSF_IMPORT_SLOT(CreateSemaphoreW, 16));
extern decltype(&GetModuleHandleAnsi) ksf_slot_get_module_handle_w __asm__(
    KSF_IMPORT_SLOT(GetModuleHandleW, 4));
extern decltype(&LoadLibraryAnsi) ksf_slot_load_library_w __asm__(KSF_IMPORT_SLOT(LoadLibraryW, 4));
}
decltype(&CreateSemaphoreAnsi) ksf_slot_create_semaphore_w = &CreateSemaphoreAnsi;
decltype(&GetModuleHandleAnsi) ksf_slot_get_module_handle_w = &GetModuleHandleAnsi;
decltype(&LoadLibraryAnsi) ksf_slot_load_library_w = &LoadLibraryAnsi;
