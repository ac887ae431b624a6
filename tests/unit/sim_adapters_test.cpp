// The emulated drive behind the three host interfaces: the checks each makes
// of a request before the drive sees it, where the drive's answer lands, and
// slow requests against their time-out.  The transport tests run every path
// through ASPI and the pass-through with well-formed requests; ksfupd for
// Linux meets the SG_IO side end to end, and here only in how it reads an
// sg answer; the TCMU handler meets a real kernel's ring (tests/e2e/kernel.sh),
// which never wraps on demand nor goes bad.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "fake_hooks.h"
#include "fake_platform.h"
#include "platform/linux/sg_result.h"
#include "platform/ptr32.h"
#include "platform/request_blocks.h"
#include "sg_adapter.h"
#include "tcmu_ring.h"

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kTur{0, 0, 0, 0, 0, 0}, kInquiry{0x12, 0, 0, 0, 36, 0};
// EA: block write of one 2048-byte unit at 0x8000, checksum of 2048 x 0xFF.
const Bytes kWrite{0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0xF8};
// What TEST UNIT READY leaves: no medium, tray closed.
const Bytes kNoMediumSense{0x70, 0, 2, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 1, 0, 0, 0, 0};

// One drive as ASPI target 0:1, as drive E: and as an sg node.
class SimAdapterTest : public ::testing::Test {
 protected:
  SimAdapterTest() {
    bus_.AddAdapter(0x0003, 4);
    bus_.AttachDrive(0, 1, &drive_);
    pt_.AttachDrive('E', &drive_, 0x3);
    sim::ConnectPassThrough(os_, pt_);
    e_ = os_.OpenDevice("\\\\.\\E:", plat::kGenericRead | plat::kGenericWrite, 3);
    sg_.drive = &drive_;
    sg_.now_ms = sim::FakeClock(os_);
    sg_.sleep_ms = WaitMilliseconds;
  }
  ~SimAdapterTest() override { os_.CloseEvent(event_); }
  // An execute request for target 1 as the updater's transport lays it out.
  CommandRecord Exec(const Bytes& cdb, uint8_t flags, void* buffer, uint32_t length) {
    CommandRecord r{};
    r.SRB_Cmd = SC_EXEC_SCSI_CMD;
    r.SRB_Flags = flags;
    r.SRB_Target = 1;
    r.SRB_BufLen = length;
    r.SRB_BufPointer = plat::PtrToField(buffer);
    r.SRB_SenseLen = SENSE_LEN;
    r.SRB_CDBLen = static_cast<uint8_t>(cdb.size());
    r.SRB_PostProc = plat::PtrToField(event_);
    std::copy(cdb.begin(), cdb.end(), r.CDBByte);
    return r;
  }
  // The pass-through block as the updater lays it out: 32 sense bytes at 48, 10 s.
  static PassThroughBlock Block(const Bytes& cdb, uint8_t data_in, void* buffer, uint32_t length) {
    PassThroughBlock b{};
    b.Length = 44;
    b.CdbLength = static_cast<uint8_t>(cdb.size());
    b.SenseInfoLength = 32;
    b.DataIn = data_in;
    b.DataTransferLength = length;
    b.TimeOutValue = 10;
    b.DataBuffer = plat::PtrToField(buffer);
    b.SenseInfoOffset = 48;
    std::copy(cdb.begin(), cdb.end(), b.Cdb);
    return b;
  }
  bool Send(PassThroughBlock& b) { return os_.ScsiPassThroughDirect(e_, &b); }
  // An SG_IO header into data_ with 32 sense bytes and 10 s, as ksfupd sends it.
  sg_io_hdr_t Header(const Bytes& cdb, int direction, uint32_t length) {
    cdb_ = cdb;
    sg_io_hdr_t h{};
    h.interface_id = 'S';
    h.cmd_len = static_cast<unsigned char>(cdb_.size());
    h.cmdp = cdb_.data();
    h.dxfer_direction = direction;
    h.dxfer_len = length;
    h.dxferp = data_.data();
    h.mx_sb_len = 32;
    h.sbp = sense_.data();
    h.timeout = 10000;
    return h;
  }

  FakePlatform os_;
  sim::KestranDrive drive_{sim::FakeClock(os_)};
  sim::SimAspi bus_;
  sim::SimPassThrough pt_;
  sim::SgDevice sg_;
  plat::Handle e_ = nullptr, event_ = os_.CreateEvent();
  Bytes cdb_, data_ = Bytes(4096, 0xFF), sense_ = Bytes(32, 0xEE);
};

