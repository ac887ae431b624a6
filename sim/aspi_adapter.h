// The emulated drives behind an ASPI for Win32 layer.
//
// `SimAspi` is a bus of host adapters, each with targets that are emulated
// drives or other devices.  It implements the two ASPI entry points by
// decoding the request blocks byte for byte (the published layouts in
// platform/request_blocks.h; pointer fields through plat::FieldToPtr), so the
// updater's own transport code talks to it exactly as to a real ASPI layer.
//
// Completion: by default a request is finished before SendCommand returns and
// the SRB_PostProc event is signalled (SRB_EVENT_NOTIFY).  A drive with an
// async delay leaves SS_PENDING and finishes later through `schedule` (the
// fake platform's virtual clock in tests, a real thread in the DLL): the drive
// then runs the command at completion time, writes the reply into the block
// and signals the event.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>  // std::lock_guard, std::unique_lock
#include <string>
#include <vector>

#include "drive_model.h"
#include "sim_lock.h"
#include "platform/platform.h"

namespace sim {

// ASPI status values the layer answers with.
constexpr uint8_t kSsPending = 0x00;
constexpr uint8_t kSsComp = 0x01;
constexpr uint8_t kSsErr = 0x04;
constexpr uint8_t kSsInvalidCmd = 0x80;
constexpr uint8_t kSsInvalidHa = 0x81;
constexpr uint8_t kSsNoDevice = 0x82;
constexpr uint8_t kSsInvalidSrb = 0xE0;
constexpr uint8_t kSsBufferAlign = 0xE1;

class SimAspi {
 public:
  struct Target {
    KestranDrive* drive = nullptr;  // nullptr: a device that is not an emulated drive
    uint8_t device_type = 5;
    uint8_t device_type_status = kSsComp;  // SC_GET_DEV_TYPE answer status
  };
  struct Adapter {
    uint16_t align_mask = 0;           // HA_Unique bytes 0-1
    uint8_t target_count = 8;          // HA_Unique byte 3 (0 is reported as 0)
    uint8_t scsi_id = 7;               // HA_SCSI_ID
    uint8_t inquiry_status = kSsComp;  // SC_HA_INQUIRY answer status
    std::map<uint8_t, Target> targets;
  };
  // A request seen by SendCommand (every kind), for tests.
  struct Request {
    uint8_t command = 0;  // SRB_Cmd
    uint8_t adapter = 0;
    uint8_t target = 0;
    uint8_t flags = 0;
    uint8_t status = 0;  // SRB_Status returned by SendCommand
  };

  SimAspi();
  ~SimAspi();

  // ---- building the bus ----
  // Adds an adapter; returns its id (0, 1, ...).
  uint8_t AddAdapter(uint16_t align_mask = 0, uint8_t target_count = 8);
  Adapter& adapter(uint8_t id) { return adapters_.at(id); }
  // The drive is not owned and must outlive the bus's use of it.
  void AttachDrive(uint8_t adapter, uint8_t target, KestranDrive* drive);
  // A target that is not an emulated drive (a disk: 0, a scanner: 6, ...).
  // It answers INQUIRY with its type and refuses every other command.
  void AttachDevice(uint8_t adapter, uint8_t target, uint8_t device_type);

  // GetASPI32SupportInfo answer: status in bits 8-15 (SS_COMP by default),
  // count in bits 0-7 (the number of adapters unless overridden).
  uint8_t support_status = kSsComp;
  int support_count_override = -1;
  // HA_Count in every host adapter inquiry reply (the number of adapters
  // unless overridden).
  int ha_count_override = -1;

  // How completion reaches the initiator.  Defaults: plat::Os().SetEvent, and
  // no scheduler (a drive's async delay is then ignored).
  std::function<void(void* event)> signal_event;
  std::function<void(uint64_t delay_ms, std::function<void()> task)> schedule;

  // ---- the two entry points ----
  uint32_t GetSupportInfo();
  uint32_t SendCommand(void* srb);

  // ---- what the initiator did ----
  std::vector<Request> requests() const;
  int pending() const;  // requests accepted but not yet completed
  int library_loads = 0;
  int library_frees = 0;

  // ---- static entry points for the fake platform's GetProcAddress ----
  // The bus they talk to; nullptr: every call answers as a missing layer.
  static void SetCurrent(SimAspi* bus);
  static SimAspi* Current();
  static uint32_t KSF_CDECL GetSupportInfoEntry(void);
  static uint32_t KSF_CDECL SendCommandEntry(void* srb);
  // The library handle the fake's LoadLibrary gives for "WNASPI32.DLL" and
  // GetProcAddress by entry name (nullptr for other names).
  static plat::Handle LibraryHandle();
  static void* EntryPoint(const char* name);

 private:
  void HaInquiry(uint8_t* srb);
  void DeviceType(uint8_t* srb);
  // Checks and runs (or schedules) an execute request; returns the event to
  // signal once the lock is released.
  void* Exec(uint8_t* srb);
  // Runs the command and writes the reply; returns the event to signal.
  void* CompleteExec(uint8_t* srb, Target target);
  const Target* FindTarget(uint8_t adapter, uint8_t target, uint8_t lun) const;
  void Signal(void* event);

  mutable Lock mu_;
  std::vector<Adapter> adapters_;
  std::vector<Request> requests_;
  int pending_ = 0;
};

}  // namespace sim
