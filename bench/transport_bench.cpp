// Throughput of one firmware block on its way to the drive: the checksum, and
// a whole 32 KiB WriteFlashBlock through ExecuteCommand to a device that
// accepts everything at once, over each transport.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "fake_platform.h"
#include "transport/command_set.h"
#include "transport/transport.h"

namespace {

constexpr uint32_t kBlock = 32768;

std::vector<uint8_t> Block() {
  std::vector<uint8_t> data(kBlock);
  uint32_t seed = 7;
  for (auto& b : data) b = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
  return data;
}

void BM_FlashChecksum(benchmark::State& state) {
  const auto data = Block();
  for (auto _ : state) benchmark::DoNotOptimize(FlashChecksum(data.data(), kBlock));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlock);
}
BENCHMARK(BM_FlashChecksum);

void BM_FlashChecksumPortable(benchmark::State& state) {
  const auto data = Block();
  for (auto _ : state) benchmark::DoNotOptimize(FlashChecksumPortable(data.data(), kBlock));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlock);
}
BENCHMARK(BM_FlashChecksumPortable);

// An ASPI layer that completes every request before it returns.
uint32_t KSF_CDECL AcceptingSend(void* srb) {
  static_cast<CommandRecord*>(srb)->SRB_Status = SS_COMP;
  return SS_COMP;
}
uint32_t KSF_CDECL OneAdapter() { return 0x0101; }

void BM_WriteFlashBlockAspi(benchmark::State& state) {
  FakePlatform os;
  os.load_library = [](const char*) { return reinterpret_cast<plat::Handle>(1); };
  os.get_proc_address = [](plat::Handle, const char* name) -> void* {
    return std::strcmp(name, "SendASPI32Command") == 0 ? reinterpret_cast<void*>(&AcceptingSend)
                                                       : reinterpret_cast<void*>(&OneAdapter);
  };
  ResetTransportState();
  TransportKind = Aspi;
  if (LoadAspiLibrary() != 1) state.SkipWithError("no ASPI double");
  DriveRecord drive{};
  drive.AlignMask = 0x3;
  const auto data = Block();
  for (auto _ : state) {
    if (WriteFlashBlock(drive, data.data(), kBlock, 0x8000) != 0) state.SkipWithError("refused");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlock);
  ResetTransportState();
}
BENCHMARK(BM_WriteFlashBlockAspi);

void BM_WriteFlashBlockPassThrough(benchmark::State& state) {
  FakePlatform os;
  os.open_device = [](const char*, uint32_t, uint32_t) {
    return reinterpret_cast<plat::Handle>(1);
  };
  os.get_capabilities = [](plat::Handle, void* caps) {
    static_cast<IoScsiCapabilities*>(caps)->AlignmentMask = 0x3;
    return true;
  };
  os.pass_through = [](plat::Handle, void*) { return true; };
  ResetTransportState();
  TransportKind = PassThrough;
  DriveRecord drive{};
  drive.DriveLetter[0] = 'E';
  const auto data = Block();
  for (auto _ : state) {
    if (WriteFlashBlock(drive, data.data(), kBlock, 0x8000) != 0) state.SkipWithError("refused");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlock);
  ResetTransportState();
}
BENCHMARK(BM_WriteFlashBlockPassThrough);

}  // namespace

BENCHMARK_MAIN();
