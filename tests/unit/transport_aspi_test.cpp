// The ASPI path: loading the library, the support query, the adapter and
// device-type queries, and the execute request as the SRB bytes show it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport_doubles.h"
#include "update/update_state.h"

namespace {

using testing_transport::AspiDouble;
using testing_transport::Le32;
using testing_transport::Reply;
using testing_transport::Seen;

class AspiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTransportState();
    drive_.AdapterId = 2;
    drive_.TargetId = 5;
    drive_.Lun = 1;
  }
  void TearDown() override { ResetTransportState(); }
  void Load() { ASSERT_EQ(LoadAspiLibrary(), 1); }

  FakePlatform os_;
  AspiDouble aspi_{os_};
  DriveRecord drive_{};
};

// ---------------------------------------------------------------- library

TEST_F(AspiTest, LoadsTheLibraryByNameAndResolvesBothEntriesOnce) {
  EXPECT_EQ(LoadAspiLibrary(), 1);
  EXPECT_EQ(aspi_.loaded_names, std::vector<std::string>{"WNASPI32.DLL"});
  EXPECT_EQ(aspi_.proc_lookups, 2);
  EXPECT_EQ(LoadAspiLibrary(), 1);
  EXPECT_EQ(aspi_.proc_lookups, 2) << "resolved entries are not resolved again";
  EXPECT_EQ(QueryAspiSupport(), 2);
}

TEST_F(AspiTest, LibraryThatCannotServeIsNotLoaded) {
  struct Case {
    const char* name;
    bool loads, send, info;
    int frees;  // a library that loaded but is unusable is released
  };
  for (const Case& c :
       {Case{"missing", false, true, true, 0}, Case{"no SendASPI32Command", true, false, true, 1},
        Case{"no GetASPI32SupportInfo", true, true, false, 1},
        Case{"no entry at all", true, false, false, 1}}) {
    SCOPED_TRACE(c.name);
    ResetTransportState();
    aspi_.frees = 0;
    aspi_.library_loads = c.loads;
    aspi_.export_send = c.send;
    aspi_.export_info = c.info;
    EXPECT_EQ(LoadAspiLibrary(), 0);
    EXPECT_EQ(aspi_.frees, c.frees);
    // Nothing calls through an entry that is not there.
    EXPECT_EQ(QueryAspiSupport(), 0);
    SRB_HAInquiry* reply = nullptr;
    EXPECT_EQ(InquireHostAdapter(0, &reply), 1);
    uint8_t type = 0xAA;
    EXPECT_EQ(GetDeviceType(drive_, &type), 1);
    const uint8_t cdb[6] = {};
    EXPECT_EQ(ExecuteCommand(drive_, nullptr, 0, cdb, 6, SRB_EVENT_NOTIFY), -1);
    EXPECT_TRUE(aspi_.exec.empty() && aspi_.inquiries.empty() && aspi_.gdevs.empty());
    FreeAspiLibrary();
    EXPECT_EQ(aspi_.frees, c.frees) << "a refused library is not released twice";
  }
}

TEST_F(AspiTest, FreeReleasesTheLibraryOnce) {
  Load();
  FreeAspiLibrary();
  FreeAspiLibrary();
  EXPECT_EQ(aspi_.frees, 1);
  EXPECT_EQ(QueryAspiSupport(), 0);
}

TEST_F(AspiTest, SupportQueryCountsAdaptersPlusOneOnlyWhenAspiIsComplete) {
  Load();
  struct Case {
    uint32_t info;
    int result;
  };
  for (const Case& c : {Case{0x0100, 1}, Case{0x0103, 4}, Case{0x01FF, 256},
                        Case{0xABCD0102, 3},  // bits above 15 are not looked at
                        Case{0xE800, 0}, Case{0xE803, 0}, Case{0x0000, 0}, Case{0x0203, 0}}) {
    aspi_.support_info = c.info;
    EXPECT_EQ(QueryAspiSupport(), c.result) << std::hex << c.info;
  }
}

