// Every failure text, by result code and the status bytes of the record that
// LastCommand designates, and the worker's check after a block write.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "transport/transport.h"
#include "update/update_state.h"

namespace {

struct TextCase {
  int code;
  uint8_t srb_status, ha_stat, targ_stat, sense_key, asc, ascq;
  const char* text;
};

std::ostream& operator<<(std::ostream& out, const TextCase& c) {
  return out << "code " << c.code << std::hex << " status " << int{c.srb_status} << " ha "
             << int{c.ha_stat} << " target " << int{c.targ_stat} << " sense " << int{c.sense_key}
             << "/" << int{c.asc} << "/" << int{c.ascq};
}

// clang-format off
const TextCase kCases[] = {
    // Request status (code 1).
    {1, 0x02, 0, 0, 0, 0, 0, "SRB aborted."},
    {1, 0x03, 0, 0, 0, 0, 0, "Unable to abort SRB."},
    {1, 0x80, 0, 0, 0, 0, 0, "Invalid ASPI command."},
    {1, 0x81, 0, 0, 0, 0, 0, "Invalid host adapter number."},
    {1, 0x82, 0, 0, 0, 0, 0, "SCSI device not installed."},
    {1, 0xE0, 0, 0, 0, 0, 0, "Invalid parameter set in SRB."},
    {1, 0xE1, 0, 0, 0, 0, 0, "Buffer alignment problem."},
    {1, 0xE2, 0, 0, 0, 0, 0, "Device access security violation."},
    {1, 0xE4, 0, 0, 0, 0, 0, "ASPI for windows failed init."},
    {1, 0xE5, 0, 0, 0, 0, 0, "No resources available to execute cmd."},
    {1, 0xE6, 0, 0, 0, 0, 0, "Buffer size to big to handle!"},
    {1, 0x00, 0, 0, 0, 0, 0, ""},
    {1, 0x01, 0, 0, 0, 0, 0, ""},
    {1, 0x05, 0, 0, 0, 0, 0, ""},
    {1, 0x7F, 0, 0, 0, 0, 0, ""},
    {1, 0x83, 0, 0, 0, 0, 0, ""},
    {1, 0xE3, 0, 0, 0, 0, 0, ""},
    {1, 0xE8, 0, 0, 0, 0, 0, ""},
    {1, 0xFF, 0, 0, 0, 0, 0, ""},
    // Request status 4: the vendor sense rule, whatever the target status.
    {1, 0x04, 0, 0, 0x04, 0x40, 0xF6, "Firmware Transfer data error. (Code 04-40-f6)"},
    {1, 0x04, 0, 2, 0x04, 0x40, 0xF5, "Firmware data error. (Code 04-40-f5)"},
    {1, 0x04, 0, 2, 0x09, 0x82, 0x00, "Erase failure. (Code 09-82-00)"},
    {1, 0x04, 0, 2, 0x02, 0x40, 0xF6, ""},
    {1, 0x04, 0, 2, 0x00, 0x00, 0x00, ""},
    {1, 0x04, 0, 2, 0x29, 0x85, 0x00, ""},
    // Adapter status (code 2).
    {2, 0, 0x09, 0, 0, 0, 0, "HA_Status: Timed out while SRB was waiting to be processed."},
    {2, 0, 0x0B, 0, 0, 0, 0, "HA_Status: While processing the SRB, the adapter timed out."},
    {2, 0, 0x0D, 0, 0, 0, 0, "HA_Status: While processing SRB, the adapter received a MESSAGE REJECT."},
    {2, 0, 0x0E, 0, 0, 0, 0, "HA_Status: A bus reset was detected."},
    {2, 0, 0x0F, 0, 0, 0, 0, "HA_Status: Parity error."},
    {2, 0, 0x10, 0, 0, 0, 0, "HA_Status: The adapter failed in issuing REQUEST SENSE."},
    {2, 0, 0x11, 0, 0, 0, 0, "HA_Status: Selection Timeout."},
    {2, 0, 0x12, 0, 0, 0, 0, "HA_Status: Data overrun data underrun."},
    {2, 0, 0x13, 0, 0, 0, 0, "HA_Status: Unexpected bus free."},
    {2, 0, 0x14, 0, 0, 0, 0, "HA_Status: Target bus phase sequence failure."},
    {2, 0, 0x0A, 0, 0, 0, 0, "HA_Status: error"},
    {2, 0, 0x0C, 0, 0, 0, 0, "HA_Status: error"},
    {2, 0, 0x00, 0, 0, 0, 0, "HA_Status: error"},
    {2, 0, 0xFF, 0, 0, 0, 0, "HA_Status: error"},
    // Target status (code 4).
    {4, 4, 0, 0x02, 0x09, 0x82, 0x00, "Erase failure. (Code 09-82-00)"},
    {4, 4, 0, 0x02, 0x09, 0x84, 0x00, "Flash rom not erased. (Code 09-84-00)"},
    {4, 4, 0, 0x02, 0x09, 0x85, 0x00, "Flash rom write error. (Code 09-85-00)"},
    {4, 4, 0, 0x02, 0x09, 0x86, 0x00, "Flash rom check sum error. (Code 09-86-00)"},
    {4, 4, 0, 0x02, 0x09, 0x87, 0x00, "Firmware data error. (Code 09-87-00)"},
    {4, 4, 0, 0x02, 0x09, 0x88, 0x00, "Firmware Transfer data error. (Code 09-88-00)"},
    {4, 4, 0, 0x02, 0x09, 0x85, 0x01, ""},
    {4, 4, 0, 0x02, 0x09, 0x83, 0x00, ""},
    {4, 4, 0, 0x02, 0x09, 0x00, 0x85, ""},
    {4, 4, 0, 0x02, 0x04, 0x40, 0xF5, "Firmware data error. (Code 04-40-f5)"},
    {4, 4, 0, 0x02, 0x04, 0x40, 0xF6, "Firmware Transfer data error. (Code 04-40-f6)"},
    {4, 4, 0, 0x02, 0x04, 0x40, 0xF7, ""},
    {4, 4, 0, 0x02, 0x04, 0xF5, 0x40, ""},
    {4, 4, 0, 0x02, 0x29, 0x85, 0x00, "Target_Status: Check Condition"},
    {4, 4, 0, 0x02, 0x84, 0x40, 0xF5, "Target_Status: Check Condition"},
    {4, 4, 0, 0x02, 0x02, 0x3A, 0x01, "Target_Status: Check Condition"},
    {4, 4, 0, 0x02, 0x00, 0x00, 0x00, "No Sense. (Code 00-00-00)"},
    {4, 4, 0, 0x02, 0x00, 0x00, 0x01, ""},
    {4, 4, 0, 0x02, 0x00, 0x01, 0x00, ""},
    {4, 4, 0, 0x08, 0x09, 0x85, 0x00, "Target_Status: BUSY"},
    {4, 4, 0, 0x18, 0x09, 0x85, 0x00, "Target_Status: Reservation Conflict"},
    {4, 4, 0, 0x00, 0x09, 0x85, 0x00, "Target_Status: error"},
    {4, 4, 0, 0x22, 0x09, 0x85, 0x00, "Target_Status: error"},
    // Local failures.
    {-1, 0x01, 0x11, 0x02, 9, 0x85, 0, "Can not create Event."},
    {-2, 0x01, 0x11, 0x02, 9, 0x85, 0, "Memory allocation failure."},
    {-3, 0x05, 0x00, 0x00, 0, 0, 0, "System error (Win32): Code 5\n"},
    {-3, 0x79, 0x04, 0x00, 0, 0, 0, "System error (Win32): Code 1145\n"},
    {-3, 0x1F, 0x00, 0x00, 9, 0x85, 0, "System error (Win32): Code 31\n"},
    {-3, 0xFF, 0xFF, 0xFF, 0, 0, 0, "System error (Win32): Code 16777215\n"},
    {-3, 0x00, 0x00, 0x00, 0, 0, 0, "System error (Win32): Code 0\n"},
    // Everything else.
    {0, 0x04, 0x11, 0x02, 9, 0x85, 0, "Unknown Error!"},
    {3, 0x04, 0x11, 0x02, 9, 0x85, 0, "Unknown Error!"},
    {5, 0, 0, 0, 0, 0, 0, "Unknown Error!"},
    {-4, 0, 0, 0, 0, 0, 0, "Unknown Error!"},
    {256 + 1, 0x02, 0, 0, 0, 0, 0, "Unknown Error!"},
};
// clang-format on

class FailureTextTest : public ::testing::TestWithParam<TextCase> {
 protected:
  void TearDown() override { ResetTransportState(); }
};

void Fill(CommandRecord& record, const TextCase& c) {
  std::memset(&record, 0, sizeof record);
  record.SRB_Status = c.srb_status;
  record.SRB_HaStat = c.ha_stat;
  record.SRB_TargStat = c.targ_stat;
  record.SenseArea[2] = c.sense_key;
  record.SenseArea[12] = c.asc;
  record.SenseArea[13] = c.ascq;
}

TEST_P(FailureTextTest, TextFollowsTheRecordThatLastCommandDesignates) {
  const TextCase& c = GetParam();
  // The two records disagree: only the designated one may be read.
  for (CommandRecord* designated : {&AspiExecBlock, &PassThroughResult}) {
    CommandRecord* other = designated == &AspiExecBlock ? &PassThroughResult : &AspiExecBlock;
    Fill(*designated, c);
    std::memset(other, 0x77, sizeof *other);
    LastCommand = designated;
    std::string text = "left over from before";
    DescribeFailure(c.code, text);
    EXPECT_EQ(text, c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(AllTables, FailureTextTest, ::testing::ValuesIn(kCases));

class CheckCommandResultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTransportState();
    ResetUpdateState();
  }
  void TearDown() override {
    ResetTransportState();
    ResetUpdateState();
  }
};

TEST_F(CheckCommandResultTest, SuccessChangesNothing) {
  ProgressCounter = 17;
  WorkerState = 1;
  LastErrorText = "earlier failure";
  EXPECT_EQ(CheckCommandResult(0), 0);
  EXPECT_EQ(ProgressCounter.load(), 17u);
  EXPECT_EQ(WorkerState.load(), 1);
  EXPECT_EQ(LastErrorText, "earlier failure");
}

TEST_F(CheckCommandResultTest, FailureLeavesTheTextAndZeroesTheCounter) {
  struct Case {
    int code;
    uint8_t targ_stat, sense_key, asc;
    const char* text;
  };
  for (const Case& c : {Case{4, 2, 9, 0x85, "Flash rom write error. (Code 09-85-00)"},
                        Case{4, 2, 9, 0x99, ""},  // refused with an unlisted code
                        Case{-1, 0, 0, 0, "Can not create Event."}}) {
    ProgressCounter = 33;
    WorkerState = 1;
    LastErrorText = "earlier failure";
    AspiExecBlock.SRB_TargStat = c.targ_stat;
    AspiExecBlock.SenseArea[2] = c.sense_key;
    AspiExecBlock.SenseArea[12] = c.asc;
    EXPECT_EQ(CheckCommandResult(c.code), -1);
    EXPECT_EQ(LastErrorText, c.text);
    EXPECT_EQ(ProgressCounter.load(), 0u);
    EXPECT_EQ(WorkerState.load(), 1) << "a failure leaves the worker state alone";
  }
}

// The dialog reads the text as soon as it sees the counter at 0; the text
// must be complete by then (the thread sanitizer build checks the ordering).
TEST_F(CheckCommandResultTest, TextIsCompleteWhenTheCounterReadsZero) {
  for (int round = 0; round < 50; ++round) {
    ProgressCounter.store(1, std::memory_order_release);
    LastErrorText.clear();
    AspiExecBlock.SRB_TargStat = 2;
    AspiExecBlock.SenseArea[2] = 9;
    AspiExecBlock.SenseArea[12] = 0x87;
    std::thread worker([] { CheckCommandResult(4); });
    while (ProgressCounter.load(std::memory_order_acquire) != 0) std::this_thread::yield();
    EXPECT_EQ(LastErrorText, "Firmware data error. (Code 09-87-00)");
    worker.join();
  }
}

}  // namespace
