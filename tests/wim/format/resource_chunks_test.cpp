// Chunk tables and solid resource headers built by hand, the read-ahead
// pipeline over them, and link reparse data: the cases wimlib's images do
// not reach (8-byte tables, hostile tables, failures in the middle of a run
// of worker threads).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "wim/apply/chunk_pipeline.h"
#include "wim/apply/reparse_data.h"
#include "wim/format/resource_chunks.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void putLittleEndian(Bytes& bytes, std::size_t at, std::size_t width, std::uint64_t value) {
  if (bytes.size() < at + width) bytes.resize(at + width);
  for (std::size_t i = 0; i < width; ++i)
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A "file" in memory; reads beyond it fail as a short file would.
wim::ReadPart readerOf(const Bytes& file) {
  return [&file](std::uint16_t part, std::uint64_t offset, std::size_t count, std::uint8_t* out) {
    if (part != 1 || offset > file.size() || count > file.size() - offset) return false;
    if (count != 0) std::memcpy(out, file.data() + offset, count);
    return true;
  };
}

wim::ResourceHeader compressedAt(std::uint64_t offset, std::uint64_t stored,
                                 std::uint64_t original) {
  wim::ResourceHeader resource;
  resource.offset = offset;
  resource.storedSize = stored;
  resource.originalSize = original;
  resource.flags = wim::kResourceCompressed;
  return resource;
}

TEST(ChunkTable, FourByteEntriesGiveEveryChunkButTheFirst) {
  // Three chunks of a 4096-byte chunk size: 4096, 4096 and 100 bytes, the
  // second stored as is (4096 stored bytes).
  Bytes file(16, 0xEE);
  putLittleEndian(file, 16, 4, 30);         // chunk 2 starts 30 bytes in
  putLittleEndian(file, 20, 4, 30 + 4096);  // chunk 3
  file.resize(24 + 30 + 4096 + 50, 0x11);
  std::vector<wim::Chunk> chunks;
  const wim::Outcome outcome =
      wim::chunksOfResource(compressedAt(16, file.size() - 16, 8292), 1, file.size(),
                            wim::Compression::Lzx, 4096, readerOf(file), chunks);
  ASSERT_TRUE(outcome.ok()) << outcome.reason;
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].offset, 24u);
  EXPECT_EQ(chunks[0].storedSize, 30u);
  EXPECT_EQ(chunks[0].size, 4096u);
  EXPECT_FALSE(chunks[0].storedAsIs());
  EXPECT_TRUE(chunks[1].storedAsIs());
  EXPECT_EQ(chunks[2].offset, 24u + 30 + 4096);
  EXPECT_EQ(chunks[2].storedSize, 50u);
  EXPECT_EQ(chunks[2].size, 100u);
  EXPECT_EQ(chunks[2].chunkSize, 4096u);
}

TEST(ChunkTable, ResourcesOverFourGigabytesUseEightByteEntries) {
  // 4 GiB + 1 byte in 64 MiB chunks: 65 chunks, 64 eight-byte entries, every
  // chunk 10 stored bytes but the last, which holds its one byte as is.
  const std::uint64_t original = (4ull << 30) + 1;
  const std::uint32_t chunkSize = wim::kMaxChunkSize;
  Bytes file;
  for (std::uint64_t i = 1; i < 65; ++i) putLittleEndian(file, (i - 1) * 8, 8, i * 10);
  file.resize(64 * 8 + 64 * 10 + 1, 0);
  std::vector<wim::Chunk> chunks;
  const wim::Outcome outcome =
      wim::chunksOfResource(compressedAt(0, file.size(), original), 1, file.size(),
                            wim::Compression::Lzms, chunkSize, readerOf(file), chunks);
  ASSERT_TRUE(outcome.ok()) << outcome.reason;
  ASSERT_EQ(chunks.size(), 65u);
  EXPECT_EQ(chunks[64].offset, 64u * 8 + 640);
  EXPECT_EQ(chunks[64].size, 1u);
  EXPECT_TRUE(chunks[64].storedAsIs());
}

TEST(ChunkTable, HostileTablesAreRefused) {
  struct Case {
    const char* what;
    std::uint32_t second;  // entry for chunk 2
    std::uint64_t stored;
    std::uint64_t original;
    std::uint32_t chunkSize;
  } cases[] = {
      {"chunk 2 before chunk 1", 0, 200, 8000, 4096},
      {"chunk 2 past the resource", 500, 200, 8000, 4096},
      {"a chunk larger than its data", 4097 + 5, 4200, 8000, 4096},
      {"more chunks than stored bytes", 1, 3, 1u << 30, 4096},
      {"a chunk size no power of two", 10, 200, 8000, 5000},
      {"a chunk size too large", 10, 200, 8000, 1u << 27},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.what);
    Bytes file;
    putLittleEndian(file, 0, 4, each.second);
    file.resize(static_cast<std::size_t>(each.stored), 0);
    std::vector<wim::Chunk> chunks;
    EXPECT_FALSE(wim::chunksOfResource(compressedAt(0, each.stored, each.original), 1, file.size(),
                                       wim::Compression::Xpress, each.chunkSize, readerOf(file),
                                       chunks)
                     .ok());
  }
  // A resource that reaches past the end of its file.
  Bytes file(100, 0);
  std::vector<wim::Chunk> chunks;
  EXPECT_FALSE(wim::chunksOfResource(compressedAt(50, 60, 4096), 1, file.size(),
                                     wim::Compression::Xpress, 4096, readerOf(file), chunks)
                   .ok());
}

