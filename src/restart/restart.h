// System restart and the temporary restart helper copy.
#pragma once

void RestartWindows();
// `owner`: the main dialog's window for the "Can't reboot." box.
void StartRestartHelper(void* owner);
void ScheduleDeleteAtReboot(const char* path);
