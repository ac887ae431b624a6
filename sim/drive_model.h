// The emulated Kestran drive: a plain model of one drive's command set.
//
// The model answers one SCSI command at a time with a status byte, 18 bytes of
// fixed-format sense data and, for data-in commands, the data.  It knows the
// standard commands the updater sends (INQUIRY 0x12 and 0x13, TEST UNIT READY,
// START STOP UNIT) and the vendor ones (0xF5 memory read and flash control,
// 0xF6 download mode, 0xEA flash block write), keeps a flash array that tests
// can inspect, and can be told to misbehave (refused writes, transport
// failures, unstable INQUIRY replies, slow completion).
//
// Time comes from an injected clock so tests run in virtual time.  The model
// has no lock of its own: the adapters serialise access to it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sim {

constexpr uint32_t kFlashSize = 0x60000;
constexpr uint32_t kBoardVersionAddress = 0xF8048;
constexpr uint32_t kBlockUnit = 2048;
constexpr uint32_t kForever = 0xFFFFFFFFu;

// SCSI status bytes.
constexpr uint8_t kGood = 0x00;
constexpr uint8_t kCheckCondition = 0x02;
constexpr uint8_t kBusy = 0x08;

struct Sense {
  uint8_t key = 0, asc = 0, ascq = 0;
  bool operator==(const Sense& o) const { return key == o.key && asc == o.asc && ascq == o.ascq; }
  bool operator!=(const Sense& o) const { return !(*this == o); }
};

// Sense triples the drive answers with.
namespace sense {
constexpr Sense kNone{0x00, 0x00, 0x00};
constexpr Sense kNoMediumTrayClosed{0x02, 0x3A, 0x01};
constexpr Sense kNoMediumTrayOpen{0x02, 0x3A, 0x02};
constexpr Sense kBecomingReady{0x02, 0x04, 0x01};
constexpr Sense kInvalidOpcode{0x05, 0x20, 0x00};
constexpr Sense kInvalidField{0x05, 0x24, 0x00};
// Unit attentions: the tray moved (medium may have changed); power on or reset.
constexpr Sense kMediumChanged{0x06, 0x28, 0x00};
constexpr Sense kResetOccurred{0x06, 0x29, 0x00};
// Vendor refusals of the flash commands.
constexpr Sense kEraseFailure{0x09, 0x82, 0x00};
constexpr Sense kNotErased{0x09, 0x84, 0x00};
constexpr Sense kWriteError{0x09, 0x85, 0x00};
constexpr Sense kChecksumError{0x09, 0x86, 0x00};
constexpr Sense kFirmwareDataError{0x09, 0x87, 0x00};
constexpr Sense kTransferDataError{0x09, 0x88, 0x00};
constexpr Sense kDataError{0x04, 0x40, 0xF5};      // block and transfer length disagree
constexpr Sense kNotInDownload{0x04, 0x40, 0xF6};  // download mode not entered or not settled
}  // namespace sense

enum class Direction : uint8_t { kNone, kIn, kOut };

enum class Tray : uint8_t {
  kClosedEmpty,    // tray closed, no disc
  kOpen,           // tray open
  kLoaded,         // disc loaded and ready
  kBecomingReady,  // disc loaded, spinning up (ready after spin_up_ms)
};

// A failure below the drive: the command never gets a drive status.  The ASPI
// adapter reports `srb_status` / `ha_stat`, the pass-through adapter fails the
// request with `win32_error`.  With `reaches_drive` the drive runs the command
// and its status and sense travel alongside the failure.
struct TransportFault {
  uint8_t srb_status = 0x04;  // SS_ERR
  uint8_t ha_stat = 0x00;
  uint32_t win32_error = 31;  // ERROR_GEN_FAILURE
  bool reaches_drive = false;
};

