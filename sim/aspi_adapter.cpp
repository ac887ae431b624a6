#include "aspi_adapter.h"

#include <algorithm>
#include <cstring>

#include "platform/ptr32.h"
#include "platform/request_blocks.h"

namespace sim {

namespace {

SimAspi* g_current = nullptr;
sim::Lock g_current_mu;
int g_library_token = 0;  // its address is the library handle

void CopyText(uint8_t* out, size_t width, const char* text) {
  const size_t n = std::strlen(text);
  for (size_t i = 0; i < width; ++i) out[i] = i < n ? static_cast<uint8_t>(text[i]) : ' ';
}

// A target that is not an emulated drive: it identifies itself and refuses
// everything else.
CommandResult OtherDevice(uint8_t type, const uint8_t* cdb, Direction direction, uint8_t* data,
                          uint32_t length) {
  CommandResult r;
  if (cdb[0] == 0x12 && direction == Direction::kIn && data != nullptr) {
    uint8_t reply[36] = {};
    reply[0] = type;
    reply[4] = 31;
    CopyText(reply + 8, 8, "GENERIC");
    CopyText(reply + 16, 16, "OTHER DEVICE");
    CopyText(reply + 32, 4, "0001");
    r.data_length = std::min<uint32_t>({length, cdb[4], 36u});
    std::memcpy(data, reply, r.data_length);
    return r;
  }
  if (cdb[0] == 0x00) return r;
  r.status = kCheckCondition;
  std::vector<uint8_t> s = BuildFixedSense(sense::kInvalidOpcode);
  std::copy(s.begin(), s.end(), r.sense.begin());
  return r;
}

}  // namespace

SimAspi::SimAspi() = default;

SimAspi::~SimAspi() {
  std::lock_guard<sim::Lock> lock(g_current_mu);
  if (g_current == this) g_current = nullptr;
}

uint8_t SimAspi::AddAdapter(uint16_t align_mask, uint8_t target_count) {
  std::lock_guard<sim::Lock> lock(mu_);
  Adapter a;
  a.align_mask = align_mask;
  a.target_count = target_count;
  adapters_.push_back(a);
  return static_cast<uint8_t>(adapters_.size() - 1);
}

void SimAspi::AttachDrive(uint8_t adapter, uint8_t target, KestranDrive* drive) {
  std::lock_guard<sim::Lock> lock(mu_);
  Target t;
  t.drive = drive;
  t.device_type = drive->config().byte0 & 0x1F;
  adapters_.at(adapter).targets[target] = t;
}

void SimAspi::AttachDevice(uint8_t adapter, uint8_t target, uint8_t device_type) {
  std::lock_guard<sim::Lock> lock(mu_);
  Target t;
  t.device_type = device_type;
  adapters_.at(adapter).targets[target] = t;
}

std::vector<SimAspi::Request> SimAspi::requests() const {
  std::lock_guard<sim::Lock> lock(mu_);
  return requests_;
}

int SimAspi::pending() const {
  std::lock_guard<sim::Lock> lock(mu_);
  return pending_;
}

uint32_t SimAspi::GetSupportInfo() {
  std::lock_guard<sim::Lock> lock(mu_);
  const uint32_t count = support_count_override >= 0 ? static_cast<uint32_t>(support_count_override)
                                                     : static_cast<uint32_t>(adapters_.size());
  return (uint32_t{support_status} << 8) | (count & 0xFF);
}

const SimAspi::Target* SimAspi::FindTarget(uint8_t adapter, uint8_t target, uint8_t lun) const {
  if (adapter >= adapters_.size() || lun != 0) return nullptr;
  const auto& targets = adapters_[adapter].targets;
  auto it = targets.find(target);
  return it == targets.end() ? nullptr : &it->second;
}

void SimAspi::Signal(void* event) {
  if (event == nullptr) return;
  if (signal_event) {
    signal_event(event);
  } else {
    plat::Os().SetEvent(event);
  }
}

uint32_t SimAspi::SendCommand(void* srb_pointer) {
  auto* srb = static_cast<uint8_t*>(srb_pointer);
  if (srb == nullptr) return kSsInvalidSrb;
  std::unique_lock<sim::Lock> lock(mu_);
  Request request;
  request.command = srb[0];
  request.adapter = srb[2];
  request.flags = srb[3];
  switch (srb[0]) {
    case SC_HA_INQUIRY:
      HaInquiry(srb);
      break;
    case SC_GET_DEV_TYPE:
      request.target = reinterpret_cast<SRB_GDEVBlock*>(srb)->SRB_Target;
      DeviceType(srb);
      break;
    case SC_EXEC_SCSI_CMD: {
      auto* r = reinterpret_cast<CommandRecord*>(srb);
      request.target = r->SRB_Target;
      request.status = kSsPending;
      requests_.push_back(request);
      void* event = Exec(srb);
      const uint8_t status = srb[1];
      lock.unlock();
      Signal(event);
      return status;
    }
    default:
      srb[1] = kSsInvalidCmd;
      break;
  }
  request.status = srb[1];
  requests_.push_back(request);
  return srb[1];
}

void SimAspi::HaInquiry(uint8_t* srb) {
  auto* r = reinterpret_cast<SRB_HAInquiry*>(srb);
  if (r->SRB_HaId >= adapters_.size()) {
    r->SRB_Status = kSsInvalidHa;
    return;
  }
  const Adapter& a = adapters_[r->SRB_HaId];
  if (a.inquiry_status != kSsComp) {
    r->SRB_Status = a.inquiry_status;
    return;
  }
  r->HA_Count = static_cast<uint8_t>(ha_count_override >= 0 ? ha_count_override
                                                            : static_cast<int>(adapters_.size()));
  r->HA_SCSI_ID = a.scsi_id;
  CopyText(r->HA_ManagerId, 16, "KSF SIM ASPI");
  CopyText(r->HA_Identifier, 16, "KSF SIM ADAPTER");
  std::memset(r->HA_Unique, 0, sizeof r->HA_Unique);
  r->HA_Unique[0] = static_cast<uint8_t>(a.align_mask & 0xFF);
  r->HA_Unique[1] = static_cast<uint8_t>(a.align_mask >> 8);
  r->HA_Unique[3] = a.target_count;
  r->HA_Unique[6] = 0x01;  // maximum transfer length 0x10000, little-endian at 4-7
  r->HA_Rsvd1 = 0;
  r->SRB_Status = kSsComp;
}

void SimAspi::DeviceType(uint8_t* srb) {
  auto* r = reinterpret_cast<SRB_GDEVBlock*>(srb);
  if (r->SRB_HaId >= adapters_.size()) {
    r->SRB_Status = kSsInvalidHa;
    return;
  }
  const Target* t = FindTarget(r->SRB_HaId, r->SRB_Target, r->SRB_Lun);
  if (t == nullptr) {
    r->SRB_DeviceType = 0x1F;  // unknown or no device
    r->SRB_Status = kSsNoDevice;
    return;
  }
  r->SRB_DeviceType = t->device_type;
  r->SRB_Status = t->device_type_status;
}

void* SimAspi::Exec(uint8_t* srb) {
  auto* r = reinterpret_cast<CommandRecord*>(srb);
  auto finish = [&](uint8_t status) -> void* {
    r->SRB_Status = status;
    requests_.back().status = status;
    return nullptr;  // refused requests are not signalled
  };
  if (r->SRB_HaId >= adapters_.size()) return finish(kSsInvalidHa);
  const Target* t = FindTarget(r->SRB_HaId, r->SRB_Target, r->SRB_Lun);
  if (t == nullptr) return finish(kSsNoDevice);
  const uint8_t dir = r->SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT);
  void* buffer = plat::FieldToPtr(r->SRB_BufPointer);
  if (r->SRB_CDBLen == 0 || r->SRB_CDBLen > 16 || dir == (SRB_DIR_IN | SRB_DIR_OUT) ||
      (r->SRB_BufLen > 0 && dir != 0 && buffer == nullptr)) {
    return finish(kSsInvalidSrb);
  }
  // Outgoing data must sit on the adapter's alignment; incoming data is
  // accepted wherever it is (the updater hands INQUIRY buffers unaligned).
  const uint16_t mask = adapters_[r->SRB_HaId].align_mask;
  if (dir == SRB_DIR_OUT && (reinterpret_cast<uintptr_t>(buffer) & mask) != 0) {
    return finish(kSsBufferAlign);
  }

