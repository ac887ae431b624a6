// The terminal front end's output: its own texts (English and Japanese,
// UTF-8), the catalogue's texts made UTF-8, human lines or one JSON object per
// line, questions on the terminal, and the progress display of an update.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "update/update.h"

namespace cli {

// Exit statuses.
enum Status : int {
  kOk = 0,
  kUpdateFailed = 1,
  kUsage = 2,
  kPackageError = 3,
  kNoDrive = 4,
  kRefused = 5,
  kNoRights = 6,
  kNotConfirmed = 7,
  kDriveBusy = 8,
};

enum class Say {
  RightsNeeded,      // node, reason, node
  DeviceUnusable,    // node, reason
  DeviceTooLong,     // node
  PackageDir,        // dir, reason
  DrivesHeader,      //
  SeveralDrives,     //
  PickDrive,         // count
  YesNo,             //
  AnsweredYes,       //
  NoTerminal,        //
  NoAnswer,          //
  ChecksPassed,      //
  SignalHeld,        // signal name
  SignalsReleased,   // signal name
  RestartNotice,     //
  PlanHeader,        //
  PlanFooter,        //
  Confirm,           // drive's display text, package version
  NotConfirmed,      //
  DriveBusy,         // node, holders
  HoldersUnknown,    //
  DiscMounted,       // block node, mount point, mount point
  TransferTooSmall,  // node, bytes
  NoSgNode,          // device
  NoInhibit,         // reason
  InhibitWhy,        // node
  SignalHeldAgain,   // signal name
  LaterVersion,      // drive's version, package's version, package's version
  PhasePreparing,    //
  PhaseDownloadOn,   // seconds
  PhaseBootImage,    // block, blocks
  PhaseBootCommit,   // seconds
  PhaseMainImage,    // block, blocks
  PhaseProgramming,  // seconds
  PhaseDownloadOff,  // seconds
  PhaseDone,         //
  SecondsLeft,       // seconds
  kCount
};

// Output language and form, chosen once at start.
void Configure(bool japanese, bool json);
bool Japanese();
bool Json();

// The front end's own text (a printf format for the ones with arguments).
const char* Words(Say text);
std::string Format(Say text, const std::string& a = "", const std::string& b = "",
                   const std::string& c = "");
// A catalogue text (Shift-JIS in Japanese mode) as UTF-8.
std::string Utf8(const char* catalogue_text);
// Without the leading blank of the dialog's status texts.
std::string Trimmed(const std::string& text);
// Sense key, ASC and ASCQ of fixed-format sense as "KK/AA/QQ"; "" when the
// sense is too short to hold them.
std::string SenseKey(const uint8_t* sense, uint8_t length);
// One line: without blanks at either end, each line break (with the blanks
// around it) one space.
std::string OneLine(const std::string& text);
// Width on a terminal of UTF-8 text: East Asian wide and full-width
// characters take two columns.
int Columns(const std::string& utf8);
// The longest start of `utf8` that takes at most `columns` columns.
std::string FitColumns(const std::string& utf8, int columns);

// One JSON object on its own line on standard output (only in --json mode);
// its "text" as one line.
void Event(const nlohmann::ordered_json& event);
// Human output: a line on standard output (suppressed in --json mode) or on
// standard error (always), below the progress line if one is open.
void Out(const std::string& line);
void Err(const std::string& line);
// Whether the progress line is on the screen without its line end (read by
// the signal handler, so lock-free), and its end once it is no longer open.
bool LineOpen();
void EndLine();
// The progress line was wiped (by a signal's notice): the next redraw writes
// it afresh.  Safe in a signal handler.
void LineCleared();

bool StdinIsTerminal();
// Asks on the terminal; the line typed (without its end), empty at end of input.
std::string Ask(const std::string& prompt);

// Events noticed on another thread, printed by the dialog-side thread.
class EventQueue {
 public:
  void Push(nlohmann::ordered_json event);
  void Flush();  // prints (in --json mode) and drops what is queued

 private:
  std::mutex mu_;
  std::deque<nlohmann::ordered_json> events_;
};

// Where the flash sequence is, learnt from the commands the drive has carried
// out (on the worker's thread) and the sequence's known shape: its blocks and
// its fixed waits, so the time left is known too.
class FlashProgress {
 public:
  enum Phase {
    kPreparing,
    kDownloadOn,
    kBootImage,
    kBootCommit,
    kMainImage,
    kProgramming,
    kDownloadOff,
    kDone
  };
  struct State {
    Phase phase;
    int blocks;  // written
    int total_blocks;
    int phase_seconds;  // left of a fixed wait
    int seconds_left;   // of the whole update
    int percent;        // of the whole update's time
    double elapsed;     // seconds since the update began
  };
  explicit FlashProgress(bool boot);
  // A command the drive carried out.
  void Carried(const uint8_t* cdb);
  void Finish();
  State Now();
  static const char* Name(Phase phase);

 private:
  using Clock = std::chrono::steady_clock;
  struct Step {
    Phase phase;
    uint32_t wait_ms;
    int blocks;
  };
  void Enter(Phase phase, Clock::time_point now);

  std::mutex mu_;
  std::vector<Step> steps_;
  size_t step_ = 0;
  int blocks_ = 0;              // written, all images
  int step_blocks_ = 0;         // written, this image
  double block_seconds_ = 0.1;  // estimate, measured from the second block on
  Clock::time_point start_, step_start_, first_block_;
};

// The progress display of MonitorUpdate: a bar on a terminal, plain progress
// lines otherwise, events in --json mode.
class ProgressView final : public UpdateView {
 public:
  ProgressView(int selection, EventQueue& queue, uint32_t wait_seconds, FlashProgress& progress);
  ~ProgressView() override;

  void EnableUpdateButton(bool) override {}
  void EnableExitButton(bool) override {}
  int CurrentSelection() override { return selection_; }
  void SetStatusText(const char* text) override;
  void SetProgressRange(uint16_t maximum) override;
  void SetProgressStep(int) override {}
  void SetProgressPosition(int position) override;
  void StepProgress() override;
  void Repaint() override;
  void* OwnerWindow() override { return nullptr; }
  void EndDialogOk() override {}
  // Only the dialog's UPDATE handler asks for this; the terminal program holds
  // its signals itself around the whole update.
  void HoldSession(bool) override {}

  // Ends the current bar line (before other output).
  void Break();

 private:
  void Draw();
  void DrawBar();
  void Report(bool now);

  int selection_;
  EventQueue& queue_;
  uint32_t wait_seconds_;
  FlashProgress& progress_;
  bool bar_;  // a terminal: redraw one line
  std::string drawn_;
  std::chrono::steady_clock::time_point reported_;
  int reported_phase_ = -1;
  bool waiting_ = false;
  bool completed_ = false;
  std::string status_;
  int maximum_ = 0;
  int position_ = 0;
  int shown_ = -1;  // last reported step (lines)
};

}  // namespace cli
