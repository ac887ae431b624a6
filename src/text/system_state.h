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
extern uint32_t UserLcid;  // 1041 selects Japanese texts
constexpr uint32_t kJapaneseLcid = 1041;
inline bool JapaneseMode() { return UserLcid == kJapaneseLcid; }
