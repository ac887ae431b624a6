// The ASPI path: loading the library, the support query, and the execute
// request as the SRB bytes show it, with its result rules and its wait.
#include "transport_fixture.h"

namespace {

using namespace testing_transport;

using AspiTest = TransportTest;

// A library without both entry points is refused (and released) rather than
// called through an empty entry later.
TEST_F(AspiTest, LoadsByNameResolvesEachEntryOnceAndRefusesALibraryThatCannotServe) {
  Use(Aspi);
  Use(Aspi);
  EXPECT_EQ(bus_.library_loads, 2);
  EXPECT_EQ(proc_lookups_, 2) << "resolved entries are not resolved again";
  EXPECT_EQ(QueryAspiSupport(), 4);
  for (bool loads : {true, false}) {
    FreeAspiLibrary();  // the first time releases the good library
    if (!loads) os_.load_library = [](const char*) -> plat::Handle { return nullptr; };
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
  struct {
    uint8_t status, ha_stat, target_status, key;
    int result;
  } cases[] = {{SS_COMP, 0, 0, 0, 0}, {SS_COMP, 0x12, 0, 0, 0}, {0x04, 0, 2, 9, 4},
               {0x04, 0, 2, 0, 1},    {0xE0, 0x12, 0, 0, 1},    {SS_COMP, 0x11, 0, 0, 2},
               {0x04, 0x11, 0, 0, 2}, {0x04, 0x11, 2, 9, 4},    {SS_COMP, 0, 2, 0, 0},
               {SS_COMP, 0, 0, 9, 0}, {SS_COMP, 0, 2, 0x80, 4}};
  for (const auto& c : cases) {
    for (uint32_t delay : {0, 7000}) {
      sim_.ClearFaults();
      sim_.SetAsyncDelay(delay);
      const uint32_t n = sim_.command_count();
      if (c.target_status != 0 || c.key != 0)
        sim_.RefuseCommand(n, {c.key, 0x85, 0}, c.target_status);
      sim_.FailCommand(n, {c.status, c.ha_stat, 0, true});  // the layer's statuses
      const uint64_t start = os_.NowMs();
      EXPECT_EQ(TestUnitReady(drive_), c.result) << &c - cases;
      EXPECT_EQ(os_.NowMs() - start, delay) << "waits exactly until its own completion";
      EXPECT_EQ(LastCommand, &AspiExecBlock);
      EXPECT_EQ(LastCommand->SenseArea[2], c.key);
    }
  }
}

}  // namespace
