// Values shared by the dialog thread and the flash worker.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<uint16_t> SelectedDriveIndex;
extern std::atomic<uint32_t> ProgressCounter;
// Values of WorkerState.
enum : uint8_t {
  kWorkerIdle = 0,      // not started since start-up
  kWorkerRunning = 1,   // set before the worker starts; stays after a failed write
  kWorkerFinished = 2,  // the sequence ran to its end
};
extern std::atomic<uint8_t> WorkerState;
void ResetUpdateState();
// Every subsystem's process-wide state as at program start: the package (with
// its defaults), the drive table, the transport and the values above.
void ResetProcessState();
