// The emulated drive behind the kernel's user-space SCSI target (TCMU): the
// command ring of one /dev/uioN, mapped by the handler, walked from the
// mailbox's cmd_tail to its cmd_head.  Each command entry's CDB and data
// (scattered over the data area in iovecs whose bases are offsets into the
// mapping) go to the drive; its status, fixed-format sense and the length
// read back go into the entry's response.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "drive_model.h"

namespace sim {

// Runs one command on a drive: (CDB, its length, direction, contiguous data,
// transfer length).  The drive's Execute, or a wrapper that delays or traces.
using TcmuRun =
    std::function<CommandResult(const uint8_t*, uint8_t, Direction, uint8_t*, uint32_t)>;

// The direction of a command as the ring does not say it: the flash block
// write sends data, every other command with a transfer receives.
Direction TcmuDirection(uint8_t opcode, uint32_t length);

// Answers every entry between cmd_tail and cmd_head and moves cmd_tail past
// them (the caller then writes to the uio descriptor to wake the kernel).
// Padding and task-management entries are skipped.  Returns the number of
// commands answered, or -1 with *error naming the entry when the ring is
// malformed (an entry length that is zero, unaligned or runs past the ring,
// a CDB or an iovec outside the mapping): the walk stops there, cmd_tail on
// that entry.
int ServeTcmuRing(uint8_t* map, size_t map_size, const TcmuRun& run, std::string* error);

}  // namespace sim
