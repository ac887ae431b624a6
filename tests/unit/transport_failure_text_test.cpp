// Every failure text, by result code and the status bytes of the record that
// LastCommand designates.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "transport/failure_text.h"
#include "transport/transport.h"

namespace {

struct TextCase {
  int code;
  uint8_t srb_status, ha_stat, targ_stat, sense_key, asc, ascq;
  const char* text;
};

// clang-format off
const TextCase kCases[] = {
    // One table row stands for its table: the first and the last entry of
    // each, keys beside them, and every rule around the tables.
    // Request status (code 1); status 4 goes by the vendor sense rule.
    {1, 0x02, 0, 0, 0, 0, 0, "SRB aborted."},
    {1, 0xE6, 0, 0, 0, 0, 0, "Buffer size to big to handle!"},
    {1, 0xE3, 0, 0, 0, 0, 0, ""},
    {1, 0x04, 0, 0, 0x04, 0x40, 0xF6, "Firmware Transfer data error. (Code 04-40-f6)"},
    {1, 0x04, 0, 2, 0x02, 0x40, 0xF6, ""},
    // Adapter status (code 2).
    {2, 0, 0x09, 0, 0, 0, 0, "HA_Status: Timed out while SRB was waiting to be processed."},
    {2, 0, 0x14, 0, 0, 0, 0, "HA_Status: Target bus phase sequence failure."},
    {2, 0, 0x0A, 0, 0, 0, 0, "HA_Status: error"},
    // Target status (code 4); CHECK CONDITION goes by the sense bytes.
    {4, 4, 0, 0x02, 0x09, 0x82, 0x00, "Erase failure. (Code 09-82-00)"},
    {4, 4, 0, 0x02, 0x09, 0x85, 0x01, ""},
    {4, 4, 0, 0x02, 0x04, 0xF5, 0x40, ""},
    {4, 4, 0, 0x02, 0x29, 0x85, 0x00, "Target_Status: Check Condition"},
    {4, 4, 0, 0x02, 0x00, 0x00, 0x00, "No Sense. (Code 00-00-00)"},
    {4, 4, 0, 0x02, 0x00, 0x00, 0x01, ""},
    {4, 4, 0, 0x08, 0x09, 0x85, 0x00, "Target_Status: BUSY"},
    {4, 4, 0, 0x18, 0x09, 0x85, 0x00, "Target_Status: Reservation Conflict"},
    {4, 4, 0, 0x00, 0x09, 0x85, 0x00, "Target_Status: error"},
    // Local failures, whatever the record says; the system error as a number.
    {-2, 0x01, 0x11, 0x02, 9, 0x85, 0, "Memory allocation failure."},
    {-3, 0x79, 0x04, 0x00, 0, 0, 0, "System error (Win32): Code 1145\n"},
    {-3, 0xFF, 0xFF, 0xFF, 0, 0, 0, "System error (Win32): Code 16777215\n"},
    // Everything else.
    {3, 0x04, 0x11, 0x02, 9, 0x85, 0, "Unknown Error!"},
    {256 + 1, 0x02, 0, 0, 0, 0, 0, "Unknown Error!"},
};
// clang-format on

TEST(FailureText, FollowsTheRecordThatLastCommandDesignates) {
  for (const TextCase& c : kCases) {
    // The two records disagree: only the designated one may be read.
    for (CommandRecord* designated : {&AspiExecBlock, &PassThroughResult}) {
      CommandRecord* other = designated == &AspiExecBlock ? &PassThroughResult : &AspiExecBlock;
      std::memset(other, 0x77, sizeof *other);
      std::memset(designated, 0, sizeof *designated);
      designated->SRB_Status = c.srb_status;
      designated->SRB_HaStat = c.ha_stat;
      designated->SRB_TargStat = c.targ_stat;
      designated->SenseArea[2] = c.sense_key;
      designated->SenseArea[12] = c.asc;
      designated->SenseArea[13] = c.ascq;
      LastCommand = designated;
      std::string text = "left over from before";
      DescribeFailure(c.code, text);
      EXPECT_EQ(text, c.text) << "case " << &c - kCases;
    }
  }
  ResetTransportState();
}

}  // namespace