TEST_F(SimAdapterTest, AspiChecksExecuteRequestsThenRunsAndSignalsThem) {
  // A block write (data-out, event notify) from `buffer`, with one byte of the
  // request block overwritten at its offset.
  const struct {
    uint32_t offset, value;
    uint8_t* buffer;
    uint8_t status;
  } cases[] = {
      {0, SC_EXEC_SCSI_CMD, data_.data(), sim::kSsErr},  // runs; the drive refuses it
      {0, SC_EXEC_SCSI_CMD, nullptr, sim::kSsInvalidSrb},
      {3, 0x10, data_.data(), sim::kSsErr},         // SRB_Flags: no SRB_EVENT_NOTIFY
      {3, 0x58, data_.data(), sim::kSsInvalidSrb},  // SRB_Flags: both directions
      {2, 1, data_.data(), sim::kSsInvalidHa},      // SRB_HaId
      {21, 0, data_.data(), sim::kSsInvalidSrb},    // SRB_CDBLen
      {21, 17, data_.data(), sim::kSsInvalidSrb},   // SRB_CDBLen
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    const uint32_t commands = drive_.command_count();
    CommandRecord r = Exec({0xEA, 0, 0, 0, 0, 0, 0, 0, 2, 0}, 0x50, c.buffer, 4096);
    reinterpret_cast<uint8_t*>(&r)[c.offset] = static_cast<uint8_t>(c.value);
    EXPECT_EQ(bus_.SendCommand(&r), c.status);
    EXPECT_EQ(r.SRB_Status, c.status);
    const bool runs = c.status == sim::kSsErr;
    EXPECT_EQ(drive_.command_count() - commands, runs ? 1u : 0u);
    EXPECT_EQ(os_.WaitForEvent(event_, 0) == plat::kWaitObject0, runs && (r.SRB_Flags & 0x40));
  }
}

TEST_F(SimAdapterTest, AspiSenseStaysInsideTheBlock) {
  struct {
    CommandRecord r;
    uint8_t guard[4] = {0xCC, 0xCC, 0xCC, 0xCC};
  } g;
  g.r = Exec(kTur, 0x40, nullptr, 0);
  g.r.SRB_SenseLen = 40;  // more than the block's 16 sense bytes
  EXPECT_EQ(bus_.SendCommand(&g.r), sim::kSsErr);
  EXPECT_EQ(g.r.SRB_TargStat, sim::kCheckCondition);
  EXPECT_EQ(Bytes(g.r.SenseArea, g.r.SenseArea + 16),
            Bytes(kNoMediumSense.begin(), kNoMediumSense.begin() + 16));
  EXPECT_EQ(Bytes(g.guard, g.guard + 4), Bytes(4, 0xCC));
}

TEST_F(SimAdapterTest, MalformedPassThroughBlocksFailWithInvalidParameter) {
  Bytes storage(64 + 8);  // on the adapter's 4-byte boundary, and one byte past it
  uint8_t* aligned = storage.data();
  while ((reinterpret_cast<uintptr_t>(aligned) & 3) != 0) ++aligned;
  // Each case overwrites one field of the block (little-endian, at its offset).
  const struct {
    uint32_t offset, size, value;
    bool valid;
  } cases[] = {
      {0, 0, 0, true},                                // as the updater sends it
      {20, 4, plat::PtrToField(aligned + 1), false},  // data-in off the alignment mask
      {8, 1, 0, false},                               // data-out off it too
      {0, 2, 80, false},                              // Length
      {6, 1, 0, false},                               // CdbLength
      {6, 1, 17, false},                              // CdbLength
      {8, 1, 3, false},                               // DataIn
      {24, 4, 49, false},       // SenseInfoOffset: 32 bytes would leave the block
      {20, 4, 0, false},        // DataBuffer
      {12, 4, 0x10800, false},  // DataTransferLength over the maximum
  };
  for (const auto& c : cases) {
    PassThroughBlock b = Block(kInquiry, 1, aligned, 64);
    if (c.offset == 8) b.DataBuffer = plat::PtrToField(aligned + 1);
    std::memcpy(reinterpret_cast<uint8_t*>(&b) + c.offset, &c.value, c.size);
    os_.last_error = 0;
    EXPECT_EQ(Send(b), c.valid) << c.offset;
    EXPECT_EQ(os_.GetLastError(), c.valid ? 0 : sim::kErrorInvalidParameter) << c.offset;
    if (c.valid) {
      EXPECT_EQ(b.DataTransferLength, 36u) << "bytes actually moved";
    }
  }
  EXPECT_EQ(drive_.command_count(), 1u);
}

