// The transports against the emulated drive behind both device paths (adapter
// 2, target 5 of an ASPI bus, and the drive letter E:) on the virtual-clock
// platform, with every execute or pass-through block captured as it arrived
// (and the outgoing data it pointed to); replies and faults are the drive's
// own (RefuseCommand, FailCommand, SetAsyncDelay).  Then the failure texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "fake_hooks.h"
#include "fake_platform.h"
#include "package/package.h"
#include "transport/command_set.h"
#include "transport/failure_text.h"
#include "transport/transport.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24;
}

// Bytes from hex text; "@N" moves on to (decimal) offset N, zero filling, and
// the result is zero padded to at least `size` bytes.
Bytes Hex(const std::string& text, size_t size = 0) {
  Bytes out;
  std::istringstream in(text);
  for (std::string word; in >> word;) {
    if (word[0] == '@') {
      out.resize(std::stoul(word.substr(1)));
    } else {
      out.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    }
  }
  out.resize(std::max(out.size(), size));
  return out;
}

// One execute or pass-through request as the device saw it.
struct Seen {
  Bytes bytes;             // the 80-byte block on arrival
  void* buffer = nullptr;  // its data buffer
  Bytes data_out;          // what that buffer held on arrival (data-out only)
};

class TransportTest : public ::testing::Test {
 protected:
  TransportTest() {
    ResetTransportState();
    ResetUpdatePackage();  // a command-set row turns the external INQUIRY on
    for (int i = 0; i < 3; ++i) bus_.AddAdapter();
    bus_.AttachDrive(2, 5, &sim_);
    pt_.AttachDrive('E', &sim_);
    sim_.SetTray(sim::Tray::kLoaded);  // TEST UNIT READY answers GOOD
    sim::ConnectAspi(os_, bus_);
    sim::ConnectPassThrough(os_, pt_);
    current_ = this;
    os_.get_proc_address = [this](plat::Handle library, const char* name) -> void* {
      ++proc_lookups_;
      void* entry = sim::SimAspi::EntryPoint(name);
      if (library != sim::SimAspi::LibraryHandle() || entry == nullptr) return nullptr;
      if (std::strcmp(name, "SendASPI32Command") == 0) {
        return export_send_ ? reinterpret_cast<void*>(&Send) : nullptr;
      }
      return support_info_ ? reinterpret_cast<void*>(&Info) : entry;
    };
    os_.pass_through = [this, pass_through = os_.pass_through](plat::Handle device, void* block) {
      Capture(block, 20, static_cast<uint8_t*>(block)[8] == 0);
      return pass_through(device, block);
    };
    drive_.AdapterId = 2;
    drive_.TargetId = 5;
    drive_.DriveLetter[0] = 'E';
  }
  ~TransportTest() override {
    EXPECT_EQ(pt_.open_handles(), 0) << "a device handle was not closed";
    EXPECT_EQ(pt_.closes_of_unknown_handles(), 0) << "a device handle was closed twice";
    ResetTransportState();
    sim::SimAspi::SetCurrent(nullptr);
    current_ = nullptr;
  }
  void Use(uint8_t transport) {
    ASSERT_EQ(LoadAspiLibrary(), 1);  // the pass-through does not use it
    TransportKind = transport;
  }

  FakePlatform os_;
  sim::KestranDrive sim_{sim::FakeClock(os_)};
  sim::SimAspi bus_;
  sim::SimPassThrough pt_;
  DriveRecord drive_{};
  bool export_send_ = true;
  std::optional<uint32_t> support_info_;  // GetASPI32SupportInfo's answer instead of the bus's
  int proc_lookups_ = 0;
  std::vector<Seen> requests_;

 private:
  static uint32_t KSF_CDECL Send(void* srb) {
    auto* bytes = static_cast<uint8_t*>(srb);
    if (bytes[0] == SC_EXEC_SCSI_CMD) current_->Capture(srb, 16, bytes[3] & SRB_DIR_OUT);
    return sim::SimAspi::SendCommandEntry(srb);
  }
  static uint32_t KSF_CDECL Info() { return *current_->support_info_; }

