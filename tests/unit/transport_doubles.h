// Small doubles of the two device paths for the transport tests.
//
// `AspiDouble` is a WNASPI32.DLL seen through FakePlatform's library hooks: its
// SendASPI32Command decodes the raw SRB bytes, keeps a copy of every request
// (with the outgoing data it pointed to) and answers with the reply the test
// queued, either before it returns or later in virtual time through the SRB's
// event.  `PassThroughDouble` does the same for the device hooks of the NT
// pass-through.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "fake_platform.h"
#include "platform/ptr32.h"
#include "transport/transport.h"

namespace testing_transport {

inline uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// What a device answers to one command.
struct Reply {
  uint8_t srb_status = SS_COMP;  // ASPI only
  uint8_t ha_stat = 0;           // ASPI only
  uint8_t target_status = 0;
  std::array<uint8_t, 32> sense{};  // fixed format: [2] key, [12] ASC, [13] ASCQ
  // ASPI: 0 completes before SendASPI32Command returns; otherwise the SRB
  // stays SS_PENDING and completes this many virtual ms later.
  uint64_t delay_ms = 0;
  // Pass-through: the request fails with this Win32 error (0: succeeds).
  uint32_t win32_error = 0;

  static Reply Sense(uint8_t status, uint8_t key, uint8_t asc = 0, uint8_t ascq = 0) {
    Reply r;
    r.target_status = status;
    r.sense[2] = key;
    r.sense[12] = asc;
    r.sense[13] = ascq;
    return r;
  }
};

// One request as the device saw it.
struct Seen {
  std::array<uint8_t, 80> bytes{};  // the block on arrival
  void* buffer = nullptr;           // resolved buffer pointer
  std::vector<uint8_t> data_out;    // the bytes the buffer held on arrival
};

class AspiDouble {
 public:
  explicit AspiDouble(FakePlatform& os) : os_(os) {
    instance_ = this;
    os.load_library = [this](const char* name) -> plat::Handle {
      loaded_names.push_back(name);
      return library_loads ? kLibrary : nullptr;
    };
    os.get_proc_address = [this](plat::Handle, const char* name) -> void* {
      ++proc_lookups;
      if (std::strcmp(name, "SendASPI32Command") == 0 && export_send) {
        return reinterpret_cast<void*>(&Send);
      }
      if (std::strcmp(name, "GetASPI32SupportInfo") == 0 && export_info) {
        return reinterpret_cast<void*>(&Info);
      }
      return nullptr;
    };
    os.free_library = [this](plat::Handle library) {
      if (library == kLibrary) ++frees;
    };
  }
  ~AspiDouble() { instance_ = nullptr; }

  // ---- behaviour ----
  bool library_loads = true;
  bool export_send = true;
  bool export_info = true;
  uint32_t support_info = 0x0101;  // SS_COMP, one adapter
  std::deque<Reply> replies;       // for execute requests; default Reply when empty
  // Host adapter inquiry and device type replies: raw bytes written at offsets.
  std::vector<std::pair<size_t, uint8_t>> inquiry_reply, gdev_reply;

  // ---- what happened ----
  std::vector<std::string> loaded_names;
  int proc_lookups = 0;
  int frees = 0;
  std::vector<Seen> exec;  // execute requests
  std::vector<std::array<uint8_t, 60>> inquiries;
  std::vector<std::array<uint8_t, 12>> gdevs;

  static inline const plat::Handle kLibrary = reinterpret_cast<plat::Handle>(0x5A5A);

 private:
  static uint32_t KSF_CDECL Info() { return instance_->support_info; }

  static uint32_t KSF_CDECL Send(void* srb) {
    AspiDouble& self = *instance_;
    auto* bytes = static_cast<uint8_t*>(srb);
    switch (bytes[0]) {
      case SC_HA_INQUIRY: {
        std::array<uint8_t, 60> copy;
        std::memcpy(copy.data(), bytes, 60);
        self.inquiries.push_back(copy);
        for (auto& [offset, value] : self.inquiry_reply) bytes[offset] = value;
        return bytes[1];
      }
      case SC_GET_DEV_TYPE: {
        std::array<uint8_t, 12> copy;
        std::memcpy(copy.data(), bytes, 12);
        self.gdevs.push_back(copy);
        for (auto& [offset, value] : self.gdev_reply) bytes[offset] = value;
        return bytes[1];
      }
      case SC_EXEC_SCSI_CMD:
        return self.Execute(static_cast<CommandRecord*>(srb));
      default:
        return 0x80;
    }
  }

