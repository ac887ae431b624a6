// The update package: description file and firmware images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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
// The most of one description line the reader keeps: more than any key with
// its longest value.  A longer line is cut there; a known key on it is a value
// error (code 6), any other such line is ignored.
constexpr size_t kPackageLineLimit = 4096;

// Result codes of LoadPackage (LoadImageFile gives 0, 5 and 10 to 12).
enum PackageResult : uint8_t {
  kPackageLoaded = 0,
  kPackageNoFile = 1,                // neither description file opens
  kPackageNoFirstSection = 2,        // no [UPGRADEINFORMATION] line
  kPackageNoSecondSection = 3,       // no [OPTION] line
  kPackageNoMainSize = 4,            // no main image size and no drive class
  kPackageNoMemory = 5,              // no memory for an image
  kPackageValueTooLong = 6,          // a value longer than its field
  kPackageNoInquiryOrVersion = 7,    // INQUIRY list empty or beginning with ';', or no version
  kPackageInquiryNotTerminated = 8,  // no ';' in the INQUIRY list
  kPackageBadBufferSize = 9,         // BUFFERSIZE 0 or not a number
  kImageCannotOpen = 10,
  kImageReadFailed = 11,
  kImageSizeDiffers = 12,  // the file is shorter or longer than declared
};

// Clears the record (releasing image blocks) and sets the defaults 2048 / 45.
void ResetUpdatePackage();

// Reads the description file (`first_candidate`, else "kestfirm.ini", both in
// the current directory) into UpdatePackage and loads the images.  Returns 0
// or the first failure: 1 no file, 2 no [UPGRADEINFORMATION], 3 no [OPTION],
// 4 no main size and no drive class, 5 no memory for an image, 6 a value
// longer than its field, 7 INQUIRY list empty / beginning with ';' or no
// version, 8 no ';' in the INQUIRY list, 9 BUFFERSIZE 0 or not a number,
// 10-12 from LoadImageFile.  Codes 7, 8 and 9 are checked after the images.
uint8_t LoadPackage(const char* first_candidate);

// Where the last LoadPackage failed, for a front end that explains more than
// the code: the description file's line number and key of a value error
// (line 0 when none), or the file name of an image that failed.
struct PackageFault {
  uint32_t line;
  char key[40];
  char file[260];
};
extern PackageFault LastPackageFault;

// The name under which `name` is found in the current directory.  Packages
// are made on Windows, where names ignore case: on other systems a file that
// differs only in case is taken, the exact name first.  Windows: `name`.
std::string FoundName(const char* name);

// Reads the image file `name`, which must be exactly `declared_size` bytes
// long (header included), into a new block.  `read_length`: the least length
// the flash layout reads; the block is at least that long and its bytes past
// the declared size are 0xFF (erased flash).  Returns 0 (block in *block),
// 5 no memory (also for sizes no firmware image can have, above 16 MiB),
// 10 cannot open, 11 a read failed, 12 the file is shorter or longer than
// declared.  On failure *block is nullptr and nothing stays allocated.
uint8_t LoadImageFile(const char* name, uint32_t declared_size, uint32_t read_length,
                      uint8_t** block);
// Frees a block from LoadImageFile (nullptr is fine) and sets it to nullptr.
void ReleaseImage(uint8_t*& block);
