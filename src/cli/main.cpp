// ksfupd for Linux: the updater as a command-line program.  The package
// reader, discovery rules, pre-update checks, flash worker and its progress
// logic are the Windows program's own; this file is the order of the run and
// the terminal's side of each step.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/plan.h"
#include "cli/signals.h"
#include "cli/terminal.h"
#include "discovery/discovery.h"
#include "discovery/drive_table.h"
#include "package/package.h"
#include "platform/linux/inhibit.h"
#include "platform/linux/platform_linux.h"
#include "text/catalogue.h"
#include "text/system_state.h"
#include "transport/command_set.h"
#include "transport/transport.h"
#include "update/update.h"
#include "update/update_state.h"

namespace {

using cli::Say;

struct Options {
  std::string package = ".";
  std::string device;
  bool list = false;
  bool dry_run = false;
  bool yes = false;
  bool json = false;
  std::string lang;
};

// Japanese when asked for, or when the locale's messages are Japanese.
bool JapaneseLocale(const std::string& lang) {
  if (!lang.empty()) return lang == "ja";
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return std::strncmp(value, "ja", 2) == 0;
  }
  return false;
}

// A question that changes the drive: yes only for y/yes typed on a terminal, or
// for --yes; no at end of input or without a terminal.
bool AskYes(const std::string& question, bool yes) {
  if (yes) {
    cli::Err(question);
    cli::Err(cli::Words(Say::AnsweredYes));
    return true;
  }
  if (!cli::StdinIsTerminal()) {
    cli::Err(question);
    cli::Err(cli::Words(Say::NoTerminal));
    return false;
  }
  const std::string answer = cli::Ask(question + cli::Words(Say::YesNo));
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES";
}

// Why the last request failed below the drive, as Linux says it: the errno's
// text and the host or driver status; "" when the drive answered it.
std::string SystemReason(plat::LinuxPlatform& platform) {
  const int error = platform.failure_errno();
  if (error == 0) return std::string();
  const std::string detail = platform.failure_detail();
  return std::strerror(error) + (detail.empty() ? "" : " (" + detail + ")");
}

// What the boxes of the shared code become on a terminal.  `refusal` gets
// the text of the last information or error box.
class Boxes {
 public:
  Boxes(bool yes, plat::LinuxPlatform& platform) : yes_(yes), platform_(platform) {}

  int Show(const char* text, const char* caption, uint32_t flags) {
    std::string words = cli::Utf8(text);
    // A failed update whose last request never reached the drive: Linux's
    // reason in place of the Windows error number.
    const char* failed = Text(Msg::UpdateFailed);
    if (std::strncmp(text, failed, std::strlen(failed)) == 0) {
      const std::string reason = SystemReason(platform_);
      if (!reason.empty()) words = cli::Utf8(failed) + reason;
    }
    last_text_ = words;
    ++count_;
    const bool error = std::strcmp(caption, kCaptionError) == 0;
    if ((flags & plat::kMbYesNo) == 0) {
      if (error) {
        cli::Err(words);
      } else {
        cli::Out(words);
      }
      return plat::kIdOk;
    }
    // The one question: go on although the drive has a later version.  Asked
    // on one line, with both versions.
    const std::string question =
        cli::Format(Say::LaterVersion, DriveTable[SelectedDriveIndex.load()].Revision,
                    UpdatePackage.PackageVersion, UpdatePackage.PackageVersion);
    const bool go_on = AskYes(question, yes_);
    cli::Event({{"event", "question"}, {"text", question}, {"answer", go_on ? "yes" : "no"}});
    return go_on ? plat::kIdYes : plat::kIdNo;
  }

  int count() const { return count_; }
  const std::string& last_text() const { return last_text_; }

 private:
  bool yes_;
  plat::LinuxPlatform& platform_;
  int count_ = 0;
  std::string last_text_;
};

std::string Reason(int error) { return std::strerror(error); }

// Another program has the drive: named from /proc where it can be.
int ReportBusy(const plat::LinuxPlatform& platform, const std::string& node) {
  std::string names;
  for (const auto& holder : platform.HoldersOf({node, platform.BlockNodeOf(node)})) {
    names += (names.empty() ? "" : ", ") + holder;
  }
  if (names.empty()) names = cli::Words(Say::HoldersUnknown);
  const std::string text = cli::Format(Say::DriveBusy, node, names);
  cli::Err(text);
  cli::Event({{"event", "error"}, {"error", "busy"}, {"device", node}, {"text", text}});
  return cli::kDriveBusy;
}