// A TEST UNIT READY (the drive answers CHECK CONDITION) with 14 bytes of sense
// asked for at offset 60, 12 bytes into the block's sense area.
TEST_F(SimAdapterTest, PassThroughSenseLandsWhereTheBlockSaysUnlessTheRequestFailsFirst) {
  struct Case {
    bool fault;                           // below the drive, which still answers
    uint32_t delay_ms, error, waited_ms;  // error 0: succeeds
  };
  for (const Case& c : {
           Case{false, 0, 0, 0},
           Case{true, 0, 1117, 0},
           Case{false, 10000, 0, 10000},  // slow, within TimeOutValue
           Case{false, 10001, sim::kErrorSemTimeout, 10000},
       }) {
    os_.last_error = 0;
    if (c.fault) drive_.FailCommand(drive_.command_count(), {0x04, 0, c.error, true});
    drive_.SetAsyncDelay(c.delay_ms);
    const uint64_t start = os_.NowMs();
    PassThroughBlock b = Block(kTur, 2, nullptr, 0);
    std::memset(b.Sense, 0xCC, sizeof b.Sense);
    b.SenseInfoOffset = 60;
    b.SenseInfoLength = 14;
    EXPECT_EQ(Send(b), c.error == 0) << c.error;
    EXPECT_EQ(os_.GetLastError(), c.error);
    EXPECT_EQ(os_.NowMs() - start, c.waited_ms);
    Bytes expected(32, 0xCC);
    if (c.error == 0 || c.fault) {
      std::copy_n(kNoMediumSense.begin(), 14, &expected[12]);
    }
    EXPECT_EQ(Bytes(b.Sense, b.Sense + 32), expected) << c.error;
  }
}

// The sg driver's own refusals of a header, before any command is sent.
TEST_F(SimAdapterTest, SgHeadersTheDriverRefusesFailTheIoctl) {
  const struct {
    void (*spoil)(sg_io_hdr_t&);
    int error;
  } cases[] = {
      {[](sg_io_hdr_t& h) { h.interface_id = 'Q'; }, ENOSYS},
      {[](sg_io_hdr_t& h) { h.cmd_len = 5; }, EMSGSIZE},
      {[](sg_io_hdr_t& h) { h.cmd_len = 17; }, EMSGSIZE},
      {[](sg_io_hdr_t& h) { h.dxfer_direction = -7; }, EINVAL},
      {[](sg_io_hdr_t& h) { h.iovec_count = 2; }, EINVAL},
      {[](sg_io_hdr_t& h) { h.dxferp = nullptr; }, EFAULT},
      {[](sg_io_hdr_t& h) { h.sbp = nullptr; }, EFAULT},
  };
  for (const auto& c : cases) {
    sg_io_hdr_t h = Header(kInquiry, SG_DXFER_FROM_DEV, 36);
    c.spoil(h);
    EXPECT_EQ(sim::SgExecute(sg_, h), c.error) << c.error;
  }
  EXPECT_EQ(drive_.command_count(), 0u);
}

// The result fields, each row on a fresh 32-byte sense buffer: status,
// host_status, driver_status, sb_len_wr, info, resid, duration.
TEST_F(SimAdapterTest, SgResultFieldsFollowTheDrivesAnswer) {
  drive_.RefuseCommand(3, sim::sense::kNone, sim::kBusy);
  drive_.RefuseWrite(0, sim::sense::kWriteError);
  const int kIn = SG_DXFER_FROM_DEV, kNone = SG_DXFER_NONE, kOut = SG_DXFER_TO_DEV;
  const int kOk = SG_INFO_OK, kCheck = SG_INFO_CHECK, kSense = sim::kDriverSense;
  const struct {
    const char* what;
    Bytes cdb;
    int direction;
    uint32_t length;
    unsigned char mx_sb_len;
    uint32_t delay_ms;
    std::vector<int> fields;
  } cases[] = {
      // 36 bytes into a 64-byte buffer: the rest is the residual.
      {"inquiry", kInquiry, kIn, 64, 32, 0, {0, 0, 0, 0, kOk, 28, 0}},
      // Tray closed, no disc: CHECK CONDITION, 18 bytes of sense fetched.
      {"tur", kTur, kNone, 0, 32, 0, {2, 0, kSense, 18, kCheck, 0, 0}},
      // A smaller sense buffer takes only its size.
      {"tur, 8-byte sense", kTur, kNone, 0, 8, 0, {2, 0, kSense, 8, kCheck, 0, 0}},
      // BUSY without sense: no sense written, the buffer untouched.
      {"busy", kTur, kNone, 0, 32, 0, {8, 0, 0, 0, kCheck, 0, 0}},
      // A refused block took no data.
      {"refused write", kWrite, kOut, 2048, 32, 0, {2, 0, kSense, 18, kCheck, 2048, 0}},
      // A slow drive blocks the caller up to the 10 s time-out; past it the
      // command is never sent.
      {"slow", kInquiry, kIn, 36, 32, 10000, {0, 0, 0, 0, kOk, 0, 10000}},
      {"timed out", kInquiry, kIn, 36, 32, 10001, {0, sim::kDidTimeOut, 0, 0, kCheck, 36, 10000}},
  };
  for (const auto& c : cases) {
    std::fill(sense_.begin(), sense_.end(), 0xEE);
    drive_.SetAsyncDelay(c.delay_ms);
    const uint32_t commands = drive_.command_count();
    sg_io_hdr_t h = Header(c.cdb, c.direction, c.length);
    h.mx_sb_len = c.mx_sb_len;
    ASSERT_EQ(sim::SgExecute(sg_, h), 0) << c.what;
    EXPECT_EQ((std::vector<int>{h.status, h.host_status, h.driver_status, h.sb_len_wr,
                                static_cast<int>(h.info), h.resid, static_cast<int>(h.duration)}),
              c.fields)
        << c.what;
    EXPECT_EQ(h.masked_status, h.status >> 1) << c.what;
    EXPECT_EQ(drive_.command_count() - commands, h.host_status == 0 ? 1u : 0u) << c.what;
    EXPECT_EQ(sense_[h.sb_len_wr], 0xEE) << c.what << ": sense written past sb_len_wr";
    if (h.sb_len_wr > 0) {
      EXPECT_EQ(sense_[0], 0x70) << c.what;
    }
  }
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&data_[8]), 8), "KESTRAN ");
}

