// SIGINT, SIGQUIT, SIGTERM, SIGHUP, the other signals that would end the
// process, and the terminal's stops while the firmware is written: an interrupted
// flash can leave the drive unusable, so they are held until the update's
// sequence has ended; the user is told at once why nothing happens.
#pragma once

#include <string>

namespace cli {

// From here on those signals are caught and held (the message in the
// current language is written to standard error when one arrives).
void HoldSignals();
// Their earlier handling is back; a held signal stays on record.
void ReleaseSignals();
// The name of a held signal not yet reported (once), for the event stream.
bool TakeHeldSignal(std::string* name);
// The first held signal, 0 when none arrived.
int HeldSignal();
std::string SignalName(int signal);

}  // namespace cli
