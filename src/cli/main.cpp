// ksfupd for Linux: the updater as a command-line program.  The package
// reader, discovery rules, pre-update checks, flash worker and its progress
// logic are the Windows program's own; this file is the order of the run and
// the terminal's side of each step.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
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
#include "version.h"

namespace {

using cli::Say;

struct Options {
  std::string package = ".";
  std::string device;
  bool list = false;
  bool dry_run = false;
  bool yes = false;
  bool json = false;
  bool verbose = false;
  std::string lang;
};

// Texts of this file in the run's language.
const char* Pick(const char* english, const char* japanese) {
  return cli::Japanese() ? japanese : english;
}

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
    // --list: the checks' answers are kept, not shown, and nothing goes on.
    if (quiet_) {
      later_ = (flags & plat::kMbYesNo) != 0;
      return (flags & plat::kMbYesNo) != 0 ? plat::kIdNo : plat::kIdOk;
    }
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
  void set_quiet(bool quiet) { quiet_ = quiet; }
  // Whether the last quiet question was the later-version one.
  bool later() const { return later_; }

 private:
  bool yes_;
  bool quiet_ = false;
  bool later_ = false;
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
  if (bytes < 0 || static_cast<uint32_t>(bytes) >= kLargestTransfer) return cli::kOk;
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
  // Asked again until a number of the list is typed; end of input ends it.
  for (;;) {
    const std::string answer =
        cli::Ask(cli::Format(Say::PickDrive, std::to_string(static_cast<int>(DriveCount))));
    if (!std::cin) return -1;  // end of input
    char* end = nullptr;
    const long number = std::strtol(answer.c_str(), &end, 10);
    if (!answer.empty() && *end == '\0' && number >= 1 && number <= DriveCount) {
      return static_cast<int>(number - 1);
    }
    cli::Err(Pick("Type a number from the list.", "一覧の番号を入力して下さい。"));
  }
}

// --verbose: one line per drive command on standard error (a `command` event
// with --json): time since start, CDB, direction and length, SCSI status,
// sense key/ASC/ASCQ, duration.
void TraceCommands(plat::LinuxPlatform& platform) {
  const auto start = std::chrono::steady_clock::now();
  platform.SetCommandTracer([start](const plat::DeviceCommand& command, bool sent, uint8_t status,
                                    const uint8_t* sense, uint8_t sense_length, double seconds) {
    const std::chrono::duration<double> since = std::chrono::steady_clock::now() - start;
    std::string cdb;
    char hex[4];
    for (int i = 0; i < command.cdb_length; ++i) {
      std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", command.cdb[i]);
      cdb += hex;
    }
    static constexpr const char* kDirections[] = {"out", "in", "none"};
    const char* direction = kDirections[command.data_in < 2 ? command.data_in : 2];
    char answer[48] = "held back";
    if (sent && status == 0xFF) {
      std::snprintf(answer, sizeof answer, "no answer");
    } else if (sent) {
      std::snprintf(answer, sizeof answer, "status %02X", status);
    }
    const std::string key = cli::SenseKey(sense, sense_length);
    char line[256];
    std::snprintf(line, sizeof line, "%8.3f  %-47s %-4s %6u  %s%s%s  %.3f s", since.count(),
                  cdb.c_str(), direction, command.length, answer, key.empty() ? "" : " sense ",
                  key.c_str(), seconds);
    cli::Err(line);
    nlohmann::ordered_json event = {
        {"event", "command"},     {"time", since.count()},    {"cdb", cdb},
        {"direction", direction}, {"length", command.length}, {"sent", sent},
        {"seconds", seconds}};
    if (sent && status != 0xFF) event["status"] = status;
    if (!key.empty()) event["sense"] = key;
    cli::Event(event);
  });
}