// The TCMU ring as the kernel fills it, with what a real run rarely shows: a
// padding entry at the ring's end before the command at its start, data
// scattered over iovecs, and entries that do not fit.  Mapping: mailbox, a
// 1024-byte ring at 128, data from 8192.
TEST(TcmuRingTest, ServesEntriesAcrossTheWrapAndStopsOnMalformedOnes) {
  constexpr uint32_t kRing = 128, kRingSize = 1024;
  const Bytes kEaCdb{0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0xF8, 0xAA, 0xBB};
  const struct {
    const char* what;
    uint32_t tail, len;  // cmd_tail, and the command entry's length
    uint64_t cdb_off;
    std::vector<std::pair<uint64_t, uint64_t>> iov;
    Bytes cdb;
    int served;
  } cases[] = {
      {"write after the wrap", 960, 96, kRing + 80, {{8192, 1000}, {12000, 1048}}, kEaCdb, 1},
      {"read", 0, 96, kRing + 80, {{8192, 20}, {9000, 76}}, kInquiry, 1},
      {"length 0", 0, 0, kRing + 80, {}, kTur, -1},
      {"past the ring's end", 960, 96, kRing + 80, {}, kTur, -1},
      {"iovec outside the mapping", 0, 96, kRing + 80, {{16000, 1000}}, kInquiry, -1},
      {"CDB outside the mapping", 0, 96, 16380, {}, kTur, -1},
  };
  for (const auto& c : cases) {
    Bytes map(16384, 0xEE);
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&map[at], &v, 4); };
    auto put64 = [&](size_t at, uint64_t v) { std::memcpy(&map[at], &v, 8); };
    put32(4, kRing);
    put32(8, kRingSize);
    put32(64, c.tail);
    uint32_t at = c.tail;
    if (c.what == std::string("write after the wrap")) {  // a pad to the ring's end first
      put32(kRing + c.tail, kRingSize - c.tail);
      at = 0;
    }
    const size_t e = kRing + at;
    put32(e, c.len | 1);
    put32(e + 8, static_cast<uint32_t>(c.iov.size()));
    put64(e + 24, c.cdb_off);
    for (size_t i = 0; i < c.iov.size(); ++i) {
      put64(e + 48 + 16 * i, c.iov[i].first);
      put64(e + 56 + 16 * i, c.iov[i].second);
      for (uint64_t b = 0; b < c.iov[i].second && c.iov[i].first + b < map.size(); ++b) {
        map[c.iov[i].first + b] = static_cast<uint8_t>(i + 1);
      }
    }
    if (c.cdb_off + c.cdb.size() <= map.size())
      std::copy(c.cdb.begin(), c.cdb.end(), &map[c.cdb_off]);
    const uint32_t head = (at + 96) % kRingSize;
    put32(12, head);
    Bytes seen;
    sim::Direction way{};
    uint8_t cdb_length = 0;
    const sim::TcmuRun run = [&](const uint8_t* cdb, uint8_t n, sim::Direction d, uint8_t* data,
                                 uint32_t len) {
      cdb_length = n;
      way = d;
      seen.assign(data, data + len);
      sim::CommandResult r;
      if (cdb[0] == 0x12) {
        for (uint32_t i = 0; i < 36; ++i) data[i] = static_cast<uint8_t>(0x40 + i);
        r.data_length = 36;
      } else {
        r.status = sim::kCheckCondition;
        const Bytes sense = sim::BuildFixedSense(sim::sense::kChecksumError);
        std::copy(sense.begin(), sense.end(), r.sense.begin());
      }
      return r;
    };
    std::string error;
    EXPECT_EQ(sim::ServeTcmuRing(map.data(), map.size(), run, &error), c.served) << c.what << error;
    uint32_t tail = 0;
    std::memcpy(&tail, &map[64], 4);
    if (c.served < 0) {
      EXPECT_FALSE(error.empty()) << c.what;
      EXPECT_NE(tail, head) << c.what;
      continue;
    }
    EXPECT_EQ(tail, head) << c.what;
    const uint32_t read_len = map[e + 12] | map[e + 13] << 8;
    if (way == sim::Direction::kOut) {
      // Gathered in order, the vendor CDB cut to 10 bytes; the refusal's sense returned.
      Bytes want(1000, 1);
      want.insert(want.end(), 1048, 2);
      EXPECT_EQ(seen, want);
      EXPECT_EQ(cdb_length, 10);
      EXPECT_EQ(map[e + 8], sim::kCheckCondition);
      EXPECT_EQ(Bytes(&map[e + 16], &map[e + 34]),
                sim::BuildFixedSense(sim::sense::kChecksumError));
      EXPECT_EQ(read_len, 0u);
    } else {
      // Scattered: 20 bytes into the first iovec, 16 into the second, the rest untouched.
      EXPECT_EQ(way, sim::Direction::kIn) << c.what;
      EXPECT_EQ(map[8192 + 19], 0x40 + 19);
      EXPECT_EQ(map[9000], 0x40 + 20);
      EXPECT_EQ(map[9000 + 15], 0x40 + 35);
      EXPECT_EQ(map[9000 + 16], 2);
      EXPECT_EQ(read_len, 36u);
      EXPECT_EQ(map[e + 8], sim::kGood);
    }
  }
}

