// The virtual-clock double's event rules and default answers; its clock with
// real threads is exercised by every worker and monitor test.
#include <gtest/gtest.h>

#include "fake_platform.h"

namespace {

TEST(FakePlatform, ScheduledTaskSignalsAnInfiniteWaitAndEventsResetThemselves) {
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

TEST(FakePlatform, MessageBoxesTakeScriptedAnswersThenTheAffirmativeOne) {
  FakePlatform os;
  os.message_box_answers = {plat::kIdNo};
  EXPECT_EQ(os.MessageBox(nullptr, "a", "b", plat::kMbYesNo), plat::kIdNo);
  EXPECT_EQ(os.MessageBox(nullptr, "a", "b", plat::kMbYesNo), plat::kIdYes);
  EXPECT_EQ(os.MessageBox(nullptr, "a", "b", plat::kMbOk), plat::kIdOk);
}

}  // namespace