// What the pre-update checks would say of each drive, reading only: the
// later-version question is answered no and reported.
void ListDrives(Boxes& boxes) {
  cli::Out(cli::Format(Say::DrivesHeader) + " " +
           Pick("(package version ", "(パッケージのバージョン ") + UpdatePackage.PackageVersion +
           ")");
  boxes.set_quiet(true);
  SetMessageOwner(nullptr);
  for (int i = 0; i < DriveCount; ++i) {
    const DriveRecord& drive = DriveTable[i];
    SelectedDriveIndex.store(static_cast<uint16_t>(i), std::memory_order_release);
    const int before = boxes.count();
    std::string verdict;
    if (CheckDrive() == 1) {
      verdict = Pick("checks pass", "チェック通過");
    } else if (boxes.count() != before && boxes.later()) {
      verdict = std::string(Pick("refused: its firmware ", "不可: ファームウェア ")) +
                drive.Revision + Pick(" is newer than the package's ", " がパッケージの ") +
                UpdatePackage.PackageVersion +
                Pick(" (--yes installs it anyway)", " より新しい (--yes で書き込めます)");
    } else {
      const std::string reason =
          boxes.count() != before ? boxes.last_text() : cli::Words(Say::NoAnswer);
      verdict = std::string(Pick("refused: ", "不可: ")) + cli::OneLine(reason);
    }
    cli::Out("  " + std::string(drive.DisplayText) + "  " + verdict);
    nlohmann::ordered_json event = DriveEvent(drive);
    event["event"] = "listed";
    event["package_version"] = UpdatePackage.PackageVersion;
    event["verdict"] = verdict;
    cli::Event(event);
  }
  boxes.set_quiet(false);
}