  void Capture(const void* block, uint32_t buffer_at, bool out) {
    Seen seen;
    seen.bytes.assign(static_cast<const uint8_t*>(block), static_cast<const uint8_t*>(block) + 80);
    seen.buffer = plat::FieldToPtr(Le32(&seen.bytes[buffer_at]));
    auto* data = static_cast<uint8_t*>(seen.buffer);
    if (out && data != nullptr) seen.data_out.assign(data, data + Le32(&seen.bytes[12]));
    requests_.push_back(std::move(seen));
  }

  static inline TransportTest* current_ = nullptr;
};

using AspiTest = TransportTest;

// The ASPI path: loading the library, the support query, and the execute
// request as the SRB bytes show it, with its result rules and its wait.
// A library without both entry points is refused (and released) rather than
// called through an empty entry later (one that does not load at all is seen
// end to end).
TEST_F(AspiTest, LoadsByNameResolvesEachEntryOnceAndRefusesALibraryThatCannotServe) {
  Use(Aspi);
  Use(Aspi);
  EXPECT_EQ(bus_.library_loads, 2);
  EXPECT_EQ(proc_lookups_, 2) << "resolved entries are not resolved again";
  EXPECT_EQ(QueryAspiSupport(), 4);
  FreeAspiLibrary();
  export_send_ = false;
  EXPECT_EQ(LoadAspiLibrary(), 0);
  EXPECT_EQ(bus_.library_frees, 2) << "each library released once";
  SRB_HAInquiry* reply = nullptr;
  uint8_t type = 0;
  EXPECT_EQ(InquireHostAdapter(0, &reply), 1);
  EXPECT_EQ(GetDeviceType(drive_, &type), 1);
  EXPECT_EQ(QueryAspiSupport(), 0);
  EXPECT_EQ(TestUnitReady(drive_), -1);
  EXPECT_TRUE(requests_.empty() && bus_.requests().empty());
}

TEST_F(AspiTest, SupportQueryIsAdaptersPlusOneOnlyWhenAspiReportsComplete) {
  const std::pair<uint32_t, int> cases[] = {{0x0100, 1},     {0x0103, 4}, {0x01FF, 256},
                                            {0xABCD0102, 3}, {0xE803, 0}, {0x0203, 0}};
  for (auto [info, result] : cases) {
    support_info_ = info;
    Use(Aspi);
    EXPECT_EQ(QueryAspiSupport(), result) << std::hex << info;
    ResetTransportState();
  }
}

TEST_F(AspiTest, ExecuteRequestCarriesEveryFieldAtItsPublishedOffset) {
  Use(Aspi);
  bus_.adapter(2).align_mask = 0x0F;
  drive_.AlignMask = 0x0F;
  drive_.Lun = 1;  // the bus has no LUN 1: the request is refused, but as sent
  const Bytes cdb = Hex("EA 00 00 00 80 00 00 00 01 F8 77", 16);
  Bytes data(2048, 0xFF);
  ASSERT_EQ(ExecuteCommand(drive_, data.data(), 2048, cdb.data(), 10, SRB_DIR_OUT), 1);
  EXPECT_EQ(AspiExecBlock.SRB_Status, 0x82) << "SS_NO_DEVICE";
  Seen seen = requests_.at(0);
  EXPECT_NE(Le32(&seen.bytes[24]), 0u) << "SRB_PostProc names the event";
  std::fill_n(&seen.bytes[16], 4, 0);  // the buffer and event pointers, checked apart
  std::fill_n(&seen.bytes[24], 4, 0);
  EXPECT_EQ(seen.bytes,
            Hex("02 00 02 50 @8 05 01 @13 08 @20 0E 0A @48 EA 00 00 00 80 00 00 00 01 F8", 80));
  EXPECT_NE(seen.buffer, data.data()) << "outgoing data travels in an aligned copy";
  EXPECT_EQ(reinterpret_cast<uintptr_t>(seen.buffer) & 0x0F, 0u);
  EXPECT_EQ(seen.data_out, data);
}

