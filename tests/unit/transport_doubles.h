// A small double of both device paths for the transport tests: a
// WNASPI32.DLL seen through FakePlatform's library hooks, and the drive-letter
// device of the NT pass-through.  Every request block is kept as it arrived
// (with the outgoing data it pointed to), and each command is answered with the
// reply the test queued: ASPI ones before SendASPI32Command returns or later in
// virtual time through the SRB's event.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

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

// What a device answers to one command: the statuses and fixed-format sense
// data (key, ASC, ASCQ; the rest of the 32 sense bytes 0xC0).
struct Reply {
  uint8_t target_status = 0, key = 0, asc = 0, ascq = 0;
  uint8_t srb_status = SS_COMP, ha_stat = 0;  // ASPI only
  uint64_t delay_ms = 0;                      // ASPI: complete this much later, via the event
  uint32_t win32_error = 0;                   // pass-through: fail the request with this error
  std::array<uint8_t, 32> Sense() const {
    std::array<uint8_t, 32> sense{0, 0, key, 0, 0, 0, 0, 0, 0, 0, 0, 0, asc, ascq};
    std::fill(sense.begin() + 14, sense.end(), 0xC0);
    return sense;
  }
};

// One execute or pass-through request as the device saw it.
struct Seen {
  Bytes bytes;             // the 80-byte block on arrival
  void* buffer = nullptr;  // its data buffer
  Bytes data_out;          // what that buffer held on arrival (data-out only)
};

class DeviceDouble {
 public:
  explicit DeviceDouble(FakePlatform& os) : os_(os) {
    instance_ = this;
    os.load_library = [this](const char* name) {
      loaded_names.push_back(name);
      return library_loads ? kHandle : nullptr;
    };
    os.get_proc_address = [this](plat::Handle, const char* name) -> void* {
      ++proc_lookups;
      const std::string entry = name;
      if (entry == "SendASPI32Command" && export_send) return reinterpret_cast<void*>(&Send);
      if (entry == "GetASPI32SupportInfo") return reinterpret_cast<void*>(&Info);
      return nullptr;
    };
    os.free_library = [this](plat::Handle) { ++frees; };
    os.open_device = [this](const char* name, uint32_t access) -> plat::Handle {
      opens.emplace_back(name, access);
      if (!(access == plat::kGenericRead ? open_read_only : open_read_write)) return nullptr;
      ++open_now;
      return kHandle;
    };
    os.get_capabilities = [this](plat::Handle, void* caps) {
      IoScsiCapabilities reply{};
      reply.AlignmentMask = alignment_mask;
      std::memcpy(caps, &reply, sizeof reply);  // written even when the query then fails
      return capabilities_succeed;
    };
    os.pass_through = [this](plat::Handle, void* block) {
      return PassThroughRequest(static_cast<uint8_t*>(block));
    };
    os.close_device = [this](plat::Handle) { --open_now; };
  }
  ~DeviceDouble() {
    EXPECT_EQ(open_now, 0) << "a device handle was not closed, or closed twice";
    instance_ = nullptr;
  }

  // ---- behaviour ----
  bool library_loads = true, export_send = true;
  uint32_t support_info = 0x0101;  // SS_COMP, one adapter
  bool open_read_write = true, open_read_only = true, capabilities_succeed = true;
  uint32_t alignment_mask = 0;
  std::deque<Reply> replies;  // default Reply when empty

  // ---- what happened ----
  std::vector<std::string> loaded_names;
  std::vector<std::pair<std::string, uint32_t>> opens;
  int proc_lookups = 0, frees = 0, open_now = 0;
  int queries = 0;             // host adapter inquiries and device type queries
  std::vector<Seen> requests;  // execute and pass-through requests

  static inline const plat::Handle kHandle = reinterpret_cast<plat::Handle>(0xD0D0);

 private:
  static uint32_t KSF_CDECL Info() { return instance_->support_info; }

  static uint32_t KSF_CDECL Send(void* srb) {
    auto* bytes = static_cast<uint8_t*>(srb);
    if (bytes[0] == SC_EXEC_SCSI_CMD) return instance_->Execute(static_cast<CommandRecord*>(srb));
    ++instance_->queries;
    return bytes[1];
  }

  Reply Take(const void* block, uint32_t buffer_at, bool out) {
    Seen seen;
    seen.bytes.assign(static_cast<const uint8_t*>(block), static_cast<const uint8_t*>(block) + 80);
    seen.buffer = plat::FieldToPtr(Le32(&seen.bytes[buffer_at]));
    auto* data = static_cast<uint8_t*>(seen.buffer);
    if (out && data != nullptr) seen.data_out.assign(data, data + Le32(&seen.bytes[12]));
    requests.push_back(std::move(seen));
    if (replies.empty()) return Reply{};
    const Reply reply = replies.front();
    replies.pop_front();
    return reply;
  }

  uint32_t Execute(CommandRecord* srb) {
    const Reply reply = Take(srb, 16, srb->SRB_Flags & SRB_DIR_OUT);
    auto complete = [srb, reply] {
      srb->SRB_HaStat = reply.ha_stat;
      srb->SRB_TargStat = reply.target_status;
      std::memcpy(srb->SenseArea, reply.Sense().data(), 16);
      srb->SRB_Status = reply.srb_status;
    };
    if (reply.delay_ms == 0) {
      complete();
      return srb->SRB_Status;
    }
    plat::Handle event = plat::FieldToPtr(srb->SRB_PostProc);
    os_.Schedule(reply.delay_ms, [this, complete, event] {
      complete();
      os_.SetEvent(event);
    });
    return SS_PENDING;
  }

  bool PassThroughRequest(uint8_t* block) {
    const Reply reply = Take(block, 20, block[8] == 0);
    block[2] = reply.target_status;
    std::memcpy(block + 48, reply.Sense().data(), 32);  // the sense buffer the block names
    os_.last_error = reply.win32_error;
    return reply.win32_error == 0;
  }

  FakePlatform& os_;
  static inline DeviceDouble* instance_ = nullptr;
};

// Fresh transport state, the double, and a drive at adapter 2, target 5,
// LUN 1 and letter E.
class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTransportState();
    drive_.AdapterId = 2;
    drive_.TargetId = 5;
    drive_.Lun = 1;
    drive_.DriveLetter[0] = 'E';
  }
  void TearDown() override { ResetTransportState(); }
  void Use(uint8_t transport) {
    ASSERT_EQ(LoadAspiLibrary(), 1);  // the pass-through does not use it
    TransportKind = transport;
  }

  FakePlatform os_;
  DeviceDouble dev_{os_};
  DriveRecord drive_{};
};

}  // namespace testing_transport
