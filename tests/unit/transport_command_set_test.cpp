// The seven drive commands, byte for byte, as each transport hands them to the
// device: CDB bytes and length in both CDB widths, transfer length, direction
// and which buffer travels; and the flash block checksum.
#include <numeric>
#include <tuple>

#include "package/package.h"
#include "transport/failure_text.h"
#include "transport_fixture.h"

namespace {

using namespace testing_transport;
using D = const DriveRecord&;

uint8_t* In() {
  static uint8_t buffer[0x10000];
  return buffer;
}
const Bytes kFF(2048, 0xFF);                      // sum 0xF800
const Bytes kMix = Hex("FF FF FF FF 35", 32768);  // sum 0x0431
const Bytes kAA(16, 0xAA);
int ExternalInquiry(D d) {
  UpdatePackage.ExternalInquiry = 1;
  const int result = Inquiry(d, In(), 36);
  UpdatePackage.ExternalInquiry = 0;
  return result;
}

constexpr uint8_t kIn = SRB_DIR_IN, kOut = SRB_DIR_OUT, kNone = SRB_EVENT_NOTIFY;
#define CALL(call) [](D d) { return call; }
struct CdbCase {
  int (*run)(D);
  const char* cdb;  // the 12-byte form (zero padded); its first `narrow` bytes when UsesCdb12 is 0
  uint8_t narrow, direction;
  uint32_t transfer;
};
// clang-format off
const CdbCase kCases[] = {
    {CALL(Inquiry(d, In(), 0x10120)), "12 00 00 00 20", 6, kIn, 0x120},
    {ExternalInquiry, "13 00 00 00 24", 6, kIn, 36},
    {CALL(TestUnitReady(d)), "00", 6, kNone, 0},
    {CALL(StartStopUnit(d, 2, 0)), "1B 00 00 00 02", 6, kNone, 0},
    {CALL(StartStopUnit(d, 7, 3)), "1B 01 00 00 03", 6, kNone, 0},
    {CALL(ReadDriveMemory(d, In(), 16, 0xF8048)), "F5 00 00 00 00 0F 80 48 00 10", 12, kIn, 16},
    {CALL(ReadDriveMemory(d, In(), 0x12345, 0xDEADBEEF)),
     "F5 00 00 00 DE AD BE EF 23 45", 12, kIn, 0x2345},
    {CALL(FlashControl(d, 0x0F, 0x00)), "F5 00 00 00 00 00 00 0F 00", 10, kNone, 0},
    {CALL(FlashControl(d, 0x00, 0x3F)), "F5 00 00 00 00 00 00 00 3F", 10, kNone, 0},
    {CALL(SetDownloadMode(d, 2)), "F6 02", 10, kNone, 0},
    {CALL(SetDownloadMode(d, 0)), "F6 00", 10, kNone, 0},
    {CALL(WriteFlashBlock(d, kFF.data(), 2048, 0x8000)),
     "EA 00 00 00 80 00 00 00 01 F8", 10, kOut, 2048},
    {CALL(WriteFlashBlock(d, kMix.data(), 32768, 0x10000)),
     "EA 00 00 01 00 00 00 00 10 04 31", 10, kOut, 32768},
    {CALL(WriteFlashBlock(d, nullptr, 0, 0x12345678)), "EA 00 12 34 56 78", 10, kOut, 0},
    // ExecuteCommand itself sends 12 bytes to a drive that uses them, whatever it is given.
    {CALL(ExecuteCommand(d, nullptr, 0, kAA.data(), 6, kNone)),
     "AA AA AA AA AA AA AA AA AA AA AA AA", 6, kNone, 0}};
// clang-format on
#undef CALL

class CommandSetTest : public TransportTest,
                       public ::testing::WithParamInterface<std::tuple<size_t, uint8_t, bool>> {};

TEST_P(CommandSetTest, SendsTheCdbLengthAndBufferTheDriveExpects) {
  const auto [index, transport, wide] = GetParam();
  const CdbCase& c = kCases[index];
  Use(transport);
  drive_.UsesCdb12 = wide;
  c.run(drive_);  // whatever the drive makes of it
  ASSERT_EQ(requests_.size(), 1u);
  const Seen& seen = requests_[0];
  const bool aspi = transport == Aspi;  // where the transport keeps the CDB and its length

  Bytes want = Hex(c.cdb, 12);
  want.resize(wide ? 12 : c.narrow);
  EXPECT_EQ(seen.bytes[aspi ? 21 : 6], want.size());
  ASSERT_EQ(LastCommand, aspi ? &AspiExecBlock : &PassThroughResult);
  EXPECT_EQ(Bytes(LastCommand->CDBByte, LastCommand->CDBByte + want.size()), want);
  want.resize(16);  // nothing past the CDB length
  EXPECT_EQ(Bytes(&seen.bytes[aspi ? 48 : 28], &seen.bytes[aspi ? 64 : 44]), want);
  EXPECT_EQ(Le32(&seen.bytes[12]), c.transfer);
  const int pass_through_dir = c.direction == kIn ? 1 : c.direction == kOut ? 0 : 2;
  EXPECT_EQ(seen.bytes[aspi ? 3 : 8], aspi ? c.direction | kNone : pass_through_dir);
  if (c.direction != kOut) {
    EXPECT_EQ(seen.buffer, c.direction == kIn ? In() : nullptr) << "data-in: the caller's buffer";
  }
}

INSTANTIATE_TEST_SUITE_P(AllCommands, CommandSetTest,
                         ::testing::Combine(::testing::Range<size_t>(0, std::size(kCases)),
                                            ::testing::Values<uint8_t>(Aspi, PassThrough),
                                            ::testing::Bool()));

TEST_F(TransportTest, FlashBlockOfPartialUnitsIsRefusedUnsent) {
  Use(PassThrough);
  for (uint32_t length : {1u, 2049u, 4095u, 0x80000801u}) {
    EXPECT_EQ(WriteFlashBlock(drive_, kMix.data(), length, 0x8000), -1);
  }
  EXPECT_TRUE(requests_.empty() && pt_.opens().empty());
  EXPECT_EQ(LastCommand, &AspiExecBlock);
}

// -1: no completion event (ASPI) or no device (pass-through); -2: no block for
// the outgoing copy.  Neither sends anything; the record designated first
// keeps the previous command's outcome.
class LocalFailureTest : public TransportTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(LocalFailureTest, SendsNothingAndLeavesThePreviousOutcomeInTheRecord) {
  Use(GetParam());
  sim_.RefuseCommand(0, sim::sense::kChecksumError);
  ASSERT_EQ(WriteFlashBlock(drive_, kFF.data(), 2048, 0x8000), 4);
  CommandRecord* const record = LastCommand;
  const CommandRecord before = *record;
  LastCommand = nullptr;
  os_.fail_create_event = 1;
  pt_.letter('E').refuse_read = true;
  EXPECT_EQ(TestUnitReady(drive_), -1);
  EXPECT_EQ(LastCommand, record);
  pt_.letter('E').refuse_read = false;
  drive_.AlignMask = pt_.letter('E').align_mask = 0xFF;  // size plus mask does not fit 32 bits
  EXPECT_EQ(ExecuteCommand(drive_, In(), 0xFFFFFFF0u, kAA.data(), 10, kOut), -2);
  EXPECT_EQ(requests_.size(), 1u);
  EXPECT_EQ(std::memcmp(record, &before, sizeof before), 0);
  std::string text;
  DescribeFailure(4, text);
  EXPECT_EQ(text, "Flash rom check sum error. (Code 09-86-00)") << "still the earlier refusal";
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

}  // namespace
