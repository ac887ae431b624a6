#include "text/system_state.h"

uint8_t OsKind = 0;
uint32_t UserLcid = 0;
