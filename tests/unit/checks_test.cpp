// The pre-update checks against the emulated drive: board version limit,
// fixed model, version comparison, and the boxes each refusal shows.
#include <gtest/gtest.h>

#include "app/catalogue.h"
#include "update_bench.h"

namespace {

void* const kOwner = reinterpret_cast<void*>(0xD1A1);

class ChecksTest : public ::testing::Test {
 protected:
  void SetUp() override { SetMessageOwner(kOwner); }
  int Check() {
    bench_.AddDrive();
    bench_.drive.ClearTrace();
    return CheckDrive();
  }
  std::vector<FakePlatform::MessageBoxCall> Boxes() { return bench_.fake.MessageBoxes(); }
  UpdateBench bench_;
};

TEST_F(ChecksTest, TheRightDriveWithANewerPackagePassesSilentlyWithOneInquiry) {
  EXPECT_EQ(Check(), 1);
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(bench_.Commands(), std::vector<std::string>{"INQ"});  // no memory read at limit 0
}

struct BoardCase {
  uint8_t limit, board;
  int result;
};
class BoardVersionTest : public ChecksTest, public ::testing::WithParamInterface<BoardCase> {};

TEST_P(BoardVersionTest, BoardVersionAboveTheLimitIsRefused) {
  UpdatePackage.BoardVersionLimit = GetParam().limit;
  bench_.drive.mutable_config().board_version = GetParam().board;
  EXPECT_EQ(Check(), GetParam().result);
  EXPECT_EQ(bench_.Commands()[0], "MEM F8048/16");
  if (GetParam().result == 1) {
    EXPECT_TRUE(Boxes().empty());
    return;
  }
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text, TextIn(Msg::BoardNotApplicable, false));
  EXPECT_EQ(Boxes()[0].caption, "Information - Upgrade Program");
  EXPECT_EQ(Boxes()[0].flags, plat::kMbOk | plat::kMbIconInformation);
  EXPECT_EQ(Boxes()[0].owner, kOwner);
  EXPECT_EQ(bench_.Commands().size(), 1u);  // nothing after the refusal
}

INSTANTIATE_TEST_SUITE_P(Limits, BoardVersionTest,
                         ::testing::Values(BoardCase{3, 3, 1}, BoardCase{3, 4, 0},
                                           BoardCase{3, 0, 1}, BoardCase{0x7F, 0x80, 0},
                                           BoardCase{0xFF, 0xFF, 1}));

TEST_F(ChecksTest, FailedMemoryReadShowsTheStopBox) {
  UpdatePackage.BoardVersionLimit = 5;
  bench_.drive.RefuseCommand(0, sim::sense::kInvalidOpcode);
  EXPECT_EQ(Check(), 0);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text, "Drive version check failure.");
  EXPECT_EQ(Boxes()[0].caption, "Error - Upgrade Program");
  EXPECT_EQ(Boxes()[0].flags, plat::kMbOk | plat::kMbIconStop);
  EXPECT_EQ(bench_.Commands().size(), 1u);
  EXPECT_EQ(LastErrorText, "");  // the checks never touch the failure text
}

struct ModelCase {
  const char* name;
  std::string vendor, product;
  bool applicable;
};
class ModelTest : public ChecksTest, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(ModelTest, OnlyTheFixedModelIsApplicable) {
  bench_.drive.mutable_config().vendor = GetParam().vendor;
  bench_.drive.mutable_config().product = GetParam().product;
  EXPECT_EQ(Check(), GetParam().applicable ? 1 : 0);
  if (GetParam().applicable) {
    EXPECT_TRUE(Boxes().empty());
    return;
  }
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text, "The drive isn't applicable to this firmware.");
  EXPECT_EQ(Boxes()[0].caption, "Information - Upgrade Program");
  EXPECT_EQ(Boxes()[0].flags, plat::kMbOk | plat::kMbIconInformation | plat::kMbSystemModal);
}

INSTANTIATE_TEST_SUITE_P(
    Models, ModelTest,
    ::testing::Values(ModelCase{"Exact", "KESTRAN ", "CD-R   TQ-517T  ", true},
                      ModelCase{"LastTwoProductBytesIgnored", "KESTRAN ", "CD-R   TQ-517TXY", true},
                      ModelCase{"OtherModel", "KESTRAN ", "CD-R   TQ-518T  ", false},
                      ModelCase{"LowerCaseVendor", "kestran ", "CD-R   TQ-517T  ", false},
                      ModelCase{"OtherVendor", "OTHERCO ", "CD-R   TQ-517T  ", false},
                      ModelCase{"ProductShiftedByABlank", "KESTRAN ", "CD-R    TQ-517T ", false}),
    [](const auto& info) { return info.param.name; });