struct DriveConfig {
  std::string vendor = "KESTRAN ";           // INQUIRY bytes 8-15 (blank padded)
  std::string product = "CD-R   TQ-517T  ";  // bytes 16-31
  std::string revision = "1.00";             // bytes 32-35
  uint8_t byte0 = 0x05;                      // peripheral qualifier / device type
  uint8_t byte3 = 0x02;                      // bits 4-7 set: takes 12-byte CDBs
  bool external_inquiry = true;              // opcode 0x13 answered like 0x12
  uint8_t board_version = 0x01;              // drive memory at 0xF8048
  Tray tray = Tray::kClosedEmpty;
  uint32_t settle_ms = 3000;        // download mode accepts writes this long after entering
  uint32_t programming_ms = 45000;  // busy after the main image's flash control
  uint32_t spin_up_ms = 2000;       // becoming ready after a disc is loaded
  uint32_t async_delay_ms = 0;      // adapters complete commands this late (0: at once)
};

// What one command came to.
struct CommandResult {
  bool transport_failed = false;  // `fault` holds the failure
  TransportFault fault;
  uint8_t status = kGood;
  std::array<uint8_t, 18> sense{};  // fixed format; all zero when GOOD
  uint32_t data_length = 0;         // bytes moved to or from the buffer

  Sense SenseTriple() const { return Sense{sense[2], sense[12], sense[13]}; }
};

struct TraceEntry {
  uint64_t time_ms = 0;
  uint32_t index = 0;  // 0-based number of the command at this drive
  std::array<uint8_t, 16> cdb{};
  uint8_t cdb_length = 0;
  Direction direction = Direction::kNone;
  uint32_t length = 0;  // transfer length the initiator gave
  CommandResult result;

  uint8_t opcode() const { return cdb[0]; }
};

// "EA 00 00 00 80 00 00 00 10 F8 out 32768 -> 02 09/86/00" and similar.
std::string FormatTrace(const TraceEntry& entry);
std::vector<uint8_t> BuildFixedSense(const Sense& sense);

class KestranDrive {
 public:
  explicit KestranDrive(std::function<uint64_t()> now_ms, DriveConfig config = {});

  // Runs one command.  `data` holds `length` bytes: filled for kIn (at most
  // `length` bytes), read for kOut.  CDB bytes beyond `cdb_length` count as 0.
  CommandResult Execute(const uint8_t* cdb, uint8_t cdb_length, Direction direction, uint8_t* data,
                        uint32_t length);

  // ---- fault injection ----
  // Refuse the k-th flash block write (0-based over the 0xEA commands that
  // reach the drive) with `status` and `sense` (no sense data for a status
  // other than CHECK CONDITION with sense kNone, e.g. a plain BUSY).
  void RefuseWrite(uint32_t write_index, Sense sense, uint8_t status = kCheckCondition);
  // Answer command n (0-based over every command) with `status` and `sense`
  // instead of running it (a sense given with GOOD travels too).
  void RefuseCommand(uint32_t command_index, Sense sense, uint8_t status = kCheckCondition);
  // Refuse the nth command (0-based) whose CDB begins with `prefix`, counted,
  // like the block writes, among the commands that reach the drive.
  void RefuseMatching(std::vector<uint8_t> prefix, uint32_t nth, Sense sense,
                      uint8_t status = kCheckCondition);
  // Unit attention, as a real drive reports a tray or reset event: a
  // condition raised before command n (0-based over every command) answers
  // the first command from then on that is not an INQUIRY, once, with CHECK
  // CONDITION and `sense`; that command is not carried out.  Raised twice
  // for one n, two commands in a row get one each.
  void RaiseAttention(uint32_t command_index, Sense sense = sense::kResetOccurred);
  // With `on`, every tray movement (START STOP UNIT with LOEJ) raises one.
  void SetEjectAttention(bool on, Sense sense = sense::kMediumChanged) {
    eject_attention_ = on;
    eject_attention_sense_ = sense;
  }
  // Fail command n, or every command with `opcode`, below the drive.
  void FailCommand(uint32_t command_index, TransportFault fault);
  void FailOpcode(uint8_t opcode, TransportFault fault);
  void ClearFaults();
  // The first `reads` INQUIRY replies differ from each other and from the
  // settled reply (kForever: never settles).
  void SetFlakyInquiry(uint32_t reads) { flaky_inquiry_reads_ = reads; }
  void SetAsyncDelay(uint32_t ms) { config_.async_delay_ms = ms; }

