// Drive discovery over both transports against emulated drives, and the
// INQUIRY list matching rule.
#include <gtest/gtest.h>

#include <memory>

#include "discovery/discovery.h"
#include "update_bench.h"

namespace {

using Via = UpdateBench::Via;

// ---------------------------------------------------------------- matching

struct MatchCase {
  const char* list;
  int match;
};
class MatchTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchTest, EntriesArePrefixesEndedBySemicolons) {
  const char id[] = "KESTRAN CD-R   TQ-517T  1.00";  // 28 bytes: vendor, product, revision
  EXPECT_EQ(MatchInquiryList(reinterpret_cast<const uint8_t*>(id), GetParam().list),
            GetParam().match)
      << '"' << GetParam().list << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Lists, MatchTest,
    ::testing::Values(MatchCase{"", 0}, MatchCase{";", 0}, MatchCase{";;", 0},
                      MatchCase{"KESTRAN ;", 1}, MatchCase{"KESTRAN", 0},  // no ';' after it
                      MatchCase{"KESTRAN CD-R   TQ-517T  ;", 1},
                      MatchCase{"KESTRAN CD-R   TQ-517T  1.00;", 1},   // all 28
                      MatchCase{"KESTRAN CD-R   TQ-517T  1.00X;", 0},  // 29
                      MatchCase{"KESTRAN CD-R   TQ-517T  1.01;", 0}, MatchCase{"kestran ;", 0},
                      MatchCase{"OTHER;KESTRAN ;", 1}, MatchCase{";;KESTRAN ;", 1},
                      MatchCase{"KESTRAN ;OTHER", 1},
                      MatchCase{"OTHER;KESTRAN ", 0},  // text after the last ';'
                      MatchCase{"KESTRANX;K;", 1}, MatchCase{"KESTRANX;", 0}, MatchCase{"K", 0},
                      MatchCase{"K;", 1}, MatchCase{" KESTRAN;", 0}));

TEST(MatchLongEntry, NeverReadsPastTheIdentification) {
  // The identification sits at the very end of its block: a long entry must
  // not look beyond its 28 bytes.
  auto block = std::make_unique<uint8_t[]>(28);
  std::memcpy(block.get(), "KESTRAN CD-R   TQ-517T  1.00", 28);
  std::string list(200, 'A');
  list = "KESTRAN CD-R   TQ-517T  1.00" + list + ";";
  EXPECT_EQ(MatchInquiryList(block.get(), list.c_str()), 0);
}

// ---------------------------------------------------------------- pass-through scan

TEST(PassThroughScan, OnlyCdromLettersAreProbedAndMatchingDrivesKept) {
  UpdateBench bench;
  sim::DriveConfig other;
  other.vendor = "OTHERCO ";
  sim::KestranDrive foreign(sim::FakeClock(bench.fake), other);
  sim::KestranDrive second(sim::FakeClock(bench.fake));
  bench.pt.AttachOther('C', 3);  // fixed disk
  bench.pt.AttachOther('D', 2);  // removable
  bench.pt.AttachDrive('E', &bench.drive);
  bench.pt.AttachDrive('G', &foreign);
  bench.pt.AttachDrive('Z', &second);
  EXPECT_EQ(DiscoverDrives(), 2);

  EXPECT_STREQ(DriveTable[0].DisplayText, "E:\\ [KESTRAN CD-R   TQ-517T   1.00]");
  EXPECT_STREQ(DriveTable[0].DriveLetter, "E");
  EXPECT_STREQ(DriveTable[0].Revision, "1.00");
  EXPECT_EQ(DriveTable[0].UsesCdb12, 0);
  EXPECT_EQ(DriveTable[0].AlignMask, 0u);
  EXPECT_EQ(DriveTable[0].Updated, 0);
  EXPECT_STREQ(DriveTable[1].DisplayText, "Z:\\ [KESTRAN CD-R   TQ-517T   1.00]");
  for (const auto& open : bench.pt.opens()) {
    EXPECT_TRUE(open.letter == 'E' || open.letter == 'G' || open.letter == 'Z') << open.letter;
  }
  // Three TEST UNIT READY, then one pair of INQUIRY, each with 6 CDB bytes.
  EXPECT_EQ(bench.Commands(), (std::vector<std::string>{"TUR", "TUR", "TUR", "INQ", "INQ"}));
  for (const auto& e : bench.drive.trace()) EXPECT_EQ(e.cdb_length, 6);
  EXPECT_EQ(foreign.trace().size(), 5u);
}

struct KeepCase {
  const char* name;
  uint8_t byte0;
  std::string vendor;
  const char* list;
  bool kept;
};
class KeepRuleTest : public ::testing::TestWithParam<KeepCase> {};

