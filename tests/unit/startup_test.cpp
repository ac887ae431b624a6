// Start-up: the order of the whole run and every way it ends, with the
// emulated drive behind the ASPI and pass-through layers.
#include "app/startup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/catalogue.h"
#include "app/system_state.h"
#include "discovery/drive_table.h"
#include "fake_hooks.h"
#include "fake_platform.h"
#include "package/package.h"
#include "scratch_dir.h"
#include "transport/transport.h"
#include "update/update_state.h"

namespace {

class ScriptedUi : public ShellUi {
 public:
  const char* ExecutableBaseName() override { return base_name.c_str(); }
  int RunWelcomeDialog() override {
    ++welcome_runs;
    return welcome_result;
  }
  int RunMainDialog() override {
    ++main_runs;
    if (during_main) during_main();
    return main_result;
  }

  std::string base_name = "KSFUPD";
  int welcome_result = 1;
  int main_result = 2;
  int welcome_runs = 0;
  int main_runs = 0;
  std::function<void()> during_main;
};

const std::string kValid =
    "[UPGRADEINFORMATION]\nINQUIRY=KESTRAN CD-R   TQ-517T;\nVERSION=1.10\n"
    "FIRMWAREFILENAME=main.bin\nFIRMWAREFILESIZE=360480\n"
    "BOOTFIRMWAREFILENAME=boot.bin\nBOOTFIRMWAREFILESIZE=16416\n[OPTION]\n";

// A whole little world for one run: the platform, one emulated drive on ASPI
// adapter 0 (target 1) and at drive letter E:, a package directory with both
// images, and the scripted shell.
struct World {
  World() {
    bus.AddAdapter();
    bus.AttachDrive(0, 1, &drive);
    pass_through.AttachDrive('E', &drive);
    sim::ConnectAspi(os, bus);
    sim::ConnectPassThrough(os, pass_through);
    dir.WriteImage("main.bin", 360480);
    dir.WriteImage("boot.bin", 16416);
    os.version = {1, 4};  // 95/98/Me unless a test says otherwise
  }
  ~World() {
    sim::SimAspi::SetCurrent(nullptr);
    ResetUpdatePackage();
    ResetTransportState();
  }

  bool Run() { return StartUp(ui); }
  // The texts of the boxes shown; each must be a start-up error box.
  std::vector<std::string> BoxTexts() {
    std::vector<std::string> texts;
    for (const auto& box : os.MessageBoxes()) {
      EXPECT_EQ(box.owner, nullptr);
      EXPECT_EQ(box.caption, "Error - Upgrade Program");
      EXPECT_EQ(box.flags, plat::kMbOk | plat::kMbIconStop);
      texts.push_back(box.text);
    }
    return texts;
  }
  bool Restarted() {
    const auto calls = os.Calls();
    return std::count(calls.begin(), calls.end(), "ExitWindowsEx(EWX_REBOOT)") > 0;
  }

