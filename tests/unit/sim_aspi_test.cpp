// The emulated ASPI layer decoding request blocks byte for byte: host adapter
// inquiry, device types, execute requests (data, sense, event, alignment),
// asynchronous completion in virtual time and transport faults.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fake_hooks.h"
#include "fake_platform.h"
#include "platform/ptr32.h"
#include "transport/transport.h"

namespace {

class SimAspiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_.AddAdapter(0x0003, 4);
    bus_.AddAdapter(0x01FF, 0);
    bus_.AttachDrive(0, 1, &drive_);
    bus_.AttachDevice(1, 2, 0x00);
    sim::ConnectAspi(os_, bus_);
  }
  void TearDown() override { sim::SimAspi::SetCurrent(nullptr); }

  // An execute request as the updater's transport lays it out.
  CommandRecord Exec(uint8_t target, std::vector<uint8_t> cdb, uint8_t flags, void* buffer,
                     uint32_t length, plat::Handle event = nullptr) {
    CommandRecord r;
    std::memset(&r, 0, sizeof r);
    r.SRB_Cmd = SC_EXEC_SCSI_CMD;
    r.SRB_Flags = flags;
    r.SRB_Target = target;
    r.SRB_BufLen = length;
    r.SRB_BufPointer = plat::PtrToField(buffer);
    r.SRB_SenseLen = SENSE_LEN;
    r.SRB_CDBLen = static_cast<uint8_t>(cdb.size());
    r.SRB_PostProc = plat::PtrToField(event);
    std::memcpy(r.CDBByte, cdb.data(), std::min<size_t>(cdb.size(), 16));
    return r;
  }
  bool Signalled(plat::Handle event) { return os_.WaitForEvent(event, 0) == plat::kWaitObject0; }

  FakePlatform os_;
  sim::KestranDrive drive_{sim::FakeClock(os_)};
  sim::SimAspi bus_;
};

TEST_F(SimAspiTest, SupportInfoCountsAdaptersUnlessTold) {
  EXPECT_EQ(bus_.GetSupportInfo(), 0x0102u);
  bus_.support_status = 0xE8;
  bus_.support_count_override = 0;
  EXPECT_EQ(bus_.GetSupportInfo(), 0xE800u);
}

TEST_F(SimAspiTest, HostAdapterInquiryFillsThePublishedFields) {
  SRB_HAInquiry r;
  std::memset(&r, 0xCC, sizeof r);
  r.SRB_Cmd = SC_HA_INQUIRY;
  r.SRB_HaId = 1;
  EXPECT_EQ(bus_.SendCommand(&r), sim::kSsComp);
  EXPECT_EQ(r.SRB_Status, sim::kSsComp);
  EXPECT_EQ(r.HA_Count, 2);
  EXPECT_EQ(r.HA_SCSI_ID, 7);
  EXPECT_EQ(r.HA_Unique[0], 0xFF);  // mask 0x01FF, little-endian
  EXPECT_EQ(r.HA_Unique[1], 0x01);
  EXPECT_EQ(r.HA_Unique[3], 0) << "a reported 0 stays 0; the updater reads it as 8";
  EXPECT_EQ(r.HA_Rsvd1, 0);

  r.SRB_HaId = 2;
  EXPECT_EQ(bus_.SendCommand(&r), sim::kSsInvalidHa);
  bus_.adapter(0).inquiry_status = sim::kSsErr;
  r.SRB_HaId = 0;
  EXPECT_EQ(bus_.SendCommand(&r), sim::kSsErr);
  bus_.ha_count_override = 5;
  r.SRB_HaId = 1;
  bus_.SendCommand(&r);
  EXPECT_EQ(r.HA_Count, 5);
}

TEST_F(SimAspiTest, DeviceTypesByTarget) {
  struct Case {
    uint8_t adapter, target, lun;
    uint8_t status, type;
  };
  for (const Case& c :
       {Case{0, 1, 0, sim::kSsComp, 5}, Case{1, 2, 0, sim::kSsComp, 0},
        Case{0, 2, 0, sim::kSsNoDevice, 0x1F}, Case{0, 1, 1, sim::kSsNoDevice, 0x1F},
        Case{3, 0, 0, sim::kSsInvalidHa, 0xAA}}) {
    SCOPED_TRACE(testing::Message() << int(c.adapter) << ":" << int(c.target) << ":" << int(c.lun));
    SRB_GDEVBlock r{};
    r.SRB_Cmd = SC_GET_DEV_TYPE;
    r.SRB_HaId = c.adapter;
    r.SRB_Target = c.target;
    r.SRB_Lun = c.lun;
    r.SRB_DeviceType = 0xAA;
    EXPECT_EQ(bus_.SendCommand(&r), c.status);
    EXPECT_EQ(r.SRB_DeviceType, c.type);
  }
}