// A node that did not open: the rights it needs, another program holding it,
// or the system's reason.  Returns the exit status.
int ReportOpenError(const plat::LinuxPlatform& platform, const std::string& node, int error) {
  if (error == EBUSY) return ReportBusy(platform, node);
  const bool rights = error == EACCES || error == EPERM || error == EROFS;
  const std::string text = rights ? cli::Format(Say::RightsNeeded, node, Reason(error), node)
                                  : cli::Format(Say::DeviceUnusable, node, Reason(error));
  cli::Err(text);
  cli::Event({{"event", "error"},
              {"error", rights ? "rights" : "device"},
              {"device", node},
              {"text", text}});
  return rights ? cli::kNoRights : cli::kNoDrive;
}

// The drive to this program alone for the rest of the run: not while its disc
// is mounted, and only through an exclusive descriptor.  0 or the exit status.
int TakeDrive(plat::LinuxPlatform& platform, const std::string& node) {
  const std::string block = platform.BlockNodeOf(node);
  const std::string mounted = block.empty() ? "" : platform.MountPointOf(block);
  if (!mounted.empty()) {
    const std::string text = cli::Format(Say::DiscMounted, block, mounted, mounted);
    cli::Err(text);
    cli::Event({{"event", "error"}, {"error", "mounted"}, {"device", node}, {"text", text}});
    return cli::kDriveBusy;
  }
  const int error = platform.HoldNode(node);
  return error == 0 ? cli::kOk : ReportOpenError(platform, node, error);
}

// Every block must fit the host's largest transfer.  0 or the exit status.
int CheckTransferSize(plat::LinuxPlatform& platform, const std::string& node) {
  const int bytes = platform.MaxTransferBytes();
  if (bytes < 0 || static_cast<uint32_t>(bytes) >= kLargestFlashBlock) return cli::kOk;
  const std::string text = cli::Format(Say::TransferTooSmall, node, std::to_string(bytes));
  cli::Err(text);
  cli::Event({{"event", "check"}, {"result", "refused"}, {"text", text}});
  return cli::kRefused;
}

nlohmann::ordered_json DriveEvent(const DriveRecord& drive) {
  return {{"event", "drive"},
          {"device", drive.NodeName},
          {"display", drive.DisplayText},
          {"revision", drive.Revision}};
}

// The drive to update: the only match, or the user's pick on a terminal.
// -1 when none can be chosen.
int ChooseDrive() {
  if (DriveCount == 1) return 0;
  if (!cli::StdinIsTerminal()) {
    cli::Err(cli::Words(Say::SeveralDrives));
    for (int i = 0; i < DriveCount; ++i) cli::Err("  " + std::string(DriveTable[i].DisplayText));
    return -1;
  }
  for (int i = 0; i < DriveCount; ++i) {
    cli::Err("  " + std::to_string(i + 1) + ") " + DriveTable[i].DisplayText);
  }
  const std::string answer =
      cli::Ask(cli::Format(Say::PickDrive, std::to_string(static_cast<int>(DriveCount))));
  char* end = nullptr;
  const long number = std::strtol(answer.c_str(), &end, 10);
  if (answer.empty() || *end != '\0' || number < 1 || number > DriveCount) return -1;
  return static_cast<int>(number - 1);
}

