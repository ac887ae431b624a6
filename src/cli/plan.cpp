#include "cli/plan.h"

#include <cstdio>
#include <string>

#include "cli/terminal.h"
#include "package/package.h"
#include "transport/command_set.h"
#include "transport/transport.h"
#include "update/update.h"

namespace cli {
namespace {

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

uint32_t BigEndian(const uint8_t* bytes, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

class Plan {
 public:
  explicit Plan(bool verbose) : verbose_(verbose) {}

  void Command(const plat::DeviceCommand& command, bool sent, uint8_t status, const uint8_t* sense,
               uint8_t sense_length) {
    const uint8_t* cdb = command.cdb;
    nlohmann::ordered_json step = {{"event", "plan"}, {"sent", sent}};
    std::string line;
    switch (cdb[0]) {
      case 0x00: {
        std::string answer = status == 0 ? "GOOD" : "CHECK CONDITION";
        const std::string key = SenseKey(sense, sense_length);
        if (status != 0 && !key.empty()) answer += " " + key;
        step["step"] = "test_unit_ready";
        step["answer"] = answer;
        line = "TEST UNIT READY -> " + answer;
        break;
      }
      case 0x12:
      case 0x13:
        step["step"] = "inquiry";
        line = "INQUIRY";
        break;
      case 0x1B: {
        const bool open = (cdb[4] & 3) == 2;
        tray_ = tray_ || open;
        step["step"] = open ? "open_tray" : "start_stop_unit";
        line = open ? "START STOP UNIT: open the tray" : "START STOP UNIT";
        break;
      }
      case 0xF6:
        step["step"] = cdb[1] == 2 ? "download_mode_on" : "download_mode_off";
        line = cdb[1] == 2 ? "download mode on" : "download mode off";
        break;
      case 0xF5:
        step["step"] = "flash_control";
        step["bytes"] = {cdb[7], cdb[8]};
        if (cdb[7] == 0x0F) {
          line = "flash control: commit the boot image";
          image_ = "main";
          block_ = 0;
        } else {
          line = "flash control: commit the main image, the drive programs its flash";
        }
        break;
      case 0xEA: {
        const uint32_t address = BigEndian(cdb + 2, 4);
        const uint16_t checksum = FlashChecksum(command.data, command.length);
        ++block_;
        ++(image_ == "boot" ? boot_blocks_ : main_blocks_);
        step["step"] = "write_block";
        step["image"] = image_;
        step["block"] = block_;
        step["address"] = address;
        step["length"] = command.length;
        step["checksum"] = checksum;
        line = "write " + image_ + " block " + std::to_string(block_) + ": flash " +
               Hex(address, 6) + ", " + std::to_string(command.length) + " bytes, checksum " +
               Hex(checksum, 4);
        break;
      }
      default:
        step["step"] = "command";
        step["opcode"] = cdb[0];
        line = "command " + Hex(cdb[0], 2);
        break;
    }
    Event(step);
    if (verbose_) Out("  " + line + (sent ? "" : "  (not sent)"));
  }

  void Wait(uint32_t milliseconds) {
    Event({{"event", "plan"}, {"step", "wait"}, {"seconds", milliseconds / 1000.0}});
    waited_ += milliseconds;
    char line[48];
    std::snprintf(line, sizeof line, "  wait %.1f s", milliseconds / 1000.0);
    if (verbose_) Out(line);
  }

  // The plan in plain words.
  void Summary() const {
    const bool ja = Japanese();
    const int blocks = boot_blocks_ + main_blocks_;
    const unsigned seconds = (waited_ + 999) / 1000;
    std::string text;
    if (tray_) {
      text += ja ? "  ・ドライブのトレイが開きます (ディスクを取り出して下さい)。\n"
                 : "  - The drive's tray opens (take the disc out).\n";
    }
    text += ja ? "  ・ドライブをダウンロードモードにします。\n"
               : "  - The drive is switched to download mode.\n";
    char line[200];
    if (boot_blocks_ != 0) {
      std::snprintf(line, sizeof line,
                    ja ? "  ・ブートイメージ %d ブロックとメインイメージ %d ブロックを送ります。\n"
                       : "  - %d blocks of the boot image and %d of the main image are sent.\n",
                    boot_blocks_, main_blocks_);
    } else {
      std::snprintf(line, sizeof line,
                    ja ? "  ・ファームウェア %d ブロックを送ります。\n"
                       : "  - %d blocks of firmware are sent.\n",
                    blocks);
    }
    text += line;
    std::snprintf(
        line, sizeof line,
        ja ? "  ・ドライブが自分でフラッシュを書き換えます (%u 秒)。電源を切らないで下さい。\n"
           : "  - The drive programs its flash itself for %u s: do not switch it off.\n",
        static_cast<unsigned>(UpdatePackage.WaitTime));
    text += line;
    std::snprintf(line, sizeof line,
                  ja ? "所要時間: 約 %u 秒 (決まった待ち時間の合計と %d ブロックの転送)。"
                     : "It takes about %u s (the fixed waits) plus the time to send %d blocks.",
                  seconds, blocks);
    text += line;
    Out(text);
    Event({{"event", "plan"},
           {"step", "summary"},
           {"tray", tray_},
           {"blocks", blocks},
           {"seconds", seconds}});
  }

 private:
  bool verbose_;
  bool tray_ = false;
  int boot_blocks_ = 0;
  int main_blocks_ = 0;
  uint32_t waited_ = 0;
  std::string image_ = UpdatePackage.BootImagePresent ? "boot" : "main";
  int block_ = 0;
};

// Only commands that change nothing reach the drive.
bool ChangesNothing(const plat::DeviceCommand& command) {
  const uint8_t opcode = command.cdb[0];
  return opcode == 0x00 || opcode == 0x12 || opcode == 0x13;
}

}  // namespace

void RunPlan(plat::LinuxPlatform& platform, bool verbose) {
  Plan plan(verbose);
  Out(Words(Say::PlanHeader));
  platform.SetAdmit(ChangesNothing);
  platform.SetCommandObserver(
      [&plan](const plat::DeviceCommand& command, bool sent, uint8_t status, const uint8_t* sense,
              uint8_t sense_length) { plan.Command(command, sent, status, sense, sense_length); });
  platform.SetWaitObserver([&plan](uint32_t milliseconds) {
    plan.Wait(milliseconds);
    return false;
  });
  RunFlashSequence();
  platform.SetWaitObserver(nullptr);
  platform.SetCommandObserver(nullptr);
  platform.SetAdmit(nullptr);
  plan.Summary();
  Out(Words(Say::PlanFooter));
  Event({{"event", "finished"}, {"dry_run", true}});
}

}  // namespace cli
