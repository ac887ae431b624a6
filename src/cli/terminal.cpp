#include "cli/terminal.h"

#include <iconv.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <vector>

#include "cli/signals.h"
#include "text/catalogue.h"

namespace cli {
namespace {

bool g_japanese = false;
bool g_json = false;
std::atomic<bool> g_line_open{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read in a signal handler");

// The code point at `*i` (advanced past it); a malformed byte counts as one.
uint32_t NextCodePoint(const std::string& text, size_t* i) {
  const auto byte = [&text](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(*i);
  size_t length = 1;
  if (lead >> 5 == 6) length = 2;
  if (lead >> 4 == 14) length = 3;
  if (lead >> 3 == 30) length = 4;
  uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
  size_t k = 1;
  for (; k < length && *i + k < text.size() && (byte(*i + k) & 0xC0) == 0x80; ++k) {
    code = code << 6 | (byte(*i + k) & 0x3F);
  }
  *i += k;
  return code;
}

// East Asian Wide and Fullwidth ranges (Unicode's EastAsianWidth W and F).
bool Wide(uint32_t code) {
  return (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0x303E) ||
         (code >= 0x3041 && code <= 0x33FF) || (code >= 0x3400 && code <= 0x4DBF) ||
         (code >= 0x4E00 && code <= 0x9FFF) || (code >= 0xA000 && code <= 0xA4CF) ||
         (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
         (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
         (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x1F300 && code <= 0x1F64F) ||
         (code >= 0x20000 && code <= 0x3FFFD);
}

// The terminal's width in columns (80 when it does not say).
int TerminalColumns(int fd = STDOUT_FILENO) {
  winsize size = {};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
  return size.ws_col;
}

// On a terminal, each line broken at blanks or wide characters (or anywhere
// in a word that is too long) so that none takes the last column: the terminal's own wrapping
// would cut words.
std::string Wrapped(const std::string& text, int fd) {
  if (isatty(fd) != 1) return text;
  const int columns = std::max(TerminalColumns(fd) - 1, 10);
  std::string out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    while (Columns(line) > columns) {
      std::string head = FitColumns(line, columns);
      // The last place to break: a blank, or after a wide character (Japanese
      // breaks between any two).
      size_t cut = 0;
      for (size_t i = 0; i < head.size();) {
        const size_t at = i;
        const uint32_t code = NextCodePoint(head, &i);
        if (code == ' ' && at > 0) cut = at;
        if (Wide(code) && i < head.size()) cut = i;
      }
      if (cut > 0) head.resize(cut);
      out += head + '\n';
      const size_t rest = line.find_first_not_of(' ', head.size());
      line = rest == std::string::npos ? std::string() : line.substr(rest);
    }
    out += line;
    if (end == text.size()) break;
    out += '\n';
    start = end + 1;
  }
  return out;
}

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
    {"%s received while the firmware is being written.\n"
     "Stopping now could leave the drive unusable, so it is held: ksfupd exits\n"
     "when the update has finished.",
     "ファームウェアの書き込み中に %s を受け取りました。\n"
     "今中断するとドライブが使えなくなる恐れがあるため保留します。更新が終わってから\n"
     "ksfupd は終了します。"},
    {"the update has finished; exiting for the held %s.",
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
    {"%s received, held as well.", "%s を受け取りました。これも保留します。"},
    {"The drive has %s, newer than this package's %s. Install %s anyway?",
     "ドライブのファームウェア %s はこのパッケージの %s より新しいものです。%s "
     "を書き込みますか?"},
    {"getting the drive ready", "ドライブの準備中"},
    {"the drive enters download mode: %s s", "ドライブがダウンロードモードに入ります: %s 秒"},
    {"writing the boot image: block %s of %s", "ブートイメージを書き込み中: ブロック %s/%s"},
    {"the drive is taking the boot image: %s s", "ドライブがブートイメージを取り込み中: %s 秒"},
    {"writing the firmware: block %s of %s", "ファームウェアを書き込み中: ブロック %s/%s"},
    {"the drive is programming its flash: %s s", "ドライブがフラッシュを書き換え中: %s 秒"},
    {"the drive leaves download mode: %s s", "ドライブがダウンロードモードを終了中: %s 秒"},
    {"done", "完了"},
    {"%s s left", "残り %s 秒"},
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

std::string SenseKey(const uint8_t* sense, uint8_t length) {
  if (length < 14) return std::string();
  char text[16];
  std::snprintf(text, sizeof text, "%02X/%02X/%02X", sense[2] & 0x0F, sense[12], sense[13]);
  return text;
}

std::string OneLine(const std::string& text) {
  const char* blanks = " \t\r\n";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  const std::string trimmed = text.substr(first, text.find_last_not_of(blanks) - first + 1);
  std::string out;
  for (size_t i = 0; i < trimmed.size();) {
    const size_t end = trimmed.find_first_not_of(blanks, i);
    if (end == i) {
      out += trimmed[i++];
      continue;
    }
    const std::string run = trimmed.substr(i, end - i);
    out += run.find_first_of("\r\n") == std::string::npos ? run : " ";
    i = end;
  }
  return out;
}

int Columns(const std::string& utf8) {
  int columns = 0;
  for (size_t i = 0; i < utf8.size();) columns += Wide(NextCodePoint(utf8, &i)) ? 2 : 1;
  return columns;
}

std::string FitColumns(const std::string& utf8, int columns) {
  int used = 0;
  size_t i = 0;
  while (i < utf8.size()) {
    size_t next = i;
    const int width = Wide(NextCodePoint(utf8, &next)) ? 2 : 1;
    if (used + width > columns) break;
    used += width;
    i = next;
  }
  return utf8.substr(0, i);
}

bool LineOpen() { return g_line_open.load(std::memory_order_acquire); }

void LineCleared() { g_line_open.store(false, std::memory_order_release); }

void EndLine() {
  if (g_line_open.exchange(false)) std::cout << '\n' << std::flush;
}

void Event(const nlohmann::ordered_json& event) {
  if (!g_json) return;
  nlohmann::ordered_json shown = event;
  const auto text = shown.find("text");
  if (text != shown.end() && text->is_string()) *text = OneLine(text->get<std::string>());
  std::cout << shown.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n'
            << std::flush;
}

void Out(const std::string& line) {
  if (g_json) return;
  EndLine();
  std::cout << Wrapped(line, STDOUT_FILENO) << '\n' << std::flush;
}

void Err(const std::string& line) {
  EndLine();
  std::cerr << Wrapped(line, STDERR_FILENO) << '\n' << std::flush;
}

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

std::string Ask(const std::string& prompt) {
  EndLine();
  std::cerr << Wrapped(prompt, STDERR_FILENO) << std::flush;
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

// ------------------------------------------------------------ flash progress
FlashProgress::FlashProgress(bool boot) : start_(Clock::now()), step_start_(start_) {
  steps_.push_back({kPreparing, 0, 0});
  if (boot) {
    steps_.push_back({kDownloadOn, kDownloadModeWaitMs, 0});
    steps_.push_back({kBootImage, 0, kBootBlocks});
    steps_.push_back({kBootCommit, kBootCommitWaitMs, 0});
  }
  steps_.push_back({kDownloadOn, kDownloadModeWaitMs, 0});
  steps_.push_back({kMainImage, 0, kMainBlocks});
  steps_.push_back({kProgramming, kProgrammingWaitMs, 0});
  steps_.push_back({kDownloadOff, kDownloadOffWaitMs, 0});
  steps_.push_back({kDone, 0, 0});
}

const char* FlashProgress::Name(Phase phase) {
  static const char* const kNames[] = {
      "preparing",  "download_mode_on", "boot_image",        "boot_commit",
      "main_image", "programming",      "download_mode_off", "done"};
  return kNames[phase];
}

// The next step of that phase (the same step for further blocks).
void FlashProgress::Enter(Phase phase, Clock::time_point now) {
  if (steps_[step_].phase == phase) return;
  for (size_t i = step_ + 1; i < steps_.size(); ++i) {
    if (steps_[i].phase != phase) continue;
    step_ = i;
    step_start_ = now;
    step_blocks_ = 0;
    return;
  }
}

void FlashProgress::Carried(const uint8_t* cdb) {
  const Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(mu_);
  switch (cdb[0]) {
    case 0xF6:
      Enter(cdb[1] == 0 ? kDownloadOff : kDownloadOn, now);
      break;
    case 0xF5:
      if (cdb[7] == 0x0F) Enter(kBootCommit, now);
      if (cdb[8] == 0x3F) Enter(kProgramming, now);
      break;
    case 0xEA: {
      const bool boot =
          steps_[step_].phase == kBootImage ||
          (steps_[step_].phase == kDownloadOn && steps_[step_ + 1].phase == kBootImage);
      Enter(boot ? kBootImage : kMainImage, now);
      if (step_blocks_ == 0) first_block_ = now;
      ++step_blocks_;
      ++blocks_;
      if (step_blocks_ > 1) {
        block_seconds_ =
            std::chrono::duration<double>(now - first_block_).count() / (step_blocks_ - 1);
      }
      break;
    }
    default:
      break;
  }
}

void FlashProgress::Finish() {
  std::lock_guard<std::mutex> lock(mu_);
  Enter(kDone, Clock::now());
}

FlashProgress::State FlashProgress::Now() {
  const Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(mu_);
  State state = {};
  state.phase = steps_[step_].phase;
  state.blocks = blocks_;
  for (const Step& step : steps_) state.total_blocks += step.blocks;
  state.elapsed = std::chrono::duration<double>(now - start_).count();
  // Left of this step, then the whole of each later one.
  const double in_step = std::chrono::duration<double>(now - step_start_).count();
  const Step& current = steps_[step_];
  const double wait_left = std::max(0.0, current.wait_ms / 1000.0 - in_step);
  double left = wait_left + std::max(0, current.blocks - step_blocks_) * block_seconds_;
  for (size_t i = step_ + 1; i < steps_.size(); ++i) {
    left += steps_[i].wait_ms / 1000.0 + steps_[i].blocks * block_seconds_;
  }
  state.phase_seconds = static_cast<int>(std::ceil(wait_left));
  state.seconds_left = static_cast<int>(std::ceil(left));
  state.percent = state.phase == kDone
                      ? 100
                      : static_cast<int>(100.0 * state.elapsed / (state.elapsed + left + 0.001));
  return state;
}

// ---------------------------------------------------------------- progress
ProgressView::ProgressView(int selection, EventQueue& queue, uint32_t wait_seconds,
                           FlashProgress& progress)
    : selection_(selection),
      queue_(queue),
      wait_seconds_(wait_seconds),
      progress_(progress),
      bar_(!g_json && isatty(STDOUT_FILENO) == 1) {}

ProgressView::~ProgressView() { Break(); }

void ProgressView::Break() { EndLine(); }

void ProgressView::SetStatusText(const char* text) {
  queue_.Flush();
  status_ = Trimmed(Utf8(text));
  waiting_ = text == Text(Msg::StatusRunning);
  shown_ = -1;
  if (text == Text(Msg::StatusTransferring)) {
    Event({{"event", "transferring"}});
  } else if (waiting_) {
    Event({{"event", "waiting"}, {"seconds", wait_seconds_}});
  }
  // The completion is said once, by the final message; the bar says done.
  completed_ = text == Text(Msg::StatusCompleted);
  if (completed_) {
    progress_.Finish();
    Report(true);
    if (bar_) DrawBar();
    Break();
    return;
  }
  if (!bar_) Out(status_);
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
    Event({{"event", "signal"}, {"signal", held}, {"held", true}});
  }
  Report(false);
  Draw();
}

// A progress event at least once a second, and at each change of phase.
void ProgressView::Report(bool now) {
  if (!g_json) return;
  const FlashProgress::State state = progress_.Now();
  const auto clock = std::chrono::steady_clock::now();
  if (!now && state.phase == reported_phase_ &&
      clock - reported_ < std::chrono::milliseconds(900)) {
    return;
  }
  reported_ = clock;
  reported_phase_ = state.phase;
  nlohmann::ordered_json event = {{"event", "progress"},
                                  {"phase", FlashProgress::Name(state.phase)},
                                  {"percent", state.percent},
                                  {"seconds_left", state.seconds_left},
                                  {"blocks", state.blocks},
                                  {"total_blocks", state.total_blocks},
                                  {"elapsed", std::round(state.elapsed * 10) / 10}};
  if (state.phase_seconds > 0) event["phase_seconds_left"] = state.phase_seconds;
  Event(event);
}

// One line, redrawn in place: the blocks written, the time left and what the
// drive is doing, cut to the terminal's width.
void ProgressView::DrawBar() {
  const FlashProgress::State state = progress_.Now();
  const int columns = TerminalColumns();
  const int width = std::clamp(columns - 64, 10, 30);
  const int filled = state.total_blocks > 0 ? state.blocks * width / state.total_blocks : 0;
  const std::string count = std::to_string(state.blocks) + "/" + std::to_string(state.total_blocks);
  const std::string seconds = std::to_string(state.phase_seconds);
  std::string doing;
  switch (state.phase) {
    case FlashProgress::kPreparing:
      doing = Words(Say::PhasePreparing);
      break;
    case FlashProgress::kDownloadOn:
      doing = Format(Say::PhaseDownloadOn, seconds);
      break;
    case FlashProgress::kBootImage:
      doing =
          Format(Say::PhaseBootImage, std::to_string(state.blocks), std::to_string(kBootBlocks));
      break;
    case FlashProgress::kBootCommit:
      doing = Format(Say::PhaseBootCommit, seconds);
      break;
    case FlashProgress::kMainImage:
      doing = Format(Say::PhaseMainImage,
                     std::to_string(state.blocks - (state.total_blocks - kMainBlocks)),
                     std::to_string(kMainBlocks));
      break;
    case FlashProgress::kProgramming:
      doing = Format(Say::PhaseProgramming, seconds);
      break;
    case FlashProgress::kDownloadOff:
      doing = Format(Say::PhaseDownloadOff, seconds);
      break;
    case FlashProgress::kDone:
      doing = Words(Say::PhaseDone);
      break;
  }
  std::string line =
      "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] " + count + "  ";
  if (state.phase != FlashProgress::kDone) {
    line += Format(Say::SecondsLeft, std::to_string(state.seconds_left)) + "  ";
  }
  // The last column left free: some terminals wrap on it.
  line = FitColumns(line + doing, columns - 1);
  if (line == drawn_ && LineOpen()) return;
  drawn_ = line;
  std::cout << '\r' << line << "\033[K" << std::flush;
  g_line_open.store(true, std::memory_order_release);
}

void ProgressView::Draw() {
  if (g_json || maximum_ <= 0) return;
  if (bar_) {
    if (completed_) return;  // drawn once, done, by SetStatusText
    DrawBar();
    return;
  }
  // Plain lines: every tenth of the transfer, every 5 s of the wait.
  if (completed_) return;
  const int permille = static_cast<int>(1000LL * std::min(position_, maximum_) / maximum_);
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