  FakePlatform os;
  sim::KestranDrive drive{sim::FakeClock(os)};
  sim::SimAspi bus;
  sim::SimPassThrough pass_through;
  ScratchDir dir;
  ScriptedUi ui;
};

TEST(StartUp, NormalRunOverAspi) {
  World w;
  w.dir.Write("kestfirm.ini", kValid);
  w.ui.during_main = [] {
    EXPECT_EQ(DriveCount, 1);
    EXPECT_EQ(TransportKind, Aspi);
    EXPECT_NE(UpdatePackage.MainImage, nullptr);
  };
  EXPECT_FALSE(w.Run());
  EXPECT_TRUE(w.BoxTexts().empty());
  EXPECT_EQ(w.ui.welcome_runs, 0);  // drive class 0: no welcome
  EXPECT_EQ(w.ui.main_runs, 1);
  EXPECT_EQ(w.bus.library_loads, 1);
  EXPECT_EQ(w.bus.library_frees, 1);
  EXPECT_EQ(UpdatePackage.MainImage, nullptr);  // released after the dialog
  EXPECT_NE(UpdatePackage.BootImage, nullptr);  // kept to the process end
  EXPECT_FALSE(w.Restarted());
}

TEST(StartUp, OsKindAndTransport) {
  struct Case {
    plat::VersionInfo version;
    const char* option;
    uint8_t os_kind;
    uint8_t transport;
  } cases[] = {
      {{1, 4}, "", 0, Aspi},
      {{1, 4}, "USE SCSIPASSTHROUGHINTERFACE ON WINNT=NO\n", 0, Aspi},
      {{2, 4}, "", 1, PassThrough},
      {{2, 5}, "", 2, PassThrough},
      {{2, 6}, "", 2, PassThrough},
      {{2, 10}, "USE SCSIPASSTHROUGHINTERFACE ON WINNT=no\n", 2, Aspi},
      {{2, 5}, "USE SCSIPASSTHROUGHINTERFACE ON WINNT=YES\n", 2, PassThrough},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.version.platform_id) + "." +
                 std::to_string(c.version.major_version) + " " + c.option);
    World w;
    w.os.version = c.version;
    w.dir.Write("kestfirm.ini", kValid + c.option);
    uint8_t transport_seen = 0xFF;
    w.ui.during_main = [&] { transport_seen = TransportKind; };
    w.Run();
    EXPECT_EQ(OsKind, c.os_kind);
    EXPECT_EQ(transport_seen, c.transport);
    EXPECT_EQ(w.bus.library_loads, c.transport == Aspi ? 1 : 0);
    EXPECT_EQ(w.ui.main_runs, 1);
    EXPECT_TRUE(w.BoxTexts().empty());
  }
}

TEST(StartUp, RestartHelperMode) {
  struct Case {
    const char* base_name;
    bool helper;
  } cases[] = {
      {"REBOOT", true}, {"REB_1A2B", true}, {"REB", true}, {"reboot", false},
      {"Reb_1", false}, {"XREB", false},    {"RE", false}, {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.base_name);
    World w;
    w.os.version = {2, 5};
    w.ui.base_name = c.base_name;
    w.Run();  // no package: a normal run stops at code 1
    EXPECT_EQ(w.Restarted(), c.helper);
    EXPECT_EQ(w.os.NowMs(), c.helper ? 8000u : 0u);
    EXPECT_EQ(w.BoxTexts(), c.helper ? std::vector<std::string>{}
                                     : std::vector<std::string>{"INI file not found. (Code 1)"});
    EXPECT_EQ(w.ui.welcome_runs + w.ui.main_runs, 0);
    EXPECT_EQ(w.bus.library_loads, 0);
  }
}

TEST(StartUp, StateIsClearedBeforeAnything) {
  World w;
  // Leftovers of an earlier run in the same process.
  DriveCount = 7;
  DriveTable[3].Updated = 1;
  ProgressCounter = 99;
  WorkerState = 2;
  SelectedDriveIndex = 5;
  TransportKind = PassThrough;
  UpdatePackage.NoDeleteFile = 1;
  UpdatePackage.BufferSize = 1;
  UpdatePackage.WaitTime = 1;
  w.ui.base_name = "REBOOT";
  w.os.lcid = 1041;
  w.Run();
  EXPECT_EQ(DriveCount, 0);
  EXPECT_EQ(DriveTable[3].Updated, 0);
  EXPECT_EQ(ProgressCounter.load(), 0u);
  EXPECT_EQ(WorkerState.load(), 0);
  EXPECT_EQ(SelectedDriveIndex.load(), 0);
  EXPECT_EQ(TransportKind, Aspi);
  EXPECT_EQ(UpdatePackage.NoDeleteFile, 0);
  EXPECT_EQ(UpdatePackage.BufferSize, 2048u);
  EXPECT_EQ(UpdatePackage.WaitTime, 45);
  EXPECT_EQ(UserLcid, 1041u);
}

