#include "cli/terminal.h"

#include <iconv.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <vector>

#include "cli/signals.h"
#include "text/catalogue.h"

namespace cli {
namespace {

bool g_japanese = false;
bool g_json = false;

struct Pair {
  const char* english;
  const char* japanese;
};

constexpr Pair kWords[] = {
    {"%s cannot be opened for reading and writing (%s).\n"
     "Writing firmware takes vendor commands, which Linux lets through only on a SCSI generic\n"
     "node opened for reading and writing (or for a process with CAP_SYS_RAWIO). Run ksfupd as\n"
     "root, or give your user read-write access to %s (for example a udev rule that puts\n"
     "the node in a group you belong to). Nothing was sent to the drive.",
     "%s を読み書き両用で開けません (%s)。\n"
     "ファームウェアの書き込みにはベンダー固有コマンドが必要で、Linux では読み書き両用で開いた\n"
     "SCSI generic ノード (または CAP_SYS_RAWIO を持つプロセス) からしか送れません。ksfupd を "
     "root\n"
     "で実行するか、%s への読み書き権限をユーザーに与えて下さい (例: ノードを所属グループに\n"
     "割り当てる udev ルール)。ドライブには何も送っていません。"},
    {"%s cannot be opened (%s).", "%s を開けません (%s)。"},
    {"%s: the device path is too long.", "%s: デバイスのパスが長すぎます。"},
    {"The package folder %s cannot be entered (%s).",
     "パッケージのフォルダ %s に入れません (%s)。"},
    {"Drives for this package:", "このパッケージを書き込めるドライブ:"},
    {"Several drives match this package: choose one with --device.",
     "このパッケージに合うドライブが複数あります。--device で一つを選んで下さい。"},
    {"Drive to update [1-%s]: ", "更新するドライブ [1-%s]: "},
    {" [y/N] ", " [y/N] "},
    {"(answered yes: --yes)", "(--yes により「はい」)"},
    {"(no terminal to answer on: not continued; give --yes to continue)",
     "(端末がないため中止しました。続けるには --yes を指定して下さい)"},
    {"The drive does not answer.", "ドライブが応答しません。"},
    {"Checks passed: the drive may take this firmware.",
     "チェックを通過しました: このドライブにこのファームウェアを書き込めます。"},
    {"\n%s received while the firmware is being written.\n"
     "Stopping now could leave the drive unusable, so it is held: ksfupd exits when the\n"
     "update has finished.\n",
     "\nファームウェアの書き込み中に %s を受け取りました。\n"
     "今中断するとドライブが使えなくなる恐れがあるため保留します。更新が終わってから\n"
     "ksfupd は終了します。\n"},
    {"The update has finished; exiting for the held %s.",
     "更新が終わりました。保留した %s により終了します。"},
    {"Restart the computer (or switch the drive off and on) before using the drive.",
     "ドライブを使う前に、コンピュータを再起動して下さい (またはドライブの電源を入れ直して"
     "下さい)。"},
    {"Dry run: nothing that changes the drive is sent. The update would be:",
     "ドライラン: ドライブを変更するものは何も送りません。更新の手順:"},
    {"Dry run finished: the drive was not changed.",
     "ドライランを終了しました: ドライブは変更されていません。"},
    {"Update %s to firmware %s?", "%s をファームウェア %s に更新しますか?"},
    {"Not confirmed: nothing was sent to the drive.",
     "確認されなかったため、ドライブには何も送っていません。"},
    {"%s is in use by another program: %s.\n"
     "Close that program (or wait until it has finished) and try again. Nothing was sent to the "
     "drive.",
     "%s は他のプログラムが使用中です: %s。\n"
     "そのプログラムを終了して (または終わるのを待って) からやり直して下さい。ドライブには何も"
     "送っていません。"},
    {"a program that cannot be named", "名前の分からないプログラム"},
    {"The disc in the drive (%s) is mounted on %s.\n"
     "Unmount it first (umount %s, or eject it in the file manager), then try again. Nothing was "
     "sent to the drive.",
     "ドライブのディスク (%s) が %s にマウントされています。\n"
     "先にアンマウントして (umount %s、またはファイルマネージャーで取り出して) からやり直して"
     "下さい。ドライブには何も送っていません。"},
    {"%s takes at most %s bytes in one command, but the firmware is written in blocks of 32768\n"
     "bytes. Connect the drive to another controller for the update. Nothing was sent to the "
     "drive.",
     "%s は一度に %s バイトまでしか転送できませんが、ファームウェアは 32768 バイトずつ書き込み"
     "ます。\n別のコントローラーにドライブを接続して更新して下さい。ドライブには何も送って"
     "いません。"},
    {"%s has no SCSI generic node: the kernel's sg module may not be loaded (modprobe sg).\n"
     "Give the drive's /dev/sgN node with --device (ksfupd --list shows them). Nothing was sent to "
     "the drive.",
     "%s には SCSI generic ノードがありません。カーネルの sg モジュールが読み込まれていない"
     "かもしれません (modprobe sg)。\n--device でドライブの /dev/sgN ノードを指定して下さい "
     "(ksfupd --list で表示されます)。ドライブには何も送っていません。"},
    {"Sleep and shutdown cannot be held off (%s): do not suspend or switch off the "
     "computer until the update has finished.",
     "スリープとシャットダウンを止められません (%s)。更新が終わるまでコンピュータを"
     "スリープさせたり電源を切ったりしないで下さい。"},
    {"Writing firmware to %s: interrupting the update can make the drive unusable.",
     "%s にファームウェアを書き込み中: 更新を中断するとドライブが使えなくなる恐れがあります。"},
};
static_assert(sizeof kWords / sizeof kWords[0] == static_cast<size_t>(Say::kCount),
              "one pair for every text");

}  // namespace

void Configure(bool japanese, bool json) {
  g_japanese = japanese;
  g_json = json;
}
bool Japanese() { return g_japanese; }
bool Json() { return g_json; }

const char* Words(Say text) {
  const Pair& pair = kWords[static_cast<size_t>(text)];
  return g_japanese ? pair.japanese : pair.english;
}

std::string Format(Say text, const std::string& a, const std::string& b, const std::string& c) {
  std::vector<char> out(4096);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::snprintf(out.data(), out.size(), Words(text), a.c_str(), b.c_str(), c.c_str());
#pragma GCC diagnostic pop
  return out.data();
}

std::string Utf8(const char* catalogue_text) {
  std::string in(catalogue_text);
  if (!g_japanese) return in;
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return in;
  std::string out(in.size() * 3 + 1, '\0');
  char* src = in.data();
  size_t src_left = in.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  const size_t done = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  if (done == static_cast<size_t>(-1)) return in;
  out.resize(out.size() - dst_left);
  return out;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : text.substr(first);
}

void Event(const nlohmann::ordered_json& event) {
  if (!g_json) return;
  std::cout << event.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n'
            << std::flush;
}

void Out(const std::string& line) {
  if (!g_json) std::cout << line << '\n' << std::flush;
}

void Err(const std::string& line) { std::cerr << line << '\n' << std::flush; }

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

std::string Ask(const std::string& prompt) {
  std::cerr << prompt << std::flush;
  std::string line;
  if (!std::getline(std::cin, line)) {
    std::cerr << '\n';
    return std::string();
  }
  return line;
}

// ------------------------------------------------------------------ events
void EventQueue::Push(nlohmann::ordered_json event) {
  std::lock_guard<std::mutex> lock(mu_);
  events_.push_back(std::move(event));
}

void EventQueue::Flush() {
  for (;;) {
    nlohmann::ordered_json event;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (events_.empty()) return;
      event = std::move(events_.front());
      events_.pop_front();
    }
    Event(event);
  }
}