// The result rules, each later one overriding the earlier ones; every case
// once completed on return and once completed later through the event.
TEST_F(AspiTest, StatusesGiveTheResultCode) {
  Use(Aspi);
  // SRB_Status, SRB_HaStat, target status, sense key: result
  const uint8_t cases[][5] = {{SS_COMP, 0, 0, 0, 0},    {SS_COMP, 0x12, 0, 0, 0},
                              {0x04, 0, 2, 0, 1},       {0xE0, 0x12, 0, 0, 1},
                              {SS_COMP, 0x11, 0, 0, 2}, {0x04, 0x11, 0, 0, 2},
                              {0x04, 0x11, 2, 9, 4},    {SS_COMP, 0, 2, 0, 0},
                              {SS_COMP, 0, 0, 9, 0},    {SS_COMP, 0, 2, 0x80, 4}};
  for (const auto& [status, ha_stat, target_status, key, result] : cases) {
    for (uint32_t delay : {0, 7000}) {
      sim_.ClearFaults();
      sim_.SetAsyncDelay(delay);
      const uint32_t n = sim_.command_count();
      if (target_status != 0 || key != 0) sim_.RefuseCommand(n, {key, 0x85, 0}, target_status);
      sim_.FailCommand(n, {status, ha_stat, 0, true});  // the layer's statuses
      const uint64_t start = os_.NowMs();
      EXPECT_EQ(TestUnitReady(drive_), result) << int{status} << " " << int{ha_stat};
      EXPECT_EQ(os_.NowMs() - start, delay) << "waits exactly until its own completion";
      EXPECT_EQ(LastCommand, &AspiExecBlock);
      EXPECT_EQ(LastCommand->SenseArea[2], key);
    }
  }
}

// The NT pass-through path: device open and its fallback, the capabilities
// mask, the request block as the system receives it, and how the outcome is
// recorded.
class PassThroughTest : public TransportTest {
 protected:
  PassThroughTest() { TransportKind = PassThrough; }
  int Send(uint8_t direction, void* data, uint32_t length, const std::string& cdb = "00") {
    return ExecuteCommand(drive_, data, length, Hex(cdb, 16).data(), 6, direction);
  }
};

TEST_F(PassThroughTest, OpensTheDriveLetterDeviceReadWriteThenReadOnly) {
  for (int usable : {2, 1, 0}) {  // both opens work, only the read-only one, neither
    const size_t before = pt_.opens().size();
    auto& letter = pt_.letter('E');
    letter.refuse_read_write = usable < 2;
    letter.refuse_read = usable == 0;
    letter.open_error = 31;
    EXPECT_EQ(TestUnitReady(drive_), usable ? 0 : -3);
    const auto opens = pt_.opens();
    ASSERT_EQ(opens.size() - before, usable == 2 ? 1u : 2u);
    EXPECT_EQ(opens[before].access, plat::kGenericRead | plat::kGenericWrite);
    EXPECT_EQ(opens.back().access, usable == 2 ? opens[before].access : plat::kGenericRead);
  }
  // The system's own reason for the failed open, not a missing event.
  std::string text;
  DescribeFailure(-3, text);
  EXPECT_EQ(text, "System error (Win32): Code 31\n");
  EXPECT_EQ(requests_.size(), 2u);
}

TEST_F(PassThroughTest, RequestBlockHasTheFixedFieldsAndTheCommand) {
  uint8_t data[64] = {};
  ASSERT_EQ(Send(SRB_DIR_IN, data, 36, "12 00 00 00 24 00 77"), 0);  // 77: past the CDB
  Seen seen = requests_.at(0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(seen.buffer) & 0xFFF, 0u) << "DataBuffer: a page";
  std::fill_n(&seen.bytes[20], 4, 0);
  // Length 44, TargetId 1, CdbLength 6, SenseInfoLength 32, DataIn 1,
  // DataTransferLength 36, TimeOutValue 10, SenseInfoOffset 48, the CDB.
  EXPECT_EQ(seen.bytes,
            Hex("2C 00 00 00 01 00 06 20 01 @12 24 @16 0A @24 30 @28 12 00 00 00 24", 80));
}

