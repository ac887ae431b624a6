#include "app/startup.h"

#include <cstring>

#include "discovery/discovery.h"
#include "discovery/drive_table.h"
#include "package/package.h"
#include "platform/platform.h"
#include "restart/restart.h"
#include "text/catalogue.h"
#include "text/system_state.h"
#include "transport/transport.h"
#include "update/update_state.h"

namespace {

constexpr uint32_t kNtPlatform = 2;       // VER_PLATFORM_WIN32_NT
constexpr uint32_t kHelperWaitMs = 8000;  // before the helper copy restarts Windows
constexpr int kDialogOk = 1;

void ShowStartupError(const char* text) {
  plat::Os().MessageBox(nullptr, text, kCaptionError, plat::kMbOk | plat::kMbIconStop);
}

void ShowPackageError(uint8_t code) {
  char text[256];
  FormatPackageError(code, text, sizeof text);
  ShowStartupError(text);
}

// The restart helper copy of the program (made under a name beginning with
// "REB") does nothing but restart Windows after a pause.
bool IsRestartHelper(const char* base_name) { return std::strncmp(base_name, "REB", 3) == 0; }

// One update program at a time: two would send their commands to the drive
// in turn.  On the NT family from version 5 the name is machine-wide, so
// another user's session counts too (NT 4 and 95/98/Me have one namespace and
// take no prefix).
const char* InstanceMutexName() {
  return OsKind == kOsNt5OrLater ? "Global\\KestranFirmwareUpdate" : "KestranFirmwareUpdate";
}

// Started from a shortcut whose "Start in" is another folder, the package
// beside the program is not in the current folder: the program's own folder
// becomes the current one (the images are named relative to it).  False when
// there is no such folder to go to.
bool EnterProgramFolder() {
  plat::Platform& os = plat::Os();
  char path[1024] = {};
  if (!os.GetModuleFileName(path, sizeof path)) return false;
  const size_t folder = plat::FolderPartLength(path);
  if (folder == 0) return false;
  path[folder] = '\0';
  return os.SetCurrentDirectory(path);
}

// Runs the steps after the system facts; returning ends the program.
void Run(ShellUi& ui) {
  const char* base_name = ui.ExecutableBaseName();
  if (base_name == nullptr) base_name = "";
  if (IsRestartHelper(base_name)) {
    WaitMilliseconds(kHelperWaitMs);
    RestartWindows();
    return;
  }
  // Taken after the helper's test: the helper starts while the copy that
  // made it may still hold the mutex.
  if (!plat::Os().ClaimInstance(InstanceMutexName())) {
    ShowStartupError(Text(Msg::AlreadyRunning));
    return;
  }

  const std::string description = std::string(base_name) + ".INI";
  uint8_t package_result = LoadPackage(description.c_str());
  if (package_result == kPackageNoFile && EnterProgramFolder()) {
    package_result = LoadPackage(description.c_str());
  }
  if (package_result != kPackageLoaded) {
    ShowPackageError(package_result);
    return;
  }

  TransportKind = (OsKind != kOsWindows9x && UpdatePackage.NoPassThrough != 1) ? PassThrough : Aspi;

  if (UpdatePackage.DriveClass != 0 && ui.RunWelcomeDialog() != kDialogOk) return;

  if (TransportKind == Aspi) {
    if (LoadAspiLibrary() == 0) {
      ShowStartupError(Text(Msg::AspiLoadFailed));
      return;
    }
    if (QueryAspiSupport() == 0) {
      ShowStartupError(Text(Msg::AspiNotFound));
      return;
    }
  }

  DriveCount = DiscoverDrives();
  if (DriveCount == 0) {
    ShowStartupError(Text(Msg::NoDrive));
    return;
  }

  const int dialog_result = ui.RunMainDialog();

  if (TransportKind == Aspi) FreeAspiLibrary();
  ReleaseImage(UpdatePackage.MainImage);  // the boot image stays until the process ends

  // With the helper copy switched off, this process restarts Windows itself.
  if (dialog_result == kDialogOk && UpdatePackage.NoDeleteFile == 1) RestartWindows();
}

}  // namespace

bool StartUp(ShellUi& ui) {
  plat::Platform& os = plat::Os();

  ResetProcessState();

  const plat::VersionInfo version = os.GetVersion();
  OsKind = kOsWindows9x;
  if (version.platform_id == kNtPlatform) {
    OsKind = version.major_version >= 5 ? kOsNt5OrLater : kOsNtBefore5;
  }
  UserLcid = os.GetUserDefaultLcid();
  AnsiCodePage = os.GetAnsiCodePage();

  Run(ui);
  return false;
}

std::string BaseNameFromModulePath(const char* module_path) {
  if (module_path == nullptr) return std::string();
  plat::Platform& os = plat::Os();
  size_t name_start = 0;
  size_t length = std::strlen(module_path);
  for (size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<uint8_t>(module_path[i]);
    if (os.IsDbcsLeadByte(byte) && i + 1 < length) {
      ++i;
    } else if (byte == '\\' || byte == '/' || byte == ':') {
      name_start = i + 1;
    }
  }
  std::string name(module_path + name_start, length - name_start);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}