// How ksfupd reads an sg answer: the drive's own status and sense stand; a
// host status, a driver status other than DRIVER_SENSE (even with SCSI
// status 0, as kernels before 5.14 report) or an info word that says
// "check" with nothing to show fail the request, named as the kernel names
// them.
TEST(SgResultTest, HostDriverAndInfoDecideAFailureBelowTheDrive) {
  const int kOk = SG_INFO_OK, kCheck = SG_INFO_CHECK;
  const struct {
    unsigned char status, sb_len_wr;
    unsigned short host, driver;
    unsigned info;
    int error;
    const char* detail;
  } cases[] = {
      {0, 0, 0, 0, kOk, 0, ""},
      {2, 18, 0, 0x08, kCheck, 0, ""},  // CHECK CONDITION with sense
      {8, 0, 0, 0, kCheck, 0, ""},      // BUSY: the drive's answer
      {0, 18, 0, 0x18, kCheck, 0, ""},  // DRIVER_SENSE with a suggestion bit
      {0, 0, 0x08, 0, kCheck, EIO, "host status DID_RESET"},
      {0, 0, 0x03, 0, kCheck, ETIMEDOUT, "host status DID_TIME_OUT"},
      {2, 18, 0x01, 0x08, kCheck, EIO, "host status DID_NO_CONNECT"},
      {0, 0, 0x2A, 0, kCheck, EIO, "host status 0x2A"},
      {0, 0, 0, 0x04, kCheck, EIO, "driver status DRIVER_ERROR"},
      {0, 0, 0, 0x27, kCheck, EIO, "driver status DRIVER_HARD"},
      {0, 0, 0, 0x06, kCheck, ETIMEDOUT, "driver status DRIVER_TIMEOUT"},
      {0, 0, 0, 0, kCheck, EIO, "info SG_INFO_CHECK without a SCSI status"},
  };
  for (const auto& c : cases) {
    sg_io_hdr_t h{};
    h.status = c.status;
    h.sb_len_wr = c.sb_len_wr;
    h.host_status = c.host;
    h.driver_status = c.driver;
    h.info = c.info;
    std::string detail = "stale";
    EXPECT_EQ(plat::ClassifySgResult(h, &detail), c.error) << c.detail;
    EXPECT_EQ(detail, c.detail);
  }
}

}  // namespace