TEST_P(KeepRuleTest, KeepsCdromClassDevicesThatTheListNames) {
  UpdateBench bench;
  bench.drive.mutable_config().byte0 = GetParam().byte0;
  bench.drive.mutable_config().vendor = GetParam().vendor;
  std::snprintf(UpdatePackage.InquiryList, sizeof UpdatePackage.InquiryList, "%s", GetParam().list);
  bench.pt.AttachDrive('E', &bench.drive);
  EXPECT_EQ(DiscoverDrives(), GetParam().kept ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeepRuleTest,
    ::testing::Values(
        KeepCase{"Matching", 0x05, "KESTRAN ", "KESTRAN ;", true},
        KeepCase{"QualifierSet", 0x25, "KESTRAN ", "KESTRAN ;", false},
        KeepCase{"DiskDevice", 0x00, "KESTRAN ", "KESTRAN ;", false},
        KeepCase{"VendorStartsWithZero", 0x05, std::string("\0ESTRAN ", 8), ";ESTRAN ;", false},
        KeepCase{"LowerCaseEntry", 0x05, "KESTRAN ", "kestran ;", false},
        KeepCase{"EntryAfterLastSemicolon", 0x05, "KESTRAN ", "OTHER;KESTRAN ", false},
        KeepCase{"SecondEntry", 0x05, "KESTRAN ", "OTHER;KESTRAN ;", true}),
    [](const auto& info) { return info.param.name; });

TEST(CommandBlockSize, ByteThreeAboveFifteenMeansTwelveByteCommands) {
  for (const auto& [byte3, cdb12] : std::vector<std::pair<uint8_t, int>>{
           {0x02, 0}, {0x0F, 0}, {0x10, 1}, {0x12, 1}, {0x21, 1}, {0x32, 1}, {0xF0, 1}}) {
    UpdateBench bench;
    bench.drive.mutable_config().byte3 = byte3;
    bench.pt.AttachDrive('E', &bench.drive);
    ASSERT_EQ(DiscoverDrives(), 1);
    EXPECT_EQ(DriveTable[0].UsesCdb12, cdb12) << int{byte3};
    for (const auto& e : bench.drive.trace()) EXPECT_EQ(e.cdb_length, 6);
  }
}

TEST(StableInquiry, AFlakyDriveIsReadAgainInPairsUntilOnePairAgrees) {
  UpdateBench bench;
  bench.drive.SetFlakyInquiry(3);  // reads 0..2 differ; pair (2,3) still differs
  bench.pt.AttachDrive('E', &bench.drive);
  EXPECT_EQ(DiscoverDrives(), 1);
  const auto commands = bench.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "INQ"), 6);
  EXPECT_STREQ(DriveTable[0].Revision, "1.00");
}

TEST(StableInquiry, ADriveThatNeverSettlesIsDroppedAfterTenPairs) {
  UpdateBench bench;
  sim::KestranDrive good(sim::FakeClock(bench.fake));
  bench.drive.SetFlakyInquiry(sim::kForever);
  bench.pt.AttachDrive('E', &bench.drive);
  bench.pt.AttachDrive('F', &good);
  EXPECT_EQ(DiscoverDrives(), 1);
  EXPECT_STREQ(DriveTable[0].DriveLetter, "F");
  EXPECT_EQ(bench.Commands().size(), 3u + 20u);
}

TEST(StableInquiry, ARetriedReadCountsAsThePairsRead) {
  UpdateBench bench;
  bench.drive.RefuseCommand(3, sim::sense::kBecomingReady);  // first read into A
  bench.drive.RefuseCommand(5, sim::sense::kBecomingReady);  // first read into B
  bench.pt.AttachDrive('E', &bench.drive);
  EXPECT_EQ(DiscoverDrives(), 1);
  EXPECT_EQ(bench.Commands().size(), 3u + 4u);
}

TEST(StableInquiry, TwoFailedReadsIntoALeaveZerosThatAreNotKept) {
  UpdateBench bench;
  bench.drive.FailOpcode(0x12, sim::TransportFault{});
  bench.pt.AttachDrive('E', &bench.drive);
  EXPECT_EQ(DiscoverDrives(), 0);
  // Both reads into A failed, so B is never read; A and B agree (all zero).
  EXPECT_EQ(bench.Commands().size(), 3u + 2u);
}

TEST(StableInquiry, TestUnitReadyFailuresAreIgnored) {
  UpdateBench bench;
  bench.drive.FailOpcode(0x00, sim::TransportFault{});
  bench.drive.SetTray(sim::Tray::kOpen);
  bench.pt.AttachDrive('E', &bench.drive);
  EXPECT_EQ(DiscoverDrives(), 1);
}

// ---------------------------------------------------------------- ASPI scan

