// Values shared by the dialog thread and the flash worker.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<uint16_t> SelectedDriveIndex;
extern std::atomic<uint32_t> ProgressCounter;
extern std::atomic<uint8_t> WorkerState;
void ResetUpdateState();
