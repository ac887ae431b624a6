// The virtual-clock double's answers that no product test tells apart: its
// clock with real threads is exercised by every worker and monitor test.
#include <gtest/gtest.h>

#include "fake_platform.h"

namespace {

TEST(FakePlatform, SetEventWakesTheWaiterAndScriptedAnswersAreTakenOnce) {
  FakePlatform os;
  plat::Handle event = os.CreateEvent();
  os.Schedule(250, [&] { os.SetEvent(event); });
  EXPECT_EQ(os.WaitForEvent(event, plat::kInfinite), plat::kWaitObject0);
  os.CloseEvent(event);
  os.message_box_answers = {plat::kIdNo};
  EXPECT_EQ(os.MessageBox(nullptr, "a", "b", plat::kMbYesNo), plat::kIdNo);
  EXPECT_EQ(os.MessageBox(nullptr, "a", "b", plat::kMbYesNo), plat::kIdYes);
}

}  // namespace
