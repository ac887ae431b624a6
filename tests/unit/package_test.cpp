// The package description file: grammar, values and every result code.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "package/package.h"
#include "scratch_dir.h"

namespace {

const std::string kIds = "INQUIRY=KESTRAN CD-R   TQ-517T;\nVERSION=1.10\n";
const std::string kMain = "FIRMWAREFILENAME=main.bin\nFIRMWAREFILESIZE=100\n";

std::string Desc(const std::string& first, const std::string& option = "") {
  return "[UPGRADEINFORMATION]\n" + first + "[OPTION]\n" + option;
}

struct Image {
  std::string name;
  uint32_t size;
};

class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetUpdatePackage(); }
  void TearDown() override { ResetUpdatePackage(); }

  // Writes the fallback description and the images, then loads.
  uint8_t Load(const std::optional<std::string>& description, const std::vector<Image>& images) {
    if (description) dir_.Write("kestfirm.ini", *description);
    for (const Image& image : images) dir_.WriteImage(image.name, image.size);
    return LoadPackage("KSFUPD.INI");
  }

  FakePlatform os_;
  ScratchDir dir_;
};

struct CodeCase {
  const char* name;
  std::optional<std::string> description;
  std::vector<Image> images;
  uint8_t code;
};

const std::vector<CodeCase>& CodeCases() {
  static const std::vector<CodeCase> cases = {
      {"valid", Desc(kIds + kMain), {{"main.bin", 100}}, 0},
      {"no description file", std::nullopt, {{"main.bin", 100}}, 1},
      {"empty file", "", {}, 2},
      {"no first section", kIds + kMain + "[OPTION]\n", {{"main.bin", 100}}, 2},
      {"indented first section header", " " + Desc(kIds + kMain), {{"main.bin", 100}}, 2},
      {"first section never ends", "[UPGRADEINFORMATION]\n" + kIds + kMain, {{"main.bin", 100}}, 3},
      {"[OPTION] as the last line without line end",
       "[UPGRADEINFORMATION]\n" + kIds + kMain + "[OPTION]",
       {{"main.bin", 100}},
       0},
      {"keys and headers in mixed case",
       "[upgradeInformation]\ninquiry=KESTRAN CD-R   TQ-517T;\nVersion=1.10\n"
       "firmwarefilename=main.bin\nFirmwareFileSize=100\n[option]\n",
       {{"main.bin", 100}},
       0},
      {"CR LF line ends",
       "[UPGRADEINFORMATION]\r\nINQUIRY=KESTRAN CD-R   TQ-517T;\r\nVERSION=1.10\r\n"
       "FIRMWAREFILENAME=main.bin\r\nFIRMWAREFILESIZE=100\r\n[OPTION]\r\n",
       {{"main.bin", 100}},
       0},
      {"no main size and no drive class", Desc(kIds + "FIRMWAREFILENAME=main.bin\n"), {}, 4},
      {"hexadecimal main size reads as 0",
       Desc(kIds + "FIRMWAREFILENAME=main.bin\nFIRMWAREFILESIZE=0x58000\n"),
       {{"main.bin", 0x58000}},
       4},
      {"hexadecimal main size falls back to the CD-R default",
       Desc(kIds + "FIRMWAREFILENAME=main.bin\nFIRMWAREFILESIZE=0x58000\n",
            "USE CDR CAUTION=YES\n"),
       {{"main.bin", 360448}},
       0},
      {"CD-ROM default size",
       Desc(kIds + "FIRMWAREFILENAME=main.bin\n", "USE CDROM CAUTION=YES\n"),
       {{"main.bin", 131072}},
       0},
      {"negative main size cannot be allocated",
       Desc(kIds + "FIRMWAREFILENAME=main.bin\nFIRMWAREFILESIZE=-1\n"),
       {{"main.bin", 100}},
       5},
      {"title of 127 characters",
       Desc("APPLICATIONTITLE=" + std::string(127, 'T') + "\n" + kIds + kMain),
       {{"main.bin", 100}},
       0},
      {"title of 128 characters",
       Desc("APPLICATIONTITLE=" + std::string(128, 'T') + "\n" + kIds + kMain),
       {{"main.bin", 100}},
       6},
      {"INQUIRY list of 260 characters",
       Desc("INQUIRY=" + std::string(259, 'K') + ";\nVERSION=1.10\n" + kMain),
       {{"main.bin", 100}},
       0},
      {"INQUIRY list of 261 characters",
       Desc("INQUIRY=" + std::string(260, 'K') + ";\nVERSION=1.10\n" + kMain),
       {{"main.bin", 100}},
       6},
      {"file name of 35 characters",
       Desc(kIds + "FIRMWAREFILENAME=" + std::string(35, 'f') + "\nFIRMWAREFILESIZE=100\n"),
       {},
       6},
      {"boot file name of 35 characters",
       Desc("BOOTFIRMWAREFILENAME=" + std::string(35, 'b') + "\n" + kIds + kMain),
       {},
       6},
      {"version of 5 characters",
       Desc("INQUIRY=KESTRAN CD-R   TQ-517T;\nVERSION=1.100\n" + kMain),
       {{"main.bin", 100}},
       6},
      {"overlong value on a very long line",
       Desc("APPLICATIONTITLE=" + std::string(100000, 'x') + "\n" + kIds + kMain),
       {},
       6},
      {"empty INQUIRY list", Desc("INQUIRY=\nVERSION=1.10\n" + kMain), {{"main.bin", 100}}, 7},
      {"INQUIRY list beginning with ';'",
       Desc("INQUIRY=;KESTRAN;\nVERSION=1.10\n" + kMain),
       {{"main.bin", 100}},
       7},
      {"no version", Desc("INQUIRY=KESTRAN;\n" + kMain), {{"main.bin", 100}}, 7},
      {"INQUIRY list without ';'",
       Desc("INQUIRY=KESTRAN CD-R\nVERSION=1.10\n" + kMain),
       {{"main.bin", 100}},
       8},
      {"buffer size 0", Desc(kIds + kMain + "BUFFERSIZE=0\n"), {{"main.bin", 100}}, 9},
      {"buffer size not a number", Desc(kIds + kMain + "BUFFERSIZE=big\n"), {{"main.bin", 100}}, 9},
      {"buffer size 0 is checked after the list",
       Desc("INQUIRY=KESTRAN\nVERSION=1.10\n" + kMain + "BUFFERSIZE=0\n"),
       {{"main.bin", 100}},
       8},
      {"main image missing", Desc(kIds + kMain), {}, 10},
      {"main image missing outranks an empty list", Desc("INQUIRY=\n" + kMain), {}, 10},
      {"boot image missing",
       Desc("BOOTFIRMWAREFILENAME=boot.bin\nBOOTFIRMWAREFILESIZE=64\n" + kIds + kMain),
       {{"main.bin", 100}},
       10},
      {"boot file with empty name",
       Desc("BOOTFIRMWAREFILENAME=\n" + kIds + kMain),
       {{"main.bin", 100}},
       10},
      {"boot file without size",
       Desc("BOOTFIRMWAREFILENAME=boot.bin\n" + kIds + kMain),
       {{"boot.bin", 64}, {"main.bin", 100}},
       12},
      {"boot and main images",
       Desc("BOOTFIRMWAREFILENAME=boot.bin\nBOOTFIRMWAREFILESIZE=64\n" + kIds + kMain),
       {{"boot.bin", 64}, {"main.bin", 100}},
       0},
      {"main image one byte short", Desc(kIds + kMain), {{"main.bin", 99}}, 12},
      {"main image one byte long", Desc(kIds + kMain), {{"main.bin", 101}}, 12},
      {"key after a blank is no key",
       Desc(" INQUIRY=KESTRAN;\nVERSION=1.10\n" + kMain),
       {{"main.bin", 100}},
       7},
      {"blank before '=' is no key",
       Desc("INQUIRY =KESTRAN;\nVERSION=1.10\n" + kMain),
       {{"main.bin", 100}},
       7},
      {"first section keys mean nothing in [OPTION]",
       Desc("VERSION=1.10\n" + kMain, "INQUIRY=KESTRAN;\n"),
       {{"main.bin", 100}},
       7},
  };
  return cases;
}

