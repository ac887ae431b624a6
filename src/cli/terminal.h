// The terminal front end's output: its own texts (English and Japanese,
// UTF-8), the catalogue's texts made UTF-8, human lines or one JSON object per
// line, questions on the terminal, and the progress display of an update.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

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

// One JSON object on its own line on standard output (only in --json mode).
void Event(const nlohmann::ordered_json& event);
// Human output: a line on standard output (suppressed in --json mode) or on
// standard error (always).
void Out(const std::string& line);
void Err(const std::string& line);

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

// The progress display of MonitorUpdate: a bar on a terminal, plain progress
// lines otherwise, events in --json mode.
class ProgressView final : public UpdateView {
 public:
  ProgressView(int selection, EventQueue& queue, uint32_t wait_seconds);
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

  int selection_;
  EventQueue& queue_;
  uint32_t wait_seconds_;
  bool bar_;  // a terminal: redraw one line
  bool waiting_ = false;
  bool completed_ = false;
  std::string status_;
  int maximum_ = 0;
  int position_ = 0;
  int shown_ = -1;  // last drawn permille (bar) or reported step (lines)
  bool line_open_ = false;
};

}  // namespace cli