TEST(AspiScan, WalksEveryAdapterAndTargetAndRecordsTheAddress) {
  UpdateBench bench(Via::kAspi);
  sim::KestranDrive second(sim::FakeClock(bench.fake));
  bench.bus.AddAdapter(0x0003, 4);
  bench.bus.AddAdapter(0x001F, 8);
  bench.bus.AttachDevice(0, 0, 0);  // a disk: never sent a command
  bench.bus.AttachDrive(0, 2, &bench.drive);
  bench.bus.AttachDrive(1, 3, &second);
  EXPECT_EQ(DiscoverDrives(), 2);
  EXPECT_STREQ(DriveTable[0].DisplayText, "(0,2) KESTRAN CD-R   TQ-517T   1.00");
  EXPECT_EQ(DriveTable[0].AlignMask, 3u);
  EXPECT_EQ(DriveTable[0].DriveLetter[0], '\0');
  EXPECT_STREQ(DriveTable[1].DisplayText, "(1,3) KESTRAN CD-R   TQ-517T   1.00");
  EXPECT_EQ(DriveTable[1].AdapterId, 1);
  EXPECT_EQ(DriveTable[1].TargetId, 3);
  EXPECT_EQ(DriveTable[1].AlignMask, 0x1Fu);

  // Device-type queries: adapter 0 targets 0..3, adapter 1 targets 0..7.
  int type_queries[2] = {0, 0};
  for (const auto& r : bench.bus.requests()) {
    if (r.command == SC_GET_DEV_TYPE) ++type_queries[r.adapter];
    if (r.command == SC_EXEC_SCSI_CMD) {
      EXPECT_TRUE(r.adapter == 0 ? r.target == 2 : r.target == 3);
    }
  }
  EXPECT_EQ(type_queries[0], 4);
  EXPECT_EQ(type_queries[1], 8);
}

TEST(AspiScan, AnAdapterReportingZeroTargetsIsScannedForEight) {
  UpdateBench bench(Via::kAspi);
  bench.bus.AddAdapter(0, 0);
  bench.bus.AttachDrive(0, 7, &bench.drive);
  EXPECT_EQ(DiscoverDrives(), 1);
  EXPECT_EQ(DriveTable[0].TargetId, 7);
}

TEST(AspiScan, AFailedAdapterInquiryIsSkippedButAdapterZeroEndsTheScan) {
  {
    UpdateBench bench(Via::kAspi);
    sim::KestranDrive second(sim::FakeClock(bench.fake));
    bench.bus.AddAdapter();
    bench.bus.AddAdapter();
    bench.bus.AddAdapter();
    bench.bus.AttachDrive(1, 0, &bench.drive);
    bench.bus.AttachDrive(2, 0, &second);
    bench.bus.adapter(1).inquiry_status = sim::kSsErr;
    EXPECT_EQ(DiscoverDrives(), 1);
    EXPECT_EQ(DriveTable[0].AdapterId, 2);
    EXPECT_TRUE(bench.drive.trace().empty());
  }
  {
    UpdateBench bench(Via::kAspi);
    bench.bus.AddAdapter();
    bench.bus.AttachDrive(0, 0, &bench.drive);
    bench.bus.adapter(0).inquiry_status = sim::kSsErr;
    EXPECT_EQ(DiscoverDrives(), 0);
    EXPECT_EQ(bench.bus.requests().size(), 1u);  // the one host adapter inquiry
  }
}

TEST(AspiScan, AFailedDeviceTypeQuerySkipsTheTarget) {
  UpdateBench bench(Via::kAspi);
  bench.bus.AddAdapter();
  bench.bus.AttachDrive(0, 1, &bench.drive);
  bench.bus.adapter(0).targets[1].device_type_status = sim::kSsErr;
  EXPECT_EQ(DiscoverDrives(), 0);
  EXPECT_TRUE(bench.drive.trace().empty());
}

TEST(AspiScan, KeepsTheFirstHundredMatchingDrivesAndIgnoresTheRest) {
  UpdateBench bench(Via::kAspi);
  for (int a = 0; a < 13; ++a) bench.bus.AddAdapter();  // 104 targets
  int attached = 0;
  for (int a = 0; a < 13 && attached < 101; ++a) {
    for (int t = 0; t < 8 && attached < 101; ++t, ++attached) {
      bench.bus.AttachDrive(static_cast<uint8_t>(a), static_cast<uint8_t>(t), &bench.drive);
    }
  }
  EXPECT_EQ(DiscoverDrives(), 100);
  EXPECT_STREQ(DriveTable[99].DisplayText, "(12,3) KESTRAN CD-R   TQ-517T   1.00");
  EXPECT_EQ(DriveTable[99].AdapterId, 12);
  EXPECT_EQ(DriveTable[99].TargetId, 3);
}

}  // namespace
