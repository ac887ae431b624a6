#include "drive_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

CommandResult Good(uint32_t data_length = 0) {
  CommandResult r;
  r.data_length = data_length;
  return r;
}

CommandResult Refuse(const Sense& s, uint8_t status = kCheckCondition) {
  CommandResult r;
  r.status = status;
  if (status == kCheckCondition || s != sense::kNone) {
    std::vector<uint8_t> bytes = BuildFixedSense(s);
    std::copy(bytes.begin(), bytes.end(), r.sense.begin());
  }
  return r;
}

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void CopyPadded(uint8_t* out, size_t width, const std::string& text) {
  for (size_t i = 0; i < width; ++i) {
    out[i] = i < text.size() ? static_cast<uint8_t>(text[i]) : static_cast<uint8_t>(' ');
  }
}

const char* DirectionName(Direction d) {
  switch (d) {
    case Direction::kIn:
      return "in";
    case Direction::kOut:
      return "out";
    default:
      return "none";
  }
}

}  // namespace

std::vector<uint8_t> BuildFixedSense(const Sense& s) {
  std::vector<uint8_t> bytes(18, 0);
  bytes[0] = 0x70;  // current error, fixed format
  bytes[2] = s.key;
  bytes[7] = 10;  // additional sense length
  bytes[12] = s.asc;
  bytes[13] = s.ascq;
  return bytes;
}

std::string FormatTrace(const TraceEntry& e) {
  std::string out;
  char part[64];
  for (uint8_t i = 0; i < e.cdb_length && i < 16; ++i) {
    std::snprintf(part, sizeof part, "%s%02X", i ? " " : "", e.cdb[i]);
    out += part;
  }
  std::snprintf(part, sizeof part, " %s %u -> ", DirectionName(e.direction),
                static_cast<unsigned>(e.length));
  out += part;
  const CommandResult& r = e.result;
  if (r.transport_failed) {
    std::snprintf(part, sizeof part, "fault srb=%02X ha=%02X err=%u", r.fault.srb_status,
                  r.fault.ha_stat, static_cast<unsigned>(r.fault.win32_error));
    out += part;
    if (!r.fault.reaches_drive) return out;
    out += " ";
  }
  std::snprintf(part, sizeof part, "%02X", r.status);
  out += part;
  if (r.status != kGood) {
    std::snprintf(part, sizeof part, " %02X/%02X/%02X", r.sense[2], r.sense[12], r.sense[13]);
    out += part;
  }
  return out;
}

KestranDrive::KestranDrive(std::function<uint64_t()> now_ms, DriveConfig config)
    : now_ms_(std::move(now_ms)), config_(std::move(config)), flash_(kFlashSize, 0xFF) {
  SetTray(config_.tray);
}

void KestranDrive::SetTray(Tray tray) {
  config_.tray = tray;
  tray_open_ = tray == Tray::kOpen;
  medium_ = tray == Tray::kLoaded || tray == Tray::kBecomingReady;
  ready_at_ = tray == Tray::kBecomingReady ? Now() + config_.spin_up_ms : 0;
}

void KestranDrive::SetMemory(uint32_t address, const std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) memory_[address + static_cast<uint32_t>(i)] = bytes[i];
}

std::array<uint8_t, 36> KestranDrive::InquiryData() const {
  std::array<uint8_t, 36> d{};
  d[0] = config_.byte0;
  d[1] = 0x80;  // removable medium
  d[2] = 0x00;
  d[3] = config_.byte3;
  d[4] = 31;  // additional length: 36 bytes in all
  CopyPadded(&d[8], 8, config_.vendor);
  CopyPadded(&d[16], 16, config_.product);
  CopyPadded(&d[32], 4, config_.revision);
  return d;
}

bool KestranDrive::programming() const {
  return programming_started_ && Now() < programming_until_;
}

void KestranDrive::RefuseWrite(uint32_t write_index, Sense s, uint8_t status) {
  refused_writes_[write_index] = Refusal{s, status};
}
void KestranDrive::RefuseCommand(uint32_t command_index, Sense s, uint8_t status) {
  refused_commands_[command_index] = Refusal{s, status};
}
void KestranDrive::RefuseMatching(std::vector<uint8_t> prefix, uint32_t nth, Sense s,
                                  uint8_t status) {
  refused_matching_.push_back(MatchRefusal{std::move(prefix), nth, Refusal{s, status}});
}
void KestranDrive::RaiseAttention(uint32_t command_index, Sense s) {
  attention_before_.emplace(command_index, s);
}
void KestranDrive::FailCommand(uint32_t command_index, TransportFault fault) {
  failed_commands_[command_index] = fault;
}
void KestranDrive::FailOpcode(uint8_t opcode, TransportFault fault) {
  failed_opcodes_[opcode] = fault;
}
void KestranDrive::ClearFaults() {
  refused_writes_.clear();
  refused_commands_.clear();
  refused_matching_.clear();
  attention_before_.clear();
  pending_attention_.clear();
  eject_attention_ = false;
  failed_commands_.clear();
  failed_opcodes_.clear();
  flaky_inquiry_reads_ = 0;
}

