// ksf-tcmu-drive: the emulated drive as a SCSI device of a real Linux kernel.
// The kernel's user-space target (target_core_user) hands each command of a
// backstore to the process that maps its /dev/uioN; with a tcm_loop LUN on
// that backstore, the SCSI midlayer sees a device of type 5 and attaches sr
// and sg to it, as for a drive on a real bus.
//
//   ksf-tcmu-drive /dev/uioN LABEL
//
// Environment, as for libksfsg.so (sim/README.md):
//   KSF_SIM_CONFIG  configuration file; its first `drive` line is this drive
//                   (unset: a default drive)
//   KSF_SIM_TRACE   one line per command: "<ms> LABEL 0 <FormatTrace>" (the
//                   target never sees the initiator's time-out: 0)
//   KSF_SIM_FLASH   the flash, written at start and when the handler is
//                   stopped (SIGTERM): not between commands, where writing
//                   it would add to the time the drive takes to answer
//   KSF_TCMU_SLOW_WRITE_MS  each flash block write takes this long
// Runs until the device goes away; exit status 1 with the reason on a ring
// it cannot serve.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim_config.h"
#include "sim_files.h"
#include "tcmu_ring.h"

namespace {

uint64_t NowMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

volatile sig_atomic_t g_stop = 0;
void Stop(int) { g_stop = 1; }

int Fail(const std::string& what) {
  std::fprintf(stderr, "ksf-tcmu-drive: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return Fail("usage: ksf-tcmu-drive /dev/uioN LABEL");
  const std::string uio = argv[1], label = argv[2];
  const std::string trace = Env("KSF_SIM_TRACE"), flash = Env("KSF_SIM_FLASH");
  const uint32_t slow_ms = static_cast<uint32_t>(std::atoi(Env("KSF_TCMU_SLOW_WRITE_MS").c_str()));

  std::string text = "adapter\ndrive target=1\n", error;
  const std::string config = Env("KSF_SIM_CONFIG");
  if (!config.empty() && !(text.clear(), sim::ReadWholeFile(config, &text))) {
    return Fail("cannot read " + config);
  }
  sim::SimSetup setup;
  if (!sim::LoadSimConfig(text, NowMs, setup, &error)) return Fail(config + ": " + error);
  if (setup.drives.empty()) return Fail(config + ": no drive line");
  sim::KestranDrive& drive = *setup.drives[0];
  drive.on_command = [&](const sim::TraceEntry& e) {
    sim::AppendTraceLine(trace, NowMs(), label + " 0 " + sim::FormatTrace(e));
  };
  sim::WriteFlashDumps(flash, {&drive});
  // SIGTERM ends the wait for the kernel (no SA_RESTART), then the flash is written.
  struct sigaction stop {};
  stop.sa_handler = Stop;
  sigaction(SIGTERM, &stop, nullptr);

  // The mapping's size: /sys/class/uio/uioN/maps/map0/size.
  std::string size_text;
  const std::string node = uio.substr(uio.rfind('/') + 1);
  if (!sim::ReadWholeFile("/sys/class/uio/" + node + "/maps/map0/size", &size_text)) {
    return Fail("no map size for " + uio);
  }
  const size_t size = std::strtoull(size_text.c_str(), nullptr, 0);
  const int fd = open(uio.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return Fail("cannot open " + uio);
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) return Fail("cannot map " + uio);

  const sim::TcmuRun run = [&](const uint8_t* cdb, uint8_t cdb_length, sim::Direction direction,
                               uint8_t* data, uint32_t length) {
    if (cdb[0] == 0xEA && slow_ms > 0) usleep(slow_ms * 1000);
    return drive.Execute(cdb, cdb_length, direction, data, length);
  };
  // Serve what is queued, tell the kernel (a write of 4 bytes), then wait for
  // its next interrupt (a read of the event count).
  for (uint32_t events = 0; !g_stop;) {
    if (sim::ServeTcmuRing(static_cast<uint8_t*>(map), size, run, &error) < 0) return Fail(error);
    if (write(fd, &events, sizeof events) != sizeof events) return Fail("kick failed");
    if (read(fd, &events, sizeof events) != sizeof events && !g_stop) break;  // device removed
  }
  sim::WriteFlashDumps(flash, {&drive});
  return 0;
}