// The update itself: the worker on its thread, the shared progress logic on
// this one, the terminal signals held meanwhile.
int Update(plat::LinuxPlatform& platform, int index) {
  cli::EventQueue queue;
  // Each accepted block, for the event stream.
  std::string image = UpdatePackage.BootImagePresent ? "boot" : "main";
  int block = 0;
  cli::FlashProgress progress(UpdatePackage.BootImagePresent != 0);
  platform.SetCommandObserver(
      [&](const plat::DeviceCommand& command, bool sent, uint8_t status, const uint8_t*, uint8_t) {
        if (sent && status == 0) progress.Carried(command.cdb);
        if (command.cdb[0] == 0xF5 && command.length == 0 && command.cdb[7] == 0x0F) {
          image = "main";
          block = 0;
        }
        if (command.cdb[0] != 0xEA || !sent || status != 0) return;
        ++block;
        const uint32_t address = static_cast<uint32_t>(command.cdb[2]) << 24 |
                                 static_cast<uint32_t>(command.cdb[3]) << 16 |
                                 static_cast<uint32_t>(command.cdb[4]) << 8 | command.cdb[5];
        queue.Push({{"event", "block"},
                    {"image", image},
                    {"block", block},
                    {"total", image == "boot" ? kBootBlocks : kMainBlocks},
                    {"address", address},
                    {"length", command.length},
                    {"checksum", FlashChecksum(command.data, command.length)}});
      });

  // Sleep and shutdown held off from here until the sequence has ended.
  plat::InhibitLock inhibit;
  std::string reason;
  const bool held = inhibit.Take(cli::Format(Say::InhibitWhy, DriveTable[index].NodeName), &reason);
  if (!held) cli::Err(cli::Format(Say::NoInhibit, reason));
  nlohmann::ordered_json event = {{"event", "inhibit"}, {"held", held}};
  if (!held) event["reason"] = reason;
  cli::Event(event);

  cli::HoldSignals();
  int result;
  {
    cli::ProgressView view(index, queue, UpdatePackage.WaitTime, progress);
    result = MonitorUpdate(view);
    platform.JoinThreads();  // the worker has published its end: it is returning
    inhibit.Release();
    queue.Flush();
    std::string held;
    if (cli::TakeHeldSignal(&held)) {
      cli::Event({{"event", "signal"}, {"signal", held}, {"held", true}});
    }
  }
  cli::ReleaseSignals();
  platform.SetCommandObserver(nullptr);

  if (result == 1) {
    DriveTable[index].Updated = 1;
    cli::Out(cli::Utf8(Text(Msg::UpdateCompleted)));
    if (!UpdatePackage.NoRestart) cli::Out(cli::Words(Say::RestartNotice));
    cli::Event({{"event", "finished"},
                {"device", DriveTable[index].NodeName},
                {"restart_required", UpdatePackage.NoRestart == 0}});
  } else {
    // What failed below the drive, named as the kernel names it.
    const std::string detail = platform.failure_detail();
    const std::string reason = SystemReason(platform);
    nlohmann::ordered_json failed = {{"event", "failed"},
                                     {"device", DriveTable[index].NodeName},
                                     {"text", reason.empty() ? LastErrorText : reason}};
    if (!detail.empty()) failed["detail"] = detail;
    cli::Event(failed);
  }
  if (cli::HeldSignal() != 0) {
    cli::Err(cli::Format(Say::SignalsReleased, cli::SignalName(cli::HeldSignal())));
  }
  return result == 1 ? cli::kOk : cli::kUpdateFailed;
}

