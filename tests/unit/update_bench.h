// A test bench for discovery and the update procedure: the virtual-clock
// platform with emulated drives behind the real transports (pass-through on
// drive letters, or an ASPI bus), fresh process-wide state, and image buffers
// filled with known patterns.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "discovery/drive_table.h"
#include "fake_hooks.h"
#include "fake_platform.h"
#include "package/package.h"
#include "text/catalogue.h"
#include "text/system_state.h"
#include "transport/transport.h"
#include "update/update.h"

using Texts = std::vector<std::string>;

// The platform double; `copy_file`, when set, decides each of the restart
// helper's copies without touching the disk.
struct BenchPlatform : FakePlatform {
  plat::CopyResult CopyFileNoOverwrite(const char* from, const char* to) override {
    return copy_file ? copy_file(to) : FakePlatform::CopyFileNoOverwrite(from, to);
  }
  std::function<plat::CopyResult(const std::string& to)> copy_file;
};

// The dialog window the tests' boxes belong to.
inline void* const kOwner = reinterpret_cast<void*>(0xD1A1);

// A message box as "caption|flags|text".
inline std::string Box(const std::string& caption, uint32_t flags, const std::string& text) {
  return caption + "|" + std::to_string(flags) + "|" + text;
}
// The boxes shown so far, each checked to be owned by `owner`.
inline Texts Boxes(FakePlatform& fake, void* owner) {
  Texts boxes;
  for (const auto& box : fake.MessageBoxes()) {
    EXPECT_EQ(box.owner, owner) << box.text;
    boxes.push_back(Box(box.caption, box.flags, box.text));
  }
  return boxes;
}

struct UpdateBench {
  enum class Via { kPassThrough, kAspi };

  explicit UpdateBench(Via via = Via::kPassThrough) : via(via), drive(sim::FakeClock(fake)) {
    ResetProcessState();
    SetMessageOwner(nullptr);
    OsKind = 2;
    UserLcid = 1033;
    std::snprintf(UpdatePackage.InquiryList, sizeof UpdatePackage.InquiryList, "KESTRAN ;");
    std::snprintf(UpdatePackage.PackageVersion, sizeof UpdatePackage.PackageVersion, "1.10");
    TransportKind = via == Via::kPassThrough ? PassThrough : Aspi;
    if (via == Via::kPassThrough) sim::ConnectPassThrough(fake, pt);
    if (via == Via::kAspi) sim::ConnectAspi(fake, bus);
    EXPECT_EQ(via == Via::kAspi ? LoadAspiLibrary() : 1, 1);
  }
  ~UpdateBench() {
    fake.JoinThreads();  // the worker talks to the drive: it must have ended first
    if (via == Via::kAspi) FreeAspiLibrary();
    ResetProcessState();
  }

  // Puts `which` (default: the bench's drive) in table entry `index` as
  // discovery would: at E: and on, or at adapter 0, target index + 1.
  void AddDrive(int index = 0, sim::KestranDrive* which = nullptr) {
    sim::KestranDrive* target = which ? which : &drive;
    DriveRecord& record = DriveTable[index];
    std::memset(&record, 0, sizeof record);
    if (via == Via::kPassThrough) {
      record.DriveLetter[0] = static_cast<char>('E' + index);
      pt.AttachDrive(record.DriveLetter[0], target);
    } else {
      if (index == 0) bus.AddAdapter();
      record.TargetId = static_cast<uint8_t>(index + 1);
      bus.AttachDrive(0, record.TargetId, target);
    }
    std::snprintf(record.Revision, sizeof record.Revision, "%s", target->config().revision.c_str());
    if (DriveCount <= index) DriveCount = static_cast<uint8_t>(index + 1);
  }

  // Image buffers as the package loader leaves them: as long as the flash
  // layout reads, each byte a known function of its offset.
  void LoadImages(bool boot, uint32_t main_size = kMainImageReadLength) {
    ReleaseImage(UpdatePackage.BootImage);
    ReleaseImage(UpdatePackage.MainImage);
    UpdatePackage.BootImagePresent = boot;
    UpdatePackage.BootImageSize = boot ? kBootImageReadLength : 0;
    UpdatePackage.MainImageSize = main_size;
    if (boot) UpdatePackage.BootImage = Pattern(kBootImageReadLength, 0x5A);
    UpdatePackage.MainImage = Pattern(kMainImageReadLength, 0x13);
  }
  static uint8_t* Pattern(uint32_t length, uint8_t seed) {
    uint8_t* block = static_cast<uint8_t*>(std::malloc(length));
    for (uint32_t i = 0; i < length; ++i)
      block[i] = static_cast<uint8_t>(i * 31u + (i >> 9) + seed);
    return block;
  }

  // A command in short: "TUR", "INQ", "EJECT", "DL2" (download mode), "FC 0F/00"
  // (flash control), "W 8000/32768" (block write), "MEM F8048/16", or raw.
  static std::string Name(const sim::TraceEntry& e) {
    const uint8_t* c = e.cdb.data();
    const auto be32 = [c](int i) {
      return unsigned(c[i] << 24 | c[i + 1] << 16 | c[i + 2] << 8 | c[i + 3]);
    };
    const bool in = e.direction == sim::Direction::kIn;
    char text[64] = "";
    if (c[0] == 0x00) return "TUR";
    if (c[0] == 0x12 || c[0] == 0x13) return "INQ";
    if (c[0] == 0x1B) return c[1] == 0 && c[4] == 2 ? "EJECT" : "SSU?";
    if (c[0] == 0xF6) std::snprintf(text, sizeof text, "DL%u", c[1]);
    if (c[0] == 0xF5 && in)
      std::snprintf(text, sizeof text, "MEM %X/%u", be32(4), c[8] << 8 | c[9]);
    if (c[0] == 0xF5 && !in) std::snprintf(text, sizeof text, "FC %02X/%02X", c[7], c[8]);
    if (c[0] == 0xEA) std::snprintf(text, sizeof text, "W %X/%u", be32(2), e.length);
    return text[0] ? text : sim::FormatTrace(e);
  }
  Texts Commands() const {
    Texts names;
    for (const auto& e : drive.trace()) names.push_back(Name(e));
    return names;
  }

  Via via;
  BenchPlatform fake;
  sim::KestranDrive drive;
  sim::SimPassThrough pt;
  sim::SimAspi bus;
};
