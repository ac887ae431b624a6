// The emulated ASPI layer's own checks of the execute requests it decodes:
// refusals and the completion event, and sense kept inside the block.  (The
// transport tests run every path through it with well-formed requests, the
// discovery tests walk adapter inquiry and device types.)
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "fake_hooks.h"
#include "fake_platform.h"
#include "platform/ptr32.h"
#include "transport/transport.h"

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kTur{0, 0, 0, 0, 0, 0}, kInquiry{0x12, 0, 0, 0, 36, 0};

class SimAspiTest : public ::testing::Test {
 protected:
  SimAspiTest() {
    bus_.AddAdapter(0x0003, 4);
    bus_.AttachDrive(0, 1, &drive_);
    sim::ConnectAspi(os_, bus_);
  }
  ~SimAspiTest() override {
    os_.CloseEvent(event_);
    sim::SimAspi::SetCurrent(nullptr);
  }
  // An execute request for target 1 as the updater's transport lays it out.
  CommandRecord Exec(const Bytes& cdb, uint8_t flags, void* buffer, uint32_t length) {
    CommandRecord r{};
    r.SRB_Cmd = SC_EXEC_SCSI_CMD;
    r.SRB_Flags = flags;
    r.SRB_Target = 1;
    r.SRB_BufLen = length;
    r.SRB_BufPointer = plat::PtrToField(buffer);
    r.SRB_SenseLen = SENSE_LEN;
    r.SRB_CDBLen = static_cast<uint8_t>(cdb.size());
    r.SRB_PostProc = plat::PtrToField(event_);
    std::copy_n(cdb.begin(), std::min<size_t>(cdb.size(), 16), r.CDBByte);
    return r;
  }

  FakePlatform os_;
  sim::KestranDrive drive_{sim::FakeClock(os_)};
  sim::SimAspi bus_;
  plat::Handle event_ = os_.CreateEvent();
};

TEST_F(SimAspiTest, ExecuteRequestsAreCheckedThenRunAndSignalled) {
  std::vector<uint8_t> storage(4096 + 8);
  uint8_t* odd = storage.data();
  while ((reinterpret_cast<uintptr_t>(odd) & 3) != 1) ++odd;
  uint8_t* aligned = odd + 3;
  // A block write (data-out, event notify) from `buffer`, with one byte of the
  // request block overwritten at its offset.
  const struct {
    uint32_t offset, value;
    uint8_t* buffer;
    uint8_t status;
  } cases[] = {
      {0, SC_EXEC_SCSI_CMD, aligned, sim::kSsErr},  // runs; the drive refuses it
      {0, SC_EXEC_SCSI_CMD, odd, sim::kSsBufferAlign},
      {0, SC_EXEC_SCSI_CMD, nullptr, sim::kSsInvalidSrb},
      {3, 0x48, odd, sim::kSsErr},             // SRB_Flags: data-in may sit anywhere
      {3, 0x10, aligned, sim::kSsErr},         // SRB_Flags: no SRB_EVENT_NOTIFY
      {3, 0x58, aligned, sim::kSsInvalidSrb},  // SRB_Flags: both directions
      {2, 1, aligned, sim::kSsInvalidHa},      // SRB_HaId
      {8, 2, aligned, sim::kSsNoDevice},       // SRB_Target
      {21, 0, aligned, sim::kSsInvalidSrb},    // SRB_CDBLen
      {21, 17, aligned, sim::kSsInvalidSrb},   // SRB_CDBLen
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    const uint32_t commands = drive_.command_count();
    CommandRecord r = Exec({0xEA, 0, 0, 0, 0, 0, 0, 0, 2, 0}, 0x50, c.buffer, 4096);
    reinterpret_cast<uint8_t*>(&r)[c.offset] = static_cast<uint8_t>(c.value);
    EXPECT_EQ(bus_.SendCommand(&r), c.status);
    EXPECT_EQ(r.SRB_Status, c.status);
    const bool runs = c.status == sim::kSsErr;
    EXPECT_EQ(drive_.command_count() - commands, runs ? 1u : 0u);
    EXPECT_EQ(os_.WaitForEvent(event_, 0) == plat::kWaitObject0, runs && (r.SRB_Flags & 0x40));
  }
}

TEST_F(SimAspiTest, SenseStaysInsideTheBlock) {
  struct {
    CommandRecord r;
    uint8_t guard[4] = {0xCC, 0xCC, 0xCC, 0xCC};
  } g;
  g.r = Exec(kTur, 0x40, nullptr, 0);
  g.r.SRB_SenseLen = 40;  // more than the block's 16 sense bytes
  EXPECT_EQ(bus_.SendCommand(&g.r), sim::kSsErr);
  EXPECT_EQ(g.r.SRB_TargStat, sim::kCheckCondition);
  const Bytes sense{0x70, 0, 2, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 1, 0, 0};
  EXPECT_EQ(Bytes(g.r.SenseArea, g.r.SenseArea + 16), sense);
  EXPECT_EQ(Bytes(g.guard, g.guard + 4), Bytes(4, 0xCC));
}

}  // namespace
