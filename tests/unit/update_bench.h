// A test bench for discovery and the update procedure: the virtual-clock
// platform with emulated drives behind the real transports (pass-through on
// drive letters, or an ASPI bus), fresh process-wide state, and image buffers
// filled with known patterns.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/system_state.h"
#include "discovery/drive_table.h"
#include "fake_hooks.h"
#include "fake_platform.h"
#include "package/package.h"
#include "transport/transport.h"
#include "update/update.h"

class UpdateBench {
 public:
  enum class Via { kPassThrough, kAspi };

  explicit UpdateBench(Via via = Via::kPassThrough, sim::DriveConfig config = {})
      : via_(via), drive(sim::FakeClock(fake), config) {
    ResetTransportState();
    ResetDriveTable();
    ResetUpdateState();
    ResetUpdatePackage();
    SetMessageOwner(nullptr);
    OsKind = 2;
    UserLcid = 1033;
    std::snprintf(UpdatePackage.InquiryList, sizeof UpdatePackage.InquiryList, "KESTRAN ;");
    std::snprintf(UpdatePackage.PackageVersion, sizeof UpdatePackage.PackageVersion, "1.10");
    if (via == Via::kPassThrough) {
      TransportKind = PassThrough;
      sim::ConnectPassThrough(fake, pt);
    } else {
      TransportKind = Aspi;
      sim::ConnectAspi(fake, bus);
      EXPECT_EQ(LoadAspiLibrary(), 1);
    }
  }

  ~UpdateBench() {
    // The worker thread talks to the drive: it must have ended first.
    fake.JoinThreads();
    if (via_ == Via::kAspi) FreeAspiLibrary();
    ResetUpdatePackage();
    ResetTransportState();
  }

  // Puts the bench's drive in table entry `index` as discovery would (at E:
  // and on, or at adapter 0, target index + 1) and makes it the selection.
  void AddDrive(int index = 0, sim::KestranDrive* which = nullptr) {
    sim::KestranDrive* target = which ? which : &drive;
    DriveRecord& record = DriveTable[index];
    std::memset(&record, 0, sizeof record);
    if (via_ == Via::kPassThrough) {
      record.DriveLetter[0] = static_cast<char>('E' + index);
      pt.AttachDrive(record.DriveLetter[0], target);
    } else {
      if (bus.requests().empty() && index == 0) bus.AddAdapter();
      record.TargetId = static_cast<uint8_t>(index + 1);
      bus.AttachDrive(0, record.TargetId, target);
    }
    std::snprintf(record.Revision, sizeof record.Revision, "%s", target->config().revision.c_str());
    if (DriveCount <= index) DriveCount = static_cast<uint8_t>(index + 1);
  }

  // Image buffers as the package loader leaves them: at least as long as the
  // flash layout reads, each byte a known function of its offset.
  void LoadImages(bool boot, uint32_t boot_size = kBootImageReadLength,
                  uint32_t main_size = kMainImageReadLength) {
    UpdatePackage.BootImagePresent = boot ? 1 : 0;
    UpdatePackage.BootImageSize = boot ? boot_size : 0;
    UpdatePackage.MainImageSize = main_size;
    if (boot) UpdatePackage.BootImage = Pattern(kBootImageReadLength, 0x5A);
    UpdatePackage.MainImage = Pattern(kMainImageReadLength, 0x13);
  }

  static uint8_t* Pattern(uint32_t length, uint8_t seed) {
    uint8_t* block = static_cast<uint8_t*>(std::malloc(length));
    for (uint32_t i = 0; i < length; ++i) {
      block[i] = static_cast<uint8_t>((i * 31u + (i >> 9) + seed) & 0xFF);
    }
    return block;
  }

  // The drive's commands in a compact form: "TUR", "INQ", "EJECT", "DL2",
  // "DL0", "FC 0F/00", "W 8000/32768", "MEM F8048", or the raw CDB.
  static std::string Name(const sim::TraceEntry& e) {
    char text[64];
    const uint8_t* c = e.cdb.data();
    switch (c[0]) {
      case 0x00:
        return "TUR";
      case 0x12:
      case 0x13:
        return "INQ";
      case 0x1B:
        return c[4] == 2 && c[1] == 0 ? "EJECT" : "SSU?";
      case 0xF6:
        std::snprintf(text, sizeof text, "DL%u", c[1]);
        return text;
      case 0xF5:
        if (e.direction == sim::Direction::kIn) {
          std::snprintf(text, sizeof text, "MEM %X/%u",
                        (c[4] << 24) | (c[5] << 16) | (c[6] << 8) | c[7], (c[8] << 8) | c[9]);
        } else {
          std::snprintf(text, sizeof text, "FC %02X/%02X", c[7], c[8]);
        }
        return text;
      case 0xEA:
        std::snprintf(text, sizeof text, "W %X/%u",
                      (c[2] << 24) | (c[3] << 16) | (c[4] << 8) | c[5], e.length);
        return text;
      default:
        return sim::FormatTrace(e);
    }
  }

  std::vector<std::string> Commands() const {
    std::vector<std::string> names;
    for (const auto& e : drive.trace()) names.push_back(Name(e));
    return names;
  }

  Via via_;
  FakePlatform fake;
  sim::KestranDrive drive;
  sim::SimPassThrough pt;
  sim::SimAspi bus;
};
