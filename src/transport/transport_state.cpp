// Process-wide state of the device command transport.
#include <cstring>

#include "transport/transport.h"

uint8_t TransportKind = Aspi;

// Both records start zeroed.  `LastCommand` designates the ASPI block until
// the first command says otherwise, so a failure text decoded before any
// command reads zeros instead of following a null reference.
CommandRecord AspiExecBlock = {};
CommandRecord PassThroughResult = {};
CommandRecord* LastCommand = &AspiExecBlock;

// Written only by CheckCommandResult on the flash worker thread, and only
// before that thread publishes the failure with ProgressCounter.store(0,
// std::memory_order_release).  The dialog thread reads the text only after an
// acquire load of ProgressCounter returned that 0, so the text's writes
// happen-before its reads; the worker ends its sequence right after the
// failure and never touches the text again during that run.
std::string LastErrorText;

void ResetAspiState();  // aspi.cpp

void ResetTransportState() {
  TransportKind = Aspi;
  std::memset(&AspiExecBlock, 0, sizeof AspiExecBlock);
  std::memset(&PassThroughResult, 0, sizeof PassThroughResult);
  LastCommand = &AspiExecBlock;
  LastErrorText.clear();
  ResetAspiState();
  ResetPassThroughState();
}
