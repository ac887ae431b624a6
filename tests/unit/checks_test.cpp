// The pre-update checks against the emulated drive: board version limit,
// fixed model, version comparison, and the boxes each refusal shows.
#include <gtest/gtest.h>

#include "update_bench.h"

namespace {

const uint32_t kInfo = plat::kMbOk | plat::kMbIconInformation;

class ChecksTest : public ::testing::Test {
 protected:
  ChecksTest() { SetMessageOwner(kOwner); }
  int Check() {
    bench_.AddDrive();
    bench_.drive.ClearTrace();
    return CheckDrive();
  }
  UpdateBench bench_;
};

// The memory read comes first, and nothing follows a refusal.
TEST(Checks, BoardVersionAboveTheLimitOrUnreadableIsRefused) {
  const std::string refused =
      Box(kCaptionInformation, kInfo, TextIn(Msg::BoardNotApplicable, false));
  const std::string stop = Box(kCaptionError, plat::kMbIconStop, "Drive version check failure.");
  const std::tuple<uint8_t, uint8_t, bool, Texts, Texts> cases[] = {
      // limit, board version, read refused, boxes, commands
      {0, 0xFF, false, {}, {"INQ"}},
      {3, 3, false, {}, {"MEM F8048/16", "INQ"}},
      {0x7F, 0x80, false, {refused}, {"MEM F8048/16"}},
      {5, 0, true, {stop}, {"MEM F8048/16"}}};
  for (const auto& [limit, board, read_refused, boxes, sent] : cases) {
    UpdateBench bench;
    SetMessageOwner(kOwner);
    UpdatePackage.BoardVersionLimit = limit;
    bench.drive.mutable_config().board_version = board;
    if (read_refused) bench.drive.RefuseCommand(0, sim::sense::kInvalidOpcode);
    bench.AddDrive();
    EXPECT_EQ(CheckDrive(), boxes.empty()) << int{limit} << " " << int{board};
    EXPECT_EQ(Boxes(bench.fake, kOwner), boxes);
    EXPECT_EQ(bench.Commands(), sent);
    EXPECT_EQ(LastErrorText, "");  // the checks never touch the failure text
  }
}

TEST_F(ChecksTest, OnlyTheFixedModelIsApplicable) {
  const std::pair<const char*, bool> cases[] = {
      {"KESTRAN CD-R   TQ-517T  ", true},  {"KESTRAN CD-R   TQ-517TXY", true},
      {"KESTRAN CD-R   TQ-518T  ", false}, {"kestran CD-R   TQ-517T  ", false},
      {"OTHERCO CD-R   TQ-517T  ", false}, {"KESTRAN CD-R    TQ-517T ", false}};
  Texts boxes;
  for (const auto& [id, applicable] : cases) {
    bench_.drive.mutable_config().vendor = std::string(id, 8);
    bench_.drive.mutable_config().product = std::string(id + 8, 16);
    EXPECT_EQ(Check(), applicable) << id;
    if (!applicable) {
      boxes.push_back(Box(kCaptionInformation, kInfo | plat::kMbSystemModal,
                          "The drive isn't applicable to this firmware."));
    }
  }
  EXPECT_EQ(Boxes(bench_.fake, kOwner), boxes);
}

TEST_F(ChecksTest, InquiryIsSentOnceMoreWhenTheFirstFailsAndASecondFailureStopsSilently) {
  bench_.drive.RefuseCommand(0, sim::sense::kBecomingReady, sim::kBusy);
  EXPECT_EQ(Check(), 1);
  EXPECT_EQ(bench_.Commands(), (Texts{"INQ", "INQ"}));
  bench_.drive.FailOpcode(0x12, sim::TransportFault{});
  EXPECT_EQ(Check(), 0);
  EXPECT_EQ(bench_.Commands(), (Texts{"INQ", "INQ"}));
  EXPECT_TRUE(bench_.fake.MessageBoxes().empty());
}

// Package version against the drive's revision: only "d.xx" forms with a
// non-zero first digit are compared, as decimal numbers.
TEST_F(ChecksTest, OlderPackageAsksWhetherToContinue) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"1.02", "1.04", true},  {"1.04", "1.04", false}, {"1.1", "1.09", false},
      {"1.09", "1.1 ", true},  {"10.2", "11.0", false}, {"1.00", "10.2", false},
      {"1-04", "1.05", false}, {"0.99", "1.00", false}, {"1.x", "1.01", true}};
  Texts boxes;
  for (const auto& [package, drive, asks] : cases) {
    std::snprintf(UpdatePackage.PackageVersion, sizeof UpdatePackage.PackageVersion, "%s", package);
    bench_.drive.mutable_config().revision = drive;
    for (const int answer : {plat::kIdNo, plat::kIdYes}) {
      bench_.fake.message_box_answers.assign(1, answer);
      EXPECT_EQ(Check(), !asks || answer == plat::kIdYes) << package << " " << drive;
      if (asks) {
        boxes.push_back(Box(kCaptionInformation, plat::kMbYesNo | plat::kMbIconInformation,
                            TextIn(Msg::DriveHasLaterVersion, false)));
      }
    }
  }
  EXPECT_EQ(Boxes(bench_.fake, kOwner), boxes);
}

}  // namespace
