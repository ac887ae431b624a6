// The seven drive commands, byte for byte, as each transport hands them to the
// device: CDB bytes and length in both CDB widths, transfer length, direction
// and which buffer travels.
#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <tuple>
#include <vector>

#include "package/package.h"
#include "transport_doubles.h"

namespace {

using testing_transport::AspiDouble;
using testing_transport::Le32;
using testing_transport::PassThroughDouble;
using testing_transport::Seen;

using Bytes = std::vector<uint8_t>;

std::vector<uint8_t>& InBuffer() {
  static std::vector<uint8_t> buffer(0x20000);
  return buffer;
}

Bytes Filled(size_t length, std::function<uint8_t(size_t)> byte) {
  Bytes out(length);
  for (size_t i = 0; i < length; ++i) out[i] = byte(i);
  return out;
}

// 2048 bytes whose byte sum is 0x1234: both checksum bytes non-zero.
const Bytes& SumIs1234() {
  static const Bytes data = [] {
    Bytes d(2048, 0);
    for (int i = 0; i < 18; ++i) d[i] = 0xFF;  // 4590
    d[18] = 70;                                // + 70 = 4660 = 0x1234
    return d;
  }();
  return data;
}
const Bytes& AllFf2048() {
  static const Bytes data(2048, 0xFF);
  return data;
}
const Bytes& Ramp32k() {  // 128 x (0 + ... + 255) = 0x3FC000
  static const Bytes data = Filled(32768, [](size_t i) { return static_cast<uint8_t>(i); });
  return data;
}

struct CdbCase {
  const char* name;
  std::function<int(const DriveRecord&)> run;
  uint8_t external_inquiry;
  Bytes narrow;  // the CDB as sent to a drive with UsesCdb12 0 (its length is the CDB length)
  Bytes wide;    // the 12 bytes sent to a drive with UsesCdb12 1
  uint8_t direction;
  uint32_t transfer;
  const Bytes* data_out;  // expected outgoing data
};

const std::vector<CdbCase>& Cases() {
  static const std::vector<CdbCase> cases = {
      {"Inquiry36",
       [](const DriveRecord& d) { return Inquiry(d, InBuffer().data(), 36); },
       0,
       {0x12, 0, 0, 0, 0x24, 0},
       {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0},
       SRB_DIR_IN,
       36,
       nullptr},
      {"InquiryLengthAbove255",
       [](const DriveRecord& d) { return Inquiry(d, InBuffer().data(), 0x124); },
       0,
       {0x12, 0, 0, 0, 0x24, 0},
       {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0},
       SRB_DIR_IN,
       0x124,
       nullptr},
      {"InquiryLengthAbove16Bits",
       [](const DriveRecord& d) { return Inquiry(d, InBuffer().data(), 0x10024); },
       0,
       {0x12, 0, 0, 0, 0x24, 0},
       {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0},
       SRB_DIR_IN,
       0x24,
       nullptr},
      {"InquiryExternalDrive",
       [](const DriveRecord& d) { return Inquiry(d, InBuffer().data(), 36); },
       1,
       {0x13, 0, 0, 0, 0x24, 0},
       {0x13, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0},
       SRB_DIR_IN,
       36,
       nullptr},
      {"TestUnitReady", [](const DriveRecord& d) { return TestUnitReady(d); }, 0, Bytes(6, 0),
       Bytes(12, 0), SRB_EVENT_NOTIFY, 0, nullptr},
      {"StartStopUnitEject",
       [](const DriveRecord& d) { return StartStopUnit(d, 2, 0); },
       0,
       {0x1B, 0, 0, 0, 0x02, 0},
       {0x1B, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0},
       SRB_EVENT_NOTIFY,
       0,
       nullptr},
      {"StartStopUnitOnlyDefinedBits",
       [](const DriveRecord& d) { return StartStopUnit(d, 0xFF, 0xFF); },
       0,
       {0x1B, 0x01, 0, 0, 0x03, 0},
       {0x1B, 0x01, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0},
       SRB_EVENT_NOTIFY,
       0,
       nullptr},
      {"ReadDriveMemoryBoardVersion",
       [](const DriveRecord& d) { return ReadDriveMemory(d, InBuffer().data(), 16, 0xF8048); },
       0,
       {0xF5, 0, 0, 0, 0x00, 0x0F, 0x80, 0x48, 0x00, 0x10, 0, 0},
       {0xF5, 0, 0, 0, 0x00, 0x0F, 0x80, 0x48, 0x00, 0x10, 0, 0},
       SRB_DIR_IN,
       16,
       nullptr},
      {"ReadDriveMemoryWideFields",
       [](const DriveRecord& d) {
         return ReadDriveMemory(d, InBuffer().data(), 0x12345, 0xDEADBEEF);
       },
       0,
       {0xF5, 0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF, 0x23, 0x45, 0, 0},
       {0xF5, 0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF, 0x23, 0x45, 0, 0},
       SRB_DIR_IN,
       0x2345,
       nullptr},
      {"FlashControlAfterBoot",
       [](const DriveRecord& d) { return FlashControl(d, 0x0F, 0x00); },
       0,
       {0xF5, 0, 0, 0, 0, 0, 0, 0x0F, 0x00, 0},
       {0xF5, 0, 0, 0, 0, 0, 0, 0x0F, 0x00, 0, 0, 0},
       SRB_EVENT_NOTIFY,
       0,
       nullptr},
      {"FlashControlAfterMain",
       [](const DriveRecord& d) { return FlashControl(d, 0x00, 0x3F); },
       0,
       {0xF5, 0, 0, 0, 0, 0, 0, 0x00, 0x3F, 0},
       {0xF5, 0, 0, 0, 0, 0, 0, 0x00, 0x3F, 0, 0, 0},
       SRB_EVENT_NOTIFY,
       0,
       nullptr},
      {"SetDownloadModeOn",
       [](const DriveRecord& d) { return SetDownloadMode(d, 2); },
       0,
       {0xF6, 0x02, 0, 0, 0, 0, 0, 0, 0, 0},
       {0xF6, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       SRB_EVENT_NOTIFY,
       0,
       nullptr},
      {"SetDownloadModeOff", [](const DriveRecord& d) { return SetDownloadMode(d, 0); }, 0,
       Bytes{0xF6, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Bytes{0xF6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       SRB_EVENT_NOTIFY, 0, nullptr},
      // 2048 x 0xFF = 0xF800: the low checksum byte travels only in 12 bytes.
      {"WriteFlashBlockAllErased",
       [](const DriveRecord& d) { return WriteFlashBlock(d, AllFf2048().data(), 2048, 0x8000); },
       0,
       {0xEA, 0, 0x00, 0x00, 0x80, 0x00, 0, 0x00, 0x01, 0xF8},
       {0xEA, 0, 0x00, 0x00, 0x80, 0x00, 0, 0x00, 0x01, 0xF8, 0x00, 0},
       SRB_DIR_OUT,
       2048,
       &AllFf2048()},
      {"WriteFlashBlockBothChecksumBytes",
       [](const DriveRecord& d) { return WriteFlashBlock(d, SumIs1234().data(), 2048, 0x58000); },
       0,
       {0xEA, 0, 0x00, 0x05, 0x80, 0x00, 0, 0x00, 0x01, 0x12},
       {0xEA, 0, 0x00, 0x05, 0x80, 0x00, 0, 0x00, 0x01, 0x12, 0x34, 0},
       SRB_DIR_OUT,
       2048,
       &SumIs1234()},
      {"WriteFlashBlockMainBlock",
       [](const DriveRecord& d) { return WriteFlashBlock(d, Ramp32k().data(), 32768, 0x10000); },
       0,
       {0xEA, 0, 0x00, 0x01, 0x00, 0x00, 0, 0x00, 0x10, 0xC0},
       {0xEA, 0, 0x00, 0x01, 0x00, 0x00, 0, 0x00, 0x10, 0xC0, 0x00, 0},
       SRB_DIR_OUT,
       32768,
       &Ramp32k()},
      {"WriteFlashBlockEmpty",
       [](const DriveRecord& d) { return WriteFlashBlock(d, nullptr, 0, 0x12345678); },
       0,
       {0xEA, 0, 0x12, 0x34, 0x56, 0x78, 0, 0, 0, 0},
       {0xEA, 0, 0x12, 0x34, 0x56, 0x78, 0, 0, 0, 0, 0, 0},
       SRB_DIR_OUT,
       0,
       nullptr},
  };
  return cases;
}

class TransportTest : public ::testing::Test {
 protected:
  void Use(uint8_t transport) {
    ResetTransportState();
    TransportKind = transport;
    if (transport == Aspi) {
      ASSERT_EQ(LoadAspiLibrary(), 1);
    }
    drive_.AdapterId = 2;
    drive_.TargetId = 3;
    drive_.DriveLetter[0] = 'E';
  }
  void TearDown() override {
    UpdatePackage.ExternalInquiry = 0;
    ResetTransportState();
  }
  // The request the device saw last, whichever transport.
  const Seen* LastSeen(uint8_t transport) const {
    const auto& list = transport == Aspi ? aspi_.exec : pass_through_.requests;
    return list.empty() ? nullptr : &list.back();
  }
  size_t SentCount() const { return aspi_.exec.size() + pass_through_.requests.size(); }

  FakePlatform os_;
  AspiDouble aspi_{os_};
  PassThroughDouble pass_through_{os_};
  DriveRecord drive_{};
};

class CommandSetTest : public TransportTest,
                       public ::testing::WithParamInterface<std::tuple<size_t, uint8_t, bool>> {};

TEST_P(CommandSetTest, SendsTheCdbLengthAndBufferTheDriveExpects) {
  const auto [index, transport, wide] = GetParam();
  const CdbCase& c = Cases()[index];
  Use(transport);
  drive_.UsesCdb12 = wide ? 1 : 0;
  UpdatePackage.ExternalInquiry = c.external_inquiry;

  ASSERT_EQ(c.run(drive_), 0);
  ASSERT_EQ(SentCount(), 1u);
  const Seen& seen = *LastSeen(transport);
  const Bytes& expected = wide ? c.wide : c.narrow;

  // Where each transport carries the CDB, its length, the transfer length and
  // the direction.
  const bool aspi = transport == Aspi;
  const uint8_t* cdb = &seen.bytes[aspi ? 48 : 28];
  const uint8_t cdb_length = seen.bytes[aspi ? 21 : 6];
  EXPECT_EQ(Bytes(cdb, cdb + cdb_length), expected);
  EXPECT_EQ(Bytes(cdb + expected.size(), cdb + 16), Bytes(16 - expected.size(), 0))
      << "bytes past the CDB length";
  EXPECT_EQ(Le32(&seen.bytes[12]), c.transfer);
  if (aspi) {
    EXPECT_EQ(seen.bytes[3], c.direction | SRB_EVENT_NOTIFY);
  } else {
    const uint8_t data_in = c.direction == SRB_DIR_IN ? 1 : c.direction == SRB_DIR_OUT ? 0 : 2;
    EXPECT_EQ(seen.bytes[8], data_in);
  }
  switch (c.direction) {
    case SRB_DIR_IN:
      EXPECT_EQ(seen.buffer, InBuffer().data()) << "data-in lands in the caller's buffer";
      break;
    case SRB_DIR_OUT:
      EXPECT_NE(seen.buffer, nullptr);
      if (c.data_out != nullptr) {
        EXPECT_NE(seen.buffer, c.data_out->data()) << "outgoing data travels in a copy";
        EXPECT_TRUE(seen.data_out == *c.data_out);
      }
      break;
    default:
      EXPECT_EQ(seen.buffer, nullptr);
  }

  // Both transports leave the CDB in the record the failure texts read.
  ASSERT_EQ(LastCommand, aspi ? &AspiExecBlock : &PassThroughResult);
  EXPECT_EQ(LastCommand->SRB_CDBLen, expected.size());
  EXPECT_EQ(Bytes(LastCommand->CDBByte, LastCommand->CDBByte + expected.size()), expected);
}

INSTANTIATE_TEST_SUITE_P(AllCommands, CommandSetTest,
                         ::testing::Combine(::testing::Range<size_t>(0, Cases().size()),
                                            ::testing::Values<uint8_t>(Aspi, PassThrough),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<CommandSetTest::ParamType>& info) {
                           return std::string(Cases()[std::get<0>(info.param)].name) +
                                  (std::get<1>(info.param) == Aspi ? "_Aspi" : "_PassThrough") +
                                  (std::get<2>(info.param) ? "_Cdb12" : "_Cdb10or6");
                         });

// A flash block that is not whole 2048-byte units is refused before anything
// reaches the drive or the record.
class FlashBlockLengthTest : public TransportTest,
                             public ::testing::WithParamInterface<std::tuple<uint32_t, uint8_t>> {};

TEST_P(FlashBlockLengthTest, PartialUnitIsRefusedUnsent) {
  const auto [length, transport] = GetParam();
  Use(transport);
  static const Bytes data(8192, 0x11);
  std::memset(&AspiExecBlock, 0x5A, sizeof AspiExecBlock);
  std::memset(&PassThroughResult, 0xA5, sizeof PassThroughResult);
  const CommandRecord aspi_before = AspiExecBlock, pt_before = PassThroughResult;
  CommandRecord* const last_before = LastCommand;

  EXPECT_EQ(WriteFlashBlock(drive_, data.data(), length, 0x8000), -1);
  EXPECT_EQ(SentCount(), 0u);
  EXPECT_TRUE(pass_through_.opens.empty());
  EXPECT_EQ(LastCommand, last_before);
  EXPECT_EQ(std::memcmp(&AspiExecBlock, &aspi_before, 80), 0);
  EXPECT_EQ(std::memcmp(&PassThroughResult, &pt_before, 80), 0);
}

INSTANTIATE_TEST_SUITE_P(Lengths, FlashBlockLengthTest,
                         ::testing::Combine(::testing::Values(1u, 2047u, 2049u, 4095u, 6143u,
                                                              0x80000800u | 1u),
                                            ::testing::Values<uint8_t>(Aspi, PassThrough)));

TEST(FlashChecksum, MatchesTheByteSumModulo65536ForEveryLengthAndAlignment) {
  std::vector<uint8_t> data(4096 + 64);
  uint32_t seed = 12345;
  for (auto& b : data) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
  for (uint32_t offset = 0; offset < 16; ++offset) {
    for (uint32_t length = 0; length <= 1100; length += (length < 200 ? 1 : 37)) {
      const uint8_t* p = data.data() + offset;
      const uint16_t reference =
          static_cast<uint16_t>(std::accumulate(p, p + length, 0u));  // bytes as unsigned
      ASSERT_EQ(FlashChecksum(p, length), reference) << offset << "+" << length;
      ASSERT_EQ(FlashChecksumPortable(p, length), reference) << offset << "+" << length;
    }
  }
}

TEST(FlashChecksum, LongRunsOfHighBytesDoNotCarryBetweenLanes) {
  struct Vector {
    uint32_t length;
    uint8_t fill;
    uint16_t sum;
  };
  for (const Vector& v :
       {Vector{2048, 0xFF, 0xF800}, Vector{32768, 0xFF, 0x8000}, Vector{1u << 20, 0xFF, 0x0000},
        Vector{1000003, 0xFE, 0xBE7A}, Vector{0, 0xFF, 0}}) {
    std::vector<uint8_t> data(v.length, v.fill);
    const uint16_t reference = static_cast<uint16_t>(uint64_t{v.length} * v.fill);
    ASSERT_EQ(reference, v.sum) << "vector " << v.length;
    EXPECT_EQ(FlashChecksum(data.data(), v.length), v.sum) << v.length;
    EXPECT_EQ(FlashChecksumPortable(data.data(), v.length), v.sum) << v.length;
  }
}

}  // namespace