// The package's error, then where and what: the key and line of a value, the
// image's file, or the folder looked in.
void ReportPackageError(uint8_t code, const std::string& folder) {
  char text[256];
  FormatPackageError(code, text, sizeof text);
  const std::string message = cli::Utf8(text);
  std::string detail;
  char cwd[4096] = "";
  if (getcwd(cwd, sizeof cwd) == nullptr) std::snprintf(cwd, sizeof cwd, "%s", folder.c_str());
  if (code == kPackageNoFile) {
    detail = std::string(Pick("No KSFUPD.INI or kestfirm.ini in ",
                              "KSFUPD.INI も kestfirm.ini もありません: ")) +
             cwd +
             Pick(": give the package folder with --package.",
                  "。--package でパッケージのフォルダを指定して下さい。");
  } else if (LastPackageFault.key[0] != '\0') {
    detail = std::string(cwd) + "/" + FoundName("KSFUPD.INI") + ": " + LastPackageFault.key;
    if (LastPackageFault.line != 0) {
      detail += Pick(", line ", "、") + std::to_string(LastPackageFault.line) + Pick("", " 行目");
    }
  } else if (LastPackageFault.file[0] != '\0') {
    detail = std::string(cwd) + "/" + LastPackageFault.file;
  }
  cli::Err(message);
  if (!detail.empty()) cli::Err(detail);
  nlohmann::ordered_json event = {
      {"event", "error"}, {"error", "package"}, {"code", code}, {"text", message}};
  if (!detail.empty()) event["detail"] = detail;
  cli::Event(event);
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
  // --list without a description file: every CD-ROM-class drive, by its
  // INQUIRY text (each printable first byte is an entry of the list).
  const bool any_drive = options.list && code == kPackageNoFile;
  if (any_drive) {
    ResetUpdatePackage();
    char* list = UpdatePackage.InquiryList;
    for (char c = 0x20; c < 0x7F; ++c) *list++ = c, *list++ = ';';
  } else if (code != kPackageLoaded) {
    ReportPackageError(code, options.package);
    return cli::kPackageError;
  }
  TransportKind = PassThrough;
  if (options.verbose) TraceCommands(platform);

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
  if (any_drive) {
    cli::Out(Pick("No package here: every CD-ROM-class drive seen:",
                  "パッケージがないため、見つかった CD-ROM 系ドライブをすべて表示します:"));
    for (int i = 0; i < DriveCount; ++i) cli::Out("  " + std::string(DriveTable[i].DisplayText));
    return cli::kOk;
  }
  if (options.list) {
    ListDrives(boxes);
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
    cli::RunPlan(platform, options.verbose);
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

  // The help's language is known before the arguments are parsed.
  std::string lang;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--lang" && i + 1 < argc) lang = argv[i + 1];
    if (arg.rfind("--lang=", 0) == 0) lang = arg.substr(7);
  }
  cli::Configure(JapaneseLocale(lang == "en" || lang == "ja" ? lang : ""), false);

  Options options;
  std::string positional;
  CLI::App app{Pick(
      "ksfupd writes new firmware into Kestran CD-R, CD-R/RW and CD-ROM drives.\n"
      "Usage: ksfupd [options] [PACKAGE-FOLDER]\n"
      "Exit status: 0 done, 1 update failed, 2 usage, 3 package error, 4 no drive,\n"
      "5 refused by a check, 6 no read-write access to the drive's node, 7 not confirmed,\n"
      "8 drive busy (another program has it, or its disc is mounted).",
      "ksfupd は Kestran の CD-R、CD-R/RW、CD-ROM ドライブに新しいファームウェアを書き込みます。\n"
      "使い方: ksfupd [オプション] [パッケージのフォルダ]\n"
      "終了ステータス: 0 完了、1 更新失敗、2 使い方の誤り、3 パッケージのエラー、4 ドライブなし、\n"
      "5 チェックで不可、6 ドライブのノードに読み書き権限なし、7 確認されず、\n"
      "8 ドライブ使用中 (他のプログラムが使用中、またはディスクがマウント中)。")};
  app.add_option(
      "--package", options.package,
      Pick("folder of the update package (KSFUPD.INI, else kestfirm.ini, and its "
           "images; names in any case); also the one positional argument",
           "更新パッケージのフォルダ (KSFUPD.INI か kestfirm.ini とイメージ。名前の大文字"
           "小文字は問いません)。引数一つでも指定できます"));
  app.add_option("folder", positional, Pick("the package folder", "パッケージのフォルダ"));
  app.add_option(
      "--device", options.device,
      Pick("the drive's SCSI generic node, e.g. /dev/sg1 (or its /dev/srN, /dev/cdrom)",
           "ドライブの SCSI generic ノード。例: /dev/sg1 (または /dev/srN、/dev/cdrom)"));
  app.add_flag("--list", options.list,
               Pick("list the drives, their firmware and whether the checks pass, then end "
                    "(without a package: every CD-ROM-class drive)",
                    "ドライブとそのファームウェア、チェックを通るかを表示して終了 (パッケージが"
                    "なければ CD-ROM 系ドライブをすべて)"));
  app.add_flag("--dry-run", options.dry_run,
               Pick("package, drive and checks, then what the update would do and how long it "
                    "takes; nothing that changes the drive is sent",
                    "パッケージ、ドライブ、チェックの後、更新の内容と所要時間を表示。ドライブを"
                    "変更するものは送りません"));
  app.add_flag("--yes", options.yes,
               Pick("answer yes to both questions: whether to update the drive, and whether to "
                    "go on when the drive has later firmware",
                    "二つの質問 (ドライブを更新するか、ドライブのファームウェアの方が新しくても"
                    "続けるか) に「はい」と答える"));
  app.add_flag(
      "--json", options.json,
      Pick("one JSON object per line for each event", "イベントごとに JSON を一行ずつ出力"));
  app.add_flag("-v,--verbose", options.verbose,
               Pick("one line per drive command on standard error (CDB, status, sense, time)",
                    "ドライブへのコマンドごとに標準エラーへ一行 (CDB、ステータス、センス、時間)"));
  app.add_option("--lang", options.lang,
                 Pick("en or ja (default: from the locale)", "en か ja (省略時はロケールから)"))
      ->check(CLI::IsMember({"en", "ja"}));
  app.set_version_flag("--version", std::string("ksfupd ") + KSF_VERSION,
                       Pick("print the version and end", "バージョンを表示して終了"));
  app.set_help_flag("-h,--help", Pick("print this help and end", "このヘルプを表示して終了"));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? 0 : cli::kUsage;
  }
  if (!positional.empty()) {
    if (app.count("--package") != 0) {
      std::cerr << Pick("Give the package folder once: --package or the argument.\n",
                        "パッケージのフォルダは --package か引数の一方で指定して下さい。\n");
      return cli::kUsage;
    }
    options.package = positional;
  }
  return Run(options);
}
