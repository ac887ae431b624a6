// The transport tests' fixture: the emulated drive behind both device paths
// (adapter 2, target 5 of an ASPI bus, and the drive letter E:), on the
// virtual-clock platform, with every execute or pass-through block captured
// as it arrived (and the outgoing data it pointed to).  Replies and faults
// are the drive's own (RefuseCommand, FailCommand, SetAsyncDelay).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fake_hooks.h"
#include "fake_platform.h"
#include "transport/command_set.h"
#include "transport/transport.h"

namespace testing_transport {

using Bytes = std::vector<uint8_t>;

inline uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24;
}

// Bytes from hex text; "@N" moves on to (decimal) offset N, zero filling, and
// the result is zero padded to at least `size` bytes.
inline Bytes Hex(const std::string& text, size_t size = 0) {
  Bytes out;
  std::istringstream in(text);
  for (std::string word; in >> word;) {
    if (word[0] == '@') {
      out.resize(std::stoul(word.substr(1)));
    } else {
      out.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    }
  }
  out.resize(std::max(out.size(), size));
  return out;
}

// One execute or pass-through request as the device saw it.
struct Seen {
  Bytes bytes;             // the 80-byte block on arrival
  void* buffer = nullptr;  // its data buffer
  Bytes data_out;          // what that buffer held on arrival (data-out only)
};

class TransportTest : public ::testing::Test {
 protected:
  TransportTest() {
    ResetTransportState();
    for (int i = 0; i < 3; ++i) bus_.AddAdapter();
    bus_.AttachDrive(2, 5, &sim_);
    pt_.AttachDrive('E', &sim_);
    sim_.SetTray(sim::Tray::kLoaded);  // TEST UNIT READY answers GOOD
    sim::ConnectAspi(os_, bus_);
    sim::ConnectPassThrough(os_, pt_);
    current_ = this;
    os_.get_proc_address = [this](plat::Handle library, const char* name) -> void* {
      ++proc_lookups_;
      void* entry = sim::SimAspi::EntryPoint(name);
      if (library != sim::SimAspi::LibraryHandle() || entry == nullptr) return nullptr;
      if (std::strcmp(name, "SendASPI32Command") == 0) {
        return export_send_ ? reinterpret_cast<void*>(&Send) : nullptr;
      }
      return support_info_ ? reinterpret_cast<void*>(&Info) : entry;
    };
    os_.pass_through = [this, pass_through = os_.pass_through](plat::Handle device, void* block) {
      Capture(block, 20, static_cast<uint8_t*>(block)[8] == 0);
      return pass_through(device, block);
    };
    drive_.AdapterId = 2;
    drive_.TargetId = 5;
    drive_.DriveLetter[0] = 'E';
  }
  ~TransportTest() override {
    EXPECT_EQ(pt_.open_handles(), 0) << "a device handle was not closed";
    EXPECT_EQ(pt_.closes_of_unknown_handles(), 0) << "a device handle was closed twice";
    ResetTransportState();
    sim::SimAspi::SetCurrent(nullptr);
    current_ = nullptr;
  }
  void Use(uint8_t transport) {
    ASSERT_EQ(LoadAspiLibrary(), 1);  // the pass-through does not use it
    TransportKind = transport;
  }

  FakePlatform os_;
  sim::KestranDrive sim_{sim::FakeClock(os_)};
  sim::SimAspi bus_;
  sim::SimPassThrough pt_;
  DriveRecord drive_{};
  bool export_send_ = true;
  std::optional<uint32_t> support_info_;  // GetASPI32SupportInfo's answer instead of the bus's
  int proc_lookups_ = 0;
  std::vector<Seen> requests_;

 private:
  static uint32_t KSF_CDECL Send(void* srb) {
    auto* bytes = static_cast<uint8_t*>(srb);
    if (bytes[0] == SC_EXEC_SCSI_CMD) current_->Capture(srb, 16, bytes[3] & SRB_DIR_OUT);
    return sim::SimAspi::SendCommandEntry(srb);
  }
  static uint32_t KSF_CDECL Info() { return *current_->support_info_; }

  void Capture(const void* block, uint32_t buffer_at, bool out) {
    Seen seen;
    seen.bytes.assign(static_cast<const uint8_t*>(block), static_cast<const uint8_t*>(block) + 80);
    seen.buffer = plat::FieldToPtr(Le32(&seen.bytes[buffer_at]));
    auto* data = static_cast<uint8_t*>(seen.buffer);
    if (out && data != nullptr) seen.data_out.assign(data, data + Le32(&seen.bytes[12]));
    requests_.push_back(std::move(seen));
  }

  static inline TransportTest* current_ = nullptr;
};

}  // namespace testing_transport
