// Start-up: the order of the whole run and every way it ends, with the
// emulated drive behind the ASPI and pass-through layers.
#include "app/startup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <tuple>
#include <string>

#include "discovery/drive_table.h"
#include "fake_hooks.h"
#include "fake_platform.h"
#include "package/package.h"
#include "scratch_dir.h"
#include "text/system_state.h"
#include "transport/transport.h"
#include "update/update_state.h"

namespace {

const std::string kValid =
    "[UPGRADEINFORMATION]\nINQUIRY=KESTRAN CD-R   TQ-517T;\nVERSION=1.10\n"
    "FIRMWAREFILENAME=main.bin\nFIRMWAREFILESIZE=360480\n"
    "BOOTFIRMWAREFILENAME=boot.bin\nBOOTFIRMWAREFILESIZE=16416\n[OPTION]\n";

// One run of the program: one emulated drive on ASPI adapter 0 and at drive
// letter E:, a package directory and scripted dialogs.  The run is traced as
// one line: dialogs, system calls and box texts in their order, then the
// virtual time taken.
struct World : ShellUi {
  World() {
    bus.AddAdapter();
    bus.AttachDrive(0, 1, &drive);
    pass_through.AttachDrive('E', &drive);
    sim::ConnectAspi(os, bus);
    sim::ConnectPassThrough(os, pass_through);
    dir.WriteImage("main.bin", 360480);
    dir.WriteImage("boot.bin", 16416);
    os.version = {1, 4};  // 95/98/Me unless a case says otherwise
    os.on_message_box = [this](const FakePlatform::MessageBoxCall& box) {
      const bool error_box = box.owner == nullptr && box.caption == "Error - Upgrade Program" &&
                             box.flags == (plat::kMbOk | plat::kMbIconStop);
      Note((error_box ? "box:" : "other box:") + box.text);
    };
  }
  ~World() override {
    sim::SimAspi::SetCurrent(nullptr);
    ResetProcessState();
    AnsiCodePage = kShiftJisCodePage;  // as before any start-up
  }
  void Nt(uint32_t major) { os.version = plat::VersionInfo{2, major}; }
  const char* ExecutableBaseName() override { return base_name.c_str(); }
  int RunWelcomeDialog() override {
    Note("welcome");
    return 1;
  }
  int RunMainDialog() override {
    EXPECT_NE(UpdatePackage.MainImage, nullptr);
    Note("main:os" + std::to_string(OsKind) + (TransportKind == Aspi ? ",aspi," : ",pt,") +
         std::to_string(DriveCount));
    return main_result;
  }
  // The system calls made since the last note (their names), then `event`.
  void Note(const std::string& event) {
    const auto calls = os.Calls();
    for (; noted < calls.size(); ++noted)
      trace += calls[noted].substr(0, calls[noted].find('(')) + " ";
    if (!event.empty()) trace += event + " ";
  }
  std::string Run() {
    if (!ini.empty()) dir.Write("kestfirm.ini", ini);
    EXPECT_FALSE(StartUp(*this));
    // After the main dialog the main image is released.
    EXPECT_TRUE(trace.find("main:") == std::string::npos || UpdatePackage.MainImage == nullptr);
    Note(os.NowMs() != 0 ? "@" + std::to_string(os.NowMs()) : "");
    return trace.substr(0, trace.size() - 1);
  }

  FakePlatform os;
  sim::KestranDrive drive{sim::FakeClock(os)};
  sim::SimAspi bus;
  sim::SimPassThrough pass_through;
  ScratchDir dir;
  std::string ini = kValid, base_name = "KSFUPD", trace;
  int main_result = 1;
  size_t noted = 0;
};

// The coded package texts, Wine's ASPI on NT, an ASPI layer that does not
// load, no drive, the welcome's Cancel and the helper's name rule are followed
// end to end (scenarios_*.sh).
TEST(StartUp, RunsAndTheirEnds) {
  const char* aspi_run = "LoadLibrary main:os0,aspi,1 FreeLibrary";
  // The setup (the world is 95/98/Me, dialogs answer OK), the run's trace.
  const std::pair<std::function<void(World&)>, std::string> cases[] = {
      {[](World& w) { w.Nt(4); }, "main:os1,pt,1"},
      {[](World& w) { w.Nt(5); }, "main:os2,pt,1"},
      // Only OK on the main dialog restarts, and only without the helper copy.
      {[](World& w) { w.ini += "USE DELETE FILE=NO\n"; }, aspi_run + std::string(" ExitWindowsEx")},
      {[](World& w) { w.ini += "USE DELETE FILE=NO\n", w.main_result = 2; }, aspi_run},
      // The helper starts while the copy that made it still runs.
      {[](World& w) { w.base_name = "REB_1A2B", w.ini = "", w.os.other_instance = true; },
       "ExitWindowsEx @8000"},
      {[](World& w) { w.os.other_instance = true; }, "box:An update program is already running."},
      // Shift-JIS is shown only through code page 932.
      {[](World& w) { w.os.lcid = 1041, w.os.code_page = 1252, w.ini = "[UPGRADEINFORMATION]\n"; },
       "box:INI file value error. (Code 3)"},
      // Started from another folder: the package beside the program.
      {[](World& w) {
         std::filesystem::create_directory("prog");
         for (const char* file : {"main.bin", "boot.bin"})
           std::filesystem::rename(file, std::string("prog/") + file);
         w.dir.Write("prog/KSFUPD.INI", kValid), w.ini = "", w.os.module_path = "prog\\ksfupd.exe";
       },
       "SetCurrentDirectory " + std::string(aspi_run)},
      {[](World& w) { w.os.fail_read = [](int read) { return read == 1; }; },
       "box:Firmware file reading failure. (Code 11)"},
      // The program's own "<base>.INI" is read, kestfirm.ini not looked at.
      {[](World& w) {
         w.base_name = "MY", w.dir.Write("MY.INI", kValid + "USE CDR CAUTION=YES\n");
       },
       std::string("welcome ") + aspi_run},
  };
  for (const auto& [setup, trace] : cases) {
    World w;
    setup(w);
    EXPECT_EQ(w.Run(), trace);
  }
}

TEST(BaseNameFromModulePath, StripsDirectoryAndExtension) {
  FakePlatform os;
  // "表" is 95 5C in code page 932: its second byte is no separator.
  const std::tuple<const char*, uint32_t, const char*> cases[] = {
      {"C:ksfupd.exe", 1033, "ksfupd"},
      {"C:\\dir.v2\\name.tar.exe", 1033, "name.tar"},
      {"C:\\a\\\x95\x5C.exe", 1041, "\x95\x5C"},
      {"C:\\a\\\x95\x5C.exe", 1033, ""}};
  for (const auto& [path, lcid, base] : cases) {
    os.lcid = lcid;
    EXPECT_EQ(BaseNameFromModulePath(path), base) << path;
  }
}

}  // namespace
