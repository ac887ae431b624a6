#include "tcmu_ring.h"

#include <sys/uio.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace sim {

namespace {

// The ring's layout, from the kernel's linux/target_core_user.h (mailbox
// version 2).  That header's inline helpers are C only, so the layout the
// handler relies on is spelled here.
struct RingMailbox {
  uint16_t version, flags;
  uint32_t cmdr_off, cmdr_size, cmd_head;
  uint8_t pad[48];
  uint32_t cmd_tail;  // the user's, on its own cache line
};
static_assert(offsetof(RingMailbox, cmd_tail) == 64, "mailbox layout");
constexpr uint32_t kOpMask = 0x7, kOpCmd = 1, kEntryAlign = 8, kReadLenFlag = 0x2;
struct EntryHeader {
  uint32_t len_op;
  uint16_t cmd_id;
  uint8_t kflags, uflags;
};
struct CommandRequest {  // what the kernel wrote (naturally aligned: cdb_off at 16)
  uint32_t iov_cnt, iov_bidi_cnt, iov_dif_cnt;
  uint64_t cdb_off, pad1, pad2;
};
struct CommandResponse {  // what the handler writes over it
  uint8_t scsi_status, pad1;
  uint16_t pad2;
  uint32_t read_len;
  uint8_t sense_buffer[96];
};
constexpr size_t kRequestAt = sizeof(EntryHeader);
constexpr size_t kIovAt = kRequestAt + sizeof(CommandRequest);
static_assert(kIovAt == 48, "command entry layout");

// The CDB length the kernel's target passes on: by the opcode's group (its
// own table), so a vendor command arrives with 10 bytes whatever the
// initiator sent.
uint8_t CdbLength(uint8_t opcode) {
  static const uint8_t kByGroup[8] = {6, 10, 10, 12, 16, 12, 10, 10};
  return kByGroup[opcode >> 5];
}

// The mailbox's ring indexes, shared with the kernel: 4-byte aligned fields of
// the mapping, read with acquire and written with release, the kernel's own
// order for them.
uint32_t LoadHead(const uint8_t* map) {
  const auto* head = reinterpret_cast<const uint32_t*>(map + offsetof(RingMailbox, cmd_head));
  return __atomic_load_n(head, __ATOMIC_ACQUIRE);
}
void StoreTail(uint8_t* map, uint32_t tail) {
  auto* field = reinterpret_cast<uint32_t*>(map + offsetof(RingMailbox, cmd_tail));
  __atomic_store_n(field, tail, __ATOMIC_RELEASE);
}

bool Inside(uint64_t offset, uint64_t length, size_t map_size) {
  return offset <= map_size && length <= map_size - offset;
}

}  // namespace

Direction TcmuDirection(uint8_t opcode, uint32_t length) {
  if (length == 0) return Direction::kNone;
  return opcode == 0xEA ? Direction::kOut : Direction::kIn;
}

int ServeTcmuRing(uint8_t* map, size_t map_size, const TcmuRun& run, std::string* error) {
  if (map_size < sizeof(RingMailbox)) {
    *error = "mailbox: mapping too small";
    return -1;
  }
  RingMailbox mb;
  std::memcpy(&mb, map, sizeof mb);
  const uint32_t ring_off = mb.cmdr_off, ring_size = mb.cmdr_size;
  if (!Inside(ring_off, ring_size, map_size) || ring_size == 0) {
    *error = "mailbox: command ring outside the mapping";
    return -1;
  }
  int served = 0;
  const uint32_t head = LoadHead(map);
  for (uint32_t tail = mb.cmd_tail; tail != head;) {
    uint8_t* entry = map + ring_off + tail;
    EntryHeader hdr{};
    const std::string where = "entry at ring offset " + std::to_string(tail);
    if (tail >= ring_size || ring_size - tail < sizeof hdr) {
      *error = where + ": outside the ring";
      return -1;
    }
    std::memcpy(&hdr, entry, sizeof hdr);
    const uint32_t len = hdr.len_op & ~kOpMask;
    if (len == 0 || len % kEntryAlign != 0 || len > ring_size - tail) {
      *error = where + ": length " + std::to_string(len) + " does not fit the ring";
      return -1;
    }
    if ((hdr.len_op & kOpMask) == kOpCmd) {
      CommandRequest req;
      if (len < kIovAt) {
        *error = where + ": shorter than a command";
        return -1;
      }
      std::memcpy(&req, entry + kRequestAt, sizeof req);
      if (len < kIovAt + uint64_t{req.iov_cnt} * sizeof(iovec) ||
          !Inside(req.cdb_off, 16, map_size)) {
        *error = where + ": CDB at " + std::to_string(req.cdb_off) + " or " +
                 std::to_string(req.iov_cnt) + " iovecs outside the entry (" + std::to_string(len) +
                 ") or the mapping (" + std::to_string(map_size) + ")";
        return -1;
      }
      std::vector<iovec> iov(req.iov_cnt);
      if (!iov.empty()) std::memcpy(iov.data(), entry + kIovAt, iov.size() * sizeof(iovec));
      uint64_t length = 0;
      for (const iovec& v : iov) {
        if (!Inside(reinterpret_cast<uintptr_t>(v.iov_base), v.iov_len, map_size)) {
          *error = where + ": iovec outside the mapping";
          return -1;
        }
        length += v.iov_len;
      }
      const uint8_t* cdb = map + req.cdb_off;
      // The data, contiguous for the drive: gathered from the iovecs for a
      // write, scattered back into them for a read.
      std::vector<uint8_t> data(length);
      const Direction direction = TcmuDirection(cdb[0], static_cast<uint32_t>(length));
      size_t at = 0;
      if (direction == Direction::kOut) {
        for (const iovec& v : iov) {
          std::memcpy(data.data() + at, map + reinterpret_cast<uintptr_t>(v.iov_base), v.iov_len);
          at += v.iov_len;
        }
      }
      const CommandResult r =
          run(cdb, CdbLength(cdb[0]), direction, data.data(), static_cast<uint32_t>(length));
      const uint32_t read_len = direction == Direction::kIn ? r.data_length : 0;
      at = 0;
      for (const iovec& v : iov) {
        if (direction != Direction::kIn || at >= read_len) break;
        const size_t n = std::min<size_t>(v.iov_len, read_len - at);
        std::memcpy(map + reinterpret_cast<uintptr_t>(v.iov_base), data.data() + at, n);
        at += n;
      }
      // A fault below the drive has no SCSI status of its own: the target
      // reports it as an internal failure (04/44/00).  The kernel passes
      // sense on with a CHECK CONDITION only.
      CommandResponse rsp{};
      rsp.scsi_status = r.transport_failed ? kCheckCondition : r.status;
      const std::vector<uint8_t> sense = r.transport_failed
                                             ? BuildFixedSense({0x04, 0x44, 0x00})
                                             : std::vector<uint8_t>(r.sense.begin(), r.sense.end());
      if (sense[0] != 0) std::memcpy(rsp.sense_buffer, sense.data(), sense.size());
      rsp.read_len = read_len;
      hdr.uflags |= kReadLenFlag;
      std::memcpy(entry, &hdr, sizeof hdr);
      std::memcpy(entry + kRequestAt, &rsp, std::min<size_t>(sizeof rsp, len - kRequestAt));
      ++served;
    }
    tail = (tail + len) % ring_size;
    StoreTail(map, tail);
  }
  return served;
}

}  // namespace sim
