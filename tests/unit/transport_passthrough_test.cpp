// The NT pass-through path: device open and its fallback, the capabilities
// mask, the request block as the system receives it, and how the outcome is
// recorded.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport_doubles.h"

namespace {

using testing_transport::Le16;
using testing_transport::Le32;
using testing_transport::PassThroughDouble;
using testing_transport::Reply;
using testing_transport::Seen;

constexpr uint32_t kReadWrite = plat::kGenericRead | plat::kGenericWrite;

class PassThroughTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTransportState();
    TransportKind = PassThrough;
    drive_.DriveLetter[0] = 'E';
    // ASPI addressing is not used on this path.
    drive_.AdapterId = 7;
    drive_.TargetId = 6;
    drive_.Lun = 5;
    drive_.AlignMask = 0xFFF;
  }
  void TearDown() override { ResetTransportState(); }

  int Send(uint8_t direction, void* data, uint32_t length, std::vector<uint8_t> cdb = {0x00}) {
    cdb.resize(16);
    return ExecuteCommand(drive_, data, length, cdb.data(), 6, direction);
  }
  // Fills the record with a marker so that untouched fields can be told apart.
  static void MarkRecord() { std::memset(&PassThroughResult, 0x5A, sizeof PassThroughResult); }
  // The record's bytes other than the listed offsets still hold the marker.
  static void ExpectMarkedExcept(std::vector<size_t> written) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&PassThroughResult);
    for (size_t i = 0; i < 80; ++i) {
      if (std::find(written.begin(), written.end(), i) != written.end()) continue;
      EXPECT_EQ(bytes[i], 0x5A) << "record byte " << i << " was changed";
    }
  }

  FakePlatform os_;
  PassThroughDouble device_{os_};
  DriveRecord drive_{};
};

TEST_F(PassThroughTest, OpensTheDriveLetterDeviceReadWriteThenReadOnly) {
  struct Case {
    const char* name;
    bool read_write, read_only;
    std::vector<uint32_t> opens;
    int result, requests, closes;
  };
  for (const Case& c :
       {Case{"read-write", true, true, {kReadWrite}, 0, 1, 1},
        Case{"read-only fallback", false, true, {kReadWrite, plat::kGenericRead}, 0, 1, 1},
        Case{"no device", false, false, {kReadWrite, plat::kGenericRead}, -1, 0, 0}}) {
    SCOPED_TRACE(c.name);
    device_.opens.clear();
    device_.requests.clear();
    device_.closes = 0;
    device_.open_read_write = c.read_write;
    device_.open_read_only = c.read_only;
    EXPECT_EQ(TestUnitReady(drive_), c.result);
    std::vector<uint32_t> access;
    for (const auto& [name, rights] : device_.opens) {
      EXPECT_EQ(name, "\\\\.\\E:");
      access.push_back(rights);
    }
    EXPECT_EQ(access, c.opens);
    EXPECT_EQ(static_cast<int>(device_.requests.size()), c.requests);
    EXPECT_EQ(device_.closes, c.closes);
  }
}

TEST_F(PassThroughTest, RequestBlockHasTheFixedFieldsAndTheCommand) {
  uint8_t data[64] = {};
  std::vector<uint8_t> cdb = {0x12, 0, 0, 0, 0x24, 0};
  ASSERT_EQ(Send(SRB_DIR_IN, data, 36, cdb), 0);
  ASSERT_EQ(device_.requests.size(), 1u);
  const auto& b = device_.requests[0].bytes;
  EXPECT_EQ(Le16(&b[0]), 44) << "Length";
  EXPECT_EQ(b[2], 0) << "ScsiStatus";
  EXPECT_EQ(b[3], 0) << "PathId";
  EXPECT_EQ(b[4], 1) << "TargetId";
  EXPECT_EQ(b[5], 0) << "Lun";
  EXPECT_EQ(b[6], 6) << "CdbLength";
  EXPECT_EQ(b[7], 32) << "SenseInfoLength";
  EXPECT_EQ(b[8], 1) << "DataIn";
  EXPECT_EQ(b[9] | b[10] | b[11], 0);
  EXPECT_EQ(Le32(&b[12]), 36u) << "DataTransferLength";
  EXPECT_EQ(Le32(&b[16]), 10u) << "TimeOutValue";
  EXPECT_EQ(device_.requests[0].buffer, data) << "DataBuffer: the caller's";
  EXPECT_EQ(Le32(&b[24]), 48u) << "SenseInfoOffset";
  cdb.resize(16);
  EXPECT_EQ(std::vector<uint8_t>(&b[28], &b[44]), cdb);
  EXPECT_EQ(std::vector<uint8_t>(&b[44], &b[80]), std::vector<uint8_t>(36, 0));
  EXPECT_TRUE(device_.capabilities_arrived_clear);
}