TEST_F(ChecksTest, InquiryIsSentOnceMoreWhenTheFirstFails) {
  bench_.drive.RefuseCommand(0, sim::sense::kBecomingReady, sim::kBusy);
  EXPECT_EQ(Check(), 1);
  EXPECT_EQ(bench_.Commands(), (std::vector<std::string>{"INQ", "INQ"}));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(ChecksTest, TwoFailedInquiriesStopWithoutAMessage) {
  bench_.drive.FailOpcode(0x12, sim::TransportFault{});
  EXPECT_EQ(Check(), 0);
  EXPECT_EQ(bench_.Commands().size(), 2u);
  EXPECT_TRUE(Boxes().empty());
}

// Package version against the drive's revision: only "d.xx" forms with a
// non-zero first digit are compared, as decimal numbers.
struct VersionCase {
  const char* package;
  const char* drive;
  bool asks;
};
class VersionTest : public ChecksTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionTest, OlderPackageAsksWhetherToContinue) {
  std::snprintf(UpdatePackage.PackageVersion, sizeof UpdatePackage.PackageVersion, "%s",
                GetParam().package);
  bench_.drive.mutable_config().revision = GetParam().drive;
  for (const int answer : {plat::kIdNo, plat::kIdYes}) {
    bench_.fake.message_box_answers.push_back(answer);
    const size_t boxes_before = Boxes().size();
    const int result = Check();
    if (!GetParam().asks) {
      EXPECT_EQ(result, 1);
      EXPECT_EQ(Boxes().size(), boxes_before);
      bench_.fake.message_box_answers.clear();
      continue;
    }
    EXPECT_EQ(result, answer == plat::kIdYes ? 1 : 0);
    ASSERT_EQ(Boxes().size(), boxes_before + 1);
    const auto box = Boxes().back();
    EXPECT_EQ(box.text,
              "Drive has later version of firmware than this program. Please \nvisit Kestran Web "
              "Site to check availability of latest firmware \nfor the drive you have.\n\nDo you "
              "continue it ?");
    EXPECT_EQ(box.caption, "Information - Upgrade Program");
    EXPECT_EQ(box.flags, plat::kMbYesNo | plat::kMbIconInformation);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionTest,
    ::testing::Values(VersionCase{"1.02", "1.04", true}, VersionCase{"1.04", "1.02", false},
                      VersionCase{"1.04", "1.04", false}, VersionCase{"1.1", "1.09", false},
                      VersionCase{"1.09", "1.1 ", true}, VersionCase{"2.00", "9.99", true},
                      VersionCase{"10.2", "11.0", false}, VersionCase{"1.00", "10.2", false},
                      VersionCase{"1-04", "1.05", false}, VersionCase{"0.99", "1.00", false},
                      VersionCase{"1.00", "0.99", false}, VersionCase{"1.0a", "1.0b", false},
                      VersionCase{"1.x", "1.01", true}));

TEST_F(ChecksTest, JapaneseModeShowsTheCatalogueTexts) {
  UserLcid = 1041;
  UpdatePackage.BoardVersionLimit = 1;
  bench_.drive.mutable_config().board_version = 2;
  EXPECT_EQ(Check(), 0);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text, TextIn(Msg::BoardNotApplicable, true));
  EXPECT_EQ(Boxes()[0].caption, "Information - Upgrade Program");
}

TEST_F(ChecksTest, ASelectionOutsideTheDriveListSendsNothing) {
  bench_.AddDrive();
  bench_.drive.ClearTrace();
  SelectedDriveIndex.store(0xFFFF);  // a list without a selection
  EXPECT_EQ(CheckDrive(), 0);
  SelectedDriveIndex.store(1);
  EXPECT_EQ(CheckDrive(), 0);
  EXPECT_TRUE(bench_.drive.trace().empty());
  EXPECT_TRUE(Boxes().empty());
}

TEST(ChecksOverAspi, ChecksTheSelectedDrive) {
  UpdateBench aspi(UpdateBench::Via::kAspi);
  sim::DriveConfig other;
  other.product = "CD-R   TQ-999Z  ";
  sim::KestranDrive wrong(sim::FakeClock(aspi.fake), other);
  aspi.AddDrive(0);
  aspi.AddDrive(1, &wrong);
  SelectedDriveIndex.store(1);
  EXPECT_EQ(CheckDrive(), 0);
  SelectedDriveIndex.store(0);
  EXPECT_EQ(CheckDrive(), 1);
  EXPECT_EQ(wrong.trace().size(), 1u);
  EXPECT_EQ(aspi.drive.trace().size(), 1u);
}

}  // namespace
