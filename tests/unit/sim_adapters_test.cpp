// What the emulated drive must refuse, because the updater could send it if it
// were wrong: malformed request blocks on each host interface (refused before
// the drive sees a command) and block writes the drive itself refuses.  The
// well-formed paths are run by every product suite that passes against it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "fake_hooks.h"
#include "fake_platform.h"
#include "platform/ptr32.h"
#include "platform/request_blocks.h"
#include "sg_adapter.h"
#include "tcmu_ring.h"

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kInquiry{0x12, 0, 0, 0, 36, 0};

// One request on each interface as the updater lays it out, as bytes: the
// table below spoils one field at its offset before it is sent.
enum Via { kAspi, kPt, kSg, kTcmu, kWrite };

struct Rig {
  Rig() {
    bus.AddAdapter(0x0003, 4);
    bus.AttachDrive(0, 1, &drive);
    pt.AttachDrive('E', &drive, 0x3);
    sim::ConnectPassThrough(os, pt);
    e = os.OpenDevice("\\\\.\\E:", plat::kGenericRead | plat::kGenericWrite, 3);
    sg.drive = &drive;
    sg.now_ms = sim::FakeClock(os);
    while ((reinterpret_cast<uintptr_t>(aligned) & 3) != 0) ++aligned;
  }
  template <class T>
  static void Spoil(T& block, size_t at, size_t size, uint64_t value) {
    std::memcpy(reinterpret_cast<uint8_t*>(&block) + at, &value, size);
  }
  // Returns the interface's answer: ASPI status, Win32 error, errno, entries served, sense.
  int Send(Via via, size_t at, size_t size, uint64_t value) {
    if (via == kAspi) {  // a data-in INQUIRY for target 1
      CommandRecord r{};
      r.SRB_Cmd = SC_EXEC_SCSI_CMD;
      r.SRB_Flags = 0x08;
      r.SRB_Target = 1;
      r.SRB_BufLen = 36;
      r.SRB_BufPointer = plat::PtrToField(data.data());
      r.SRB_SenseLen = SENSE_LEN;
      r.SRB_CDBLen = 6;
      std::copy(kInquiry.begin(), kInquiry.end(), r.CDBByte);
      Spoil(r, at, size, value);
      return bus.SendCommand(&r);
    }
    // 32 sense bytes at 48; DataIn spoilt to 0 or 1 also puts the buffer off alignment.
    if (via == kPt) {
      PassThroughBlock b{};
      b.Length = 44;
      b.CdbLength = 6;
      b.SenseInfoLength = 32;
      b.DataIn = 1;
      b.DataTransferLength = 36;
      b.TimeOutValue = 10;
      b.SenseInfoOffset = 48;
      b.DataBuffer = plat::PtrToField(aligned + (at == 8 && value < 2 ? 1 : 0));
      std::copy(kInquiry.begin(), kInquiry.end(), b.Cdb);
      Spoil(b, at, size, value);
      return os.ScsiPassThroughDirect(e, &b) ? 0 : static_cast<int>(os.GetLastError());
    }
    if (via == kSg) {
      sg_io_hdr_t h{};
      h.interface_id = 'S';
      h.cmd_len = 6;
      h.cmdp = const_cast<uint8_t*>(kInquiry.data());
      h.dxfer_direction = SG_DXFER_FROM_DEV;
      h.dxfer_len = 36;
      h.dxferp = data.data();
      h.mx_sb_len = 32;
      h.sbp = sense.data();
      h.timeout = 10000;
      Spoil(h, at, size, value);
      return sim::SgExecute(sg, h);
    }
    if (via == kTcmu) {  // mailbox; a 1024-byte ring at 128 with one INQUIRY entry at its start
      Bytes map(16384, 0);
      const uint64_t fields[][3] = {{4, 4, 128},    {8, 4, 1024},  {12, 4, 96},      {128, 4, 97},
                                    {136, 4, 1},    {152, 8, 208}, {176, 8, 8192},   {184, 8, 36},
                                    {208, 1, 0x12}, {212, 1, 36},  {at, size, value}};
      for (const auto& f : fields) std::memcpy(&map[f[0]], &f[2], f[1]);
      const sim::TcmuRun run = [&](const uint8_t* cdb, uint8_t n, sim::Direction d, uint8_t* buf,
                                   uint32_t len) { return drive.Execute(cdb, n, d, buf, len); };
      std::string error;
      return sim::ServeTcmuRing(map.data(), map.size(), run, &error);
    }
    // One 2048-byte unit of 0xFF at 0x8000 (checksum 0xF8..), then, at 10, how
    // long after F6 02 (ms; 0xFFFF: never asked).
    uint8_t w[12] = {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0xF8, 0xB8, 0x0B};
    Spoil(w, at, size, value);
    sim::KestranDrive d{[this] { return now; }};
    const uint16_t settle = static_cast<uint16_t>(w[10] | w[11] << 8);
    if (settle != 0xFFFF) {
      const uint8_t enter[10] = {0xF6, 2};
      d.Execute(enter, 10, sim::Direction::kNone, nullptr, 0);
      now += settle;
    }
    const sim::Sense s = d.Execute(w, 10, sim::Direction::kOut, data.data(), 2048).SenseTriple();
    return s.key << 16 | s.asc << 8 | s.ascq;
  }

