#include "text/system_state.h"

uint8_t OsKind = kOsWindows9x;
uint32_t UserLcid = 0;
uint32_t AnsiCodePage = kShiftJisCodePage;
