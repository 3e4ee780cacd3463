#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "testing/temp_dir.h"

namespace zel {
namespace {

namespace fs = std::filesystem;

// Marks the errno a function reported, so a test sees which one went through the mapping.
HRESULT Tagged(int err) { return static_cast<HRESULT>(0xA0000000u | static_cast<uint32_t>(err)); }

class FileSystemTest : public ::testing::Test {
 protected:
  void TearDown() override { SetReplaceFaultForTesting(ReplaceStep::kNone, 0); }

  void Write(const std::string& path, std::string_view text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  std::string Read(const std::string& path) {
    std::string text;
    EXPECT_EQ(S_OK, ReadWholeFile(path, &text));
    return text;
  }

  TempDir dir_{"fs"};
  std::string file_ = dir_.File("data");
};

TEST_F(FileSystemTest, ReadRefusesWhatIsNotARegularFileWithoutBlocking) {
  std::string text = "left over";
  EXPECT_EQ(Tagged(ENOENT), ReadWholeFile(file_, &text, SIZE_MAX, Tagged));
  EXPECT_EQ("", text);
  EXPECT_EQ(Tagged(EISDIR), ReadWholeFile(dir_.path(), &text, SIZE_MAX, Tagged));
  // A FIFO with no writer would block an ordinary open for good.
  std::string fifo = dir_.File("fifo");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  EXPECT_EQ(Tagged(EISDIR), ReadWholeFile(fifo, &text, SIZE_MAX, Tagged));
}

TEST_F(FileSystemTest, ReadStopsAtTheLimit) {
  Write(file_, "12345");
  std::vector<uint8_t> bytes;
  EXPECT_EQ(S_OK, ReadWholeFile(file_, &bytes, 5));
  EXPECT_EQ((std::vector<uint8_t>{'1', '2', '3', '4', '5'}), bytes);
  EXPECT_EQ(Tagged(EFBIG), ReadWholeFile(file_, &bytes, 4, Tagged));
  EXPECT_TRUE(bytes.empty());
  Write(file_, "");
  EXPECT_EQ(S_OK, ReadWholeFile(file_, &bytes, 0));
}

TEST_F(FileSystemTest, ReplaceFailingAtAnyStepBeforeTheRenameKeepsTheOldFile) {
  ASSERT_EQ(S_OK, ReplaceFileAtomically(file_, std::string_view("old"), 0600));
  for (ReplaceStep step : {ReplaceStep::kCreateTemp, ReplaceStep::kWrite, ReplaceStep::kSyncFile,
                           ReplaceStep::kRename}) {
    SetReplaceFaultForTesting(step, ENOSPC);
    EXPECT_EQ(Tagged(ENOSPC), ReplaceFileAtomically(file_, std::string_view("new"), 0600, Tagged));
    EXPECT_EQ("old", Read(file_));
    EXPECT_FALSE(fs::exists(file_ + ".tmp"));
  }
  // After the rename only the directory flush can fail: the new bytes are already in place.
  SetReplaceFaultForTesting(ReplaceStep::kSyncDir, EIO);
  EXPECT_EQ(Tagged(EIO), ReplaceFileAtomically(file_, std::string_view("new"), 0600, Tagged));
  EXPECT_EQ("new", Read(file_));
}

TEST_F(FileSystemTest, ReplaceStartsAfreshOverAStaleTemporary) {
  // A temporary left by a crash, read-only and holding other bytes: the new file gets the mode
  // asked for and none of the stale bytes.
  Write(file_ + ".tmp", "stale and longer than the new bytes");
  ASSERT_EQ(0, ::chmod((file_ + ".tmp").c_str(), 0444));
  mode_t old_mask = ::umask(022);
  EXPECT_EQ(S_OK, ReplaceFileAtomically(file_, std::string_view("new"), 0640));
  ::umask(old_mask);
  EXPECT_EQ("new", Read(file_));
  EXPECT_EQ(fs::perms(0640), fs::status(file_).permissions());
  EXPECT_FALSE(fs::exists(file_ + ".tmp"));
}

TEST_F(FileSystemTest, MoveAsideNeverOverwritesAnEarlierCopy) {
  std::string first, second;
  EXPECT_EQ(Tagged(ENOENT), MoveFileAside(file_, &first, Tagged));
  Write(file_, "one");
  ASSERT_EQ(S_OK, MoveFileAside(file_, &first));
  Write(file_, "two");
  ASSERT_EQ(S_OK, MoveFileAside(file_, &second));  // usually within the same second
  EXPECT_NE(first, second);
  EXPECT_EQ(0u, first.rfind(file_ + ".corrupt-", 0));
  EXPECT_EQ("one", Read(first));
  EXPECT_EQ("two", Read(second));
  EXPECT_FALSE(fs::exists(file_));
}

TEST_F(FileSystemTest, MakeDirectoriesCreatesParentsAndRefusesAFileInThePath) {
  std::string nested = dir_.File("a/b/c");
  EXPECT_EQ(S_OK, MakeDirectories(nested, 0750));
  EXPECT_TRUE(fs::is_directory(nested));
  EXPECT_EQ(S_OK, MakeDirectories(nested + "/", 0750));  // existing, trailing slash
  Write(file_, "x");
  EXPECT_EQ(Tagged(ENOTDIR), MakeDirectories(file_, 0750, Tagged));
  EXPECT_EQ(Tagged(ENOTDIR), MakeDirectories(file_ + "/below", 0750, Tagged));
}

TEST(ParentDirectoryTest, Forms) {
  EXPECT_EQ("/a/b", ParentDirectory("/a/b/c"));
  EXPECT_EQ(".", ParentDirectory("c"));
  EXPECT_EQ("/", ParentDirectory("/c"));
}

}  // namespace
}  // namespace zel
