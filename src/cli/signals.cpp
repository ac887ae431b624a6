#include "cli/signals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "cli/terminal.h"

namespace cli {
namespace {

// Ctrl-C, Ctrl-\, kill, a closed terminal and every other signal whose
// default action ends the process; and the terminal's stops (Ctrl-Z, a
// background read or write), which would leave the drive mid-flash.
constexpr int kHeld[] = {SIGINT,    SIGQUIT, SIGTERM, SIGHUP,  SIGUSR1, SIGUSR2, SIGALRM,
                         SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGTSTP, SIGTTIN, SIGTTOU};
struct sigaction g_previous[sizeof kHeld / sizeof kHeld[0]];

volatile sig_atomic_t g_signal = 0;
std::atomic<bool> g_reported{false};
// The messages are made before the handlers are installed: the handler only
// writes one of them, the whole notice for the first signal, one line for
// each later one.
std::string g_notices[sizeof kHeld / sizeof kHeld[0]];
std::string g_again[sizeof kHeld / sizeof kHeld[0]];

void Write(const std::string& text) {
  ssize_t ignored = write(STDERR_FILENO, text.data(), text.size());
  (void)ignored;
}

void OnSignal(int signal) {
  const bool first = g_signal == 0;
  if (first) g_signal = signal;
  // In place of the progress line, which is drawn again below the notice.
  if (LineOpen()) {
    Write("\r\033[K");
    LineCleared();
  }
  for (size_t i = 0; i < sizeof kHeld / sizeof kHeld[0]; ++i) {
    if (kHeld[i] == signal) Write(first ? g_notices[i] : g_again[i]);
  }
}

}  // namespace

std::string SignalName(int signal) {
  const char* abbrev = sigabbrev_np(signal);
  return abbrev != nullptr ? std::string("SIG") + abbrev : "signal " + std::to_string(signal);
}

void HoldSignals() {
  for (size_t i = 0; i < sizeof kHeld / sizeof kHeld[0]; ++i) {
    g_notices[i] = Format(Say::SignalHeld, SignalName(kHeld[i])) + "\n";
    g_again[i] = Format(Say::SignalHeldAgain, SignalName(kHeld[i])) + "\n";
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(kHeld[i], &action, &g_previous[i]);
  }
}

void ReleaseSignals() {
  for (size_t i = 0; i < sizeof kHeld / sizeof kHeld[0]; ++i) {
    sigaction(kHeld[i], &g_previous[i], nullptr);
  }
}

bool TakeHeldSignal(std::string* name) {
  if (g_signal == 0 || g_reported.exchange(true)) return false;
  *name = SignalName(g_signal);
  return true;
}

int HeldSignal() { return g_signal; }

}  // namespace cli