  const Target target = *t;
  const uint32_t delay = target.drive ? target.drive->async_delay_ms() : 0;
  if (delay > 0 && schedule) {
    r->SRB_Status = kSsPending;
    ++pending_;
    schedule(delay, [this, srb, target] {
      void* event;
      {
        std::lock_guard<sim::Lock> lock(mu_);
        event = CompleteExec(srb, target);
        --pending_;
      }
      Signal(event);
    });
    return nullptr;
  }
  void* event = CompleteExec(srb, target);
  requests_.back().status = r->SRB_Status;
  return event;
}

void* SimAspi::CompleteExec(uint8_t* srb, Target target) {
  auto* r = reinterpret_cast<CommandRecord*>(srb);
  const uint8_t dir = r->SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT);
  const Direction direction = dir == SRB_DIR_IN    ? Direction::kIn
                              : dir == SRB_DIR_OUT ? Direction::kOut
                                                   : Direction::kNone;
  auto* buffer = static_cast<uint8_t*>(plat::FieldToPtr(r->SRB_BufPointer));
  uint8_t cdb[16] = {};
  std::memcpy(cdb, r->CDBByte, r->SRB_CDBLen);
  const CommandResult res =
      target.drive ? target.drive->Execute(cdb, r->SRB_CDBLen, direction, buffer, r->SRB_BufLen)
                   : OtherDevice(target.device_type, cdb, direction, buffer, r->SRB_BufLen);

  const bool drive_answered = !res.transport_failed || res.fault.reaches_drive;
  r->SRB_HaStat = res.transport_failed ? res.fault.ha_stat : 0;
  r->SRB_TargStat = drive_answered ? res.status : 0;
  if (drive_answered && (res.status != kGood || res.sense[0] != 0)) {
    // Sense travels with any status that carries it.  The block holds 16
    // sense bytes; a longer SRB_SenseLen is not honoured past them.
    const size_t n = std::min<size_t>({r->SRB_SenseLen, sizeof r->SenseArea, res.sense.size()});
    std::memcpy(r->SenseArea, res.sense.data(), n);
  }
  void* event = (r->SRB_Flags & SRB_EVENT_NOTIFY) ? plat::FieldToPtr(r->SRB_PostProc) : nullptr;
  uint8_t status;
  if (res.transport_failed) {
    status = res.fault.srb_status;
  } else {
    status = res.status == kGood ? kSsComp : kSsErr;
  }
  r->SRB_Status = status;  // last: the block is complete once this is set
  return event;
}