TEST_F(PackageTest, ResultCodes) {
  for (const CodeCase& c : CodeCases()) {
    SCOPED_TRACE(c.name);
    ResetUpdatePackage();
    {
      ScratchDir case_dir;  // each case in a directory of its own
      if (c.description) case_dir.Write("kestfirm.ini", *c.description);
      for (const Image& image : c.images) case_dir.WriteImage(image.name, image.size);
      EXPECT_EQ(LoadPackage("KSFUPD.INI"), c.code);
    }
  }
}

struct FieldCase {
  const char* name;
  std::string first;  // lines added to the first section (after the valid base)
  std::string option;
  std::function<void(const UpdatePackageRecord&)> check;
};

TEST_F(PackageTest, Values) {
  const std::vector<FieldCase> cases = {
      {"defaults", "", "",
       [](const UpdatePackageRecord& p) {
         EXPECT_EQ(p.BufferSize, 2048u);
         EXPECT_EQ(p.WaitTime, 45);
         EXPECT_EQ(p.DriveClass, 0);
         EXPECT_EQ(p.NoRestart, 0);
         EXPECT_EQ(p.NoDeleteFile, 0);
         EXPECT_EQ(p.NoPassThrough, 0);
         EXPECT_EQ(p.ExternalInquiry, 0);
         EXPECT_EQ(p.BoardVersionLimit, 0);
         EXPECT_EQ(p.BootImagePresent, 0);
         EXPECT_EQ(p.BootImage, nullptr);
         EXPECT_STREQ(p.MainFileName, "main.bin");
         EXPECT_EQ(p.MainImageSize, 100u);
       }},
      {"text values keep their case and trailing blanks",
       "INQUIRY=Kestran cd-r   tq-517t; \nAPPLICATIONTITLE= Mixed Case Title  \n", "",
       [](const UpdatePackageRecord& p) {
         EXPECT_STREQ(p.InquiryList, "Kestran cd-r   tq-517t; ");
         EXPECT_STREQ(p.ApplicationTitle, " Mixed Case Title  ");
       }},
      {"the last of a repeated key wins", "VERSION=2.00\nBUFFERSIZE=10\nBUFFERSIZE=4096\n", "",
       [](const UpdatePackageRecord& p) {
         EXPECT_STREQ(p.PackageVersion, "2.00");
         EXPECT_EQ(p.BufferSize, 4096u);
       }},
      {"numbers read like atoi", "BUFFERSIZE=  \t+512kB\n", "UPDATE WAIT TIME= 300\n",
       [](const UpdatePackageRecord& p) {
         EXPECT_EQ(p.BufferSize, 512u);
         EXPECT_EQ(p.WaitTime, 44);  // 300 modulo 256
       }},
      {"non-numeric wait time", "", "UPDATE WAIT TIME=long\n",
       [](const UpdatePackageRecord& p) { EXPECT_EQ(p.WaitTime, 0); }},
      {"board version limit, low 8 bits", "", "USE PCB VERSION CHECK=259\n",
       [](const UpdatePackageRecord& p) { EXPECT_EQ(p.BoardVersionLimit, 3); }},
      {"NO options in any case, by their first letters", "",
       "use restart=now\nUSE DELETE FILE=no\nUse ScsiPassThroughInterface On WinNT=No thanks\n",
       [](const UpdatePackageRecord& p) {
         EXPECT_EQ(p.NoRestart, 1);
         EXPECT_EQ(p.NoDeleteFile, 1);
         EXPECT_EQ(p.NoPassThrough, 1);
       }},
      {"a single N is not NO", "", "USE RESTART=N\nUSE DELETE FILE=\nUSE RESTART= NO\n",
       [](const UpdatePackageRecord& p) {
         EXPECT_EQ(p.NoRestart, 0);
         EXPECT_EQ(p.NoDeleteFile, 0);
       }},
      {"a flag once set stays set", "", "USE RESTART=NO\nUSE RESTART=YES\n",
       [](const UpdatePackageRecord& p) { EXPECT_EQ(p.NoRestart, 1); }},
      {"external inquiry needs YES", "", "USE DOZEV EXTERNAL DRIVE INQUIRY=yes\n",
       [](const UpdatePackageRecord& p) { EXPECT_EQ(p.ExternalInquiry, 1); }},
      {"external inquiry YE is not YES", "", "USE DOZEV EXTERNAL DRIVE INQUIRY=YE\n",
       [](const UpdatePackageRecord& p) { EXPECT_EQ(p.ExternalInquiry, 0); }},
      {"the last caution YES gives the class", "",
       "USE CDROM CAUTION=YES\nUSE CDR CAUTION=YES\nUSE CDRW CAUTION=NO\n",
       [](const UpdatePackageRecord& p) { EXPECT_EQ(p.DriveClass, 1); }},
      {"CD-R/RW caution", "", "USE CDRW CAUTION=Yes\n",
       [](const UpdatePackageRecord& p) { EXPECT_EQ(p.DriveClass, 2); }},
      {"options before [OPTION] mean nothing", "USE RESTART=NO\nUSE CDR CAUTION=YES\n", "",
       [](const UpdatePackageRecord& p) {
         EXPECT_EQ(p.NoRestart, 0);
         EXPECT_EQ(p.DriveClass, 0);
       }},
      {"comments, blank lines and unknown keys are ignored",
       "; comment\n\nUNKNOWN=1\n" + std::string(70000, '#') + "\n",
       "USE BINARY INFORMATION=YES\n# USE RESTART=NO\n\n",
       [](const UpdatePackageRecord& p) {
         EXPECT_EQ(p.NoRestart, 0);
         EXPECT_STREQ(p.PackageVersion, "1.10");
       }},
      {"an empty boot file name still marks a boot image",
       "BOOTFIRMWAREFILENAME=boot.bin\n"
       "BOOTFIRMWAREFILESIZE=32\n",
       "",
       [](const UpdatePackageRecord& p) {
         EXPECT_EQ(p.BootImagePresent, 1);
         ASSERT_NE(p.BootImage, nullptr);
         EXPECT_EQ(p.BootImageSize, 32u);
       }},
  };
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(c.name);
    ResetUpdatePackage();
    ScratchDir case_dir;
    case_dir.Write("kestfirm.ini", Desc(kIds + kMain + c.first, c.option));
    case_dir.WriteImage("main.bin", 100);
    case_dir.WriteImage("boot.bin", 32);
    ASSERT_EQ(LoadPackage("KSFUPD.INI"), 0);
    c.check(UpdatePackage);
  }
}