  FakePlatform os;
  sim::KestranDrive drive{sim::FakeClock(os)};
  sim::SimAspi bus;
  sim::SimPassThrough pt;
  sim::SgDevice sg;
  plat::Handle e = nullptr;
  uint64_t now = 1000;
  Bytes data = Bytes(4096, 0xFF), sense = Bytes(32, 0), storage = Bytes(72);
  uint8_t* aligned = storage.data();
};

#define FIELD(T, f) offsetof(T, f), sizeof(T::f)

TEST(SimRefusals, MalformedRequestsNeverReachTheDriveAndWrongBlocksAreRefused) {
  constexpr int kInvalid = sim::kErrorInvalidParameter, kReaches = 1 << 30;
  // What is spoilt: interface, offset and size of the field, its value; the answer.
  const std::tuple<const char*, Via, size_t, size_t, uint64_t, int> cases[] = {
      {"aspi as sent", kAspi, 0, 0, 0, sim::kSsComp | kReaches},
      {"aspi no buffer", kAspi, FIELD(CommandRecord, SRB_BufPointer), 0, sim::kSsInvalidSrb},
      {"aspi both directions", kAspi, FIELD(CommandRecord, SRB_Flags), 0x18, sim::kSsInvalidSrb},
      {"aspi adapter", kAspi, FIELD(CommandRecord, SRB_HaId), 1, sim::kSsInvalidHa},
      {"aspi cdb 0", kAspi, FIELD(CommandRecord, SRB_CDBLen), 0, sim::kSsInvalidSrb},
      {"aspi cdb 17", kAspi, FIELD(CommandRecord, SRB_CDBLen), 17, sim::kSsInvalidSrb},
      {"pt as sent", kPt, 0, 0, 0, kReaches},
      {"pt data-in off alignment", kPt, 8, 1, 1, kInvalid},
      {"pt data-out off alignment", kPt, 8, 1, 0, kInvalid},
      {"pt Length", kPt, FIELD(PassThroughBlock, Length), 80, kInvalid},
      {"pt cdb 0", kPt, FIELD(PassThroughBlock, CdbLength), 0, kInvalid},
      {"pt cdb 17", kPt, FIELD(PassThroughBlock, CdbLength), 17, kInvalid},
      {"pt DataIn", kPt, FIELD(PassThroughBlock, DataIn), 3, kInvalid},
      {"pt sense past the block", kPt, FIELD(PassThroughBlock, SenseInfoOffset), 49, kInvalid},
      {"pt no buffer", kPt, FIELD(PassThroughBlock, DataBuffer), 0, kInvalid},
      {"pt over the maximum", kPt, FIELD(PassThroughBlock, DataTransferLength), 0x10800, kInvalid},
      {"sg as sent", kSg, 0, 0, 0, kReaches},
      {"sg interface", kSg, FIELD(sg_io_hdr_t, interface_id), 'Q', ENOSYS},
      {"sg cdb 5", kSg, FIELD(sg_io_hdr_t, cmd_len), 5, EMSGSIZE},
      {"sg cdb 17", kSg, FIELD(sg_io_hdr_t, cmd_len), 17, EMSGSIZE},
      {"sg direction", kSg, FIELD(sg_io_hdr_t, dxfer_direction), uint32_t(-7), EINVAL},
      {"sg iovec", kSg, FIELD(sg_io_hdr_t, iovec_count), 2, EINVAL},
      {"sg no buffer", kSg, FIELD(sg_io_hdr_t, dxferp), 0, EFAULT},
      {"sg no sense", kSg, FIELD(sg_io_hdr_t, sbp), 0, EFAULT},
      {"tcmu as sent", kTcmu, 0, 0, 0, 1 | kReaches},
      {"tcmu length 0", kTcmu, 128, 4, 0, -1},
      {"tcmu past the ring", kTcmu, 128, 4, 2049, -1},
      {"tcmu iovec outside", kTcmu, 176, 8, 16360, -1},
      {"tcmu cdb outside", kTcmu, 152, 8, 16380, -1},
      // Block writes: settled download mode, then length, then place, then checksum.
      {"write as sent", kWrite, 0, 0, 0, 0},
      {"write not in download", kWrite, 10, 2, 0xFFFF, 0x0440F6},
      {"write not settled", kWrite, 10, 2, 2999, 0x0440F6},
      {"write length", kWrite, 8, 1, 2, 0x0440F5},
      {"write past the flash", kWrite, 3, 1, 0x06, 0x098700},
      {"write across the flash end", kWrite, 3, 2, 0xFC05, 0x098700},
      {"write checksum", kWrite, 9, 1, 0xF7, 0x098600},
  };
  for (const auto& [what, via, at, size, value, want] : cases) {
    Rig rig;
    const int answer = rig.Send(via, at, size, value);
    EXPECT_EQ(answer | (rig.drive.command_count() > 0 ? kReaches : 0), want) << what;
  }
}

}  // namespace