int Run(const Options& options) {
  const bool japanese = JapaneseLocale(options.lang);
  cli::Configure(japanese, options.json);

  plat::SystemPaths paths;
  for (auto [name, path] :
       {std::pair{"KSFUPD_DEV_DIR", &paths.dev}, std::pair{"KSFUPD_SYS_DIR", &paths.sys},
        std::pair{"KSFUPD_PROC_DIR", &paths.proc}}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') *path = value;
  }
  plat::LinuxPlatform platform(paths);
  plat::SetPlatform(&platform);
  Boxes boxes(options.yes, platform);
  platform.SetMessageHandler([&boxes](const char* text, const char* caption, uint32_t flags) {
    return boxes.Show(text, caption, flags);
  });

  ResetProcessState();
  OsKind = kOsNt5OrLater;
  UserLcid = japanese ? kJapaneseLcid : 1033;
  platform.SetLcid(UserLcid);

  // The device is named before the package folder becomes the current one.
  std::string device = options.device;
  if (!device.empty() && device[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) device = std::string(cwd) + "/" + device;
  }
  // A block node or a symlink such as /dev/cdrom: the same drive's sg node.
  if (!device.empty()) {
    const std::string sg = platform.SgNodeOf(device);
    if (sg.empty()) {
      const std::string text = cli::Format(Say::NoSgNode, device);
      cli::Err(text);
      cli::Event({{"event", "error"}, {"error", "no_sg_node"}, {"device", device}, {"text", text}});
      return cli::kNoDrive;
    }
    device = sg;
  }
  if (device.size() >= sizeof DriveRecord::NodeName) {
    cli::Err(cli::Format(Say::DeviceTooLong, device));
    return cli::kUsage;
  }

  if (chdir(options.package.c_str()) != 0) {
    cli::Err(cli::Format(Say::PackageDir, options.package, Reason(errno)));
    return cli::kPackageError;
  }
  const uint8_t code = LoadPackage("KSFUPD.INI");
  if (code != kPackageLoaded) {
    char text[256];
    FormatPackageError(code, text, sizeof text);
    const std::string message = cli::Utf8(text);
    cli::Err(message);
    cli::Event({{"event", "error"}, {"error", "package"}, {"code", code}, {"text", message}});
    return cli::kPackageError;
  }
  TransportKind = PassThrough;

  if (!device.empty()) {
    const int error = plat::LinuxPlatform::ReadWriteAccess(device.c_str());
    if (error != 0) return ReportOpenError(platform, device, error);
    platform.SetNodes({device});
  }

  DriveCount = DiscoverDrives();
  // Nodes that would not open are not "no drive": say what kept them shut.
  if (DriveCount == 0 && !platform.refused_nodes().empty()) {
    int status = cli::kDriveBusy;
    for (const auto& [node, error] : platform.refused_nodes()) {
      if (ReportOpenError(platform, node, error) == cli::kNoRights) status = cli::kNoRights;
    }
    return status;
  }
  if (DriveCount == 0) {
    const std::string text = cli::Utf8(Text(Msg::NoDrive));
    cli::Err(text);
    cli::Event({{"event", "error"}, {"error", "no_drive"}, {"text", text}});
    return cli::kNoDrive;
  }
  for (int i = 0; i < DriveCount; ++i) cli::Event(DriveEvent(DriveTable[i]));
  if (options.list) {
    cli::Out(cli::Words(Say::DrivesHeader));
    for (int i = 0; i < DriveCount; ++i) cli::Out("  " + std::string(DriveTable[i].DisplayText));
    return cli::kOk;
  }

  const int index = ChooseDrive();
  if (index < 0) return cli::kNoDrive;
  const DriveRecord& drive = DriveTable[index];
  cli::Out(drive.DisplayText);
  if (const int status = TakeDrive(platform, drive.NodeName)) return status;

  SelectedDriveIndex.store(static_cast<uint16_t>(index), std::memory_order_release);
  SetMessageOwner(nullptr);
  const int boxes_before = boxes.count();
  if (CheckDrive() != 1) {
    std::string text = boxes.count() != boxes_before ? boxes.last_text() : "";
    if (boxes.count() == boxes_before) {
      text = cli::Words(Say::NoAnswer);
      cli::Err(text);
    }
    cli::Event({{"event", "check"}, {"result", "refused"}, {"text", text}});
    return cli::kRefused;
  }
  if (const int status = CheckTransferSize(platform, drive.NodeName)) return status;
  cli::Out(cli::Words(Say::ChecksPassed));
  cli::Event({{"event", "check"}, {"result", "passed"}});

  if (options.dry_run) {
    cli::RunPlan(platform);
    return cli::kOk;
  }
  const bool confirmed = AskYes(
      cli::Format(Say::Confirm, drive.DisplayText, UpdatePackage.PackageVersion), options.yes);
  cli::Event({{"event", "confirm"}, {"answer", confirmed ? "yes" : "no"}});
  if (!confirmed) {
    cli::Err(cli::Words(Say::NotConfirmed));
    return cli::kNotConfirmed;
  }
  return Update(platform, index);
}

}  // namespace

int main(int argc, char** argv) {
  // Output to a closed pipe must not end the program in the middle of a flash.
  signal(SIGPIPE, SIG_IGN);

  Options options;
  CLI::App app{
      "ksfupd: writes new firmware into Kestran CD-R, CD-R/RW and CD-ROM drives.\n"
      "Exit status: 0 done, 1 update failed, 2 usage, 3 package error, 4 no drive,\n"
      "5 refused by a check, 6 no read-write access to the drive's node, 7 not confirmed,\n"
      "8 drive busy (another program has it, or its disc is mounted)."};
  app.add_option("--package", options.package,
                 "folder of the update package (KSFUPD.INI, else kestfirm.ini, and its images)");
  app.add_option("--device", options.device,
                 "the drive's SCSI generic node, e.g. /dev/sg1 (or its /dev/srN, /dev/cdrom)");
  app.add_flag("--list", options.list, "list the drives this package applies to, then end");
  app.add_flag("--dry-run", options.dry_run,
               "package, drive and checks, then the plan; nothing that changes the drive is sent");
  app.add_flag("--yes", options.yes,
               "answer yes to both questions: whether to update the drive, and whether to go on "
               "when the drive has later firmware");
  app.add_flag("--json", options.json, "one JSON object per line for each event");
  app.add_option("--lang", options.lang, "en or ja (default: from the locale)")
      ->check(CLI::IsMember({"en", "ja"}));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? 0 : cli::kUsage;
  }
  return Run(options);
}