TEST_F(SimAspiTest, ExecuteMovesDataAndSignalsTheEvent) {
  plat::Handle event = os_.CreateEvent();
  uint8_t data[40];
  std::memset(data, 0xEE, sizeof data);
  CommandRecord r = Exec(1, {0x12, 0, 0, 0, 36, 0}, 0x48, data, 36, event);
  EXPECT_EQ(bus_.SendCommand(&r), sim::kSsComp);
  EXPECT_EQ(r.SRB_Status, sim::kSsComp);
  EXPECT_EQ(r.SRB_HaStat, 0);
  EXPECT_EQ(r.SRB_TargStat, 0);
  EXPECT_EQ(std::memcmp(data + 8, "KESTRAN ", 8), 0);
  EXPECT_EQ(data[36], 0xEE);
  EXPECT_TRUE(Signalled(event)) << "SRB_EVENT_NOTIFY";

  // Without SRB_EVENT_NOTIFY the event is left alone.
  r = Exec(1, {0, 0, 0, 0, 0, 0}, 0x00, nullptr, 0, event);
  bus_.SendCommand(&r);
  EXPECT_FALSE(Signalled(event));
  os_.CloseEvent(event);
}

TEST_F(SimAspiTest, SenseGoesIntoSenseAreaForSenseLenBytes) {
  CommandRecord r = Exec(1, {0, 0, 0, 0, 0, 0}, 0x40, nullptr, 0);
  std::memset(r.SenseArea, 0xCC, sizeof r.SenseArea);
  EXPECT_EQ(bus_.SendCommand(&r), sim::kSsErr);
  EXPECT_EQ(r.SRB_TargStat, sim::kCheckCondition);
  EXPECT_EQ(r.SenseArea[0], 0x70);
  EXPECT_EQ(r.SenseArea[2], 0x02);
  EXPECT_EQ(r.SenseArea[12], 0x3A);
  EXPECT_EQ(r.SenseArea[13], 0x01);
  EXPECT_EQ(r.SenseArea[14], 0xCC) << "SRB_SenseLen 14 limits the copy";

  // A SRB_SenseLen beyond the block's 16 sense bytes writes nothing past it.
  struct Guarded {
    CommandRecord r;
    uint8_t guard[32];
  } g;
  std::memset(g.guard, 0xCC, sizeof g.guard);
  g.r = Exec(1, {0, 0, 0, 0, 0, 0}, 0x40, nullptr, 0);
  g.r.SRB_SenseLen = 40;
  bus_.SendCommand(&g.r);
  EXPECT_EQ(g.r.SenseArea[13], 0x01);
  for (uint8_t b : g.guard) ASSERT_EQ(b, 0xCC);
}

TEST_F(SimAspiTest, MalformedRequestsAreRefusedWithoutReachingTheDrive) {
  std::vector<uint8_t> block(4096 + 8, 0xFF);
  uint8_t* odd = block.data();
  while ((reinterpret_cast<uintptr_t>(odd) & 3) != 1) ++odd;
  struct Case {
    const char* name;
    uint8_t adapter, target, flags, cdb_length;
    void* buffer;
    uint32_t length;
    uint8_t status;
  };
  for (const Case& c : {
           Case{"no adapter", 4, 1, 0x40, 6, nullptr, 0, sim::kSsInvalidHa},
           Case{"no device", 0, 3, 0x40, 6, nullptr, 0, sim::kSsNoDevice},
           Case{"empty CDB", 0, 1, 0x40, 0, nullptr, 0, sim::kSsInvalidSrb},
           Case{"CDB too long", 0, 1, 0x40, 17, nullptr, 0, sim::kSsInvalidSrb},
           Case{"both directions", 0, 1, 0x58, 10, odd, 4096, sim::kSsInvalidSrb},
           Case{"data without buffer", 0, 1, 0x50, 10, nullptr, 4096, sim::kSsInvalidSrb},
           Case{"misaligned data-out", 0, 1, 0x50, 10, odd, 4096, sim::kSsBufferAlign},
       }) {
    SCOPED_TRACE(c.name);
    const size_t commands = drive_.command_count();
    CommandRecord r =
        Exec(c.target, {0xEA, 0, 0, 0, 0, 0, 0, 0, 2, 0xF0}, c.flags, c.buffer, c.length);
    r.SRB_HaId = c.adapter;
    r.SRB_CDBLen = c.cdb_length;
    EXPECT_EQ(bus_.SendCommand(&r), c.status);
    EXPECT_EQ(r.SRB_Status, c.status);
    EXPECT_EQ(drive_.command_count(), commands);
  }
  // Incoming data may sit anywhere.
  CommandRecord r = Exec(1, {0x12, 0, 0, 0, 36, 0}, 0x48, odd, 36);
  EXPECT_EQ(bus_.SendCommand(&r), sim::kSsComp);
  EXPECT_EQ(bus_.requests().back().status, sim::kSsComp);
}