CommandResult KestranDrive::Execute(const uint8_t* cdb_in, uint8_t cdb_length, Direction direction,
                                    uint8_t* data, uint32_t length) {
  TraceEntry entry;
  entry.time_ms = Now();
  entry.index = command_count_++;
  entry.cdb_length = std::min<uint8_t>(cdb_length, 16);
  std::memcpy(entry.cdb.data(), cdb_in, entry.cdb_length);
  entry.direction = direction;
  entry.length = length;
  const uint8_t* cdb = entry.cdb.data();  // zero beyond cdb_length

  const TransportFault* fault = nullptr;
  auto by_index = failed_commands_.find(entry.index);
  if (by_index != failed_commands_.end()) {
    fault = &by_index->second;
  } else {
    auto by_opcode = failed_opcodes_.find(cdb[0]);
    if (by_opcode != failed_opcodes_.end()) fault = &by_opcode->second;
  }

  CommandResult result;
  if (fault == nullptr || fault->reaches_drive) {
    for (auto due = attention_before_.begin();
         due != attention_before_.end() && due->first <= entry.index;) {
      pending_attention_.push_back(due->second);
      due = attention_before_.erase(due);
    }
    // INQUIRY neither reports nor clears a unit attention.
    const bool is_inquiry = cdb[0] == 0x12 || cdb[0] == 0x13;
    auto refusal = refused_commands_.find(entry.index);
    if (!pending_attention_.empty() && !is_inquiry) {
      result = Refuse(pending_attention_.front());
      pending_attention_.pop_front();
    } else if (refusal != refused_commands_.end()) {
      result = Refuse(refusal->second.sense, refusal->second.status);
    } else {
      result = Run(cdb, entry.cdb_length, direction, data, length);
    }
  }
  if (fault != nullptr) {
    result.transport_failed = true;
    result.fault = *fault;
  }
  entry.result = result;
  trace_.push_back(entry);
  if (on_command) on_command(entry);
  return result;
}

CommandResult KestranDrive::Run(const uint8_t* cdb, uint8_t cdb_length, Direction direction,
                                uint8_t* data, uint32_t length) {
  const uint8_t opcode = cdb[0];
  // A block write is counted even when the drive is busy, so "write k" means
  // the k-th block the initiator sent.
  if (opcode == 0xEA) {
    auto refusal = refused_writes_.find(write_count_++);
    if (refusal != refused_writes_.end()) {
      return Refuse(refusal->second.sense, refusal->second.status);
    }
  }
  // Every matching rule counts the command, whichever of them refuses it.
  const Refusal* matched = nullptr;
  for (MatchRefusal& rule : refused_matching_) {
    if (rule.prefix.size() <= cdb_length &&
        std::equal(rule.prefix.begin(), rule.prefix.end(), cdb) && rule.seen++ == rule.nth &&
        matched == nullptr) {
      matched = &rule.refusal;
    }
  }
  if (matched != nullptr) return Refuse(matched->sense, matched->status);
  const bool is_inquiry = opcode == 0x12 || opcode == 0x13;
  if (!is_inquiry && programming()) return Refuse(sense::kBecomingReady);

  switch (opcode) {
    case 0x12:
      return Inquiry(cdb, direction, data, length);
    case 0x13:
      if (!config_.external_inquiry) return Refuse(sense::kInvalidOpcode);
      return Inquiry(cdb, direction, data, length);
    case 0x00:
      return TestUnitReady();
    case 0x1B:
      return StartStop(cdb);
    case 0xF5:
      return VendorF5(cdb, direction, data, length);
    case 0xF6:
      return DownloadMode(cdb);
    case 0xEA:
      return WriteBlock(cdb, cdb_length, direction, data, length);
    default:
      return Refuse(sense::kInvalidOpcode);
  }
}

