// The seven drive commands: each builds its CDB and hands it to
// ExecuteCommand, whose result it returns unchanged; a unit attention is
// answered by sending the command once more.
#include "transport/command_set.h"

#include <cstring>

#include "package/package.h"
#include "transport/transport.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr uint8_t kNoData = SRB_EVENT_NOTIFY;
constexpr uint32_t kFlashUnit = 2048;

// A CDB buffer of 16 bytes whose first 12 (all, in fact) start cleared.
struct Cdb {
  uint8_t bytes[16] = {};
};

uint8_t LengthOf(const DriveRecord& drive, uint8_t short_length) {
  return drive.UsesCdb12 != 0 ? 12 : short_length;
}

void PutBigEndian32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

void PutBigEndian16(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value >> 8);
  out[1] = static_cast<uint8_t>(value);
}

constexpr uint8_t kCheckCondition = 0x02;
constexpr uint8_t kUnitAttention = 0x06;

// UNIT ATTENTION: the drive did not carry the command out, it reported an
// event first (the tray moved, a bus or device reset).
bool AnsweredUnitAttention(int result) {
  const CommandRecord* record = LastCommand;
  return result == kCommandTargetStatus && record != nullptr &&
         record->SRB_TargStat == kCheckCondition && (record->SenseArea[2] & 0x0F) == kUnitAttention;
}

// Every command goes through here.  A drive answers the first command after a
// tray or reset event once with a unit attention; that command is sent once
// more, right away.  A second unit attention is the command's answer.
int Send(const DriveRecord& drive, void* data, uint32_t length, const uint8_t* cdb,
         uint8_t cdb_length, uint8_t direction) {
  const int result = ExecuteCommand(drive, data, length, cdb, cdb_length, direction);
  if (!AnsweredUnitAttention(result)) return result;
  return ExecuteCommand(drive, data, length, cdb, cdb_length, direction);
}

}  // namespace

int Inquiry(const DriveRecord& drive, void* buffer, uint32_t length) {
  Cdb cdb;
  cdb.bytes[0] = UpdatePackage.ExternalInquiry == 1 ? 0x13 : 0x12;
  cdb.bytes[4] = static_cast<uint8_t>(length);
  return Send(drive, buffer, length & 0xFFFF, cdb.bytes, LengthOf(drive, 6), SRB_DIR_IN);
}

int TestUnitReady(const DriveRecord& drive) {
  Cdb cdb;
  return Send(drive, nullptr, 0, cdb.bytes, LengthOf(drive, 6), kNoData);
}

int StartStopUnit(const DriveRecord& drive, uint8_t load_eject_start, uint8_t immediate) {
  Cdb cdb;
  cdb.bytes[0] = 0x1B;
  cdb.bytes[1] = immediate & 1;
  cdb.bytes[4] = load_eject_start & 3;
  return Send(drive, nullptr, 0, cdb.bytes, LengthOf(drive, 6), kNoData);
}

int ReadDriveMemory(const DriveRecord& drive, void* buffer, uint32_t length, uint32_t address) {
  Cdb cdb;
  cdb.bytes[0] = 0xF5;
  PutBigEndian32(&cdb.bytes[4], address);
  PutBigEndian16(&cdb.bytes[8], static_cast<uint16_t>(length));
  return Send(drive, buffer, length & 0xFFFF, cdb.bytes, 12, SRB_DIR_IN);
}

int FlashControl(const DriveRecord& drive, uint8_t byte7, uint8_t byte8) {
  Cdb cdb;
  cdb.bytes[0] = 0xF5;
  cdb.bytes[7] = byte7;
  cdb.bytes[8] = byte8;
  return Send(drive, nullptr, 0, cdb.bytes, LengthOf(drive, 10), kNoData);
}

int SetDownloadMode(const DriveRecord& drive, uint8_t mode) {
  Cdb cdb;
  cdb.bytes[0] = 0xF6;
  cdb.bytes[1] = mode;
  return Send(drive, nullptr, 0, cdb.bytes, LengthOf(drive, 10), kNoData);
}

int WriteFlashBlock(const DriveRecord& drive, const void* data, uint32_t length, uint32_t address) {
  if (length % kFlashUnit != 0) return kCommandNoResource;
  const uint16_t checksum = FlashChecksum(static_cast<const uint8_t*>(data), length);
  Cdb cdb;
  cdb.bytes[0] = 0xEA;
  PutBigEndian32(&cdb.bytes[2], address);
  PutBigEndian16(&cdb.bytes[7], static_cast<uint16_t>(length / kFlashUnit));
  // In the 10-byte form byte 10, the checksum's low byte, stays behind.
  PutBigEndian16(&cdb.bytes[9], checksum);
  // Data-out: the transport reads the caller's block into its own copy.
  return Send(drive, const_cast<void*>(data), length, cdb.bytes, LengthOf(drive, 10), SRB_DIR_OUT);
}

uint16_t FlashChecksumPortable(const uint8_t* data, uint32_t length) {
  // Eight bytes at a time: split into even and odd bytes, each kept in a
  // 16-bit lane; a lane grows by at most 510 per step, so flush every 128
  // steps before it can carry into its neighbour.
  uint64_t sum = 0;
  uint32_t i = 0;
  while (length - i >= 8) {
    uint64_t lanes = 0;
    for (int steps = 0; steps < 128 && length - i >= 8; ++steps, i += 8) {
      uint64_t word;
      std::memcpy(&word, data + i, 8);
      lanes += (word & 0x00FF00FF00FF00FFull) + ((word >> 8) & 0x00FF00FF00FF00FFull);
    }
    lanes = (lanes & 0x0000FFFF0000FFFFull) + ((lanes >> 16) & 0x0000FFFF0000FFFFull);
    sum += (lanes & 0xFFFFFFFFull) + (lanes >> 32);
  }
  for (; i < length; ++i) sum += data[i];
  return static_cast<uint16_t>(sum);
}

uint16_t FlashChecksum(const uint8_t* data, uint32_t length) {
#if defined(__SSE2__)
  // PSADBW against zero adds 16 bytes into two 64-bit lanes per instruction;
  // four independent accumulators keep the adders busy.
  uint32_t i = 0;
  __m128i acc0 = _mm_setzero_si128(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
  const __m128i zero = _mm_setzero_si128();
  for (; length - i >= 64; i += 64) {
    const __m128i* p = reinterpret_cast<const __m128i*>(data + i);
    acc0 = _mm_add_epi64(acc0, _mm_sad_epu8(_mm_loadu_si128(p), zero));
    acc1 = _mm_add_epi64(acc1, _mm_sad_epu8(_mm_loadu_si128(p + 1), zero));
    acc2 = _mm_add_epi64(acc2, _mm_sad_epu8(_mm_loadu_si128(p + 2), zero));
    acc3 = _mm_add_epi64(acc3, _mm_sad_epu8(_mm_loadu_si128(p + 3), zero));
  }
  const __m128i acc = _mm_add_epi64(_mm_add_epi64(acc0, acc1), _mm_add_epi64(acc2, acc3));
  uint64_t lanes[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), acc);
  const uint16_t head = static_cast<uint16_t>(lanes[0] + lanes[1]);
  return static_cast<uint16_t>(head + FlashChecksumPortable(data + i, length - i));
#else
  return FlashChecksumPortable(data, length);
#endif
}
