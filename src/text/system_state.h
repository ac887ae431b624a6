// Facts about the system that start-up determines once.
#pragma once

#include <cstdint>

// Values of OsKind.
enum : uint8_t {
  kOsWindows9x = 0,   // 95/98/Me
  kOsNtBefore5 = 1,   // NT family, major version below 5
  kOsNt5OrLater = 2,  // NT family, major version 5 or later
};
extern uint8_t OsKind;
extern uint32_t UserLcid;  // 1041 selects Japanese texts ...
// ... where the system can show them: the Shift-JIS texts go through the
// ...A calls, which decode with the ANSI code page, so it must be 932.  Set
// by start-up (GetACP); until then, and in ksfupd for Linux (which converts
// the texts for its terminal), 932: the locale alone decides.
extern uint32_t AnsiCodePage;
constexpr uint32_t kJapaneseLcid = 1041;
constexpr uint32_t kShiftJisCodePage = 932;
inline bool JapaneseMode() {
  return UserLcid == kJapaneseLcid && AnsiCodePage == kShiftJisCodePage;
}
