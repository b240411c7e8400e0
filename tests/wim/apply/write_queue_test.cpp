// The apply's writers, with any number of threads: every blob's bytes reach
// its files in order, chunks are released only once every writer is past
// them, and the first refused write removes its blob's files, stops all
// writing after it and is reported with the system's words.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "wim/apply/write_queue.h"

namespace {

using wim::applying::BlobFiles;
using wim::applying::WriteQueue;

// A file in memory that refuses every write once it holds `limit` bytes.
struct Kept {
  std::vector<std::uint8_t> bytes;
  bool closed = false;
};

class MemoryFile : public wim::VolumeFile {
 public:
  MemoryFile(Kept& kept, std::size_t limit) : kept_(kept), limit_(limit) {}
  bool write(const std::uint8_t* bytes, std::size_t count) override {
    if (kept_.bytes.size() + count > limit_) {
      failed_ = true;
      return false;
    }
    kept_.bytes.insert(kept_.bytes.end(), bytes, bytes + count);
    return true;
  }
  bool close() override {
    kept_.closed = true;
    return !failed_;
  }
  std::string failure() const override { return failed_ ? "No space left on device" : ""; }

 private:
  Kept& kept_;
  std::size_t limit_;
  bool failed_ = false;
};

struct Bench {
  std::vector<Kept> kept = std::vector<Kept>(16);
  std::mutex mutex;
  std::set<std::pair<std::size_t, std::size_t>> removed;  // (blob, destination)
  std::vector<std::size_t> releases;

  WriteQueue queue(unsigned writers) {
    return WriteQueue(
        writers,
        [this](std::size_t work, std::size_t destination) {
          std::lock_guard<std::mutex> lock(mutex);
          removed.emplace(work, destination);
        },
        [this](std::size_t end) {
          std::lock_guard<std::mutex> lock(mutex);
          releases.push_back(end);
        });
  }

  // Blob `work` written to the files kept[first], kept[first + 1], ...
  std::unique_ptr<BlobFiles> files(WriteQueue& queue, std::size_t work, std::uint64_t size,
                                   std::size_t first, std::size_t count,
                                   std::size_t limit = SIZE_MAX) {
    auto made = std::make_unique<BlobFiles>();
    made->work = work;
    made->size = size;
    made->writer = queue.nextWriter();
    for (std::size_t f = 0; f < count; ++f) {
      wim::applying::Output out;
      out.onVolume = std::make_unique<MemoryFile>(kept[first + f], limit);
      made->files.push_back(std::move(out));
      made->written.push_back(f + 1);
    }
    return made;
  }
};

std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

}  // namespace

// Pieces of many sizes gathered into whole MiB, a small file written as it
// is, blobs spread over the writers, chunks released as they are passed.
TEST(WriteQueue, EveryBlobReachesItsFilesWholeAndInOrder) {
  const std::vector<std::uint8_t> large = pattern(3u << 20, 1), small = pattern(5000, 2);
  for (unsigned writers : {0u, 1u, 3u}) {
    SCOPED_TRACE(std::to_string(writers) + " writers");
    Bench bench;
    {
      WriteQueue queue = bench.queue(writers);
      auto first = bench.files(queue, 0, large.size(), 0, 2);
      auto second = bench.files(queue, 1, small.size(), 2, 1);
      std::size_t chunk = 0;
      // The first blob in pieces of 32 KiB, then one of 1 MiB and the rest;
      // the second, a small file, in one piece between them.
      std::size_t at = 0;
      for (; at < (1u << 20); at += 32768) {
        queue.write(*first, large.data() + at, 32768);
        queue.releaseChunks(++chunk);
      }
      queue.finish(std::move(second), small.data(), small.size());
      queue.write(*first, large.data() + at, 1u << 20);
      at += 1u << 20;
      queue.finish(std::move(first), large.data() + at, large.size() - at);
      queue.releaseChunks(++chunk);
      queue.drain();
      EXPECT_FALSE(queue.failed());
    }
    EXPECT_EQ(bench.kept[0].bytes, large);
    EXPECT_EQ(bench.kept[1].bytes, large);
    EXPECT_EQ(bench.kept[2].bytes, small);
    EXPECT_TRUE(bench.kept[0].closed && bench.kept[1].closed && bench.kept[2].closed);
    EXPECT_TRUE(bench.removed.empty());
    if (writers != 0) {
      // Released in order, each end once, up to the last.
      ASSERT_FALSE(bench.releases.empty());
      for (std::size_t i = 1; i < bench.releases.size(); ++i)
        EXPECT_LT(bench.releases[i - 1], bench.releases[i]);
      EXPECT_EQ(bench.releases.back(), 33u);
    }
  }
}

