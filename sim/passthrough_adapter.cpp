#include "passthrough_adapter.h"

#include <algorithm>
#include <cstring>

#include "platform/ptr32.h"
#include "platform/request_blocks.h"

namespace sim {

namespace {

constexpr uint32_t kDriveNoRootDir = 1;

// "\\.\X:" -> 'X' (upper case); 0 for any other name.
char LetterOfDeviceName(const char* name) {
  if (name == nullptr || std::strlen(name) != 6) return 0;
  if (std::strncmp(name, "\\\\.\\", 4) != 0 || name[5] != ':') return 0;
  char c = name[4];
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return (c >= 'A' && c <= 'Z') ? c : 0;
}

}  // namespace

SimPassThrough::Letter& SimPassThrough::AttachDrive(char letter, KestranDrive* drive,
                                                    uint32_t align_mask) {
  std::lock_guard<sim::Lock> lock(mu_);
  Letter& l = letters_[Upper(letter)];
  l = Letter{};
  l.drive = drive;
  l.align_mask = align_mask;
  return l;
}

SimPassThrough::Letter& SimPassThrough::AttachOther(char letter, uint32_t drive_type) {
  std::lock_guard<sim::Lock> lock(mu_);
  Letter& l = letters_[Upper(letter)];
  l = Letter{};
  l.drive_type = drive_type;
  return l;
}

const SimPassThrough::Letter* SimPassThrough::Find(char letter) const {
  auto it = letters_.find(letter);
  return it == letters_.end() ? nullptr : &it->second;
}

bool SimPassThrough::Fail(uint32_t error) {
  last_error_ = error;
  return false;
}

uint32_t SimPassThrough::last_error() const {
  std::lock_guard<sim::Lock> lock(mu_);
  return last_error_;
}

std::vector<SimPassThrough::Open> SimPassThrough::opens() const {
  std::lock_guard<sim::Lock> lock(mu_);
  return opens_;
}

std::vector<SimPassThrough::Call> SimPassThrough::calls() const {
  std::lock_guard<sim::Lock> lock(mu_);
  return calls_;
}

int SimPassThrough::open_handles() const {
  std::lock_guard<sim::Lock> lock(mu_);
  return static_cast<int>(handles_.size());
}

uint32_t SimPassThrough::GetDriveType(const char* root) {
  std::lock_guard<sim::Lock> lock(mu_);
  if (root == nullptr || std::strlen(root) != 3 || root[1] != ':' || root[2] != '\\') {
    return kDriveNoRootDir;
  }
  const Letter* l = Find(Upper(root[0]));
  return l ? l->drive_type : kDriveNoRootDir;
}

plat::Handle SimPassThrough::OpenDevice(const char* name, uint32_t access) {
  std::lock_guard<sim::Lock> lock(mu_);
  const char letter = LetterOfDeviceName(name);
  const Letter* l = Find(letter);
  Open open{letter, access, false};
  if (l == nullptr) {
    opens_.push_back(open);
    Fail(kErrorFileNotFound);
    return nullptr;
  }
  const bool wants_write = (access & plat::kGenericWrite) != 0;
  if ((wants_write && l->refuse_read_write) || l->refuse_read) {
    opens_.push_back(open);
    Fail(kErrorAccessDenied);
    return nullptr;
  }
  open.ok = true;
  opens_.push_back(open);
  const uintptr_t h = next_handle_;
  next_handle_ += 4;
  handles_[h] = letter;
  return reinterpret_cast<plat::Handle>(h);
}

void SimPassThrough::CloseDevice(plat::Handle device) {
  std::lock_guard<sim::Lock> lock(mu_);
  if (handles_.erase(reinterpret_cast<uintptr_t>(device)) == 0) ++bad_closes_;
}

bool SimPassThrough::GetCapabilities(plat::Handle device, void* capabilities24) {
  std::lock_guard<sim::Lock> lock(mu_);
  auto h = handles_.find(reinterpret_cast<uintptr_t>(device));
  if (h == handles_.end() || capabilities24 == nullptr) return Fail(kErrorInvalidHandle);
  const Letter& l = letters_.at(h->second);
  if (l.drive == nullptr) return Fail(kErrorInvalidFunction);
  IoScsiCapabilities caps{};
  caps.Length = sizeof caps;
  caps.MaximumTransferLength = l.max_transfer;
  caps.MaximumPhysicalPages = l.max_transfer / 4096 + 1;
  caps.AlignmentMask = l.align_mask;
  // A failing query leaves garbage in its reply: the caller must not use it.
  if (l.capabilities_fail) caps.AlignmentMask = 0xFFFFFFFF;
  std::memcpy(capabilities24, &caps, sizeof caps);
  return l.capabilities_fail ? Fail(kErrorInvalidFunction) : true;
}

bool SimPassThrough::PassThrough(plat::Handle device, void* block80) {
  std::unique_lock<sim::Lock> lock(mu_);
  auto h = handles_.find(reinterpret_cast<uintptr_t>(device));
  if (h == handles_.end() || block80 == nullptr) return Fail(kErrorInvalidHandle);
  const Letter l = letters_.at(h->second);
  auto* b = static_cast<PassThroughBlock*>(block80);
  auto* bytes = static_cast<uint8_t*>(block80);
  auto* buffer = static_cast<uint8_t*>(plat::FieldToPtr(b->DataBuffer));

  Call call;
  call.letter = h->second;
  call.cdb_length = b->CdbLength;
  call.cdb0 = b->Cdb[0];
  call.data_in = b->DataIn;
  call.transfer_length = b->DataTransferLength;
  call.timeout = b->TimeOutValue;
  calls_.push_back(call);
  auto done = [&](bool ok, uint32_t error) {
    calls_.back().ok = ok;
    return ok ? true : Fail(error);
  };

  if (l.drive == nullptr) return done(false, kErrorInvalidFunction);
  if (b->Length != 44 || b->CdbLength == 0 || b->CdbLength > 16 || b->DataIn > 2 ||
      uint64_t{b->SenseInfoOffset} + b->SenseInfoLength > sizeof(PassThroughBlock) ||
      (b->DataTransferLength > 0 && buffer == nullptr) || b->DataTransferLength > l.max_transfer) {
    return done(false, kErrorInvalidParameter);
  }
  Direction direction = Direction::kNone;
  if (b->DataTransferLength > 0) {
    direction = b->DataIn == 1   ? Direction::kIn
                : b->DataIn == 0 ? Direction::kOut
                                 : Direction::kNone;
  }
  // Outgoing data must meet the adapter's alignment (the updater copies it
  // into an aligned block); incoming data lands where the caller says.
  if (direction == Direction::kOut && (reinterpret_cast<uintptr_t>(buffer) & l.align_mask) != 0) {
    calls_.back().aligned = false;
    return done(false, kErrorInvalidParameter);
  }

  // A slow drive: the request blocks the caller (in the platform's time) and
  // fails when it takes longer than TimeOutValue.
  const uint32_t delay = l.drive->async_delay_ms();
  if (delay > 0) {
    const uint64_t limit = uint64_t{b->TimeOutValue} * 1000;
    lock.unlock();
    plat::Handle wait = plat::Os().CreateEvent();
    if (wait) {
      plat::Os().WaitForEvent(wait, static_cast<uint32_t>(std::min<uint64_t>(delay, limit)));
      plat::Os().CloseEvent(wait);
    }
    lock.lock();
    if (delay > limit) return done(false, kErrorSemTimeout);
  }

  uint8_t cdb[16] = {};
  std::memcpy(cdb, b->Cdb, b->CdbLength);
  const CommandResult res =
      l.drive->Execute(cdb, b->CdbLength, direction, buffer, b->DataTransferLength);
  const bool drive_answered = !res.transport_failed || res.fault.reaches_drive;
  if (drive_answered) {
    b->ScsiStatus = res.status;
    if (res.status != kGood || res.sense[0] != 0) {  // sense with any status that carries it
      const size_t n = std::min<size_t>(b->SenseInfoLength, res.sense.size());
      std::memcpy(bytes + b->SenseInfoOffset, res.sense.data(), n);
    }
    if (direction == Direction::kIn) b->DataTransferLength = res.data_length;
  }
  if (res.transport_failed) return done(false, res.fault.win32_error);
  return done(true, 0);
}

}  // namespace sim