TEST_F(PackageTest, DerivedTitle) {
  struct Case {
    std::string inquiry;
    std::string version;
    std::string title;
  } cases[] = {
      {"KESTRAN CD-R   TQ-517T  ;", "1.10", "KESTRAN CD-R TQ-517T Upgrade => 1.10"},
      // Trailing blanks of the entry merge with the blank before "Upgrade".
      {"VENDOR  PRODUCT         ;", "2.0", "VENDOR PRODUCT Upgrade => 2.0"},
      // A short first entry: its ';' and the next entry are part of the 24.
      {"AB;CDEFGHIJKLMNOPQRSTUVWXYZ;", "1.10", "AB;CDEFGHIJKLMNOPQRSTUVW Upgrade => 1.10"},
      {"X     Y;", "9.99", "X Y; Upgrade => 9.99"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inquiry);
    ResetUpdatePackage();
    ScratchDir case_dir;
    case_dir.Write("kestfirm.ini",
                   Desc("INQUIRY=" + c.inquiry + "\nVERSION=" + c.version + "\n" + kMain));
    case_dir.WriteImage("main.bin", 100);
    ASSERT_EQ(LoadPackage("KSFUPD.INI"), 0);
    EXPECT_EQ(std::string(UpdatePackage.ApplicationTitle), c.title);
  }
}

