// The NT pass-through path: device open and its fallback, the capabilities
// mask, the request block as the system receives it, and how the outcome is
// recorded.
#include <numeric>

#include "transport_fixture.h"

namespace {

using namespace testing_transport;

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
    pt_.letter('E').refuse_read_write = usable < 2;
    pt_.letter('E').refuse_read = usable == 0;
    EXPECT_EQ(TestUnitReady(drive_), usable ? 0 : -1);
    const auto opens = pt_.opens();
    ASSERT_EQ(opens.size() - before, usable == 2 ? 1u : 2u);
    EXPECT_EQ(opens[before].access, plat::kGenericRead | plat::kGenericWrite);
    EXPECT_EQ(opens.back().access, usable == 2 ? opens[before].access : plat::kGenericRead);
  }
  EXPECT_EQ(requests_.size(), 2u);
}

TEST_F(PassThroughTest, RequestBlockHasTheFixedFieldsAndTheCommand) {
  uint8_t data[64] = {};
  ASSERT_EQ(Send(SRB_DIR_IN, data, 36, "12 00 00 00 24 00 77"), 0);  // 77: past the CDB
  Seen seen = requests_.at(0);
  EXPECT_EQ(seen.buffer, data) << "DataBuffer: the caller's";
  std::fill_n(&seen.bytes[20], 4, 0);
  // Length 44, TargetId 1, CdbLength 6, SenseInfoLength 32, DataIn 1,
  // DataTransferLength 36, TimeOutValue 10, SenseInfoOffset 48, the CDB.
  EXPECT_EQ(seen.bytes,
            Hex("2C 00 00 00 01 00 06 20 01 @12 24 @16 0A @24 30 @28 12 00 00 00 24", 80));
}

// Outgoing data travels in a copy aligned to the adapter's mask, or unaligned
// when the capabilities query fails (whatever it left in its reply).
TEST_F(PassThroughTest, OutgoingCopyFollowsTheCapabilitiesMask) {
  Bytes data = Hex("5A A5 3C @4095 C3");
  for (bool known : {true, false}) {
    pt_.letter('E').capabilities_fail = !known;
    pt_.letter('E').align_mask = known ? 0x1FF : 0;
    ASSERT_EQ(Send(SRB_DIR_OUT, data.data(), 4096), 0);
    const Seen& seen = requests_.back();
    EXPECT_EQ(seen.bytes[8], 0) << "DataIn: out";
    EXPECT_NE(seen.buffer, data.data());
    EXPECT_EQ(seen.data_out, data);
    EXPECT_TRUE(!known || (reinterpret_cast<uintptr_t>(seen.buffer) & 0x1FF) == 0);
  }
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
  struct {
    uint32_t win32_error;  // 0: the request succeeds
    uint8_t scsi_status, sense_key;
    int result;
    uint8_t srb_status, ha_stat, targ_stat;  // record bytes 1, 22, 23 afterwards
  } cases[] = {
      {0, 0, 0, 0, 0x5A, 0x5A, 0}, {0, 0, 5, 0, 0x5A, 0x5A, 0},
      {0, 2, 0, 4, 0x5A, 0x5A, 2}, {0, 8, 0, 4, 0x5A, 0x5A, 8},
      {0, 2, 5, 4, 0x5A, 0x5A, 2}, {31, 0, 0x20, 4, 0x5A, 0x5A, 0},
      {31, 0, 0, -3, 31, 0, 0},    {0x12345678, 2, 0, -3, 0x78, 0x56, 0x34},
  };
  for (const auto& c : cases) {
    std::memset(&PassThroughResult, 0x5A, sizeof PassThroughResult);
    sim_.ClearFaults();
    const uint32_t n = sim_.command_count();
    const bool answers = c.scsi_status != 0 || c.sense_key != 0;
    const sim::Sense sense{c.sense_key, static_cast<uint8_t>(c.sense_key ? 0x3A : 0),
                           static_cast<uint8_t>(c.sense_key ? 0x01 : 0)};
    if (answers) sim_.RefuseCommand(n, sense, c.scsi_status);
    if (c.win32_error != 0) sim_.FailCommand(n, {0, 0, c.win32_error, answers});
    EXPECT_EQ(Send(SRB_EVENT_NOTIFY, nullptr, 0, "00 01 02 03 04 05"), c.result);
    EXPECT_EQ(LastCommand, &PassThroughResult);
    // Status bytes, the CDB length and CDB, sense bytes 0-13; nothing else.
    Bytes want(80, 0x5A);
    want[1] = c.srb_status;
    want[21] = 6;
    want[22] = c.ha_stat;
    want[23] = c.targ_stat;
    std::iota(&want[48], &want[54], 0);
    // Fixed-format sense where the drive gives one (CHECK CONDITION, or a
    // key); none with a plain BUSY or RESERVATION CONFLICT, as without autosense.
    const bool has_sense = c.scsi_status == sim::kCheckCondition || c.sense_key != 0;
    const std::vector<uint8_t> bytes =
        has_sense ? sim::BuildFixedSense(sense) : std::vector<uint8_t>(14, 0);
    std::copy_n(bytes.begin(), 14, &want[64]);
    const auto* record = reinterpret_cast<const uint8_t*>(&PassThroughResult);
    EXPECT_EQ(Bytes(record, record + 80), want) << c.win32_error;
  }
}

}  // namespace
