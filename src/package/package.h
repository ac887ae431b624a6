// The update package: description file and firmware images.
#pragma once

#include <cstdint>

struct UpdatePackageRecord {
  char ApplicationTitle[128];
  char InquiryList[261];
  char BootFileName[35];
  uint32_t BootImageSize;
  uint8_t* BootImage;
  char PackageVersion[5];
  char MainFileName[35];
  uint32_t MainImageSize;
  uint32_t BufferSize;
  uint8_t* MainImage;
  uint8_t ExternalInquiry;
  uint8_t NoPassThrough;
  uint8_t DriveClass;
  uint8_t BoardVersionLimit;
  uint8_t NoRestart;
  uint8_t NoDeleteFile;
  uint8_t WaitTime;
  uint8_t BootImagePresent;
};
extern UpdatePackageRecord UpdatePackage;

// The flash layout reads this many bytes of each buffer (header included).
constexpr uint32_t kBootImageReadLength = 16416;
constexpr uint32_t kMainImageReadLength = 360480;

// Clears the record (releasing image blocks) and sets the defaults 2048 / 45.
void ResetUpdatePackage();
uint8_t LoadPackage(const char* first_candidate);
// `read_length`: the least buffer length the flash layout needs; the buffer is
// at least that long and bytes past the declared size are 0xFF.
uint8_t LoadImageFile(const char* name, uint32_t declared_size, uint32_t read_length,
                      uint8_t** block);
void ReleaseImage(uint8_t*& block);