TEST_F(PackageTest, OwnDescriptionIsReadInsteadOfTheFallback) {
  // The fallback is valid; the program's own file is not: the own file wins.
  dir_.Write("kestfirm.ini", Desc(kIds + kMain));
  dir_.Write("KSFUPD.INI", "[UPGRADEINFORMATION]\n");
  dir_.WriteImage("main.bin", 100);
  EXPECT_EQ(LoadPackage("KSFUPD.INI"), 3);

  ResetUpdatePackage();
  std::filesystem::remove(dir_.path() / "KSFUPD.INI");
  EXPECT_EQ(LoadPackage("KSFUPD.INI"), 0);
}

TEST_F(PackageTest, ImagesHoldTheFilesAndErasedFlashBeyond) {
  ASSERT_EQ(Load(Desc("BOOTFIRMWAREFILENAME=boot.bin\nBOOTFIRMWAREFILESIZE=1000\n" + kIds +
                      "FIRMWAREFILENAME=main.bin\nFIRMWAREFILESIZE=5000\n"),
                 {}),
            10);
  ResetUpdatePackage();
  dir_.Write("boot.bin", ScratchDir::Pattern(1000, 3));
  dir_.Write("main.bin", ScratchDir::Pattern(5000, 9));
  ASSERT_EQ(LoadPackage("KSFUPD.INI"), 0);
  const UpdatePackageRecord& p = UpdatePackage;
  ASSERT_NE(p.BootImage, nullptr);
  ASSERT_NE(p.MainImage, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.BootImage), 1000),
            ScratchDir::Pattern(1000, 3));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.MainImage), 5000),
            ScratchDir::Pattern(5000, 9));
  // The flash layout reads 16,416 / 360,480 bytes: what the files do not cover
  // is erased flash.
  EXPECT_EQ(p.BootImage[kBootImageReadLength - 1], 0xFF);
  EXPECT_EQ(p.BootImage[1000], 0xFF);
  EXPECT_EQ(p.MainImage[kMainImageReadLength - 1], 0xFF);
  EXPECT_EQ(p.MainImage[5000], 0xFF);
}