TEST_F(PassThroughTest, TwelveByteDriveGetsTwelveCdbBytes) {
  drive_.UsesCdb12 = 1;
  uint8_t cdb[16];
  std::memset(cdb, 0xAA, sizeof cdb);
  ASSERT_EQ(ExecuteCommand(drive_, nullptr, 0, cdb, 6, SRB_EVENT_NOTIFY), 0);
  const auto& b = device_.requests[0].bytes;
  EXPECT_EQ(b[6], 12);
  EXPECT_EQ(std::vector<uint8_t>(&b[28], &b[40]), std::vector<uint8_t>(12, 0xAA));
  EXPECT_EQ(std::vector<uint8_t>(&b[40], &b[44]), std::vector<uint8_t>(4, 0));
  EXPECT_EQ(PassThroughResult.SRB_CDBLen, 12);
}

TEST_F(PassThroughTest, DirectionBitsChooseDataInAndTheBuffer) {
  device_.alignment_mask = 0x1FF;
  enum Buffer { kCallers, kAlignedCopy };
  struct Case {
    uint8_t direction, data_in;
    Buffer buffer;
  };
  for (const Case& c :
       {Case{0x08, 1, kCallers}, Case{0x48, 1, kCallers}, Case{0x10, 0, kAlignedCopy},
        Case{0x50, 0, kAlignedCopy}, Case{0x40, 2, kCallers}, Case{0x00, 2, kCallers},
        Case{0x18, 2, kCallers}}) {
    SCOPED_TRACE(static_cast<int>(c.direction));
    std::vector<uint8_t> data(4096);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(Send(c.direction, data.data(), 4096), 0);
    const Seen& seen = device_.requests.back();
    EXPECT_EQ(seen.bytes[8], c.data_in);
    if (c.buffer == kCallers) {
      EXPECT_EQ(seen.buffer, data.data());
    } else {
      EXPECT_NE(seen.buffer, data.data());
      EXPECT_EQ(reinterpret_cast<uintptr_t>(seen.buffer) & 0x1FF, 0u);
      EXPECT_EQ(seen.data_out, data);
    }
  }
}

TEST_F(PassThroughTest, FailedCapabilitiesQueryMeansNoAlignmentNotFailure) {
  // The query fails after scribbling a mask that no allocation could honour.
  device_.alignment_mask = 0xFFFFFFFF;
  device_.capabilities_succeed = false;
  std::vector<uint8_t> data(2048, 0x3C);
  EXPECT_EQ(WriteFlashBlock(drive_, data.data(), 2048, 0x8000), 0);
  ASSERT_EQ(device_.requests.size(), 1u);
  EXPECT_EQ(device_.requests[0].data_out, data);
}

TEST_F(PassThroughTest, TimeOutIsLongOnlyForWriteBufferDownloadMode) {
  struct Case {
    std::vector<uint8_t> cdb;
    uint32_t seconds;
  };
  for (const Case& c : {Case{{0x3B, 0x05}, 600}, Case{{0x3B, 0x06}, 10}, Case{{0x3B, 0x25}, 10},
                        Case{{0x3B, 0x07}, 10}, Case{{0xBB, 0x05}, 10}, Case{{0x12, 0x05}, 10},
                        Case{{0xEA, 0x00}, 10}, Case{{0xF5, 0x00}, 10}}) {
    ASSERT_EQ(Send(SRB_EVENT_NOTIFY, nullptr, 0, c.cdb), 0);
    EXPECT_EQ(Le32(&device_.requests.back().bytes[16]), c.seconds)
        << std::hex << int{c.cdb[0]} << " " << int{c.cdb[1]};
  }
}

// Result rules in order, and which record fields each outcome writes.
struct OutcomeCase {
  const char* name;
  uint32_t win32_error;  // 0: the request succeeds
  uint8_t scsi_status, sense_key;
  int result;
  uint8_t srb_status, ha_stat, targ_stat;  // record bytes 1, 22, 23 afterwards
};