CommandResult KestranDrive::Inquiry(const uint8_t* cdb, Direction direction, uint8_t* data,
                                    uint32_t length) {
  if (cdb[1] & 0x01) return Refuse(sense::kInvalidField);  // no vital product data pages
  const uint32_t allocation = cdb[4];
  if (allocation == 0 || length == 0) return Good();
  if (direction != Direction::kIn || data == nullptr) return Refuse(sense::kInvalidField);
  std::array<uint8_t, 36> reply = InquiryData();
  const uint32_t read = inquiry_count_++;
  if (read < flaky_inquiry_reads_) {
    // Each unsettled reply differs from the one before and from the settled one.
    reply[35] = static_cast<uint8_t>(0x80 | (read & 0x3F));
  }
  const uint32_t n = std::min<uint32_t>({allocation, length, static_cast<uint32_t>(reply.size())});
  std::memcpy(data, reply.data(), n);
  return Good(n);
}

CommandResult KestranDrive::TestUnitReady() {
  if (tray_open_) return Refuse(sense::kNoMediumTrayOpen);
  if (!medium_) return Refuse(sense::kNoMediumTrayClosed);
  if (Now() < ready_at_) return Refuse(sense::kBecomingReady);
  return Good();
}

CommandResult KestranDrive::StartStop(const uint8_t* cdb) {
  const bool load_eject = cdb[4] & 0x02;
  const bool start = cdb[4] & 0x01;
  if (!load_eject) return Good();  // spindle start/stop only: nothing to model
  if (eject_attention_) pending_attention_.push_back(eject_attention_sense_);
  if (!start) {
    tray_open_ = true;
  } else if (tray_open_) {
    tray_open_ = false;
    if (medium_) ready_at_ = Now() + config_.spin_up_ms;
  }
  return Good();
}

CommandResult KestranDrive::VendorF5(const uint8_t* cdb, Direction direction, uint8_t* data,
                                     uint32_t length) {
  if (direction == Direction::kOut) return Refuse(sense::kInvalidField);
  if (direction == Direction::kIn && length > 0) {
    // Memory read: address in bytes 4-7, length in bytes 8-9.
    if (data == nullptr) return Refuse(sense::kInvalidField);
    const uint32_t address = Be32(cdb + 4);
    const uint32_t n = std::min<uint32_t>(Be16(cdb + 8), length);
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t a = address + i;
      auto it = memory_.find(a);
      data[i] = it != memory_.end()         ? it->second
                : a == kBoardVersionAddress ? config_.board_version
                                            : 0x00;
    }
    return Good(n);
  }
  // Flash control: the values sit in bytes 7 and 8.
  if (!download_) return Refuse(sense::kNotInDownload);
  if (cdb[7] == 0x0F && cdb[8] == 0x00) {
    // The boot image is taken; the drive restarts its loader, so the main
    // image needs download mode to be entered again.
    Commit();
    ++boot_commits_;
    LeaveDownload();
    return Good();
  }
  if (cdb[7] == 0x00 && cdb[8] == 0x3F) {
    Commit();
    ++main_commits_;
    programming_started_ = true;
    programming_until_ = Now() + config_.programming_ms;
    return Good();
  }
  return Refuse(sense::kInvalidField);
}

CommandResult KestranDrive::DownloadMode(const uint8_t* cdb) {
  switch (cdb[1]) {
    case 0x02:
      download_ = true;
      download_since_ = Now();
      return Good();
    case 0x00:
      LeaveDownload();
      return Good();
    default:
      return Refuse(sense::kInvalidField);
  }
}

CommandResult KestranDrive::WriteBlock(const uint8_t* cdb, uint8_t cdb_length, Direction direction,
                                       const uint8_t* data, uint32_t length) {
  if (!download_ || Now() - download_since_ < config_.settle_ms) {
    return Refuse(sense::kNotInDownload);
  }
  const uint32_t units = Be16(cdb + 7);
  if (direction != Direction::kOut || data == nullptr || units == 0 ||
      uint64_t{units} * kBlockUnit != length) {
    return Refuse(sense::kDataError);
  }
  const uint32_t address = Be32(cdb + 2);
  if (address >= kFlashSize || length > kFlashSize - address) {
    return Refuse(sense::kFirmwareDataError);
  }
  uint32_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) sum += data[i];
  const uint16_t checksum = static_cast<uint16_t>(sum);
  // The 10-byte form carries only the checksum's high byte (byte 9).
  const bool full = cdb_length > 10;
  const bool matches = full ? checksum == Be16(cdb + 9) : (checksum >> 8) == cdb[9];
  if (!matches) return Refuse(sense::kChecksumError);
  pending_.emplace_back(address, std::vector<uint8_t>(data, data + length));
  return Good(length);
}

void KestranDrive::Commit() {
  for (const auto& block : pending_) {
    std::copy(block.second.begin(), block.second.end(), flash_.begin() + block.first);
  }
  pending_.clear();
}

void KestranDrive::LeaveDownload() {
  download_ = false;
  pending_.clear();  // blocks never confirmed by a flash control are dropped
}

}  // namespace sim