// ---------------------------------------------------------------- adapter and device queries

TEST_F(AspiTest, HostAdapterInquirySetsTheHeaderAndKeepsEarlierReplyFields) {
  Load();
  // Adapter 0 answers completely: 3 adapters, mask 0x0003, 0 targets (so 8).
  aspi_.inquiry_reply = {{1, SS_COMP}, {8, 3}, {42, 0x03}, {43, 0x00}, {45, 0x00}};
  SRB_HAInquiry* reply = nullptr;
  ASSERT_EQ(InquireHostAdapter(0, &reply), 0);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->HA_Count, 3);
  EXPECT_EQ(reply->HA_Unique[0] | reply->HA_Unique[1] << 8, 0x0003);

  // Adapter 1 fails and writes only its status: the header is ours, the
  // rest is what the earlier reply left.
  aspi_.inquiry_reply = {{1, 0x81}};
  SRB_HAInquiry* second = nullptr;
  EXPECT_EQ(InquireHostAdapter(1, &second), 1);
  EXPECT_EQ(second, reply) << "the reference is given on failure too";
  ASSERT_EQ(aspi_.inquiries.size(), 2u);
  const auto& sent = aspi_.inquiries[1];
  EXPECT_EQ(sent[0], SC_HA_INQUIRY);
  EXPECT_EQ(sent[2], 1) << "SRB_HaId";
  EXPECT_EQ(sent[3], 0) << "SRB_Flags";
  EXPECT_EQ(Le32(&sent[4]), 0u) << "SRB_Hdr_Rsvd";
  EXPECT_EQ(sent[8], 3) << "HA_Count from the previous reply";
  EXPECT_EQ(sent[42], 0x03) << "HA_Unique from the previous reply";
}

TEST_F(AspiTest, DeviceTypeIsGivenWhateverTheStatus) {
  Load();
  struct Case {
    uint8_t status, type;
    int result;
  };
  for (const Case& c : {Case{SS_COMP, 5, 0}, Case{0x82, 0x1F, 1}, Case{SS_PENDING, 5, 1}}) {
    aspi_.gdev_reply = {{1, c.status}, {10, c.type}};
    uint8_t type = 0xEE;
    EXPECT_EQ(GetDeviceType(drive_, &type), c.result);
    EXPECT_EQ(type, c.type);
    const auto& sent = aspi_.gdevs.back();
    EXPECT_EQ(sent[0], SC_GET_DEV_TYPE);
    EXPECT_EQ(sent[2], 2) << "SRB_HaId";
    EXPECT_EQ(sent[3], 0) << "SRB_Flags";
    EXPECT_EQ(Le32(&sent[4]), 0u);
    EXPECT_EQ(sent[8], 5) << "SRB_Target";
    EXPECT_EQ(sent[9], 1) << "SRB_Lun";
  }
}

// ---------------------------------------------------------------- execute

