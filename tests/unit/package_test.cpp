// The package: description file grammar, values, every result code, and the
// image files read into their blocks.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "fake_platform.h"
#include "package/package.h"
#include "scratch_dir.h"

namespace {

const std::string kIds = "INQUIRY=KESTRAN CD-R   TQ-517T;\nVERSION=1.10\n";
const std::string kMain = "FIRMWAREFILENAME=main.bin\nFIRMWAREFILESIZE=100\n";
const std::string kBoot = "BOOTFIRMWAREFILENAME=boot.bin\n";
const std::string kValid = kIds + kMain;

std::string Desc(const std::string& first, const std::string& option = "") {
  return "[UPGRADEINFORMATION]\n" + first + "[OPTION]\n" + option;
}

std::string Bytes(const uint8_t* block, size_t length) {
  return std::string(reinterpret_cast<const char*>(block), length);
}

class PackageTest : public ::testing::Test {
 protected:
  void TearDown() override { ResetUpdatePackage(); }
  // `description` as kestfirm.ini (the program's own KSFUPD.INI is absent) in
  // a directory of its own, with image files of the given sizes (0: none).
  uint8_t Load(const std::string& description, uint32_t main = 100, uint32_t boot = 0) {
    ResetUpdatePackage();
    ScratchDir dir;
    dir.Write("kestfirm.ini", description);
    if (main != 0) dir.WriteImage("main.bin", main);
    if (boot != 0) dir.WriteImage("boot.bin", boot);
    return LoadPackage("KSFUPD.INI");
  }

  FakePlatform os_;
};

TEST_F(PackageTest, ResultCodes) {
  const std::string size = "FIRMWAREFILENAME=main.bin\nFIRMWAREFILESIZE=";
  const struct {
    std::string description;
    uint8_t code;
    uint32_t main = 100, boot = 0;  // image file sizes (0: no file)
    int failing_read = -1;          // 0: the header read
  } cases[] = {
      {"", 2},
      {" " + Desc(kValid), 2},
      {"[UPGRADEINFORMATION]\n" + kValid, 3},
      {"[UPGRADEINFORMATION]\n" + kValid + "[OPTION]", 0},  // no line end after [OPTION]
      {"[upgradeInformation]\r\ninquiry=KESTRAN;\r\nVersion=1.10\r\nfirmwarefilename=main.bin\r\n"
       "FirmwareFileSize=100\r\n[option]\r\n",
       0},
      {Desc(kIds + "FIRMWAREFILENAME=main.bin\n"), 4},
      {Desc(kIds + "FIRMWAREFILENAME=main.bin\n", "USE CDRW CAUTION=YES\n"), 0, 360448},
      {Desc(kIds + size + "0x58000\n", "USE CDROM CAUTION=YES\n"), 0, 131072},  // hex reads 0
      {Desc(kIds + size + "-1\n"), 5},
      {Desc(kValid), 12, 101},              // one byte long (one short: scenarios_startup.sh)
      {Desc(kIds + size + "32\n"), 0, 32},  // a header and no data
      {Desc(kIds + size + "32\n"), 12, 10},
      {Desc(kIds + size + "31\n"), 12, 31},
      {Desc(kValid), 11, 100, 0, 0},
      {Desc(kValid), 11, 100, 0, 1},
      {Desc("APPLICATIONTITLE=" + std::string(127, 'T') + "\n" + kValid), 0},
      {Desc("APPLICATIONTITLE=" + std::string(128, 'T') + "\n" + kValid), 6},
      // Lines beyond what the reader keeps: a known key's value is unknown.
      {Desc("APPLICATIONTITLE=" + std::string(3 * kPackageLineLimit, 'T') + "\n" + kValid), 6},
      {Desc(kIds + size + std::string(kPackageLineLimit, '0') + "100\n"), 6},
      // A repeated key: the last one wins.
      {Desc(kValid + "INQUIRY=\n"), 7},
      {Desc(kValid + "INQUIRY=;KESTRAN;\n"), 7},
      {Desc(kValid + "VERSION=\n"), 7},
      {Desc(kMain + "VERSION=1\n INQUIRY=K;\n"), 7},
      {Desc(kMain + "VERSION=1\nINQUIRY =K;\n"), 7},
      {Desc(kMain + "VERSION=1\n", "INQUIRY=K;\n"), 7},
      {Desc(kValid + "BUFFERSIZE=0\n"), 9},
      {Desc(kValid + "INQUIRY=KESTRAN\nBUFFERSIZE=big\n"), 8},  // 9 only after 7 and 8
      {Desc(kMain + "INQUIRY=\n"), 10, 0},                      // images before 7
      {Desc("BOOTFIRMWAREFILENAME=\n" + kValid), 10},
      {Desc(kBoot + kValid), 12, 100, 64},  // no boot size: 0 bytes expected
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.description.substr(0, 120));
    os_.fail_read = [n = c.failing_read](int read) { return read == n; };
    EXPECT_EQ(Load(c.description, c.main, c.boot), c.code);
  }
}

