// Facts about the system that start-up determines once.
#pragma once

#include <cstdint>

extern uint8_t OsKind;     // 0: 95/98/Me, 1: NT before 5, 2: NT 5 or later
extern uint32_t UserLcid;  // 1041 selects Japanese texts
inline bool JapaneseMode() { return UserLcid == 1041; }
