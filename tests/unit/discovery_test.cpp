// Drive discovery over both transports against emulated drives, and the
// INQUIRY list matching rule.
#include <gtest/gtest.h>

#include <memory>

#include "discovery/discovery.h"
#include "update_bench.h"

namespace {

using Via = UpdateBench::Via;
const char kShown[] = "KESTRAN CD-R   TQ-517T   1.00";

TEST(Discovery, ListEntriesArePrefixesEndedBySemicolons) {
  // The identification fills its block exactly: no entry may look beyond it.
  const auto id = std::make_unique<uint8_t[]>(28);
  std::memcpy(id.get(), "KESTRAN CD-R   TQ-517T  1.00", 28);
  for (const char* list :
       {"KESTRAN ;", "KESTRAN CD-R   TQ-517T  ;", "KESTRAN CD-R   TQ-517T  1.00;",
        "OTHER;KESTRAN ;", ";;KESTRAN ;", "KESTRAN ;OTHER", "KESTRANX;K;"}) {
    EXPECT_EQ(MatchInquiryList(id.get(), list), 1) << list;
  }
  for (const char* list : {"", ";;", "KESTRAN", "KESTRAN CD-R   TQ-517T  1.00X;", "kestran ;",
                           "OTHER;KESTRAN ", " KESTRAN;"}) {
    EXPECT_EQ(MatchInquiryList(id.get(), list), 0) << list;
  }
}

// Over the pass-through only CD-ROM drive letters are opened (how several
// drives are kept and shown is seen end to end).  Candidates: INQUIRY byte 0,
// byte 3 and the vendor field decide, every command goes out with 6 bytes; the
// INQUIRY data is read in pairs until one pair agrees (at most ten pairs).  The
// last columns are what the drive does: INQUIRY replies that differ, commands
// answered "becoming ready", and an opcode that fails below the drive.
TEST(Discovery, KeepsCdromClassDevicesThatTheListNamesAfterAStableInquiry) {
  using Refused = std::vector<uint32_t>;
  const std::tuple<uint8_t, uint8_t, const char*, int, int, size_t, uint32_t, Refused, int>
      cases[] = {
          // byte 0, byte 3, vendor, kept, UsesCdb12, commands sent (3 TEST UNIT READY first)
          {0x05, 0x0F, "KESTRAN ", 1, 0, 5, 0, {}, -1},
          {0x05, 0x10, "KESTRAN ", 1, 1, 5, 0, {}, -1},
          {0x05, 0x21, "KESTRAN ", 1, 1, 5, 0, {}, 0x00},  // TEST UNIT READY failures are ignored
          {0x25, 0x02, "KESTRAN ", 0, 0, 5, 0, {}, -1},
          {0x05, 0x02, "\0ESTRAN ", 0, 0, 5, 0, {}, -1},
          {0x05, 0x02, "KESTRAN ", 1, 0, 9, 3, {}, -1},  // reads 0..2 differ
          {0x05, 0x02, "KESTRAN ", 0, 0, 23, sim::kForever, {}, -1},
          {0x05, 0x02, "KESTRAN ", 1, 0, 7, 0, {3, 5}, -1},  // one retry per read
          {0x05, 0x02, "KESTRAN ", 0, 0, 5, 0, {}, 0x12}};   // A all zero, B unread
  for (const auto& [byte0, byte3, vendor, kept, cdb12, sent, flaky, refused, failing] : cases) {
    UpdateBench bench;
    sim::DriveConfig& config = bench.drive.mutable_config();
    config.byte0 = byte0;
    config.byte3 = byte3;
    config.vendor = std::string(vendor, 8);
    bench.drive.SetFlakyInquiry(flaky);
    for (uint32_t n : refused) bench.drive.RefuseCommand(n, sim::sense::kBecomingReady);
    if (failing >= 0) bench.drive.FailOpcode(static_cast<uint8_t>(failing), {});
    bench.pt.AttachOther('C', 3);  // a fixed disk
    bench.pt.AttachOther('D', 2);  // a removable one
    bench.pt.AttachDrive('E', &bench.drive);
    ASSERT_EQ(DiscoverDrives(), kept) << int{byte0} << " " << int{byte3} << " " << sent;
    EXPECT_EQ(kept ? DriveTable[0].UsesCdb12 : 0, cdb12) << int{byte3};
    EXPECT_EQ(bench.drive.trace().size(), sent) << flaky;
    for (const auto& e : bench.drive.trace()) EXPECT_EQ(e.cdb_length, 6);
    for (const auto& open : bench.pt.opens()) EXPECT_EQ(open.letter, 'E');
  }
}

TEST(Discovery, AspiWalksEveryAdapterAndTargetAndRecordsTheAddress) {
  UpdateBench bench(Via::kAspi);
  const auto clock = sim::FakeClock(bench.fake);
  sim::KestranDrive d1(clock), d2(clock), d3(clock), d4(clock);
  bench.bus.AddAdapter(0x0003, 4);
  bench.bus.AddAdapter(0x001F, 8);
  bench.bus.AddAdapter(0, 8);       // its inquiry fails: skipped
  bench.bus.AddAdapter(0, 0);       // reports no targets: scanned for eight
  bench.bus.AttachDevice(0, 0, 0);  // a disk: never sent a command
  bench.bus.AttachDrive(0, 2, &bench.drive);
  bench.bus.AttachDrive(1, 3, &d1);
  bench.bus.AttachDrive(1, 5, &d2);  // its device-type query fails: skipped
  bench.bus.AttachDrive(2, 0, &d3);
  bench.bus.AttachDrive(3, 7, &d4);
  bench.bus.adapter(1).targets[5].device_type_status = sim::kSsErr;
  bench.bus.adapter(2).inquiry_status = sim::kSsErr;
  ASSERT_EQ(DiscoverDrives(), 3);
  // The address shown and the adapter's alignment mask, entry by entry.
  for (const auto& [i, address, mask] :
       {std::tuple(0, "(0,2) ", 3), {1, "(1,3) ", 31}, {2, "(3,7) ", 0}}) {
    EXPECT_EQ(DriveTable[i].DisplayText, address + std::string(kShown));
    EXPECT_EQ(DriveTable[i].AlignMask, mask);
  }
  EXPECT_TRUE(d2.trace().empty() && d3.trace().empty());
  std::vector<int> type_queries(4);
  for (const auto& q : bench.bus.requests())
    type_queries[q.adapter] += q.command == SC_GET_DEV_TYPE;
  EXPECT_EQ(type_queries, (std::vector<int>{4, 8, 0, 8}));
}

TEST(Discovery, AspiEndsAtAFailedInquiryOfAdapterZeroAndKeepsAtMostAHundredDrives) {
  UpdateBench bench(Via::kAspi);
  for (int n = 0; n < 101; ++n) {
    if (n % 8 == 0) bench.bus.AddAdapter();
    bench.bus.AttachDrive(static_cast<uint8_t>(n / 8), static_cast<uint8_t>(n % 8), &bench.drive);
  }
  EXPECT_EQ(DiscoverDrives(), 100);
  EXPECT_EQ(DriveTable[99].DisplayText, "(12,3) " + std::string(kShown));
  bench.bus.adapter(0).inquiry_status = sim::kSsErr;
  const size_t requests = bench.bus.requests().size();
  EXPECT_EQ(DiscoverDrives(), 0);
  EXPECT_EQ(bench.bus.requests().size(), requests + 1);
}

}  // namespace