// The options, and the title as written or derived from the first section
// (values keep their case and trailing blanks; runs of blanks become one).
TEST_F(PackageTest, OptionValuesAndTitle) {
  const struct {
    std::string option;
    const char* values;  // class, wait, board limit, NoRestart NoDeleteFile NoPassThrough
                         // ExternalInquiry, buffer size
    std::string first = "", title = "";
  } cases[] = {
      {"", "0 45 0 0000 2048", "APPLICATIONTITLE= Mixed Case  \n", " Mixed Case  "},
      {"UPDATE WAIT TIME= 300\nUSE PCB VERSION CHECK=259\n", "0 44 3 0000 512",
       "BUFFERSIZE=10\nBUFFERSIZE=  \t+512kB\n"},
      {"use restart=now\nUSE DELETE FILE=no\n", "0 45 0 1100 2048",
       "INQUIRY=Kestran cd-r   tq-517t  ;\nVERSION=1.1 \n", "Kestran cd-r tq-517t Upgrade => 1.1 "},
      {"USE DOZEV EXTERNAL DRIVE INQUIRY=yes\n", "0 45 0 0001 2048",
       "INQUIRY=AB;CDEFGHIJKLMNOPQRSTUVWXYZ;\n", "AB;CDEFGHIJKLMNOPQRSTUVW Upgrade => 1.10"},
      {"USE RESTART=N\nUSE DELETE FILE=\nUSE DOZEV EXTERNAL DRIVE INQUIRY=YE\n",
       "0 45 0 0000 2048"},
      {"USE RESTART= NO\nUSE RESTART=NO\nUSE RESTART=YES\n", "0 45 0 1000 2048"},
      {"USE CDROM CAUTION=YES\nUSE CDR CAUTION=YES\nUSE CDRW CAUTION=NO\n", "1 45 0 0000 2048"},
      {"USE CDRW CAUTION=Yes\nUPDATE WAIT TIME=long\n", "2 0 0 0000 2048"},
      // Options in the first section, comments, unknown keys, a very long line.
      {"USE BINARY INFORMATION=YES\n# USE RESTART=NO\n\n", "0 45 0 0000 2048",
       "USE RESTART=NO\nUSE CDR CAUTION=YES\n; x\nUNKNOWN=1\n" + std::string(70000, '#') + "\n"},
      // Option lines beyond what the reader keeps: YES/NO by their start, a
      // number not known whole is ignored.
      {"UPDATE WAIT TIME=" + std::string(kPackageLineLimit, '0') + "7\nUSE RESTART=NO" +
           std::string(kPackageLineLimit, ' ') + "\n",
       "0 45 0 1000 2048"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    ASSERT_EQ(Load(Desc(kValid + c.first, c.option)), 0);
    const UpdatePackageRecord& p = UpdatePackage;
    char got[64];
    std::snprintf(got, sizeof got, "%d %d %d %d%d%d%d %u", p.DriveClass, p.WaitTime,
                  p.BoardVersionLimit, p.NoRestart, p.NoDeleteFile, p.NoPassThrough,
                  p.ExternalInquiry, p.BufferSize);
    EXPECT_STREQ(got, c.values);
    EXPECT_EQ(c.title.empty() ? "" : std::string(UpdatePackage.ApplicationTitle), c.title);
  }
}

TEST_F(PackageTest, ImagesArePaddedWithErasedFlashToWhatTheFlashLayoutReads) {
  ASSERT_EQ(Load(Desc(kBoot + "BOOTFIRMWAREFILESIZE=1000\n" + kValid), 100, 1000), 0);
  EXPECT_EQ(Bytes(UpdatePackage.BootImage, kBootImageReadLength),
            ScratchDir::Pattern(1000) + std::string(kBootImageReadLength - 1000, '\xFF'));
  EXPECT_EQ(Bytes(UpdatePackage.MainImage, kMainImageReadLength),
            ScratchDir::Pattern(100) + std::string(kMainImageReadLength - 100, '\xFF'));
  // A failed boot image stops the load before the main image is read.
  EXPECT_EQ(Load(Desc(kBoot + "BOOTFIRMWAREFILESIZE=64\n" + kValid)), 10);
  EXPECT_EQ(UpdatePackage.MainImage, nullptr);
}

}  // namespace
