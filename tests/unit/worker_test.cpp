// The flash worker against the emulated drive: command order and timing, the
// tray rule, progress counting and stopping at the first refused block (what
// ends up in the drive's flash is checked end to end).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>

#include "update_bench.h"

namespace {

using Via = UpdateBench::Via;

// The whole sequence, each command as "virtual ms/progress counter/command"
// with the counter as it stands once the drive has run the command.
Texts FullSequence(bool boot, bool eject) {
  Texts s;
  uint32_t ms = 0, counter = 1;
  const auto add = [&](Texts names, uint32_t wait_after = 0) {
    for (const auto& name : names)
      s.push_back(std::to_string(ms) + "/" + std::to_string(counter) + "/" + name);
    ms += wait_after;
  };
  const auto blocks = [&](uint32_t count, uint32_t address, uint32_t length, uint32_t step) {
    char name[32];
    for (uint32_t n = 0; n < count; ++n, counter += step) {
      std::snprintf(name, sizeof name, "W %X/%u", address + n * length, length);
      add({name});
    }
  };
  add(eject ? Texts{"TUR", "TUR", "EJECT"} : Texts{"TUR", "TUR"});
  if (boot) {
    add({"DL2"}, 3000);
    blocks(4, 0, 0x1000, 2);
    add({"FC 0F/00"}, 5000);
    add({"TUR", "TUR", "TUR"});
  }
  add({"DL2"}, 3000);
  blocks(11, 0x8000, 0x8000, 16);
  add({"FC 00/3F"}, 45000);
  add({"DL0"}, 3000);
  add({"TUR", "TUR"});
  return s;
}

// A worker run ready to go, recording its commands as FullSequence shows them.
struct Flash {
  Flash(Via via, bool boot) : bench(via) {
    bench.LoadImages(boot);
    bench.AddDrive();
    ProgressCounter.store(1);
    WorkerState.store(1);
    bench.drive.on_command = [this](const sim::TraceEntry& e) {
      sent.push_back(std::to_string(e.time_ms) + "/" + std::to_string(ProgressCounter.load()) +
                     "/" + UpdateBench::Name(e));
    };
  }
  UpdateBench bench;
  Texts sent;
};

// The whole sequence with its waits and counter (the refusal of each command
// that changes the drive, and unit attentions, are run end to end by ksfupd's
// refused_block table).  Here what only the bench reaches: a transfer failure
// of ASPI after the last block (no 45 s wait after a failed commit), and a
// failing eject and final TEST UNIT READY staying ignored.
TEST(Worker, SendsTheWholeSequenceAndStopsAtTheFirstRefusedChange) {
  using Fault = std::function<void(sim::KestranDrive&)>;
  // boot image, tray, fault: commands sent (0: all), failure text ("": completed)
  const std::tuple<bool, sim::Tray, Fault, size_t, std::string> cases[] = {
      {true, sim::Tray::kClosedEmpty, [](sim::KestranDrive&) {}, 0, ""},
      // boot: 2 DL2, 3-6 blocks, 7 FC 0F/00, 11 DL2, 12-22 blocks, 23 FC 00/3F, 24 DL0
      {true, sim::Tray::kClosedEmpty,
       [](sim::KestranDrive& d) {
         d.FailCommand(23, {0x04, 0x11, 31, false});
       },
       24, "HA_Status: Selection Timeout."},
      // no boot, eject: 2 EJECT, 3 DL2, 4-14 blocks, 15 FC 00/3F, 16 DL0, 17 TUR, 18 TUR
      {false, sim::Tray::kOpen,
       [](sim::KestranDrive& d) {
         d.FailOpcode(0x1B, {});
         d.FailCommand(18, {});
       },
       0, ""},
  };
  for (const auto& [boot, tray, fault, sent, text] : cases) {
    Flash run(Via::kAspi, boot);
    sim::KestranDrive& drive = run.bench.drive;
    SCOPED_TRACE(text);
    drive.SetTray(tray);
    fault(drive);
    RunFlashSequence();
    Texts want = FullSequence(boot, tray != sim::Tray::kClosedEmpty);
    if (sent > 0) want.resize(sent);
    EXPECT_EQ(run.sent, want);
    EXPECT_EQ(run.bench.fake.NowMs(), drive.trace().back().time_ms) << "a wait after the end";
    EXPECT_EQ(WorkerState.load(), text.empty() ? 2 : 1);
    EXPECT_EQ(ProgressCounter.load(), 0u);
    EXPECT_EQ(LastErrorText, text);
  }
}

// The tray rule, read from the second TEST UNIT READY's sense bytes in the
// command record; when that command never reaches the drive, the record still
// holds the first one's sense, and the rule follows that.
TEST(Worker, EjectsUnlessTheDriveReportsAClosedEmptyTray) {
  const std::tuple<sim::Tray, int, sim::Sense, bool> cases[] = {
      // tray, command answered with `sense` (2: the second fails locally), eject
      {sim::Tray::kLoaded, 1, {0x22, 0x3A, 0x01}, true},  // flag bits in the key byte
      {sim::Tray::kLoaded, 1, {0x02, 0x3B, 0x01}, true},
      {sim::Tray::kLoaded, 1, {0x0B, 0x3A, 0x01}, true},
      {sim::Tray::kLoaded, 1, {0, 0, 0}, true},
      {sim::Tray::kOpen, 2, sim::sense::kNoMediumTrayClosed, false},
      {sim::Tray::kClosedEmpty, 2, sim::sense::kBecomingReady, true}};
  for (const auto& [tray, refused, sense, eject] : cases) {
    for (const Via via : {Via::kPassThrough, Via::kAspi}) {
      Flash run(via, false);
      UpdateBench& bench = run.bench;
      bench.drive.SetTray(tray);
      if (refused >= 0) bench.drive.RefuseCommand(refused & 1, sense);
      if (refused == 2) {
        // ASPI: no event for the second command; pass-through: it cannot open the device.
        bench.drive.on_command = [&bench](const sim::TraceEntry& e) {
          if (e.index == 0) bench.fake.fail_create_event = 1;
        };
        auto open = bench.fake.open_device;
        bench.fake.open_device = [open, opens = std::make_shared<int>(0)](
                                     const char* name, uint32_t access, uint32_t share) {
          return ++*opens == 2 || *opens == 3 ? nullptr : open(name, access, share);
        };
      }
      RunFlashSequence();
      const Texts commands = bench.Commands();
      const size_t at = refused == 2 ? 1 : 2;  // the locally failed command is not in the trace
      EXPECT_EQ(commands.at(at) == "EJECT", eject)
          << int(tray) << " " << refused << " " << int(via);
      EXPECT_EQ(commands.at(at + eject), "DL2");
    }
  }
}

// The thread as the dialog starts it, watched by a reader polling the shared
// values as the dialog does; under TSan this also shows the publication is
// race-free.  Failure: the text is complete before the counter reads 0;
// success: the state is 2 before it does.
TEST(Worker, APollingReaderSeesTheFinalStoresInOrder) {
  for (const bool fail : {false, true}) {
    Flash run(Via::kPassThrough, true);
    run.bench.drive.on_command = nullptr;
    if (fail) run.bench.drive.RefuseWrite(6, sim::sense::kChecksumError);
    uint32_t highest = 0;
    uint8_t state_at_zero = 0;
    std::string text_at_zero;
    std::thread reader([&] {
      for (uint32_t c; (c = ProgressCounter.load(std::memory_order_acquire)) != 0;) {
        highest = std::max(highest, c);
        std::this_thread::yield();
      }
      state_at_zero = WorkerState.load(std::memory_order_acquire);
      text_at_zero = LastErrorText;
    });
    ASSERT_TRUE(run.bench.fake.StartThread(UpdateThreadProc, nullptr));
    run.bench.fake.JoinThreads();
    reader.join();
    EXPECT_LE(highest, fail ? 41u : 185u);
    EXPECT_EQ(state_at_zero, fail ? 1 : 2);
    EXPECT_EQ(text_at_zero, fail ? "Flash rom check sum error. (Code 09-86-00)" : "");
  }
}

}  // namespace