  // ---- state for the adapters and tests ----
  const DriveConfig& config() const { return config_; }
  DriveConfig& mutable_config() { return config_; }
  uint32_t async_delay_ms() const { return config_.async_delay_ms; }
  std::array<uint8_t, 36> InquiryData() const;
  void SetMemory(uint32_t address, const std::vector<uint8_t>& bytes);
  void SetTray(Tray tray);

  const std::vector<uint8_t>& flash() const { return flash_; }
  bool tray_open() const { return tray_open_; }
  bool medium_present() const { return medium_; }
  bool in_download_mode() const { return download_; }
  bool programming() const;
  uint32_t boot_commits() const { return boot_commits_; }
  uint32_t main_commits() const { return main_commits_; }
  size_t pending_blocks() const { return pending_.size(); }
  uint32_t command_count() const { return command_count_; }

  const std::vector<TraceEntry>& trace() const { return trace_; }
  void ClearTrace() { trace_.clear(); }
  // Called after every command (the DLL writes its trace file from here).
  std::function<void(const TraceEntry&)> on_command;

 private:
  struct Refusal {
    Sense sense;
    uint8_t status;
  };
  struct MatchRefusal {
    std::vector<uint8_t> prefix;
    uint32_t nth;
    Refusal refusal;
    uint32_t seen = 0;
  };
  uint64_t Now() const { return now_ms_(); }
  CommandResult Run(const uint8_t* cdb, uint8_t cdb_length, Direction direction, uint8_t* data,
                    uint32_t length);
  CommandResult Inquiry(const uint8_t* cdb, Direction direction, uint8_t* data, uint32_t length);
  CommandResult TestUnitReady();
  CommandResult StartStop(const uint8_t* cdb);
  CommandResult VendorF5(const uint8_t* cdb, Direction direction, uint8_t* data, uint32_t length);
  CommandResult DownloadMode(const uint8_t* cdb);
  CommandResult WriteBlock(const uint8_t* cdb, uint8_t cdb_length, Direction direction,
                           const uint8_t* data, uint32_t length);
  void Commit();
  void LeaveDownload();

  std::function<uint64_t()> now_ms_;
  DriveConfig config_;

  bool tray_open_ = false;
  bool medium_ = false;
  uint64_t ready_at_ = 0;
  bool download_ = false;
  uint64_t download_since_ = 0;
  uint64_t programming_until_ = 0;
  bool programming_started_ = false;
  std::vector<uint8_t> flash_;
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> pending_;
  std::map<uint32_t, uint8_t> memory_;
  uint32_t boot_commits_ = 0;
  uint32_t main_commits_ = 0;

  uint32_t command_count_ = 0;
  uint32_t write_count_ = 0;
  uint32_t inquiry_count_ = 0;
  uint32_t flaky_inquiry_reads_ = 0;
  std::map<uint32_t, Refusal> refused_writes_;
  std::map<uint32_t, Refusal> refused_commands_;
  std::vector<MatchRefusal> refused_matching_;
  std::multimap<uint32_t, Sense> attention_before_;
  std::deque<Sense> pending_attention_;
  bool eject_attention_ = false;
  Sense eject_attention_sense_;
  std::map<uint32_t, TransportFault> failed_commands_;
  std::map<uint8_t, TransportFault> failed_opcodes_;
  std::vector<TraceEntry> trace_;
};

}  // namespace sim