TEST(StartUp, PackageErrorsBecomeOneCodedBox) {
  struct Case {
    const char* name;
    const char* description;  // nullptr: no description file
    uint32_t lcid;
    std::string text;
  } cases[] = {
      {"not found", nullptr, 1033, "INI file not found. (Code 1)"},
      {"not found, Japanese", nullptr, 1041,
       "INI\x83t\x83@\x83"
       "C\x83\x8B\x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9"
       "\x82\xF1\x81\x42(Code 1)"},
      {"no first section", "nothing\n", 1033, "INI file value error. (Code 2)"},
      {"no [OPTION]", "[UPGRADEINFORMATION]\n", 1033, "INI file value error. (Code 3)"},
      {"image missing",
       "[UPGRADEINFORMATION]\nINQUIRY=K;\nVERSION=1\nFIRMWAREFILENAME=x.bin\n"
       "FIRMWAREFILESIZE=10\n[OPTION]\n",
       1033, "Firmware file not found. (Code 10)"},
      {"image short",
       "[UPGRADEINFORMATION]\nINQUIRY=K;\nVERSION=1\nFIRMWAREFILENAME=main.bin\n"
       "FIRMWAREFILESIZE=400000\n[OPTION]\n",
       1033, "Firmware file reading failure. (Code 12)"},
      {"image short, Japanese",
       "[UPGRADEINFORMATION]\nINQUIRY=K;\nVERSION=1\nFIRMWAREFILENAME=main.bin\n"
       "FIRMWAREFILESIZE=400000\n[OPTION]\n",
       1041, ""},  // filled in below from the catalogue
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.text.empty()) {
      char text[256];
      std::snprintf(text, sizeof(text), TextIn(Msg::FirmwareReadFailure, true), 12);
      c.text = text;
    }
    World w;
    w.os.lcid = c.lcid;
    if (c.description) w.dir.Write("kestfirm.ini", c.description);
    EXPECT_FALSE(w.Run());
    EXPECT_EQ(w.BoxTexts(), std::vector<std::string>{c.text});
    EXPECT_EQ(w.ui.welcome_runs + w.ui.main_runs, 0);
    EXPECT_TRUE(w.os.Calls().empty());  // no library, no device, no restart
  }
}

TEST(StartUp, OwnDescriptionIsPreferredToTheFallback) {
  World w;
  // The executable's own "<base>.INI" is read; kestfirm.ini is not looked at.
  w.dir.Write("MYUPD.INI", kValid + "USE CDR CAUTION=YES\n");
  w.dir.Write("kestfirm.ini", "broken\n");
  w.ui.base_name = "MYUPD";
  w.Run();
  EXPECT_TRUE(w.BoxTexts().empty());
  EXPECT_EQ(w.ui.welcome_runs, 1);
  EXPECT_EQ(w.ui.main_runs, 1);

  // Without its own file, the program falls back to kestfirm.ini.
  w.ui.base_name = "OTHER";
  w.Run();
  EXPECT_EQ(w.BoxTexts(), std::vector<std::string>{"INI file value error. (Code 2)"});
}

TEST(StartUp, WelcomeDialog) {
  struct Case {
    const char* option;
    int welcome_result;
    int welcome_runs;
    int main_runs;
  } cases[] = {
      {"", 1, 0, 1},
      {"USE CDR CAUTION=YES\n", 1, 1, 1},
      {"USE CDRW CAUTION=YES\n", 1, 1, 1},
      {"USE CDROM CAUTION=YES\n", 1, 1, 1},
      {"USE CDR CAUTION=YES\n", 2, 1, 0},  // Cancel, Escape, close box
      {"USE CDR CAUTION=YES\n", 0, 1, 0},  // anything but OK
      {"USE CDR CAUTION=NO\n", 2, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.option) + " result " + std::to_string(c.welcome_result));
    World w;
    w.ui.welcome_result = c.welcome_result;
    w.dir.Write("kestfirm.ini", kValid + c.option);
    w.Run();
    EXPECT_EQ(w.ui.welcome_runs, c.welcome_runs);
    EXPECT_EQ(w.ui.main_runs, c.main_runs);
    // A cancelled welcome ends before the ASPI library is touched.
    EXPECT_EQ(w.bus.library_loads, c.main_runs);
    EXPECT_TRUE(w.BoxTexts().empty());
  }
}

