// --dry-run: the update's plan, from the flash worker itself.
#pragma once

#include "platform/linux/platform_linux.h"

namespace cli {

// Runs the worker's own sequence on this thread with every command that
// could change the drive held back (answered GOOD without being sent) and
// every wait skipped, then says in plain words what the update would do and
// how long it takes.  `verbose`: each step too (blocks with their flash
// addresses, lengths and checksums, flash controls, mode switches, waits).
// INQUIRY and TEST UNIT READY still reach the drive (they change nothing), so
// the tray decision shown is the drive's own.
void RunPlan(plat::LinuxPlatform& platform, bool verbose);

}  // namespace cli