TEST(SolidResource, HeaderAndChunkSizesGiveTheChunks) {
  Bytes file(8, 0);
  putLittleEndian(file, 8, 8, 10000);  // unpacked size
  putLittleEndian(file, 16, 4, 4096);  // chunk size
  putLittleEndian(file, 20, 4, 3);     // LZMS
  putLittleEndian(file, 24, 4, 100);
  putLittleEndian(file, 28, 4, 4096);  // stored as is
  putLittleEndian(file, 32, 4, 7);
  file.resize(36 + 100 + 4096 + 7, 0);
  wim::ResourceHeader resource;
  resource.offset = 8;
  resource.storedSize = file.size() - 8;
  resource.originalSize = wim::kSolidResourceMarker;
  resource.flags = wim::kResourceSolid;
  std::vector<wim::Chunk> chunks;
  std::uint64_t unpacked = 0;
  wim::Outcome outcome =
      wim::chunksOfSolidResource(resource, 1, file.size(), readerOf(file), chunks, unpacked);
  ASSERT_TRUE(outcome.ok()) << outcome.reason;
  EXPECT_EQ(unpacked, 10000u);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].compression, wim::Compression::Lzms);
  EXPECT_EQ(chunks[1].offset, 36u + 100);
  EXPECT_TRUE(chunks[1].storedAsIs());
  EXPECT_EQ(chunks[2].size, 10000u - 8192);

  putLittleEndian(file, 20, 4, 4);  // no such compression
  chunks.clear();
  EXPECT_EQ(wim::chunksOfSolidResource(resource, 1, file.size(), readerOf(file), chunks, unpacked)
                .problem,
            wim::Problem::Unsupported);
  putLittleEndian(file, 20, 4, 3);
  putLittleEndian(file, 32, 4, 8);  // one byte more than is there
  EXPECT_FALSE(
      wim::chunksOfSolidResource(resource, 1, file.size(), readerOf(file), chunks, unpacked).ok());
  putLittleEndian(file, 32, 4, 7);
  putLittleEndian(file, 8, 8, 1ull << 40);  // a terabyte from a few kilobytes
  EXPECT_FALSE(
      wim::chunksOfSolidResource(resource, 1, file.size(), readerOf(file), chunks, unpacked).ok());
}

// Chunks stored as is, each filled with its own number, so that order and
// content show in the output.
struct NumberedChunks {
  Bytes file;
  std::vector<wim::Chunk> chunks;
};

NumberedChunks numberedChunks(std::size_t count, std::uint32_t size) {
  NumberedChunks made;
  for (std::size_t i = 0; i < count; ++i) {
    made.chunks.push_back(wim::Chunk{1, made.file.size(), size, size, wim::Compression::None, 0});
    made.file.insert(made.file.end(), size, static_cast<std::uint8_t>(i));
  }
  return made;
}

TEST(ChunkPipeline, GivesEveryChunkInOrderWithAnyNumberOfThreads) {
  const NumberedChunks made = numberedChunks(200, 1000);
  for (unsigned threads : {0u, 1u, 2u, 5u}) {
    for (std::size_t budget : {std::size_t{1}, std::size_t{4000}, std::size_t{1} << 20}) {
      SCOPED_TRACE(std::to_string(threads) + " threads, budget " + std::to_string(budget));
      wim::ChunkPipeline pipeline(
          made.chunks, [&made] { return readerOf(made.file); }, threads, budget);
      for (std::size_t i = 0; i < made.chunks.size(); ++i) {
        le::ByteSpan data;
        bool done = true;
        ASSERT_TRUE(pipeline.next(data, done).ok());
        ASSERT_FALSE(done);
        ASSERT_EQ(data.size, 1000u);
        ASSERT_EQ(data.data[0], static_cast<std::uint8_t>(i));
        ASSERT_EQ(data.data[999], static_cast<std::uint8_t>(i));
      }
      le::ByteSpan data;
      bool done = false;
      EXPECT_TRUE(pipeline.next(data, done).ok());
      EXPECT_TRUE(done);
    }
  }
}

