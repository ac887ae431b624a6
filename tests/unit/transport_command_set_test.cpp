// The seven drive commands, byte for byte, as the drive receives them through
// each transport: CDB bytes and length in both CDB widths, transfer length,
// direction and which buffer travels; and the flash block checksum.
#include <numeric>
#include <tuple>

#include "package/package.h"
#include "transport_fixture.h"

namespace {

using namespace testing_transport;
using D = const DriveRecord&;
using Dir = sim::Direction;

uint8_t* In() {
  static uint8_t buffer[0x10000];
  return buffer;
}
const Bytes kFF(2048, 0xFF);
const Bytes kMix = Hex("FF FF FF FF 35", 32768);  // sum 0x0431
const Bytes kAA(16, 0xAA);
int ExternalInquiry(D d) {
  UpdatePackage.ExternalInquiry = 1;
  const int result = Inquiry(d, In(), 36);
  UpdatePackage.ExternalInquiry = 0;
  return result;
}

#define CALL(call) [](D d) { return call; }
struct CdbCase {
  int (*run)(D);
  const char* cdb;  // the 12-byte form (zero padded); its first `narrow` bytes when UsesCdb12 is 0
  uint8_t narrow;
  Dir direction;
  uint32_t transfer;
};
// clang-format off
const CdbCase kCases[] = {
    {CALL(Inquiry(d, In(), 0x10120)), "12 00 00 00 20", 6, Dir::kIn, 0x120},
    {ExternalInquiry, "13 00 00 00 24", 6, Dir::kIn, 36},
    {CALL(TestUnitReady(d)), "00", 6, Dir::kNone, 0},
    {CALL(StartStopUnit(d, 7, 3)), "1B 01 00 00 03", 6, Dir::kNone, 0},
    {CALL(ReadDriveMemory(d, In(), 0x12345, 0xDEADBEEF)),
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
  const CdbCase& c = kCases[index];
  Use(transport);
  drive_.UsesCdb12 = wide;
  c.run(drive_);  // whatever the drive makes of it
  ASSERT_EQ(sim_.trace().size(), 1u);
  const sim::TraceEntry& seen = sim_.trace()[0];
  Bytes want = Hex(c.cdb, 12);
  want.resize(wide ? 12 : c.narrow);
  EXPECT_EQ(Bytes(seen.cdb.begin(), seen.cdb.begin() + seen.cdb_length), want);
  EXPECT_EQ(seen.length, c.transfer);
  // With nothing to transfer the pass-through's DataIn reaches no device (its own test checks it).
  EXPECT_EQ(seen.direction, c.transfer == 0 && transport == PassThrough ? Dir::kNone : c.direction);
  if (c.direction != Dir::kOut) {
    EXPECT_EQ(requests_.at(0).buffer, c.direction == Dir::kIn ? In() : nullptr)
        << "data-in: the caller's buffer";
  }
}

INSTANTIATE_TEST_SUITE_P(AllCommands, CommandSetTest,
                         ::testing::Combine(::testing::Range<size_t>(0, std::size(kCases)),
                                            ::testing::Values<uint8_t>(Aspi, PassThrough),
                                            ::testing::Bool()));

// -1: no completion event (ASPI), no device (pass-through) or a flash block of
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
  os_.fail_create_event = 1;
  pt_.letter('E').refuse_read = true;
  EXPECT_EQ(TestUnitReady(drive_), -1);
  EXPECT_EQ(LastCommand, record);
  pt_.letter('E').refuse_read = false;
  for (uint32_t length : {1u, 2049u, 4095u, 0x80000801u}) {
    EXPECT_EQ(WriteFlashBlock(drive_, kMix.data(), length, 0x8000), -1);
  }
  drive_.AlignMask = pt_.letter('E').align_mask = 0xFF;  // size plus mask does not fit 32 bits
  EXPECT_EQ(ExecuteCommand(drive_, In(), 0xFFFFFFF0u, kAA.data(), 10, SRB_DIR_OUT), -2);
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

}  // namespace
