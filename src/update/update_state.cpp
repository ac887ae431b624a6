// The values shared by the dialog thread and the flash worker.
//
// Release stores and acquire loads give the orders the dialog relies on: on
// failure LastErrorText is complete before ProgressCounter becomes 0; on
// success WorkerState becomes 2 before ProgressCounter is reset to 0.
#include "update/update_state.h"

#include "discovery/drive_table.h"
#include "package/package.h"
#include "transport/transport.h"

std::atomic<uint16_t> SelectedDriveIndex{0};
std::atomic<uint32_t> ProgressCounter{0};
std::atomic<uint8_t> WorkerState{kWorkerIdle};

void ResetUpdateState() {
  SelectedDriveIndex.store(0, std::memory_order_release);
  ProgressCounter.store(0, std::memory_order_release);
  WorkerState.store(kWorkerIdle, std::memory_order_release);
}

void ResetProcessState() {
  ResetUpdatePackage();  // also the defaults: BufferSize 2048, WaitTime 45
  ResetDriveTable();
  ResetUpdateState();
  ResetTransportState();
}
