// The emulated drive's configuration text (the file that KSF_SIM_CONFIG names
// for WNASPI32.DLL).  sim/README.md describes the format.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "aspi_adapter.h"
#include "drive_model.h"

namespace sim {

struct SimSetup {
  SimAspi bus;
  // The drives in the order of their lines, and "adapter:target" for each.
  std::vector<std::unique_ptr<KestranDrive>> drives;
  std::vector<std::string> labels;
};

// Used when no configuration file is named: one adapter, a default drive at
// target 1.
extern const char kDefaultSimConfig[];

// Builds the bus and its drives into `setup` (a fresh one).  False on the first
// bad line, with "line N: what" in *error.
bool LoadSimConfig(const std::string& text, const std::function<uint64_t()>& now_ms,
                   SimSetup& setup, std::string* error);

}  // namespace sim
