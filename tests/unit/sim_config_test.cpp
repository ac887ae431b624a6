// The configuration text of WNASPI32.DLL: what a file builds and how a bad
// line is reported.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "sim_config.h"

namespace {

uint64_t Now() { return 0; }

TEST(SimConfigTest, BuildsAdaptersInOrderWithTheirDrives) {
  const std::string text = R"(adapter   # comment
drive target=1 revision="1.\x41\""
adapter
drive target=2
refuse command=0 sense=02/04/01 status=8
refuse write=0 status=0x08
)";
  sim::SimSetup setup;
  std::string error;
  ASSERT_TRUE(sim::LoadSimConfig(text, Now, setup, &error)) << error;
  EXPECT_EQ(setup.labels, (std::vector<std::string>{"0:1", "1:2"}));
  EXPECT_EQ(setup.drives[0]->InquiryData()[35], '"');
  const uint8_t tur[6] = {};
  EXPECT_EQ(setup.drives[1]->Execute(tur, 6, sim::Direction::kNone, nullptr, 0).status, sim::kBusy);
  // A block answered BUSY without any sense data.
  uint8_t block[2048] = {};
  const uint8_t write[10] = {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0};
  const sim::CommandResult busy =
      setup.drives[1]->Execute(write, 10, sim::Direction::kOut, block, sizeof block);
  EXPECT_EQ(busy.status, sim::kBusy);
  EXPECT_EQ(busy.sense[0], 0);
}

TEST(SimConfigTest, BadLinesAreReportedWithTheirNumber) {
  auto error_of = [](const std::string& text) {
    sim::SimSetup setup;
    std::string error;
    EXPECT_FALSE(sim::LoadSimConfig(text, Now, setup, &error)) << text;
    return error;
  };
  EXPECT_EQ(error_of("drive target=1"), "line 1: drive before any adapter");
  EXPECT_EQ(error_of("adapter\nrefuse write=1 sense=09/86/00"),
            "line 2: refuse needs a drive line before it");
  // Each after "adapter" and "drive target=1".
  for (const auto& [line, error] : std::vector<std::pair<std::string, std::string>>{
           {"drive", "drive needs target="},
           {"drive target=1", "target used twice"},
           {"adapter align=0x10000", "bad number for align: '0x10000'"},
           {"adapter targets=8x", "bad number for targets: '8x'"},
           {"adapter colour=red", "unknown field 'colour' for adapter"},
           {"drive target=2 vendor=\"KESTRAN", "unterminated quote in vendor"},
           {"drive target=2 tray=ajar", "tray must be closed, open, loaded or becoming"},
           {"drive target=2 board=1 board=2", "field given twice: board"},
           {"drive target=2 external=maybe", "expected yes or no for external"},
           {"refuse write=1 sense=0986", "sense must be KK/AA/QQ (hex)"},
           {"refuse sense=09/86/00", "refuse needs write= or command="},
           {"refuse write=1", "CHECK CONDITION needs sense="},
           {"fail command=1 opcode=2", "fail needs command= or opcode="},
           {"flaky inquiry=often", "flaky needs inquiry=N or inquiry=forever"},
           {"memory addr=1 bytes=ABC", "memory needs bytes=<hex>"},
           {"bus", "unknown statement 'bus'"},
           {"adapter target", "expected key=value at 'target'"},
       }) {
    EXPECT_EQ(error_of("adapter\ndrive target=1\n" + line), "line 3: " + error);
  }
}

}  // namespace
