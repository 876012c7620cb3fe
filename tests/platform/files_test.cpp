#include "platform/files.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/temp_home.h"

namespace nodrel::platform {
namespace {

namespace fs = std::filesystem;

std::size_t entriesIn(const fs::path& directory) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(directory)) ++n;
  return n;
}

TEST(Files, ReadFile) {
  testing::TempHome home;
  const fs::path file = home.path() / "f.bin";
  const std::string bytes("a\0b\xff", 4);
  std::ofstream(file, std::ios::binary) << bytes;
  EXPECT_EQ(readFile(file), bytes);
  std::ofstream(home.path() / "empty");
  EXPECT_EQ(readFile(home.path() / "empty"), "");
  EXPECT_FALSE(readFile(home.path() / "missing"));
  EXPECT_FALSE(readFile(home.path()));  // a directory
}

// Hostile paths a user's settings or a hook payload can name: each returns at once.
TEST(Files, ReadFileRefusesWhatIsNotAPlainFileAndStopsAtTheBound) {
  testing::TempHome home;
  const fs::path fifo = home.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(readFile(fifo));  // no writer: a blocking open would wait forever
  const fs::path zero = home.path() / "zero";
  fs::create_symlink("/dev/zero", zero);
  EXPECT_FALSE(readFile(zero));  // a device reads without end
  if (fs::exists("/proc/self/status")) {
    EXPECT_EQ(readFile("/proc/self/status"), "");  // reports no size, so nothing is read
  }
  const fs::path file = home.path() / "big";
  std::ofstream(file, std::ios::binary) << std::string(100'000, 'x');
  EXPECT_EQ(readFile(file, 10)->size(), 10u);
  EXPECT_EQ(readFile(file)->size(), 100'000u);
}

TEST(Files, ReadFileFromAnOffset) {
  testing::TempHome home;
  const fs::path file = home.path() / "log";
  std::ofstream(file, std::ios::binary) << "0123456789";
  struct Case {
    std::uint64_t offset;
    std::size_t maxBytes;
    std::string want;
  };
  const Case cases[] = {
      {0, 100, "0123456789"}, {4, 100, "456789"}, {4, 3, "456"}, {10, 100, ""}, {25, 100, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    auto tail = readFileFrom(file, c.offset, c.maxBytes);
    ASSERT_TRUE(tail);
    EXPECT_EQ(tail->bytes, c.want);
    EXPECT_EQ(tail->size, 10u);  // past the end: the size tells the caller the file is shorter
  }
  const fs::path fifo = home.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(readFileFrom(fifo, 0));
  EXPECT_FALSE(readFileFrom(home.path() / "missing", 0));
}

TEST(Files, AtomicWriteCreatesAndReplaces) {
  testing::TempHome home;
  const fs::path file = home.path() / "out.json";
  atomicWriteFile(file, "first");
  EXPECT_EQ(readFile(file), "first");
  const std::string big(3'000'000, 'z');
  atomicWriteFile(file, big);
  EXPECT_EQ(readFile(file), big);
  atomicWriteFile(file, "");
  EXPECT_EQ(readFile(file), "");
  EXPECT_EQ(entriesIn(home.path()), 1u);  // no temporary file left behind
}

TEST(Files, ReplaceFileWithoutSyncStillReplacesWhole) {
  testing::TempHome home;
  const fs::path file = home.path() / "state.json";
  replaceFile(file, "first");
  replaceFile(file, "second");
  EXPECT_EQ(readFile(file), "second");
  EXPECT_EQ(entriesIn(home.path()), 1u);
  EXPECT_THROW(replaceFile(home.path() / "missing" / "x", "y"), FileError);
}

TEST(Files, AtomicWriteThroughANamedTemporary) {
  testing::TempHome home;
  const fs::path file = home.path() / "settings.json";
  const fs::path temporary = home.path() / "settings.json.tmp";
  atomicWriteFile(temporary, "stale from a crash");
  atomicWriteFile(file, "new", "settings.json.tmp");
  EXPECT_EQ(readFile(file), "new");
  EXPECT_FALSE(fs::exists(temporary));
  // A failed replace (the target is a non-empty directory) leaves neither file changed.
  const fs::path blocked = home.path() / "blocked";
  fs::create_directories(blocked / "inside");
  EXPECT_THROW(atomicWriteFile(blocked, "x", "blocked.tmp"), FileError);
  EXPECT_TRUE(fs::is_directory(blocked / "inside"));
  EXPECT_FALSE(fs::exists(home.path() / "blocked.tmp"));
}

TEST(Files, AtomicWriteKeepsPermissions) {
  testing::TempHome home;
  const fs::path file = home.path() / "secret";
  atomicWriteFile(file, "v1");
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  atomicWriteFile(file, "v2");
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  atomicWriteFile(file, "v3");
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(readFile(file), "v3");
}

TEST(Files, AtomicWriteFailureLeavesFileAlone) {
  testing::TempHome home;
  EXPECT_THROW(atomicWriteFile(home.path() / "no" / "such" / "dir" / "f", "x"), FileError);

  // The target is a directory: the rename fails and the temporary file is removed again.
  const fs::path directory = home.path() / "d";
  fs::create_directory(directory);
  EXPECT_THROW(atomicWriteFile(directory, "x"), FileError);
  EXPECT_TRUE(fs::is_directory(directory));
  EXPECT_EQ(entriesIn(home.path()), 1u);

  if (::geteuid() != 0) {  // root writes anywhere
    const fs::path locked = home.path() / "ro";
    fs::create_directory(locked);
    atomicWriteFile(locked / "f", "kept");
    ASSERT_EQ(::chmod(locked.c_str(), 0500), 0);
    EXPECT_THROW(atomicWriteFile(locked / "f", "lost"), FileError);
    ::chmod(locked.c_str(), 0700);
    EXPECT_EQ(readFile(locked / "f"), "kept");
  }
}

TEST(Files, LockExcludesOtherHolders) {
  testing::TempHome home;
  const fs::path file = home.path() / "shared.json";
  std::atomic<bool> acquired{false};
  std::thread other;
  {
    FileLock lock(file);
    EXPECT_TRUE(fs::exists(file.string() + ".lock"));
    // A second open of the lock file, as another program would make, must wait.
    other = std::thread([&] {
      FileLock second(file);
      acquired = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(acquired);
  }
  other.join();
  EXPECT_TRUE(acquired);
  EXPECT_THROW(FileLock(home.path() / "missing" / "x"), FileError);
}

}  // namespace
}  // namespace nodrel::platform