// ---------------------------------------------------------------- entry points

void SimAspi::SetCurrent(SimAspi* bus) {
  std::lock_guard<sim::Lock> lock(g_current_mu);
  g_current = bus;
}

SimAspi* SimAspi::Current() {
  std::lock_guard<sim::Lock> lock(g_current_mu);
  return g_current;
}

uint32_t KSF_CDECL SimAspi::GetSupportInfoEntry(void) {
  SimAspi* bus = Current();
  return bus ? bus->GetSupportInfo() : 0xE800u;  // no adapters
}

uint32_t KSF_CDECL SimAspi::SendCommandEntry(void* srb) {
  SimAspi* bus = Current();
  if (bus) return bus->SendCommand(srb);
  if (srb) static_cast<uint8_t*>(srb)[1] = kSsInvalidSrb;
  return kSsInvalidSrb;
}

plat::Handle SimAspi::LibraryHandle() { return &g_library_token; }

void* SimAspi::EntryPoint(const char* name) {
  if (name == nullptr) return nullptr;
  if (std::strcmp(name, "GetASPI32SupportInfo") == 0) {
    return reinterpret_cast<void*>(&SimAspi::GetSupportInfoEntry);
  }
  if (std::strcmp(name, "SendASPI32Command") == 0) {
    return reinterpret_cast<void*>(&SimAspi::SendCommandEntry);
  }
  return nullptr;
}

}  // namespace sim
