// The files the adapters of the emulated drive share with the tests: the
// configuration they read, the trace they append to and the flash dumps they
// write (sim/README.md).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drive_model.h"

namespace sim {

bool ReadWholeFile(const std::string& path, std::string* out);
// Appends "<ms> <text>\n" to `path` (nothing when the path is empty).
void AppendTraceLine(const std::string& path, uint64_t ms, const std::string& text);
// The i-th drive's flash to `path` for i = 0, `path`.i after it.
void WriteFlashDumps(const std::string& path, const std::vector<const KestranDrive*>& drives);

}  // namespace sim