  uint32_t Execute(CommandRecord* srb) {
    Seen seen;
    std::memcpy(seen.bytes.data(), srb, 80);
    seen.buffer = plat::FieldToPtr(Le32(&seen.bytes[16]));
    const uint32_t length = Le32(&seen.bytes[12]);
    if ((seen.bytes[3] & SRB_DIR_OUT) && seen.buffer != nullptr) {
      auto* p = static_cast<uint8_t*>(seen.buffer);
      seen.data_out.assign(p, p + length);
    }
    Reply reply = replies.empty() ? Reply{} : replies.front();
    if (!replies.empty()) replies.pop_front();
    plat::Handle event = plat::FieldToPtr(Le32(&seen.bytes[24]));
    exec.push_back(std::move(seen));
    auto complete = [srb, reply] {
      srb->SRB_HaStat = reply.ha_stat;
      srb->SRB_TargStat = reply.target_status;
      std::memcpy(srb->SenseArea, reply.sense.data(), 16);
      srb->SRB_Status = reply.srb_status;
    };
    if (reply.delay_ms == 0) {
      complete();
      return srb->SRB_Status;
    }
    os_.Schedule(reply.delay_ms, [this, complete, event] {
      complete();
      os_.SetEvent(event);
    });
    return SS_PENDING;
  }

  FakePlatform& os_;
  static inline AspiDouble* instance_ = nullptr;
};

class PassThroughDouble {
 public:
  explicit PassThroughDouble(FakePlatform& os) : os_(os) {
    os.open_device = [this](const char* name, uint32_t access) -> plat::Handle {
      opens.emplace_back(name, access);
      const bool ok = access == (plat::kGenericRead | plat::kGenericWrite) ? open_read_write
                      : access == plat::kGenericRead                       ? open_read_only
                                                                           : false;
      return ok ? kDevice : nullptr;
    };
    os.get_capabilities = [this](plat::Handle device, void* caps) {
      EXPECT_EQ(device, kDevice);
      auto* bytes = static_cast<uint8_t*>(caps);
      capabilities_arrived_clear = std::all_of(bytes, bytes + 24, [](uint8_t b) { return b == 0; });
      IoScsiCapabilities reply{};
      reply.Length = 24;
      reply.AlignmentMask = alignment_mask;
      std::memcpy(caps, &reply, 24);  // written even when the query then fails
      return capabilities_succeed;
    };
    os.pass_through = [this](plat::Handle device, void* block80) {
      EXPECT_EQ(device, kDevice);
      return Execute(static_cast<uint8_t*>(block80));
    };
    os.close_device = [this](plat::Handle device) {
      EXPECT_EQ(device, kDevice);
      ++closes;
    };
  }

  // ---- behaviour ----
  bool open_read_write = true;
  bool open_read_only = true;
  bool capabilities_succeed = true;
  uint32_t alignment_mask = 0;
  std::deque<Reply> replies;

  // ---- what happened ----
  std::vector<std::pair<std::string, uint32_t>> opens;
  int closes = 0;
  bool capabilities_arrived_clear = false;
  std::vector<Seen> requests;

  static inline const plat::Handle kDevice = reinterpret_cast<plat::Handle>(0xD0D0);

 private:
  bool Execute(uint8_t* block) {
    Seen seen;
    std::memcpy(seen.bytes.data(), block, 80);
    seen.buffer = plat::FieldToPtr(Le32(&block[20]));
    const uint32_t length = Le32(&block[12]);
    if (block[8] == 0 && seen.buffer != nullptr) {
      auto* p = static_cast<uint8_t*>(seen.buffer);
      seen.data_out.assign(p, p + length);
    }
    requests.push_back(seen);
    Reply reply = replies.empty() ? Reply{} : replies.front();
    if (!replies.empty()) replies.pop_front();
    block[2] = reply.target_status;
    const uint32_t sense_offset = Le32(&block[24]);
    EXPECT_LE(sense_offset + block[7], 80u) << "sense buffer outside the block";
    if (sense_offset + block[7] <= 80) {
      std::memcpy(block + sense_offset, reply.sense.data(), std::min<size_t>(block[7], 32));
    }
    os_.last_error = reply.win32_error;
    return reply.win32_error == 0;
  }

  FakePlatform& os_;
};

}  // namespace testing_transport