// The second file of a blob refuses a write half-way: the blob's files are
// removed, a blob finished afterwards is not written and is removed, one
// given before stays, the chunks are still released, and the failure names
// the file.
TEST(WriteQueue, TheFirstRefusedWriteRemovesItsBlobAndStopsTheWriting) {
  const std::vector<std::uint8_t> data = pattern(3u << 20, 3);
  for (unsigned writers : {0u, 1u, 2u}) {
    SCOPED_TRACE(std::to_string(writers) + " writers");
    Bench bench;
    WriteQueue queue = bench.queue(writers);
    auto before = bench.files(queue, 0, 100, 0, 1);
    queue.finish(std::move(before), data.data(), 100);
    queue.drain();
    auto failing = bench.files(queue, 1, data.size(), 1, 2, 0);
    // Only the second file of the blob is full.
    failing->files[0].onVolume = std::make_unique<MemoryFile>(bench.kept[1], SIZE_MAX);
    failing->files[1].onVolume = std::make_unique<MemoryFile>(bench.kept[2], 2u << 20);
    queue.write(*failing, data.data(), 2u << 20);
    queue.write(*failing, data.data() + (2u << 20), 1u << 20);
    queue.releaseChunks(1);
    queue.drain();
    ASSERT_TRUE(queue.failed());
    auto after = bench.files(queue, 2, 4096, 3, 1);
    queue.finish(std::move(after), data.data(), 4096);
    queue.finish(std::move(failing), nullptr, 0);
    queue.releaseChunks(2);
    queue.drain();

    const WriteQueue::Failure failure = queue.failure();
    EXPECT_EQ(failure.work, 1u);
    EXPECT_EQ(failure.destination, 2u);  // the second file: destination 2 of the blob
    EXPECT_EQ(failure.why, "No space left on device");
    const std::set<std::pair<std::size_t, std::size_t>> removed{{1, 1}, {1, 2}, {2, 1}};
    EXPECT_EQ(bench.removed, removed);
    EXPECT_EQ(bench.kept[0].bytes.size(), 100u);
    EXPECT_TRUE(bench.kept[3].bytes.empty());
    EXPECT_TRUE(bench.kept[1].closed && bench.kept[2].closed && bench.kept[3].closed);
    if (writers != 0) {
      EXPECT_EQ(bench.releases.back(), 2u);
    }
  }
}

// A large file on the folder's own file system, written as the writers write
// it: whole aligned MiB (past the cache where the file system takes that),
// then a piece from unaligned memory and a short tail (through the cache),
// over a longer file that was there. What is read back is what was written.
TEST(TargetFile, ALargeFileReadsBackWholeWhetherOrNotItWentPastTheCache) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("roamdeck-target-file-" +
       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(folder);
  const std::filesystem::path path = folder / "large";
  const std::vector<std::uint8_t> data = pattern((3u << 20) + 12345, 5);
  { std::ofstream(path, std::ios::binary) << std::string(5u << 20, 'x'); }
  wim::TargetTraits traits = wim::describeTarget(folder);
  traits.directWrites = true;  // asked for; the file system may still refuse
  wim::TargetFile file;
  bool notAFile = true;
  ASSERT_EQ(file.create(path, data.size(), notAFile, &traits), "");
  EXPECT_FALSE(notAFile);
  BlobFiles blob;
  blob.size = data.size();
  blob.gathered.reserve(1u << 20);
  ASSERT_EQ(reinterpret_cast<std::uintptr_t>(blob.gathered.data()) % wim::kDirectAlignment, 0u);
  for (std::size_t at = 0; at < (2u << 20); at += 1u << 20) {
    blob.gathered.clear();
    blob.gathered.append(data.data() + at, 1u << 20);
    ASSERT_TRUE(file.write(blob.gathered.data(), blob.gathered.size()));
  }
  const std::size_t rest = data.size() - (2u << 20);
  std::vector<std::uint8_t> unaligned(rest + 1);
  std::memcpy(unaligned.data() + 1, data.data() + (2u << 20), rest);
  ASSERT_TRUE(file.write(unaligned.data() + 1, rest - 100));
  ASSERT_TRUE(file.write(unaligned.data() + 1 + rest - 100, 100));
  ASSERT_TRUE(file.close()) << file.failure();
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> back((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
  EXPECT_EQ(back, data);
  in.close();
  std::filesystem::remove_all(folder);
}

// A writer held up by one large file while thousands of small ones are
// given after it: the files given ahead, each of them open, stay within the
// bound, and all of them arrive.
TEST(WriteQueue, FilesGivenAheadOfASlowWriterStayWithinTheBound) {
  struct Counted : wim::VolumeFile {
    Counted(std::atomic<int>& open, std::atomic<int>& most, bool slow) : open_(open), slow_(slow) {
      most.store(std::max(most.load(), ++open_));
    }
    bool write(const std::uint8_t*, std::size_t) override {
      if (slow_) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      return true;
    }
    bool close() override {
      if (!closed_) --open_;
      closed_ = true;
      return true;
    }
    std::atomic<int>& open_;
    bool slow_;
    bool closed_ = false;
  };
  std::atomic<int> open{0}, most{0};
  std::atomic<std::size_t> removed{0};
  WriteQueue queue(
      1, [&removed](std::size_t, std::size_t) { ++removed; }, [](std::size_t) {});
  const std::uint8_t byte = 7;
  for (std::size_t blob = 0; blob < 1000; ++blob) {
    auto files = std::make_unique<BlobFiles>();
    files->work = blob;
    files->size = 1;
    wim::applying::Output out;
    out.onVolume = std::make_unique<Counted>(open, most, blob == 0);
    files->files.push_back(std::move(out));
    files->written.push_back(0);
    queue.finish(std::move(files), &byte, 1);
  }
  queue.drain();
  EXPECT_FALSE(queue.failed());
  EXPECT_EQ(removed.load(), 0u);
  EXPECT_EQ(open.load(), 0);
  EXPECT_LE(most.load(), static_cast<int>(WriteQueue::kMostHeld) + 1);
}
