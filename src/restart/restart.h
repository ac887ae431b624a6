// Waits, system restart and the temporary restart helper copy.
#pragma once

#include <cstdint>

void WaitMilliseconds(uint32_t milliseconds);
void RestartWindows();
// `owner`: the main dialog's window for the "Can't reboot." box.
void StartRestartHelper(void* owner);
void ScheduleDeleteAtReboot(const char* path);