TEST(ChunkPipeline, AFailedChunkFailsAtItsTurnAndStopsCleanly) {
  NumberedChunks made = numberedChunks(50, 300);
  made.chunks[20].offset = made.file.size();               // past the end: unreadable
  made.chunks[30].compression = wim::Compression::Xpress;  // garbage to decode
  made.chunks[30].storedSize = 299;
  made.chunks[30].chunkSize = 4096;
  for (unsigned threads : {0u, 2u}) {
    wim::ChunkPipeline pipeline(
        made.chunks, [&made] { return readerOf(made.file); }, threads, 1u << 20);
    le::ByteSpan data;
    bool done = false;
    for (std::size_t i = 0; i < 20; ++i) ASSERT_TRUE(pipeline.next(data, done).ok());
    const wim::Outcome failed = pipeline.next(data, done);
    EXPECT_EQ(failed.problem, wim::Problem::Unreadable);
    EXPECT_NE(failed.reason.find("offset"), std::string::npos) << failed.reason;
    // Destroyed here with workers still ahead: they must stop, not hang.
  }
  // The decoding failure, read up to.
  made.chunks[20].offset = 20 * 300;
  wim::ChunkPipeline pipeline(
      made.chunks, [&made] { return readerOf(made.file); }, 2, 1u << 20);
  le::ByteSpan data;
  bool done = false;
  for (std::size_t i = 0; i < 30; ++i) ASSERT_TRUE(pipeline.next(data, done).ok());
  EXPECT_EQ(pipeline.next(data, done).problem, wim::Problem::Damaged);
}

TEST(ChunkPipeline, ChunksTheCallerHoldsAreNotReusedBeforeItReleasesThem) {
  // Three chunks' worth of memory: the caller holds all three while a
  // worker is ready to decode the fourth into the first one's place.
  const NumberedChunks made = numberedChunks(40, 1000);
  wim::ChunkPipeline pipeline(
      made.chunks, [&made] { return readerOf(made.file); }, 2, 3000, nullptr, true);
  std::vector<le::ByteSpan> held;
  for (std::size_t i = 0; i < 3; ++i) {
    le::ByteSpan data;
    bool done = true;
    ASSERT_TRUE(pipeline.next(data, done).ok());
    held.push_back(data);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // time to overwrite, were it free
  for (std::size_t i = 0; i < held.size(); ++i) {
    EXPECT_EQ(held[i].data[0], static_cast<std::uint8_t>(i));
    EXPECT_EQ(held[i].data[999], static_cast<std::uint8_t>(i));
  }
  // Released from another thread, one chunk at a time, each as the caller
  // gets the next: the chunk given is always its own.
  for (std::size_t i = 3; i < made.chunks.size(); ++i) {
    std::thread releasing([&pipeline, i] { pipeline.release(i - 2); });
    le::ByteSpan data;
    bool done = true;
    ASSERT_TRUE(pipeline.next(data, done).ok());
    releasing.join();
    ASSERT_EQ(data.data[0], static_cast<std::uint8_t>(i));
    ASSERT_EQ(data.data[999], static_cast<std::uint8_t>(i));
    pipeline.release(i - 1);
  }
  le::ByteSpan data;
  bool done = false;
  EXPECT_TRUE(pipeline.next(data, done).ok());
  EXPECT_TRUE(done);
}

Bytes linkData(const std::u16string& substitute, const std::u16string& print, std::uint32_t flags) {
  Bytes data;
  const std::size_t subBytes = substitute.size() * 2, printBytes = print.size() * 2;
  putLittleEndian(data, 0, 2, 0);
  putLittleEndian(data, 2, 2, subBytes);
  putLittleEndian(data, 4, 2, subBytes);
  putLittleEndian(data, 6, 2, printBytes);
  putLittleEndian(data, 8, 4, flags);
  for (char16_t unit : substitute + print) {
    data.push_back(static_cast<std::uint8_t>(unit));
    data.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return data;
}

TEST(LinkReparseData, TargetsBecomePosixLinkText) {
  wim::LinkTarget target;
  Bytes data = linkData(u"..\\a\\b.txt", u"..\\a\\b.txt", wim::kSymlinkFlagRelative);
  ASSERT_TRUE(wim::readLinkTarget(wim::kReparseTagSymlink, {data.data(), data.size()}, target));
  EXPECT_TRUE(target.relative);
  EXPECT_EQ(wim::posixLinkText(target), u"../a/b.txt");

  data = linkData(u"\\??\\C:\\usr\\bin\\env", u"C:\\usr\\bin\\env", 0);
  ASSERT_TRUE(wim::readLinkTarget(wim::kReparseTagSymlink, {data.data(), data.size()}, target));
  EXPECT_FALSE(target.relative);
  EXPECT_EQ(wim::posixLinkText(target), u"/usr/bin/env");

  // Other tags, and names that reach past the data, are no links.
  EXPECT_FALSE(wim::readLinkTarget(0x80000017, {data.data(), data.size()}, target));
  putLittleEndian(data, 2, 2, 0xFFFE);
  EXPECT_FALSE(wim::readLinkTarget(wim::kReparseTagSymlink, {data.data(), data.size()}, target));
  const Bytes tiny = {1, 0, 2};
  EXPECT_FALSE(wim::readLinkTarget(wim::kReparseTagSymlink, {tiny.data(), tiny.size()}, target));
}

}  // namespace
