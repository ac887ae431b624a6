// Firmware image loading: lengths, read pieces, failures and the block.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "package/package.h"
#include "scratch_dir.h"

namespace {

// Records the size of every read request.
class ReadRecordingPlatform : public FakePlatform {
 public:
  bool ReadFile(plat::Handle file, void* buffer, uint32_t size, uint32_t* read) override {
    sizes.push_back(size);
    return FakePlatform::ReadFile(file, buffer, size, read);
  }
  std::vector<uint32_t> sizes;
};

class ImageTest : public ::testing::Test {
 protected:
  uint8_t Load(uint32_t declared, uint32_t read_length = 0) {
    ReleaseImage(block_);
    return LoadImageFile("image.bin", declared, read_length, &block_);
  }
  void TearDown() override { ReleaseImage(block_); }

  ReadRecordingPlatform os_;
  ScratchDir dir_;
  uint8_t* block_ = nullptr;
};

TEST_F(ImageTest, ResultCodesByLength) {
  struct Case {
    const char* name;
    int file_size;  // -1: no file
    uint32_t declared;
    uint8_t code;
  } cases[] = {
      {"exact length", 5000, 5000, 0},
      {"header only", 32, 32, 0},
      {"one byte short", 4999, 5000, 12},
      {"one byte long", 5001, 5000, 12},
      {"declared below the header", 31, 31, 12},
      {"declared 0, file present", 64, 0, 12},
      {"declared 0, empty file", 0, 0, 12},
      {"file shorter than its header", 10, 32, 12},
      {"empty file", 0, 32, 12},
      {"no file", -1, 100, 10},
      {"no file, size 0", -1, 0, 10},
      {"negative size read as unsigned", 100, 0xFFFFFFFFu, 5},
      {"size no memory block is made for", 100, 0x80000000u, 5},
      {"whole main flash layout", 360480, 360480, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir_.path() / "image.bin");
    if (c.file_size >= 0) dir_.WriteImage("image.bin", static_cast<uint32_t>(c.file_size));
    EXPECT_EQ(Load(c.declared), c.code);
    if (c.code == 0) {
      ASSERT_NE(block_, nullptr);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(block_), c.declared),
                ScratchDir::Pattern(c.declared));
    } else {
      EXPECT_EQ(block_, nullptr);
    }
  }
}

TEST_F(ImageTest, ReadsHeaderThenPiecesOfAtMost1024) {
  dir_.WriteImage("image.bin", 32 + 2048 + 5);
  ASSERT_EQ(Load(32 + 2048 + 5), 0);
  // Header, two whole pieces, the rest, then the check that the file ends.
  EXPECT_EQ(os_.sizes, (std::vector<uint32_t>{32, 1024, 1024, 5, 1}));

  os_.sizes.clear();
  dir_.WriteImage("image.bin", 20);
  EXPECT_EQ(Load(20), 12);
  EXPECT_EQ(os_.sizes, (std::vector<uint32_t>{20}));  // never more than the declared size
}

TEST_F(ImageTest, BlockIsPaddedWithErasedFlashToTheReadLength) {
  dir_.WriteImage("image.bin", 131072);
  ASSERT_EQ(Load(131072, kMainImageReadLength), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block_), 131072), ScratchDir::Pattern(131072));
  for (uint32_t i = 131072; i < kMainImageReadLength; ++i) {
    ASSERT_EQ(block_[i], 0xFF) << "offset " << i;
  }

  // A declared size beyond the read length gets exactly the file.
  dir_.WriteImage("image.bin", 20000);
  ASSERT_EQ(Load(20000, kBootImageReadLength), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block_), 20000), ScratchDir::Pattern(20000));
}

TEST_F(ImageTest, ReadFailures) {
  struct Case {
    const char* name;
    int failing_read;
    uint8_t code;
  } cases[] = {
      {"header read", 0, 11},
      {"first piece", 1, 11},
      {"last piece", 3, 11},
      {"end-of-file check", 4, 11},
  };
  dir_.WriteImage("image.bin", 32 + 2048 + 5);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int failing = c.failing_read;
    os_.fail_read = [failing](int n) { return n == failing; };
    EXPECT_EQ(Load(32 + 2048 + 5), c.code);
    EXPECT_EQ(block_, nullptr);
  }
}

TEST_F(ImageTest, EmptyNameIsNotFound) {
  EXPECT_EQ(LoadImageFile("", 100, 0, &block_), 10);
  EXPECT_EQ(block_, nullptr);
}

}  // namespace
