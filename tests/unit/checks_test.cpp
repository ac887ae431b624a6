// The pre-update checks against the emulated drive: board version limit,
// fixed model, version comparison (the boxes each refusal shows, the drive's
// own model passing and another refused, are seen end to end, and in the
// dialog's own test).
#include <gtest/gtest.h>

#include "update_bench.h"

namespace {

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

// Nothing follows a refusal; the versions compare as unsigned bytes (the
// memory read first, a board at the limit, a limit of 0 reading nothing and an
// unreadable version: all seen end to end).
TEST_F(ChecksTest, BoardVersionAboveTheLimitIsRefused) {
  UpdatePackage.BoardVersionLimit = 0x7F;
  bench_.drive.mutable_config().board_version = 0x80;
  EXPECT_EQ(Check(), 0);
  EXPECT_EQ(bench_.Commands(), Texts{"MEM F8048/16"});
}

TEST_F(ChecksTest, OnlyTheFixedModelIsApplicable) {
  // The drive's own model passing and another refused are seen end to end.
  // clang-format off
  const std::pair<const char*, bool> cases[] = {
      {"KESTRAN CD-R   TQ-517TXY", true},  {"kestran CD-R   TQ-517T  ", false},
      {"OTHERCO CD-R   TQ-517T  ", false}, {"KESTRAN CD-R    TQ-517T ", false}};
  // clang-format on
  for (const auto& [id, applicable] : cases) {
    bench_.drive.mutable_config().vendor = std::string(id, 8);
    bench_.drive.mutable_config().product = std::string(id + 8, 16);
    EXPECT_EQ(Check(), applicable) << id;
  }
}

TEST_F(ChecksTest, InquiryIsSentOnceMoreWhenTheFirstFailsAndASecondFailureStopsSilently) {
  bench_.drive.RefuseCommand(0, sim::sense::kBecomingReady, sim::kBusy);
  EXPECT_EQ(Check(), 1);
  EXPECT_EQ(bench_.Commands(), (Texts{"INQ", "INQ"}));
  bench_.drive.FailOpcode(0x12, sim::TransportFault{});
  EXPECT_EQ(Check(), 0);
  EXPECT_EQ(bench_.Commands(), (Texts{"INQ", "INQ"}));
  EXPECT_TRUE(bench_.fake.MessageBoxes().empty());
  EXPECT_EQ(LastErrorText, "");  // the checks never touch the failure text
}

// Package version against the drive's revision: only "d.xx" forms with a
// non-zero first digit are compared, as decimal numbers, and only a Yes goes
// on.
TEST_F(ChecksTest, OlderPackageAsksWhetherToContinue) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"1.02", "1.04", true},  {"1.04", "1.04", false}, {"1.1", "1.09", false},
      {"1.09", "1.1 ", true},  {"10.2", "11.0", false}, {"1.00", "10.2", false},
      {"1-04", "1.05", false}, {"0.99", "1.00", false}, {"1.x", "1.01", true}};
  for (const auto& [package, drive, asks] : cases) {
    std::snprintf(UpdatePackage.PackageVersion, sizeof UpdatePackage.PackageVersion, "%s", package);
    bench_.drive.mutable_config().revision = drive;
    for (const int answer : {plat::kIdNo, plat::kIdYes}) {
      bench_.fake.message_box_answers.assign(1, answer);
      EXPECT_EQ(Check(), !asks || answer == plat::kIdYes) << package << " " << drive;
    }
  }
}

}  // namespace