// ---------------------------------------------------------------- progress
ProgressView::ProgressView(int selection, EventQueue& queue, uint32_t wait_seconds)
    : selection_(selection),
      queue_(queue),
      wait_seconds_(wait_seconds),
      bar_(!g_json && isatty(STDOUT_FILENO) == 1) {}

ProgressView::~ProgressView() { Break(); }

void ProgressView::Break() {
  if (line_open_) std::cout << '\n' << std::flush;
  line_open_ = false;
}

void ProgressView::SetStatusText(const char* text) {
  queue_.Flush();
  Break();
  status_ = Trimmed(Utf8(text));
  waiting_ = text == Text(Msg::StatusRunning);
  shown_ = -1;
  if (text == Text(Msg::StatusTransferring)) {
    Event({{"event", "transferring"}});
  } else if (waiting_) {
    Event({{"event", "waiting"}, {"seconds", wait_seconds_}});
  }
  // Plain lines leave the completion to the final message.
  completed_ = text == Text(Msg::StatusCompleted);
  if (!bar_ && !completed_) Out(status_);
}

void ProgressView::SetProgressRange(uint16_t maximum) {
  maximum_ = maximum;
  position_ = 0;
}

void ProgressView::SetProgressPosition(int position) { position_ = position; }

void ProgressView::StepProgress() {
  if (position_ < maximum_) ++position_;
}

void ProgressView::Repaint() {
  queue_.Flush();
  std::string held;
  if (TakeHeldSignal(&held)) {
    Break();
    Event({{"event", "signal"}, {"signal", held}, {"held", true}});
  }
  Draw();
}

void ProgressView::Draw() {
  if (g_json || maximum_ <= 0) return;
  const int permille = static_cast<int>(1000LL * std::min(position_, maximum_) / maximum_);
  if (bar_) {
    if (permille / 5 == shown_) return;  // redraw at half-percent steps
    shown_ = permille / 5;
    constexpr int kWidth = 30;
    const int filled = permille * kWidth / 1000;
    char line[160];
    if (waiting_) {
      std::snprintf(line, sizeof line, "\r[%s%s] %5.1f s  ", std::string(filled, '#').c_str(),
                    std::string(kWidth - filled, '.').c_str(), position_ / 10.0);
    } else {
      std::snprintf(line, sizeof line, "\r[%s%s] %3d%%  ", std::string(filled, '#').c_str(),
                    std::string(kWidth - filled, '.').c_str(), permille / 10);
    }
    std::cout << line << status_ << std::flush;
    line_open_ = true;
    return;
  }
  // Plain lines: every tenth of the transfer, every 5 s of the wait.
  if (completed_) return;
  const int step = waiting_ ? position_ / 50 : permille / 100;
  if (step == shown_) return;
  shown_ = step;
  char line[64];
  if (waiting_) {
    std::snprintf(line, sizeof line, "  %d s", position_ / 10);
  } else {
    std::snprintf(line, sizeof line, "  %d%%", step * 10);
  }
  Out(line);
}

}  // namespace cli