TEST(StartUp, TransportAndDriveFailures) {
  struct Case {
    const char* name;
    plat::VersionInfo version;
    void (*setup)(World&);
    const char* text;
  } cases[] = {
      {"no ASPI library",
       {1, 4},
       [](World& w) { w.os.load_library = [](const char*) -> plat::Handle { return nullptr; }; },
       "WNASPI32.DLL load failed."},
      {"ASPI layer without adapters' success",
       {1, 4},
       [](World& w) { w.bus.support_status = 0xE8; },
       "ASPI32 not found."},
      {"no matching drive over ASPI",
       {1, 4},
       [](World& w) { w.drive.mutable_config().vendor = "OTHERCO "; },
       "No applicable drive found."},
      {"no matching drive over pass-through",
       {2, 5},
       [](World& w) { w.drive.mutable_config().vendor = "OTHERCO "; },
       "No applicable drive found."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    w.os.version = c.version;
    c.setup(w);
    w.dir.Write("kestfirm.ini", kValid);
    w.Run();
    EXPECT_EQ(w.BoxTexts(), std::vector<std::string>{c.text});
    EXPECT_EQ(w.ui.main_runs, 0);
    EXPECT_EQ(w.bus.library_frees, 0);  // the process ends right after
  }
}

TEST(StartUp, RestartAfterTheMainDialog) {
  struct Case {
    const char* option;
    int main_result;
    bool restart;
  } cases[] = {
      {"USE DELETE FILE=NO\n", 1, true},
      {"USE DELETE FILE=NO\n", 2, false},  // EXIT never restarts
      {"", 1, false},                      // the helper copy restarts instead
      {"USE DELETE FILE=YES\n", 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.option) + std::to_string(c.main_result));
    World w;
    w.ui.main_result = c.main_result;
    w.dir.Write("kestfirm.ini", kValid + c.option);
    w.Run();
    EXPECT_EQ(w.Restarted(), c.restart);
    if (c.restart) {
      // The ASPI library is released before the restart request.
      const auto calls = w.os.Calls();
      const auto free_at = std::find(calls.begin(), calls.end(), "FreeLibrary");
      const auto reboot_at = std::find(calls.begin(), calls.end(), "ExitWindowsEx(EWX_REBOOT)");
      EXPECT_LT(free_at - calls.begin(), reboot_at - calls.begin());
    }
    EXPECT_TRUE(w.BoxTexts().empty());
  }
}

TEST(BaseNameFromModulePath, StripsDirectoryAndExtension) {
  FakePlatform os;
  struct Case {
    const char* path;
    uint32_t lcid;
    const char* base;
  } cases[] = {
      {"C:\\TEMP\\REB_1A2B.EXE", 1033, "REB_1A2B"},
      {"C:\\Program Files\\Kestran\\ksfupd.exe", 1033, "ksfupd"},
      {"ksfupd.exe", 1033, "ksfupd"},
      {"C:ksfupd.exe", 1033, "ksfupd"},
      {"/opt/app/tool", 1033, "tool"},
      {"C:\\dir.v2\\name.tar.exe", 1033, "name.tar"},
      {"C:\\dir.v2\\noext", 1033, "noext"},
      {"", 1033, ""},
      // "表" is 95 5C in code page 932: its second byte is no separator.
      {"C:\\\x95\x5C\\x.exe", 1041, "x"},
      {"C:\\a\\\x95\x5C.exe", 1041, "\x95\x5C"},
      {"C:\\a\\\x95\x5C.exe", 1033, ""},  // outside 932 that byte is a '\'
  };
  for (const Case& c : cases) {
    os.lcid = c.lcid;
    EXPECT_EQ(BaseNameFromModulePath(c.path), c.base) << c.path;
  }
  EXPECT_EQ(BaseNameFromModulePath(nullptr), "");
}

}  // namespace