// Data in both directions travels in a block that meets the adapter's mask
// (the emulated adapter refuses any other), from and into caller arrays that
// sit anywhere; a failed capabilities query leaves garbage that is not used.
TEST_F(PassThroughTest, DataTravelsInBlocksThatMeetTheAdapterMask) {
  const Bytes out = Hex("EE 5A A5 3C @4096 C3");  // sent from offset 1
  Bytes in(40, 0xEE), first_in;
  for (uint32_t mask : {0u, 1u, 3u, 7u, 0x1FFu, 0xFFFFFFFFu}) {  // the last: the query fails
    auto& letter = pt_.letter('E');
    letter.capabilities_fail = mask == 0xFFFFFFFFu;
    letter.align_mask = mask & 0x1FF;
    ASSERT_EQ(Send(SRB_DIR_OUT, const_cast<uint8_t*>(out.data()) + 1, 4096), 0) << mask;
    EXPECT_EQ(requests_.back().data_out, Bytes(out.begin() + 1, out.end())) << mask;
    ASSERT_EQ(Inquiry(drive_, in.data() + 1, 36), 0) << mask;
    for (const auto& call : pt_.calls()) EXPECT_TRUE(call.aligned) << mask;
    // The answer arrives whole, and nothing beside it is touched.
    if (first_in.empty()) first_in = in;
    EXPECT_EQ(in, first_in) << mask;
  }
  EXPECT_EQ(std::string(first_in.begin() + 9, first_in.begin() + 17), "KESTRAN ");
  EXPECT_EQ(first_in[0] + first_in[37], 2 * 0xEE);
}

TEST_F(PassThroughTest, TimeOutIsLongOnlyForWriteBufferDownloadMode) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"3B 05", 600}, {"3B 06", 10}, {"3B 25", 10}, {"BB 05", 10}, {"12 05", 10}};
  for (auto [cdb, seconds] : cases) {
    Send(SRB_EVENT_NOTIFY, nullptr, 0, cdb);
    EXPECT_EQ(Le32(&requests_.back().bytes[16]), seconds) << cdb;
    EXPECT_EQ(requests_.back().bytes[8], 2) << "DataIn: unspecified";
  }
}

// The result rules in order and which record fields each outcome writes (the
// failure texts follow from the record). A status other than GOOD without
// sense data is a failure: the target did not carry the command out.
TEST_F(PassThroughTest, RecordsTheOutcomeAndDecidesTheResult) {
  // Win32 error (0: the request succeeds), SCSI status, sense key: result;
  // then record bytes 1, 22 and 23 afterwards.
  // clang-format off
  const std::tuple<uint32_t, uint8_t, uint8_t, int, uint8_t, uint8_t, uint8_t> cases[] = {
      {0, 0, 0, 0, 0x5A, 0x5A, 0}, {0, 0, 5, 0, 0x5A, 0x5A, 0}, {0, 2, 0, 4, 0x5A, 0x5A, 2},
      {31, 0, 0x20, 4, 0x5A, 0x5A, 0}, {0x12345678, 2, 0, -3, 0x78, 0x56, 0x34}};
  // clang-format on
  for (const auto& [win32_error, scsi_status, key, result, srb, ha, targ] : cases) {
    std::memset(&PassThroughResult, 0x5A, sizeof PassThroughResult);
    sim_.ClearFaults();
    const uint32_t n = sim_.command_count();
    const bool answers = scsi_status != 0 || key != 0;
    const sim::Sense sense{key, static_cast<uint8_t>(key ? 0x3A : 0),
                           static_cast<uint8_t>(key ? 0x01 : 0)};
    if (answers) sim_.RefuseCommand(n, sense, scsi_status);
    if (win32_error != 0) sim_.FailCommand(n, {0, 0, win32_error, answers});
    EXPECT_EQ(Send(SRB_EVENT_NOTIFY, nullptr, 0, "00 01 02 03 04 05"), result);
    EXPECT_EQ(LastCommand, &PassThroughResult);
    // Status bytes, the CDB length and CDB, sense bytes 0-13; nothing else.
    Bytes want(80, 0x5A);
    want[1] = srb;
    want[21] = 6;
    want[22] = ha;
    want[23] = targ;
    std::iota(&want[48], &want[54], 0);
    // Fixed-format sense where the drive gives one (CHECK CONDITION, or a
    // key); none with a plain BUSY or RESERVATION CONFLICT, as without autosense.
    const bool has_sense = scsi_status == sim::kCheckCondition || key != 0;
    const std::vector<uint8_t> bytes =
        has_sense ? sim::BuildFixedSense(sense) : std::vector<uint8_t>(14, 0);
    std::copy_n(bytes.begin(), 14, &want[64]);
    const auto* record = reinterpret_cast<const uint8_t*>(&PassThroughResult);
    EXPECT_EQ(Bytes(record, record + 80), want) << win32_error;
  }
}

