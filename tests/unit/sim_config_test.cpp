// The configuration text of WNASPI32.DLL: what a full file builds and how a
// bad line is reported.
#include <gtest/gtest.h>

#include <string>

#include "sim_config.h"

namespace {

uint64_t g_now = 0;
uint64_t Now() { return g_now; }

TEST(SimConfigTest, BuildsAdaptersDrivesAndFaults) {
  const std::string text = R"(# two adapters
support status=0x01 ha_count=2
adapter align=0x0003 targets=4 id=6
drive target=1 vendor="KESTRAN " product="CD-RW  TQ-900W  " revision="1.\x41B" byte3=0x12 board=9 tray=loaded
refuse write=3 sense=09/85/00
fail opcode=0x00 srb=0x04 ha=0x11
memory addr=0x100 bytes="DE AD"
adapter
device target=0 type=0
drive target=2 settle_ms=50 programming_ms=100 async_ms=200 external=no   # comment
flaky inquiry=forever
refuse command=0 sense=02/04/01 status=8
)";
  sim::SimSetup setup;
  std::string error;
  ASSERT_TRUE(sim::LoadSimConfig(text, Now, setup, &error)) << error;

  EXPECT_EQ(setup.bus.GetSupportInfo(), 0x0102u);
  EXPECT_EQ(setup.bus.ha_count_override, 2);
  EXPECT_EQ(setup.bus.adapter(0).align_mask, 3);
  EXPECT_EQ(setup.bus.adapter(0).target_count, 4);
  EXPECT_EQ(setup.bus.adapter(0).scsi_id, 6);
  EXPECT_EQ(setup.bus.adapter(1).target_count, 8);
  EXPECT_EQ(setup.bus.adapter(1).targets.at(0).device_type, 0);
  ASSERT_EQ(setup.drives.size(), 2u);
  EXPECT_EQ(setup.labels, (std::vector<std::string>{"0:1", "1:2"}));

  sim::KestranDrive& first = *setup.drives[0];
  const auto inquiry = first.InquiryData();
  EXPECT_EQ(std::string(inquiry.begin() + 8, inquiry.begin() + 36), "KESTRAN CD-RW  TQ-900W  1.AB");
  EXPECT_EQ(inquiry[3], 0x12);
  EXPECT_EQ(first.config().board_version, 9);
  EXPECT_EQ(first.config().tray, sim::Tray::kLoaded);
  uint8_t mem[2];
  const uint8_t read[12] = {0xF5, 0, 0, 0, 0, 0, 0x01, 0x00, 0, 2};
  first.Execute(read, 12, sim::Direction::kIn, mem, 2);
  EXPECT_EQ(mem[0], 0xDE);
  EXPECT_EQ(mem[1], 0xAD);
  const uint8_t tur[6] = {};
  auto r = first.Execute(tur, 6, sim::Direction::kNone, nullptr, 0);
  EXPECT_TRUE(r.transport_failed);
  EXPECT_EQ(r.fault.ha_stat, 0x11);

  sim::KestranDrive& second = *setup.drives[1];
  EXPECT_EQ(second.config().settle_ms, 50u);
  EXPECT_EQ(second.config().programming_ms, 100u);
  EXPECT_EQ(second.async_delay_ms(), 200u);
  EXPECT_FALSE(second.config().external_inquiry);
  r = second.Execute(tur, 6, sim::Direction::kNone, nullptr, 0);
  EXPECT_EQ(r.status, sim::kBusy);
}

TEST(SimConfigTest, TheDefaultIsOneDriveAtTargetOne) {
  sim::SimSetup setup;
  std::string error;
  ASSERT_TRUE(sim::LoadSimConfig(sim::kDefaultSimConfig, Now, setup, &error)) << error;
  EXPECT_EQ(setup.labels, std::vector<std::string>{"0:1"});
  EXPECT_EQ(setup.bus.GetSupportInfo(), 0x0101u);
}

TEST(SimConfigTest, BadLinesAreReportedWithTheirNumber) {
  struct Case {
    const char* text;
    const char* error;
  };
  for (const Case& c : {
           Case{"drive target=1", "line 1: drive before any adapter"},
           Case{"adapter\ndrive", "line 2: drive needs target="},
           Case{"adapter\ndrive target=1\ndrive target=1", "line 3: target used twice"},
           Case{"adapter align=0x10000", "line 1: bad number for align: '0x10000'"},
           Case{"adapter targets=-1", "line 1: bad number for targets: '-1'"},
           Case{"adapter targets=8x", "line 1: bad number for targets: '8x'"},
           Case{"adapter colour=red", "line 1: unknown field 'colour' for adapter"},
           Case{"adapter\ndrive target=1 vendor=\"KESTRAN", "line 2: unterminated quote in vendor"},
           Case{"adapter\ndrive target=1 tray=ajar",
                "line 2: tray must be closed, open, loaded or becoming"},
           Case{"adapter\nrefuse write=1 sense=09/86/00",
                "line 2: refuse needs a drive line before it"},
           Case{"adapter\ndrive target=1\nrefuse write=1 sense=0986",
                "line 3: sense must be KK/AA/QQ (hex)"},
           Case{"adapter\ndrive target=1\nrefuse sense=09/86/00",
                "line 3: refuse needs write= or command="},
           Case{"adapter\ndrive target=1\nfail command=1 opcode=2",
                "line 3: fail needs command= or opcode="},
           Case{"adapter\ndrive target=1\nflaky inquiry=often",
                "line 3: flaky needs inquiry=N or inquiry=forever"},
           Case{"adapter\ndrive target=1\nmemory addr=1 bytes=ABC",
                "line 3: memory needs bytes=<hex>"},
           Case{"adapter\ndrive target=1 board=1 board=2", "line 2: field given twice: board"},
           Case{"adapter\ndrive target=1 external=maybe",
                "line 2: expected yes or no for external"},
           Case{"bus", "line 1: unknown statement 'bus'"},
           Case{"adapter target", "line 1: expected key=value at 'target'"},
       }) {
    SCOPED_TRACE(c.text);
    sim::SimSetup setup;
    std::string error;
    EXPECT_FALSE(sim::LoadSimConfig(c.text, Now, setup, &error));
    EXPECT_EQ(error, c.error);
  }
}

}  // namespace
