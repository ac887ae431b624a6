// Drive enumeration: walks the drive letters and device nodes (pass-through)
// or the ASPI host adapters and targets, reads each CD-class device's INQUIRY
// data and keeps the drives that the package's INQUIRY list names.
#include "discovery/discovery.h"

#include <cstdio>
#include <cstring>

#include "package/package.h"
#include "platform/platform.h"
#include "transport/command_set.h"
#include "transport/transport.h"

namespace {

constexpr uint8_t kCdromDeviceType = 5;
constexpr int kInquiryLength = 36;
constexpr int kInquiryBuffer = 40;
constexpr int kIdentificationLength = 28;  // vendor (8) + product (16) + revision (4)
constexpr int kStableReadPairs = 10;

// Reads INQUIRY into `buffer`, once more when the first request fails.
void InquiryWithRetry(const DriveRecord& drive, uint8_t* buffer, bool* ok) {
  *ok = Inquiry(drive, buffer, kInquiryLength) == kCommandDone ||
        Inquiry(drive, buffer, kInquiryLength) == kCommandDone;
}

// The common steps for one candidate already addressed in `entry`.  Returns
// true when the drive is kept; the entry then holds its display text,
// revision and command-block size.
bool ExamineCandidate(DriveRecord& entry) {
  for (int i = 0; i < 3; ++i) TestUnitReady(entry);  // wakes the drive; results do not matter

  uint8_t data[kInquiryBuffer];
  if (!ReadStableInquiry(entry, data)) return false;
  if (data[0] != kCdromDeviceType || data[8] == 0) return false;
  if (MatchInquiryList(data + 8, UpdatePackage.InquiryList) != 1) return false;

  const char* identification = reinterpret_cast<const char*>(data + 8);
  const char* revision = reinterpret_cast<const char*>(data + 32);
  // Bytes 36..39 of `data` are zero, so "%.4s" of the revision always ends.
  if (TransportKind == PassThrough && entry.NodeName[0] != '\0') {
    std::snprintf(entry.DisplayText, sizeof entry.DisplayText, "%s [%.24s %.4s]", entry.NodeName,
                  identification, revision);
  } else if (TransportKind == PassThrough) {
    std::snprintf(entry.DisplayText, sizeof entry.DisplayText, "%s:\\ [%.24s %.4s]",
                  entry.DriveLetter, identification, revision);
  } else {
    std::snprintf(entry.DisplayText, sizeof entry.DisplayText, "(%d,%d) %.24s %.4s",
                  static_cast<int>(entry.AdapterId), static_cast<int>(entry.TargetId),
                  identification, revision);
  }
  std::memcpy(entry.Revision, data + 32, 4);
  entry.Revision[4] = '\0';
  entry.UsesCdb12 = data[3] > 15 ? 1 : 0;
  return true;
}

// Where the next candidate is examined: the next free table entry, or a
// scratch record once the table is full (further matches are ignored).
class Scan {
 public:
  DriveRecord& Candidate() { return count_ < kDriveTableSize ? DriveTable[count_] : scratch_; }
  void Examine() {
    DriveRecord& entry = Candidate();
    if (ExamineCandidate(entry) && count_ < kDriveTableSize) ++count_;
  }
  uint8_t Count() const { return static_cast<uint8_t>(count_); }

 private:
  int count_ = 0;
  DriveRecord scratch_{};
};

// A pass-through candidate: no adapter address, the default command size.
DriveRecord& PassThroughCandidate(Scan& scan) {
  DriveRecord& entry = scan.Candidate();
  entry.AdapterId = 0;
  entry.TargetId = 0;
  entry.Lun = 0;
  entry.UsesCdb12 = 0;
  entry.AlignMask = 0;
  std::memset(entry.DriveLetter, 0, sizeof entry.DriveLetter);
  entry.NodeName[0] = '\0';
  return entry;
}

void ScanDriveLetters(Scan& scan) {
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    DriveRecord& entry = PassThroughCandidate(scan);
    entry.DriveLetter[0] = letter;
    char root[8];
    std::snprintf(root, sizeof root, "%s:\\", entry.DriveLetter);
    if (plat::Os().GetDriveType(root) != plat::kDriveCdrom) continue;
    scan.Examine();
  }
}

// The platform's device nodes (none on Windows), after the drive letters.
void ScanDeviceNodes(Scan& scan) {
  char node[sizeof DriveRecord::NodeName];
  for (int index = 0; plat::Os().CdromDeviceNode(index, node, sizeof node); ++index) {
    DriveRecord& entry = PassThroughCandidate(scan);
    std::memcpy(entry.NodeName, node, sizeof entry.NodeName);
    entry.NodeName[sizeof entry.NodeName - 1] = '\0';
    scan.Examine();
  }
}

void ScanAspiAdapters(Scan& scan) {
  SRB_HAInquiry* reply = nullptr;
  if (InquireHostAdapter(0, &reply) != 0) return;
  const int adapters = reply->HA_Count;
  for (int adapter = 0; adapter < adapters; ++adapter) {
    if (InquireHostAdapter(static_cast<uint8_t>(adapter), &reply) != 0) continue;
    // The reply block is reused by the next inquiry: take what we need now.
    const uint32_t mask = static_cast<uint32_t>(reply->HA_Unique[0]) |
                          static_cast<uint32_t>(reply->HA_Unique[1]) << 8;
    const int targets = reply->HA_Unique[3] != 0 ? reply->HA_Unique[3] : 8;
    for (int target = 0; target < targets; ++target) {
      DriveRecord& entry = scan.Candidate();
      entry.AdapterId = static_cast<uint8_t>(adapter);
      entry.TargetId = static_cast<uint8_t>(target);
      entry.Lun = 0;
      entry.UsesCdb12 = 0;
      entry.AlignMask = mask;
      uint8_t type = 0;
      if (GetDeviceType(entry, &type) != 0 || type != kCdromDeviceType) continue;
      scan.Examine();
    }
  }
}

}  // namespace

bool ReadStableInquiry(const DriveRecord& drive, uint8_t out40[40]) {
  for (int pair = 0; pair < kStableReadPairs; ++pair) {
    uint8_t a[kInquiryBuffer] = {};
    uint8_t b[kInquiryBuffer] = {};
    bool ok = false;
    InquiryWithRetry(drive, a, &ok);
    // Two failed reads into A leave nothing worth comparing against: B stays
    // zero and the pair agrees only when A is untouched.
    if (ok) InquiryWithRetry(drive, b, &ok);
    if (std::memcmp(a, b, kInquiryBuffer) == 0) {
      std::memcpy(out40, a, kInquiryBuffer);
      return true;
    }
  }
  return false;  // never read the same twice: the drive is dropped
}

int MatchInquiryList(const uint8_t* identification28, const char* list) {
  int k = 0;
  bool same = true;
  for (const char* c = list; *c != '\0'; ++c) {
    if (*c == ';') {
      if (k != 0 && same) return 1;
      k = 0;
      same = true;
      continue;
    }
    // An entry longer than the identification can never match.
    if (k >= kIdentificationLength || static_cast<uint8_t>(*c) != identification28[k]) {
      same = false;
    }
    ++k;
  }
  return 0;  // text after the last ';' never counts
}

uint8_t DiscoverDrives() {
  Scan scan;
  if (TransportKind == PassThrough) {
    ScanDriveLetters(scan);
    ScanDeviceNodes(scan);
  } else {
    ScanAspiAdapters(scan);
  }
  return scan.Count();
}