// The seven drive commands, byte for byte, as the drive receives them through
// each transport: CDB bytes and length in both CDB widths, transfer length,
// direction and which buffer travels; and the flash block checksum.
using D = const DriveRecord&;
using Dir = sim::Direction;

uint8_t g_in[0x10000];
const Bytes kFF(2048, 0xFF);
const Bytes kMix = Hex("FF FF FF FF 35", 32768);  // sum 0x0431
const Bytes kAA(16, 0xAA);

#define CALL(call) [](D d) { return call; }
// The call; the 12-byte form (zero padded) and how many of its bytes go when
// UsesCdb12 is 0; direction and transfer length.
// clang-format off
const std::tuple<int (*)(D), const char*, uint8_t, Dir, uint32_t> kCases[] = {
    {CALL(Inquiry(d, g_in, 0x10120)), "12 00 00 00 20", 6, Dir::kIn, 0x120},
    {CALL((UpdatePackage.ExternalInquiry = 1, Inquiry(d, g_in, 36))), "13 00 00 00 24", 6, Dir::kIn, 36},
    {CALL(TestUnitReady(d)), "00", 6, Dir::kNone, 0},
    {CALL(StartStopUnit(d, 7, 3)), "1B 01 00 00 03", 6, Dir::kNone, 0},
    {CALL(ReadDriveMemory(d, g_in, 0x12345, 0xDEADBEEF)),
     "F5 00 00 00 DE AD BE EF 23 45", 12, Dir::kIn, 0x2345},
    {CALL(FlashControl(d, 0x0F, 0x3F)), "F5 00 00 00 00 00 00 0F 3F", 10, Dir::kNone, 0},
    {CALL(SetDownloadMode(d, 2)), "F6 02", 10, Dir::kNone, 0},
    {CALL(WriteFlashBlock(d, kMix.data(), 32768, 0x10000)),
     "EA 00 00 01 00 00 00 00 10 04 31", 10, Dir::kOut, 32768},
    {CALL(WriteFlashBlock(d, nullptr, 0, 0x12345678)), "EA 00 12 34 56 78", 10, Dir::kOut, 0},
    // ExecuteCommand itself sends 12 bytes to a drive that uses them, whatever it is given.
    {CALL(ExecuteCommand(d, nullptr, 0, kAA.data(), 6, SRB_EVENT_NOTIFY)),
     "AA AA AA AA AA AA AA AA AA AA AA AA", 6, Dir::kNone, 0}};
// clang-format on
#undef CALL

class CommandSetTest : public TransportTest,
                       public ::testing::WithParamInterface<std::tuple<size_t, uint8_t, bool>> {};

