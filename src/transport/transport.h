// Device command transport: the command record of the last command, the ASPI
// and pass-through paths behind `ExecuteCommand`, and their result codes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/request_blocks.h"
#include "transport/drive_record.h"

// Result codes of ExecuteCommand, returned unchanged by every drive command.
enum CommandResult : int {
  kCommandDone = 0,
  kCommandRequestStatus = 1,  // ASPI: SRB_Status neither SS_PENDING nor SS_COMP
  kCommandAdapterStatus = 2,  // ASPI: SRB_HaStat neither 0 nor HASTAT_DO_DU
  kCommandTargetStatus = 4,   // the target refused: a sense key, or (pass-through) a status alone
  kCommandNoResource = -1,    // no completion event (ASPI); a bad block length
  kCommandNoMemory = -2,      // no aligned copy of the data
  // The device did not open, or the pass-through request failed: the Win32
  // error is in the record.
  kCommandSystemError = -3,
};

// ---------------------------------------------------------------- state
enum : uint8_t { Aspi = 0, PassThrough = 1 };
extern uint8_t TransportKind;
extern CommandRecord* LastCommand;
extern CommandRecord AspiExecBlock;      // the ASPI path's SRB_ExecSCSICmd
extern CommandRecord PassThroughResult;  // the pass-through path's record
// Text of the last failed flash write (English only).  Written by the worker
// before it publishes ProgressCounter 0; read by the dialog after it sees 0.
extern std::string LastErrorText;
void ResetTransportState();  // start-up and tests: back to the state of a new process

// ---------------------------------------------------------------- ASPI path
int LoadAspiLibrary();
void FreeAspiLibrary();
int QueryAspiSupport();
int InquireHostAdapter(uint8_t adapter, SRB_HAInquiry** reply);
int GetDeviceType(const DriveRecord& drive, uint8_t* type);
int ExecuteCommand(const DriveRecord& drive, void* data, uint32_t length, const uint8_t* cdb,
                   uint8_t cdb_length, uint8_t direction);
int ExecuteAspiCommand(const DriveRecord& drive, void* data, uint32_t length, const uint8_t* cdb,
                       uint8_t cdb_length, uint8_t direction);
int ExecutePassThroughCommand(const DriveRecord& drive, void* data, uint32_t length,
                              const uint8_t* cdb, uint8_t cdb_length, uint8_t direction);

// ---------------------------------------------------------------- the held drive
// The longest transfer the update sends: a main image block.
constexpr uint32_t kLargestTransfer = 0x8000;
// What HoldDrive came to.
enum HoldResult : int {
  kHoldDone = 0,
  // The device could not be opened: LastCommand holds the system's error as
  // for kCommandSystemError, so DescribeFailure words it.
  kHoldOpenFailed = 1,
  kHoldLockedByOther = 2,    // another program holds the drive's exclusive lock
  kHoldAdapterTooSmall = 3,  // the adapter cannot move a kLargestTransfer block
};
// Takes the drive for an update.  Pass-through: one handle for every command
// until ReleaseDrive, opened without sharing where the system allows it, the
// drive locked for this program (Vista and later; where the request fails
// otherwise the update goes on) and media-change polling stopped.  Both paths:
// the adapter's limits must allow a kLargestTransfer block.  Sends nothing to
// the drive.
int HoldDrive(const DriveRecord& drive);
// Unlocks, lets polling resume and closes the held handle; nothing when no
// drive is held.  Every HoldDrive, whatever its result, is followed by it.
void ReleaseDrive();
void ResetPassThroughState();  // forgets a held drive (tests, start-up)

// An aligned block: `data` is what the transport uses, `block` what it frees.
struct AlignedBuffer {
  uint8_t* data = nullptr;
  void* block = nullptr;
};
AlignedBuffer AllocateAligned(uint32_t size, uint32_t mask);
void ReleaseAligned(AlignedBuffer& buffer);