TEST_F(AspiTest, ExecuteRequestCarriesEveryFieldAtItsPublishedOffset) {
  Load();
  drive_.AlignMask = 0x0F;
  uint8_t cdb[16] = {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0xF8};
  std::vector<uint8_t> data(2048, 0xFF);
  ASSERT_EQ(ExecuteCommand(drive_, data.data(), 2048, cdb, 10, SRB_DIR_OUT), 0);
  ASSERT_EQ(aspi_.exec.size(), 1u);
  const Seen& seen = aspi_.exec[0];
  const auto& b = seen.bytes;
  EXPECT_EQ(b[0], SC_EXEC_SCSI_CMD);
  EXPECT_EQ(b[1], SS_PENDING);
  EXPECT_EQ(b[2], 2) << "SRB_HaId";
  EXPECT_EQ(b[3], 0x50) << "SRB_Flags";
  EXPECT_EQ(Le32(&b[4]), 0u) << "SRB_Hdr_Rsvd";
  EXPECT_EQ(b[8], 5) << "SRB_Target";
  EXPECT_EQ(b[9], 1) << "SRB_Lun";
  EXPECT_EQ(b[10] | b[11], 0) << "SRB_Rsvd1";
  EXPECT_EQ(Le32(&b[12]), 2048u) << "SRB_BufLen";
  EXPECT_EQ(b[20], 14) << "SRB_SenseLen";
  EXPECT_EQ(b[21], 10) << "SRB_CDBLen";
  EXPECT_EQ(b[22] | b[23], 0) << "statuses start clear";
  EXPECT_NE(Le32(&b[24]), 0u) << "SRB_PostProc names the event";
  EXPECT_EQ(std::vector<uint8_t>(&b[28], &b[48]), std::vector<uint8_t>(20, 0)) << "SRB_Rsvd2";
  EXPECT_EQ(std::vector<uint8_t>(&b[48], &b[64]), std::vector<uint8_t>(cdb, cdb + 16));
  EXPECT_EQ(std::vector<uint8_t>(&b[64], &b[80]), std::vector<uint8_t>(16, 0)) << "SenseArea";
  // The outgoing data: an aligned copy, not the caller's block.
  EXPECT_NE(seen.buffer, data.data());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(seen.buffer) & 0x0F, 0u);
  EXPECT_EQ(seen.data_out, data);
}

TEST_F(AspiTest, DriveWithTwelveByteCdbsGetsTwelveWhateverTheCallerSays) {
  Load();
  drive_.UsesCdb12 = 1;
  uint8_t cdb[16];
  std::memset(cdb, 0xAA, sizeof cdb);
  cdb[0] = 0x00;
  ASSERT_EQ(ExecuteCommand(drive_, nullptr, 0, cdb, 6, SRB_EVENT_NOTIFY), 0);
  const auto& b = aspi_.exec.back().bytes;
  EXPECT_EQ(b[21], 12);
  EXPECT_EQ(std::vector<uint8_t>(&b[48], &b[60]), std::vector<uint8_t>(cdb, cdb + 12))
      << "the caller's buffer supplies bytes 6 to 11";
  EXPECT_EQ(std::vector<uint8_t>(&b[60], &b[64]), std::vector<uint8_t>(4, 0));
}

// The result rules, in order; once with the reply in place when
// SendASPI32Command returns, once completing later through the event.
struct ResultCase {
  const char* name;
  uint8_t status, ha_stat, target_status, sense_key;
  int result;
};

class AspiResultTest : public AspiTest,
                       public ::testing::WithParamInterface<std::tuple<ResultCase, bool>> {};

TEST_P(AspiResultTest, StatusesGiveTheResultCode) {
  const auto [c, later] = GetParam();
  Load();
  Reply reply = Reply::Sense(c.target_status, c.sense_key, 0x85, 0x00);
  reply.srb_status = c.status;
  reply.ha_stat = c.ha_stat;
  reply.delay_ms = later ? 7000 : 0;
  aspi_.replies.push_back(reply);
  const uint8_t cdb[16] = {0xEA};
  uint8_t data[2048] = {};
  EXPECT_EQ(ExecuteCommand(drive_, data, 2048, cdb, 10, SRB_DIR_OUT), c.result);
  EXPECT_EQ(os_.NowMs(), later ? 7000u : 0u);
  EXPECT_EQ(LastCommand, &AspiExecBlock);
  EXPECT_EQ(LastCommand->SRB_Status, c.status);
  EXPECT_EQ(LastCommand->SenseArea[2], c.sense_key);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, AspiResultTest,
    ::testing::Combine(
        ::testing::Values(ResultCase{"Complete", SS_COMP, 0, 0, 0, 0},
                          ResultCase{"OverrunUnderrunIsSuccess", SS_COMP, 0x12, 0, 0, 0},
                          ResultCase{"ErrorWithVendorSense", 0x04, 0, 2, 9, 4},
                          ResultCase{"ErrorWithoutSenseKey", 0x04, 0, 2, 0, 1},
                          ResultCase{"Aborted", 0x02, 0, 0, 0, 1},
                          ResultCase{"InvalidSrbDespiteOverrun", 0xE0, 0x12, 0, 0, 1},
                          ResultCase{"SelectionTimeout", SS_COMP, 0x11, 0, 0, 2},
                          ResultCase{"AdapterBeatsRequestStatus", 0x04, 0x11, 0, 0, 2},
                          ResultCase{"TargetBeatsAdapter", 0x04, 0x11, 2, 9, 4},
                          ResultCase{"TargetStatusWithoutSense", SS_COMP, 0, 2, 0, 0},
                          ResultCase{"SenseWithoutTargetStatus", SS_COMP, 0, 0, 9, 0},
                          ResultCase{"SenseKeyWithFlagBits", SS_COMP, 0, 2, 0x80, 4}),
        ::testing::Bool()),
    [](const ::testing::TestParamInfo<AspiResultTest::ParamType>& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) ? "_Later" : "_AtOnce");
    });

