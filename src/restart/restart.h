// System restart and the temporary restart helper copy.
#pragma once

void RestartWindows();
// `owner`: the main dialog's window for the "Can't reboot." box.
void StartRestartHelper(void* owner);
// True when the deletion is arranged: on 95/98/Me the WININIT.INI entry is in
// place; false leaves that file as it was.
bool ScheduleDeleteAtReboot(const char* path);
