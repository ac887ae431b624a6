// The emulated drives behind the NT SCSI pass-through.
//
// `SimPassThrough` maps drive letters to emulated drives (or to other kinds of
// drive) and implements the device operations of the platform: opening
// "\\.\X:", the capabilities query, the 80-byte pass-through-direct request
// (decoded byte for byte: CdbLength, DataIn, DataTransferLength, DataBuffer,
// TimeOutValue, SenseInfoOffset/Length, ScsiStatus), the last Win32 error and
// GetDriveTypeA.  sim/fake_hooks.h plugs it into the test platform.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>  // std::lock_guard, std::unique_lock
#include <string>
#include <vector>

#include "drive_model.h"
#include "sim_lock.h"
#include "platform/platform.h"

namespace sim {

// Win32 error codes the emulated devices fail with.
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorSemTimeout = 121;

class SimPassThrough {
 public:
  struct Letter {
    KestranDrive* drive = nullptr;  // nullptr: not an emulated drive
    uint32_t drive_type = 5;        // GetDriveTypeA answer (5: CD-ROM)
    uint32_t align_mask = 0;        // IO_SCSI_CAPABILITIES AlignmentMask
    uint32_t max_transfer = 0x10000;
    bool refuse_read_write = false;  // opening with GENERIC_WRITE fails (access denied)
    bool refuse_read = false;        // opening for reading fails too
    bool capabilities_fail = false;  // IOCTL_SCSI_GET_CAPABILITIES fails (garbage in its reply)
  };
  struct Open {
    char letter;
    uint32_t access;
    bool ok;
  };
  // One pass-through request as the device saw it.
  struct Call {
    char letter = 0;
    uint8_t cdb_length = 0;
    uint8_t cdb0 = 0;
    uint8_t data_in = 0;
    uint32_t transfer_length = 0;
    uint32_t timeout = 0;  // TimeOutValue, seconds
    bool aligned = true;   // DataBuffer met the alignment mask
    bool ok = false;       // what DeviceIoControl returned
  };

  // The drive is not owned.  The returned settings may be changed afterwards.
  Letter& AttachDrive(char letter, KestranDrive* drive, uint32_t align_mask = 0);
  // A letter of another kind (3 fixed disk, 2 removable, 4 remote, 5 CD-ROM
  // without an emulated drive, ...).
  Letter& AttachOther(char letter, uint32_t drive_type);
  Letter& letter(char l) { return letters_.at(Upper(l)); }

  // ---- the platform's device operations ----
  plat::Handle OpenDevice(const char* name, uint32_t access);
  bool GetCapabilities(plat::Handle device, void* capabilities24);
  bool PassThrough(plat::Handle device, void* block80);
  void CloseDevice(plat::Handle device);
  uint32_t GetDriveType(const char* root);
  uint32_t last_error() const;  // set by every failing operation above

  // ---- what the initiator did ----
  std::vector<Open> opens() const;
  std::vector<Call> calls() const;
  int open_handles() const;  // handles opened and not closed
  int closes_of_unknown_handles() const { return bad_closes_; }

 private:
  static char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
  const Letter* Find(char letter) const;
  bool Fail(uint32_t error);

  mutable Lock mu_;
  std::map<char, Letter> letters_;
  std::map<uintptr_t, char> handles_;
  uintptr_t next_handle_ = 0x100;
  uint32_t last_error_ = 0;
  int bad_closes_ = 0;
  std::vector<Open> opens_;
  std::vector<Call> calls_;
};

}  // namespace sim