TEST_F(AspiTest, RequestCompletedOnReturnIsNotWaitedFor) {
  Load();
  // Were the transport to wait, only this stray signal at 1 s would end it;
  // when it does not wait, the clock never moves and the task never runs.
  os_.Schedule(1000,
               [this] { os_.SetEvent(plat::FieldToPtr(Le32(&aspi_.exec.back().bytes[24]))); });
  aspi_.replies.push_back(Reply{});
  ASSERT_EQ(TestUnitReady(drive_), 0);
  EXPECT_EQ(os_.NowMs(), 0u);
}

TEST_F(AspiTest, EachCommandWaitsOnItsOwnEvent) {
  Load();
  for (uint64_t delay : {100, 2500, 100}) {
    Reply reply;
    reply.delay_ms = delay;
    aspi_.replies.push_back(reply);
  }
  for (int i = 0; i < 3; ++i) ASSERT_EQ(TestUnitReady(drive_), 0);
  EXPECT_EQ(os_.NowMs(), 2700u) << "one wait per command, each until its completion";
}

TEST_F(AspiTest, NoEventMeansNoRequestAndTheRecordKeepsThePreviousCommand) {
  Load();
  aspi_.replies.push_back(Reply::Sense(2, 9, 0x85, 0));
  aspi_.replies.back().srb_status = 0x04;
  const uint8_t cdb[16] = {0xEA};
  uint8_t data[2048] = {};
  ASSERT_EQ(ExecuteCommand(drive_, data, 2048, cdb, 10, SRB_DIR_OUT), 4);
  const CommandRecord before = AspiExecBlock;
  LastCommand = &PassThroughResult;

  os_.fail_create_event = 1;
  EXPECT_EQ(ExecuteCommand(drive_, data, 2048, cdb, 10, SRB_DIR_OUT), -1);
  EXPECT_EQ(LastCommand, &AspiExecBlock) << "designated first, before any failure";
  EXPECT_EQ(aspi_.exec.size(), 1u);
  EXPECT_EQ(std::memcmp(&AspiExecBlock, &before, sizeof before), 0);
}

TEST_F(AspiTest, NoMemoryForTheCopyMeansNoRequestAndTheRecordKeepsThePreviousCommand) {
  Load();
  ASSERT_EQ(TestUnitReady(drive_), 0);
  const CommandRecord before = AspiExecBlock;
  drive_.AlignMask = 0xFF;
  const uint8_t cdb[16] = {0xEA};
  // Size plus mask does not fit the 32-bit request: no block can be given.
  EXPECT_EQ(ExecuteCommand(drive_, nullptr, 0xFFFFFFF0u, cdb, 10, SRB_DIR_OUT), -2);
  EXPECT_EQ(aspi_.exec.size(), 1u);
  EXPECT_EQ(std::memcmp(&AspiExecBlock, &before, sizeof before), 0);
  EXPECT_EQ(LastCommand, &AspiExecBlock);
}