TEST_P(CommandSetTest, SendsTheCdbLengthAndBufferTheDriveExpects) {
  const auto [index, transport, wide] = GetParam();
  const auto& [run, cdb, narrow, direction, transfer] = kCases[index];
  Use(transport);
  drive_.UsesCdb12 = wide;
  run(drive_);  // whatever the drive makes of it
  ASSERT_EQ(sim_.trace().size(), 1u);
  const sim::TraceEntry& seen = sim_.trace()[0];
  Bytes want = Hex(cdb, 12);
  want.resize(wide ? 12 : narrow);
  EXPECT_EQ(Bytes(seen.cdb.begin(), seen.cdb.begin() + seen.cdb_length), want);
  EXPECT_EQ(seen.length, transfer);
  // With nothing to transfer the pass-through's DataIn reaches no device (its own test checks it).
  EXPECT_EQ(seen.direction, transfer == 0 && transport == PassThrough ? Dir::kNone : direction);
  if (direction == Dir::kNone || (direction == Dir::kIn && transport == Aspi)) {
    EXPECT_EQ(requests_.at(0).buffer, direction == Dir::kIn ? g_in : nullptr)
        << "ASPI data-in: the caller's buffer";
  }
}

INSTANTIATE_TEST_SUITE_P(AllCommands, CommandSetTest,
                         ::testing::Combine(::testing::Range<size_t>(0, std::size(kCases)),
                                            ::testing::Values<uint8_t>(Aspi, PassThrough),
                                            ::testing::Bool()));

// -1: no completion event (ASPI) or a flash block of
// partial units; -2: no block for the outgoing copy.  None sends anything, and
// the record keeps the previous command's outcome.
class LocalFailureTest : public TransportTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(LocalFailureTest, SendsNothingAndLeavesThePreviousOutcomeInTheRecord) {
  Use(GetParam());
  sim_.RefuseCommand(0, sim::sense::kChecksumError);
  ASSERT_EQ(WriteFlashBlock(drive_, kFF.data(), 2048, 0x8000), 4);
  CommandRecord* const record = LastCommand;
  const CommandRecord before = *record;
  LastCommand = nullptr;
  os_.fail_create_event = 1;  // ASPI (a device that does not open is a system error)
  if (GetParam() == Aspi) {
    EXPECT_EQ(TestUnitReady(drive_), -1);
    EXPECT_EQ(LastCommand, record);
  }
  for (uint32_t length : {1u, 2049u, 4095u, 0x80000801u}) {
    EXPECT_EQ(WriteFlashBlock(drive_, kMix.data(), length, 0x8000), -1);
  }
  drive_.AlignMask = pt_.letter('E').align_mask = 0xFF;  // size plus mask does not fit 32 bits
  EXPECT_EQ(ExecuteCommand(drive_, g_in, 0xFFFFFFF0u, kAA.data(), 10, SRB_DIR_OUT), -2);
  EXPECT_EQ(requests_.size(), 1u);
  EXPECT_EQ(std::memcmp(record, &before, sizeof before), 0);
}

INSTANTIATE_TEST_SUITE_P(Both, LocalFailureTest, ::testing::Values<uint8_t>(Aspi, PassThrough));

TEST(FlashChecksum, IsTheByteSumModulo65536ForEveryLengthAndAlignment) {
  Bytes random(4096 + 64);
  uint32_t seed = 12345;
  for (auto& b : random) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
  for (uint32_t offset = 0; offset < 16; ++offset) {
    for (uint32_t length = 0; length <= 1100; length += (length < 200 ? 1 : 37)) {
      const uint8_t* p = random.data() + offset;
      const auto sum = static_cast<uint16_t>(std::accumulate(p, p + length, 0u));
      ASSERT_EQ(FlashChecksum(p, length), sum) << offset << "+" << length;
      ASSERT_EQ(FlashChecksumPortable(p, length), sum) << offset << "+" << length;
    }
  }
  // Long runs of high bytes: the partial sums must not carry between lanes.
  for (auto [length, fill] : {std::pair<uint32_t, uint8_t>{1u << 20, 0xFF}, {1000003, 0xFE}}) {
    const Bytes data(length, fill);
    const auto sum = static_cast<uint16_t>(uint64_t{length} * fill);
    EXPECT_EQ(FlashChecksum(data.data(), length), sum) << length;
    EXPECT_EQ(FlashChecksumPortable(data.data(), length), sum) << length;
  }
}

