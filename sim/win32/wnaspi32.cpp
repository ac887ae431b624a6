// The emulated drive as an ASPI for Win32 library (WNASPI32.DLL) for the
// end-to-end runs under Wine.
//
// Environment:
//   KSF_SIM_CONFIG  the configuration file (sim/README.md); without it one
//                   adapter with a default drive at target 1
//   KSF_SIM_TRACE   append one line per request to this file
//   KSF_SIM_FLASH   write the first drive's flash (0x60000 bytes) to this file
//                   after every flash control and download mode command and
//                   when the library is unloaded; further drives use
//                   "<file>.1", "<file>.2", ...
// A configuration that cannot be read answers every call with SS_FAILED_INIT
// (0xE4) and says why on stderr and in the trace.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>  // std::lock_guard
#include <string>

#include "platform/request_blocks.h"
#include "sim_config.h"
#include "sim_files.h"
#include "sim_lock.h"

namespace {

constexpr uint8_t kSsFailedInit = 0xE4;

// Milliseconds since the library was first used.  The performance counter,
// not GetTickCount64: Wine updates the tick count in coarse steps, which would
// make a 3000 ms wait by the updater look a few ms short to the drive.
uint64_t g_qpc_start = 0;
uint64_t g_qpc_frequency = 1;

uint64_t NowMs() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return (static_cast<uint64_t>(now.QuadPart) - g_qpc_start) * 1000 / g_qpc_frequency;
}

struct DllState {
  sim::Lock trace_mu;
  HANDLE trace = INVALID_HANDLE_VALUE;
  std::string flash_path;
  std::unique_ptr<sim::SimSetup> setup;
  bool ok = false;
};

// Never freed: an asynchronous completion may still run while the process
// ends, and the unload hook writes the flash from it.
DllState* g_state = nullptr;

// A completion that the drive finishes later, on a thread of its own.
struct Pending {
  uint64_t delay_ms;
  std::function<void()> task;
};

DWORD WINAPI RunPending(LPVOID raw) {
  std::unique_ptr<Pending> pending(static_cast<Pending*>(raw));
  ::Sleep(static_cast<DWORD>(pending->delay_ms));
  pending->task();
  return 0;
}

std::string Env(const char* name) {
  char buffer[1024];
  const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  return (n > 0 && n < sizeof buffer) ? std::string(buffer, n) : std::string();
}

void TraceLine(DllState& s, const std::string& text) {
  if (s.trace == INVALID_HANDLE_VALUE) return;
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%llu ", static_cast<unsigned long long>(NowMs()));
  const std::string line = stamp + text + "\n";
  std::lock_guard<sim::Lock> lock(s.trace_mu);
  DWORD written = 0;
  WriteFile(s.trace, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void WriteFlash(const DllState& s) {
  if (!s.setup) return;
  std::vector<const sim::KestranDrive*> drives;
  for (const auto& drive : s.setup->drives) drives.push_back(drive.get());
  sim::WriteFlashDumps(s.flash_path, drives);
}

void Initialise() {
  LARGE_INTEGER value;
  QueryPerformanceFrequency(&value);
  g_qpc_frequency = value.QuadPart > 0 ? static_cast<uint64_t>(value.QuadPart) : 1;
  QueryPerformanceCounter(&value);
  g_qpc_start = static_cast<uint64_t>(value.QuadPart);
  auto* s = new DllState;
  const std::string trace_path = Env("KSF_SIM_TRACE");
  if (!trace_path.empty()) {
    s->trace = CreateFileA(trace_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  s->flash_path = Env("KSF_SIM_FLASH");

  std::string text = sim::kDefaultSimConfig;
  std::string error;
  const std::string config_path = Env("KSF_SIM_CONFIG");
  if (!config_path.empty()) {
    text.clear();
    if (!sim::ReadWholeFile(config_path, &text)) error = "cannot read " + config_path;
  }
  s->setup = std::make_unique<sim::SimSetup>();
  if (error.empty()) s->ok = sim::LoadSimConfig(text, NowMs, *s->setup, &error);
  if (!s->ok) {
    std::fprintf(stderr, "WNASPI32 (emulated drive): configuration: %s\n", error.c_str());
    TraceLine(*s, "config error: " + error);
    g_state = s;
    return;
  }

  sim::SimAspi& bus = s->setup->bus;
  bus.signal_event = [](void* event) { ::SetEvent(static_cast<HANDLE>(event)); };
  bus.schedule = [](uint64_t delay_ms, std::function<void()> task) {
    // A thread of its own per completion (the toolchain's win32 thread
    // model has no std::thread).
    auto* pending = new Pending{delay_ms, std::move(task)};
    HANDLE thread = ::CreateThread(nullptr, 0, RunPending, pending, 0, nullptr);
    if (thread == nullptr) {
      RunPending(pending);
    } else {
      ::CloseHandle(thread);
    }
  };
  for (size_t i = 0; i < s->setup->drives.size(); ++i) {
    const std::string label = s->setup->labels[i];
    s->setup->drives[i]->on_command = [s, label](const sim::TraceEntry& e) {
      TraceLine(*s, label + " " + sim::FormatTrace(e));
      const bool flash_control = e.opcode() == 0xF5 && e.direction == sim::Direction::kNone;
      if (flash_control || e.opcode() == 0xF6) WriteFlash(*s);
    };
  }
  WriteFlash(*s);  // the erased flash, so a run that never programs is seen as such
  g_state = s;
}

DllState& State() {
  // Initialised once, on first use (a thread-safe local static).
  static const bool initialised = (Initialise(), true);
  (void)initialised;
  return *g_state;
}

}  // namespace

extern "C" uint32_t __cdecl GetASPI32SupportInfo(void) {
  DllState& s = State();
  if (!s.ok) return uint32_t{kSsFailedInit} << 8;
  const uint32_t info = s.setup->bus.GetSupportInfo();
  char text[48];
  std::snprintf(text, sizeof text, "support -> %04X", static_cast<unsigned>(info));
  TraceLine(s, text);
  return info;
}

extern "C" uint32_t __cdecl SendASPI32Command(void* srb) {
  DllState& s = State();
  if (srb == nullptr) return sim::kSsInvalidSrb;
  auto* bytes = static_cast<uint8_t*>(srb);
  if (!s.ok) {
    bytes[1] = kSsFailedInit;
    return kSsFailedInit;
  }
  const uint8_t command = bytes[0];
  const uint32_t status = s.setup->bus.SendCommand(srb);
  char text[64];
  if (command == SC_HA_INQUIRY) {
    std::snprintf(text, sizeof text, "ha_inquiry %u -> %02X", bytes[2],
                  static_cast<unsigned>(status));
    TraceLine(s, text);
  } else if (command == SC_GET_DEV_TYPE) {
    const auto* g = static_cast<SRB_GDEVBlock*>(srb);
    std::snprintf(text, sizeof text, "dev_type %u:%u -> %02X type %02X", g->SRB_HaId, g->SRB_Target,
                  static_cast<unsigned>(status), g->SRB_DeviceType);
    TraceLine(s, text);
  } else if (command == SC_EXEC_SCSI_CMD && status != sim::kSsComp && status != sim::kSsErr &&
             status != sim::kSsPending) {
    const auto* r = static_cast<CommandRecord*>(srb);
    std::snprintf(text, sizeof text, "exec %u:%u refused -> %02X", r->SRB_HaId, r->SRB_Target,
                  static_cast<unsigned>(status));
    TraceLine(s, text);
  }
  return status;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH && g_state != nullptr && g_state->ok) {
    WriteFlash(*g_state);
  }
  return TRUE;
}
