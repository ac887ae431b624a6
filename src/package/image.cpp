// Firmware image loading: one file read whole into a block of memory.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "package/package.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kHeaderLength = 32;
constexpr uint32_t kReadPiece = 1024;
constexpr uint8_t kErasedFlash = 0xFF;

// No image of these drives comes near this size (the whole flash layout is
// 360,480 bytes).  A larger declared size, such as a negative number read as
// unsigned, is refused like a failed allocation, the same on every build
// instead of depending on how much address space the process happens to have.
constexpr uint32_t kLargestImage = 16u * 1024u * 1024u;

// Closes the file on every way out.
class FileCloser {
 public:
  explicit FileCloser(plat::Handle file) : file_(file) {}
  ~FileCloser() { plat::Os().CloseFile(file_); }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  plat::Handle file_;
};

// Reads the file into `block` (at least `declared_size` bytes); returns the
// result code.
uint8_t ReadImage(plat::Handle file, uint32_t declared_size, uint8_t* block) {
  plat::Platform& os = plat::Os();

  // The header goes to the start of the block; the read position counts as 32
  // afterwards, whatever the read returned, so a declared size below 32 never
  // matches.  A file that cannot even give the part of the header its
  // declared size covers is shorter than declared.
  const uint32_t header_room = std::min(kHeaderLength, declared_size);
  uint32_t got = 0;
  if (!os.ReadFile(file, block, header_room, &got)) return kImageReadFailed;
  if (got < header_room) return kImageSizeDiffers;

  uint32_t position = kHeaderLength;
  while (position < declared_size) {
    const uint32_t piece = std::min(kReadPiece, declared_size - position);
    got = 0;
    if (!os.ReadFile(file, block + position, piece, &got)) return kImageReadFailed;
    if (got == 0) break;
    position += std::min(got, piece);
  }
  if (position != declared_size) return kImageSizeDiffers;

  // The file must end here: a longer file is not the image the package
  // describes.  The probe reads into a scratch byte, never into the block.
  uint8_t scratch = 0;
  got = 0;
  if (!os.ReadFile(file, &scratch, 1, &got)) return kImageReadFailed;
  if (got != 0) return kImageSizeDiffers;
  return kPackageLoaded;
}

}  // namespace

uint8_t LoadImageFile(const char* name, uint32_t declared_size, uint32_t read_length,
                      uint8_t** block) {
  *block = nullptr;
  if (declared_size > kLargestImage) return kPackageNoMemory;

  // The flash layout reads `read_length` bytes whatever the declared size: the
  // block is made that long, and what the file does not cover reads as
  // erased flash.  Both sizes are at most kLargestImage here or the caller's
  // constant, so taking the larger one cannot overflow.
  const uint32_t length = std::max(declared_size, read_length);
  auto* buffer = static_cast<uint8_t*>(std::malloc(length == 0 ? 1 : length));
  if (buffer == nullptr) return kPackageNoMemory;
  std::memset(buffer, 0, declared_size);
  std::memset(buffer + declared_size, kErasedFlash, length - declared_size);

  plat::Handle file = plat::Os().OpenFileForRead(FoundName(name).c_str());
  if (file == nullptr) {
    std::free(buffer);
    return kImageCannotOpen;
  }
  uint8_t result;
  {
    FileCloser closer(file);
    result = ReadImage(file, declared_size, buffer);
  }
  if (result != 0) {
    std::free(buffer);
    return result;
  }
  *block = buffer;
  return kPackageLoaded;
}

void ReleaseImage(uint8_t*& block) {
  std::free(block);
  block = nullptr;
}