// Every failure text, by result code and the status bytes of the record that
// LastCommand designates.
TEST(FailureText, FollowsTheRecordThatLastCommandDesignates) {
  // clang-format off
  const std::tuple<int, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, const char*> cases[] = {
    // One table row stands for its table: the first and the last entry of
    // each, keys beside them, and every rule around the tables (the texts the
    // end-to-end failures show are theirs to check).
    // Request status (code 1); status 4 goes by the vendor sense rule.
    {1, 0x02, 0, 0, 0, 0, 0, "SRB aborted."},
    {1, 0xE6, 0, 0, 0, 0, 0, "Buffer size to big to handle!"},
    {1, 0xE3, 0, 0, 0, 0, 0, ""},
    {1, 0x04, 0, 0, 0x04, 0x40, 0xF6, "Firmware Transfer data error. (Code 04-40-f6)"},
    {1, 0x04, 0, 2, 0x02, 0x40, 0xF6, ""},
    // Adapter status (code 2).
    {2, 0, 0x09, 0, 0, 0, 0, "HA_Status: Timed out while SRB was waiting to be processed."},
    {2, 0, 0x14, 0, 0, 0, 0, "HA_Status: Target bus phase sequence failure."},
    {2, 0, 0x0A, 0, 0, 0, 0, "HA_Status: error"},
    // Target status (code 4); CHECK CONDITION goes by the sense bytes.
    {4, 4, 0, 0x02, 0x09, 0x82, 0x00, "Erase failure. (Code 09-82-00)"},
    {4, 4, 0, 0x02, 0x09, 0x85, 0x01, ""},
    {4, 4, 0, 0x02, 0x04, 0xF5, 0x40, ""},
    {4, 4, 0, 0x02, 0x00, 0x00, 0x00, "No Sense. (Code 00-00-00)"},
    {4, 4, 0, 0x02, 0x00, 0x00, 0x01, ""},
    {4, 4, 0, 0x18, 0x09, 0x85, 0x00, "Target_Status: Reservation Conflict"},
    {4, 4, 0, 0x00, 0x09, 0x85, 0x00, "Target_Status: error"},
    // Local failures, whatever the record says; the system error as a number.
    {-2, 0x01, 0x11, 0x02, 9, 0x85, 0, "Memory allocation failure."},
    {-3, 0xFF, 0xFF, 0xFF, 0, 0, 0, "System error (Win32): Code 16777215\n"},
    // Everything else.
    {3, 0x04, 0x11, 0x02, 9, 0x85, 0, "Unknown Error!"},
    {256 + 1, 0x02, 0, 0, 0, 0, 0, "Unknown Error!"},
  };
  // clang-format on
  for (const auto& [code, srb, ha, targ, key, asc, ascq, want] : cases) {
    // The two records disagree: only the designated one may be read.
    for (CommandRecord* designated : {&AspiExecBlock, &PassThroughResult}) {
      std::memset(designated == &AspiExecBlock ? &PassThroughResult : &AspiExecBlock, 0x77,
                  sizeof(CommandRecord));
      std::memset(designated, 0, sizeof *designated);
      designated->SRB_Status = srb, designated->SRB_HaStat = ha, designated->SRB_TargStat = targ;
      designated->SenseArea[2] = key, designated->SenseArea[12] = asc;
      designated->SenseArea[13] = ascq;
      LastCommand = designated;
      std::string text = "left over from before";
      DescribeFailure(code, text);
      EXPECT_EQ(text, want) << code << " " << int{srb} << " " << int{targ} << " " << int{key};
    }
  }
  ResetTransportState();
}

}  // namespace