class PassThroughOutcomeTest : public PassThroughTest,
                               public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(PassThroughOutcomeTest, RecordsTheOutcomeAndDecidesTheResult) {
  const OutcomeCase& c = GetParam();
  MarkRecord();
  Reply reply = Reply::Sense(c.scsi_status, c.sense_key, 0x3A, 0x01);
  for (int i = 14; i < 32; ++i) reply.sense[i] = 0xC0;  // beyond what the record keeps
  reply.win32_error = c.win32_error;
  device_.replies.push_back(reply);

  EXPECT_EQ(Send(SRB_EVENT_NOTIFY, nullptr, 0, {0x00, 1, 2, 3, 4, 5}), c.result);
  EXPECT_EQ(LastCommand, &PassThroughResult);
  EXPECT_EQ(PassThroughResult.SRB_Status, c.srb_status);
  EXPECT_EQ(PassThroughResult.SRB_HaStat, c.ha_stat);
  EXPECT_EQ(PassThroughResult.SRB_TargStat, c.targ_stat);
  EXPECT_EQ(PassThroughResult.SRB_CDBLen, 6);
  EXPECT_EQ(std::vector<uint8_t>(PassThroughResult.CDBByte, PassThroughResult.CDBByte + 6),
            (std::vector<uint8_t>{0x00, 1, 2, 3, 4, 5}));
  EXPECT_EQ(std::vector<uint8_t>(PassThroughResult.SenseArea, PassThroughResult.SenseArea + 14),
            std::vector<uint8_t>(reply.sense.begin(), reply.sense.begin() + 14));
  // CDB length, target status, the CDB and sense bytes 0-13: nothing else,
  // except the request and adapter bytes after a system failure.
  std::vector<size_t> written = {21, 23, 48, 49, 50, 51, 52, 53};
  for (size_t i = 64; i < 78; ++i) written.push_back(i);
  if (c.result == -3) {
    written.push_back(1);
    written.push_back(22);
  }
  ExpectMarkedExcept(written);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PassThroughOutcomeTest,
    ::testing::Values(
        OutcomeCase{"Good", 0, 0, 0, 0, 0x5A, 0x5A, 0},
        OutcomeCase{"GoodStatusIgnoresSense", 0, 0, 5, 0, 0x5A, 0x5A, 0},
        OutcomeCase{"CheckConditionWithoutSenseKeyIsSuccess", 0, 2, 0, 0, 0x5A, 0x5A, 2},
        OutcomeCase{"CheckConditionWithSense", 0, 2, 5, 4, 0x5A, 0x5A, 2},
        OutcomeCase{"FailedRequestWithSense", 31, 0, 9, 4, 0x5A, 0x5A, 0},
        OutcomeCase{"FailedRequestSenseKeyWithFlagBits", 31, 0, 0x20, 4, 0x5A, 0x5A, 0},
        OutcomeCase{"FailedRequestWithoutSense", 31, 0, 0, -3, 31, 0, 0},
        OutcomeCase{"ErrorBytesLowFirst", 0x00ABCDEF, 2, 0, -3, 0xEF, 0xCD, 0xAB},
        OutcomeCase{"ErrorKeepsItsLow24Bits", 0x12345678, 0, 0, -3, 0x78, 0x56, 0x34},
        OutcomeCase{"ErrorAboveBit23Only", 0xFF000000, 0, 0, -3, 0, 0, 0}),
    [](const ::testing::TestParamInfo<OutcomeCase>& info) { return info.param.name; });

TEST_F(PassThroughTest, SystemErrorIsShownAsItsNumber) {
  Reply reply;
  reply.win32_error = 31;
  device_.replies.push_back(reply);
  ASSERT_EQ(TestUnitReady(drive_), -3);
  std::string text;
  DescribeFailure(-3, text);
  EXPECT_EQ(text, "System error (Win32): Code 31\n");
}

TEST_F(PassThroughTest, LocalFailuresLeaveThePreviousOutcomeInTheRecord) {
  device_.replies.push_back(Reply::Sense(2, 9, 0x86, 0));
  std::vector<uint8_t> data(2048);
  ASSERT_EQ(WriteFlashBlock(drive_, data.data(), 2048, 0x8000), 4);
  const CommandRecord before = PassThroughResult;

  // The device cannot be opened.
  LastCommand = &AspiExecBlock;
  device_.open_read_write = device_.open_read_only = false;
  EXPECT_EQ(TestUnitReady(drive_), -1);
  EXPECT_EQ(LastCommand, &PassThroughResult) << "designated first";
  EXPECT_EQ(std::memcmp(&PassThroughResult, &before, 80), 0);

  // No block for the outgoing copy: the device is closed, nothing is sent.
  device_.open_read_write = true;
  device_.alignment_mask = 0x3;
  const int closes = device_.closes;
  const uint8_t cdb[16] = {0xEA};
  EXPECT_EQ(ExecuteCommand(drive_, data.data(), 0xFFFFFFFFu, cdb, 10, SRB_DIR_OUT), -2);
  EXPECT_EQ(device_.closes, closes + 1);
  EXPECT_EQ(device_.requests.size(), 1u);
  EXPECT_EQ(std::memcmp(&PassThroughResult, &before, 80), 0);

  std::string text;
  DescribeFailure(4, text);
  EXPECT_EQ(text, "Flash rom check sum error. (Code 09-86-00)")
      << "the failure text still describes the earlier refusal";
}

}  // namespace
