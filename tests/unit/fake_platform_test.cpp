// The virtual clock must keep real threads in step with virtual time, or every
// timing test built on it would be meaningless.
#include <gtest/gtest.h>

#include <atomic>

#include "fake_platform.h"

namespace {

std::atomic<int> g_stage{0};

uint32_t SleepyWorker(void*) {
  auto& os = plat::Os();
  plat::Handle event = os.CreateEvent();
  os.WaitForEvent(event, 3000);  // nothing signals it: a pure 3 s wait
  g_stage.store(1);
  os.WaitForEvent(event, 45000);
  g_stage.store(2);
  os.CloseEvent(event);
  return 0;
}

TEST(FakePlatformClock, PollingThreadSeesWorkerProgressAtTheRightVirtualTimes) {
  FakePlatform os;
  g_stage.store(0);
  ASSERT_TRUE(os.StartThread(SleepyWorker, nullptr));
  plat::Handle tick = os.CreateEvent();
  uint64_t saw_one = 0, saw_two = 0;
  while (g_stage.load() != 2) {
    if (g_stage.load() == 1 && saw_one == 0) saw_one = os.NowMs();
    os.WaitForEvent(tick, 100);
  }
  saw_two = os.NowMs();
  os.CloseEvent(tick);
  os.JoinThreads();
  EXPECT_GE(saw_one, 3000u);
  EXPECT_LE(saw_one, 3100u);
  EXPECT_GE(saw_two, 48000u);
  EXPECT_LE(saw_two, 48100u);
}

TEST(FakePlatformClock, ScheduledTaskSignalsAnInfiniteWait) {
  FakePlatform os;
  plat::Handle event = os.CreateEvent();
  os.Schedule(250, [&] { os.SetEvent(event); });
  EXPECT_EQ(os.WaitForEvent(event, plat::kInfinite), plat::kWaitObject0);
  EXPECT_EQ(os.NowMs(), 250u);
  // Auto-reset: the signal was consumed by the wait.
  EXPECT_EQ(os.WaitForEvent(event, 0), plat::kWaitTimeout);
  os.SetEvent(event);
  EXPECT_EQ(os.WaitForEvent(event, 0), plat::kWaitObject0);
  os.CloseEvent(event);
}

TEST(FakePlatformClock, FailureSwitchesAndAnswers) {
  FakePlatform os;
  os.fail_create_event = 1;
  EXPECT_EQ(os.CreateEvent(), nullptr);
  plat::Handle event = os.CreateEvent();
  EXPECT_NE(event, nullptr);
  os.CloseEvent(event);
  os.message_box_answers = {plat::kIdNo};
  EXPECT_EQ(os.MessageBox(nullptr, "a", "b", plat::kMbYesNo), plat::kIdNo);
  EXPECT_EQ(os.MessageBox(nullptr, "a", "b", plat::kMbYesNo), plat::kIdYes);
  EXPECT_EQ(os.MessageBox(nullptr, "a", "b", plat::kMbOk), plat::kIdOk);
  EXPECT_EQ(os.MessageBoxes().size(), 3u);
}

}  // namespace