// Records the image files opened.
class OpenRecordingPlatform : public FakePlatform {
 public:
  plat::Handle OpenFileForRead(const char* name) override {
    opened.push_back(name);
    return FakePlatform::OpenFileForRead(name);
  }
  std::vector<std::string> opened;
};

TEST(PackageImages, FailedBootImageStopsBeforeTheMainImage) {
  OpenRecordingPlatform os;
  ScratchDir dir;
  ResetUpdatePackage();
  dir.Write("kestfirm.ini",
            Desc("BOOTFIRMWAREFILENAME=boot.bin\nBOOTFIRMWAREFILESIZE=64\n" + kIds + kMain));
  dir.WriteImage("main.bin", 100);
  EXPECT_EQ(LoadPackage("KSFUPD.INI"), 10);
  EXPECT_EQ(os.opened, std::vector<std::string>{"boot.bin"});
  EXPECT_EQ(UpdatePackage.MainImage, nullptr);

  // Boot image one byte long: 12, main image still untouched.
  os.opened.clear();
  ResetUpdatePackage();
  dir.WriteImage("boot.bin", 65);
  EXPECT_EQ(LoadPackage("KSFUPD.INI"), 12);
  EXPECT_EQ(os.opened, std::vector<std::string>{"boot.bin"});
  ResetUpdatePackage();
}

TEST(PackageReset, ClearsEverythingAndSetsTheDefaults) {
  FakePlatform os;
  ScratchDir dir;
  ResetUpdatePackage();
  dir.Write("kestfirm.ini", Desc(kIds + kMain + "BUFFERSIZE=7\n", "USE CDR CAUTION=YES\n"));
  dir.WriteImage("main.bin", 100);
  ASSERT_EQ(LoadPackage("KSFUPD.INI"), 0);
  ResetUpdatePackage();
  UpdatePackageRecord expected;
  std::memset(&expected, 0, sizeof(expected));
  expected.BufferSize = 2048;
  expected.WaitTime = 45;
  EXPECT_EQ(std::memcmp(&UpdatePackage, &expected, sizeof(expected)), 0);
}

}  // namespace