// ---------------------------------------------------------------- aligned buffers

TEST(AllocateAligned, StartHasTheMaskBitsClearAndTheWholeSizeIsUsable) {
  for (uint32_t mask : {0u, 1u, 3u, 7u, 0xFu, 0x1FFu, 0xFFFu}) {
    for (uint32_t size : {0u, 1u, 2048u, 32768u}) {
      AlignedBuffer buffer = AllocateAligned(size, mask);
      ASSERT_NE(buffer.data, nullptr) << size << "/" << mask;
      const auto start = reinterpret_cast<uintptr_t>(buffer.data);
      const auto block = reinterpret_cast<uintptr_t>(buffer.block);
      EXPECT_EQ(start & mask, 0u);
      EXPECT_GE(start, block);
      EXPECT_LE(start - block, mask);
      if (mask == 0) {
        EXPECT_EQ(buffer.data, buffer.block) << "no alignment: a plain block";
      }
      std::memset(buffer.data, 0xA5, size);  // the sanitizer build checks the bounds
      ReleaseAligned(buffer);
      EXPECT_EQ(buffer.data, nullptr);
      EXPECT_EQ(buffer.block, nullptr);
    }
  }
}

TEST(AllocateAligned, SizeThatWrapsWithItsMaskIsAFailureNotATinyBlock) {
  for (auto [size, mask] : {std::pair<uint32_t, uint32_t>{0xFFFFFFFFu, 1u},
                            {0xFFFFFFF0u, 0xFFu},
                            {0x80000000u, 0x80000000u},
                            {0u, 0xFFFFFFFFu}}) {
    AlignedBuffer buffer = AllocateAligned(size, mask);
    EXPECT_EQ(buffer.data, nullptr) << std::hex << size << "+" << mask;
    EXPECT_EQ(buffer.block, nullptr);
    ReleaseAligned(buffer);  // releasing nothing is harmless
  }
}

// ---------------------------------------------------------------- process state

TEST(TransportState, ResetReturnsToAFreshProcess) {
  FakePlatform os;
  AspiDouble aspi(os);
  ASSERT_EQ(LoadAspiLibrary(), 1);
  TransportKind = PassThrough;
  LastCommand = &PassThroughResult;
  std::memset(&AspiExecBlock, 1, sizeof AspiExecBlock);
  std::memset(&PassThroughResult, 1, sizeof PassThroughResult);
  LastErrorText = "x";
  ResetTransportState();
  EXPECT_EQ(TransportKind, Aspi);
  EXPECT_EQ(LastCommand, &AspiExecBlock);
  const CommandRecord zero = {};
  EXPECT_EQ(std::memcmp(&AspiExecBlock, &zero, 80), 0);
  EXPECT_EQ(std::memcmp(&PassThroughResult, &zero, 80), 0);
  EXPECT_TRUE(LastErrorText.empty());
  EXPECT_EQ(QueryAspiSupport(), 0) << "the library is forgotten";

  DriveTable[99].Updated = 1;
  DriveTable[0].AdapterId = 3;
  DriveCount = 7;
  ResetDriveTable();
  EXPECT_EQ(DriveCount, 0);
  EXPECT_EQ(DriveTable[99].Updated, 0);
  EXPECT_EQ(DriveTable[0].AdapterId, 0);

  SelectedDriveIndex = 4;
  ProgressCounter = 185;
  WorkerState = 2;
  ResetUpdateState();
  EXPECT_EQ(SelectedDriveIndex.load(), 0);
  EXPECT_EQ(ProgressCounter.load(), 0u);
  EXPECT_EQ(WorkerState.load(), 0);
}

}  // namespace