TEST_F(SimAspiTest, AsynchronousCompletionRunsAtItsVirtualTime) {
  drive_.SetAsyncDelay(250);
  plat::Handle event = os_.CreateEvent();
  uint8_t data[36] = {};
  const uint64_t start = os_.NowMs();
  CommandRecord r = Exec(1, {0x12, 0, 0, 0, 36, 0}, 0x48, data, 36, event);
  EXPECT_EQ(bus_.SendCommand(&r), sim::kSsPending);
  EXPECT_EQ(r.SRB_Status, sim::kSsPending);
  EXPECT_EQ(bus_.pending(), 1);
  EXPECT_EQ(data[0], 0) << "nothing delivered before completion";

  ASSERT_EQ(os_.WaitForEvent(event, plat::kInfinite), plat::kWaitObject0);
  EXPECT_EQ(os_.NowMs() - start, 250u);
  EXPECT_EQ(r.SRB_Status, sim::kSsComp);
  EXPECT_EQ(data[0], 5);
  EXPECT_EQ(bus_.pending(), 0);
  EXPECT_EQ(drive_.trace().back().time_ms, start + 250) << "the drive ran it at completion";
  os_.CloseEvent(event);
}

TEST_F(SimAspiTest, TransportFaultsShowInTheBlock) {
  struct Case {
    const char* name;
    sim::TransportFault fault;
    uint8_t status, ha_stat, targ_stat, sense_key;
  };
  for (const Case& c : {
           Case{"selection timeout", {0x04, 0x11, 0, false}, 0x04, 0x11, 0, 0},
           Case{"aborted", {0x02, 0x00, 0, false}, 0x02, 0, 0, 0},
           Case{"underrun, drive answered", {0x01, 0x12, 0, true}, 0x01, 0x12, 2, 0x02},
       }) {
    SCOPED_TRACE(c.name);
    drive_.ClearFaults();
    drive_.FailOpcode(0x00, c.fault);
    CommandRecord r = Exec(1, {0, 0, 0, 0, 0, 0}, 0x40, nullptr, 0);
    EXPECT_EQ(bus_.SendCommand(&r), c.status);
    EXPECT_EQ(r.SRB_HaStat, c.ha_stat);
    EXPECT_EQ(r.SRB_TargStat, c.targ_stat);
    EXPECT_EQ(r.SenseArea[2], c.sense_key);
  }
}

TEST_F(SimAspiTest, EntryPointsThroughTheFakeLibraryHooks) {
  plat::Handle lib = os_.LoadLibrary("wnaspi32.dll");
  ASSERT_EQ(lib, sim::SimAspi::LibraryHandle());
  EXPECT_EQ(os_.LoadLibrary("WNASPI.DLL"), nullptr);
  auto info =
      reinterpret_cast<plat::GetSupportInfoFn>(os_.GetProcAddress(lib, "GetASPI32SupportInfo"));
  auto send = reinterpret_cast<plat::SendCommandFn>(os_.GetProcAddress(lib, "SendASPI32Command"));
  ASSERT_NE(info, nullptr);
  ASSERT_NE(send, nullptr);
  EXPECT_EQ(os_.GetProcAddress(lib, "GetASPI32Buffer"), nullptr);
  EXPECT_EQ(info(), 0x0102u);
  os_.FreeLibrary(lib);
  EXPECT_EQ(bus_.library_loads, 1);
  EXPECT_EQ(bus_.library_frees, 1);

  sim::SimAspi::SetCurrent(nullptr);  // a layer without adapters
  EXPECT_EQ(info(), 0xE800u);
  SRB_HAInquiry r{};
  EXPECT_EQ(send(&r), sim::kSsInvalidSrb);
}

}  // namespace
