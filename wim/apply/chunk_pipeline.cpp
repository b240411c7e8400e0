#include "wim/apply/chunk_pipeline.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace wim {

namespace {

std::string systemReason(int error) {
  std::string text = std::strerror(error);
#ifdef __GLIBC__
  if (const char* name = strerrorname_np(error)) text += std::string(" (") + name + ")";
#endif
  return text;
}

template <typename Decoder>
Decoder& decoderFor(std::unique_ptr<Decoder>& decoder, std::uint32_t& madeFor,
                    std::uint32_t chunkSize) {
  if (!decoder || madeFor != chunkSize) {
    decoder = std::make_unique<Decoder>(chunkSize);
    madeFor = chunkSize;
  }
  return *decoder;
}

std::string chunkName(const Chunk& chunk) {
  return "the " + std::string(compressionName(chunk.compression)) + " chunk at offset " +
         decimal(chunk.offset) + (chunk.part > 1 ? " of part " + decimal(chunk.part) : "");
}

}  // namespace

bool ChunkDecoder::decode(const Chunk& chunk, le::ByteSpan stored, std::uint8_t* out) {
  if (stored.size != chunk.storedSize) return false;
  if (chunk.storedAsIs()) {
    if (chunk.storedSize != chunk.size) return false;
    if (chunk.size != 0) std::memcpy(out, stored.data, chunk.size);
    return true;
  }
  switch (chunk.compression) {
    case Compression::Xpress:
      return decoderFor(xpress_, xpressChunkSize_, chunk.chunkSize)
          .decompress(stored, out, chunk.size);
    case Compression::Lzx:
      return decoderFor(lzx_, lzxChunkSize_, chunk.chunkSize).decompress(stored, out, chunk.size);
    case Compression::Lzms:
      return decoderFor(lzms_, lzmsChunkSize_, chunk.chunkSize).decompress(stored, out, chunk.size);
    case Compression::None:
      break;
  }
  return false;
}

Outcome readChunk(const Chunk& chunk, const ReadPart& read, ChunkDecoder& decoder,
                  std::vector<std::uint8_t>& stored, std::vector<std::uint8_t>& out) {
  try {
    stored.resize(chunk.storedSize);
    out.resize(chunk.size);
  } catch (const std::bad_alloc&) {
    return failure(Problem::Unreadable, "not enough memory to read " + chunkName(chunk));
  }
  // The system's reason survives the stream's read in errno; none means the
  // file ended before the chunk did.
  errno = 0;
  if (!read(chunk.part, chunk.offset, stored.size(), stored.data())) {
    const int error = errno;
    return failure(Problem::Unreadable,
                   "cannot read " + chunkName(chunk) + ": " +
                       (error != 0 ? systemReason(error) : std::string("the file ends before it")));
  }
  if (!decoder.decode(chunk, le::ByteSpan{stored.data(), stored.size()}, out.data()))
    return failure(Problem::Damaged, chunkName(chunk) + " does not decompress: it is damaged");
  return success();
}

namespace {

// A worker claims consecutive chunks up to this many decoded bytes at once
// (at least one chunk), and at most this many chunks.
constexpr std::size_t kClaimBytes = std::size_t{1} << 20;
constexpr std::size_t kClaimChunks = 16;

}  // namespace

ChunkPipeline::ChunkPipeline(std::vector<Chunk> chunks, MakeReader makeReader, unsigned threads,
                             std::size_t memoryBudget, OnDecoded onDecoded, bool callerReleases)
    : chunks_(std::move(chunks)),
      makeReader_(std::move(makeReader)),
      onDecoded_(std::move(onDecoded)),
      callerReleases_(callerReleases && threads != 0) {
  std::size_t largest = 1;
  for (const Chunk& chunk : chunks_) largest = std::max<std::size_t>(largest, chunk.size);
  const std::size_t wanted = threads == 0 ? 1 : (2 * threads + 2) * kClaimChunks;
  slots_ = std::vector<Slot>(
      std::max<std::size_t>(threads == 0 ? 1 : 2, std::min(wanted, memoryBudget / largest)));
  wakeRoom_ = std::max<std::size_t>(1, std::min(kClaimChunks, slots_.size() / 4));
  if (threads == 0) {
    inlineReader_ = makeReader_();
    return;
  }
  for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
}

ChunkPipeline::~ChunkPipeline() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  workersWake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

bool ChunkPipeline::claimable() const {
  const std::size_t claimed = claimed_.load();
  if (claimed == chunks_.size()) return false;
  const std::size_t room = released_.load() + slots_.size() - claimed;
  return room >= std::min(wakeRoom_, chunks_.size() - claimed);
}

void ChunkPipeline::work() {
  const ReadPart read = makeReader_();
  ChunkDecoder decoder;
  std::vector<std::uint8_t> stored;
  for (;;) {
    std::size_t first = 0, end = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!stopping_ && !claimable()) {
        idleWorkers_.fetch_add(1);
        workersWake_.wait(lock, [this] { return stopping_ || claimable(); });
        idleWorkers_.fetch_sub(1);
      }
      if (stopping_) return;
      first = end = claimed_.load();
      std::size_t bytes = 0;
      const std::size_t window = released_.load() + slots_.size();
      while (end < chunks_.size() && end < window && end - first < kClaimChunks &&
             (end == first || bytes + chunks_[end].size <= kClaimBytes))
        bytes += chunks_[end++].size;
      claimed_.store(end);
    }
    for (std::size_t index = first; index < end; ++index) {
      Slot& slot = slots_[index % slots_.size()];
      slot.outcome = readChunk(chunks_[index], read, decoder, stored, slot.data);
      if (onDecoded_ && slot.outcome.ok())
        onDecoded_(index, le::ByteSpan{slot.data.data(), slot.data.size()});
      slot.holds.store(index + 1);
      if (callerWaitsFor_.load() == index + 1) {
        std::lock_guard<std::mutex> lock(mutex_);
        callerWake_.notify_one();
      }
    }
  }
}

void ChunkPipeline::release(std::size_t end) {
  std::lock_guard<std::mutex> releasing(releaseMutex_);
  if (end <= released_.load(std::memory_order_relaxed)) return;
  released_.store(end);
  if (idleWorkers_.load() != 0 && claimable()) {
    std::lock_guard<std::mutex> lock(mutex_);
    workersWake_.notify_all();
  }
}

Outcome ChunkPipeline::next(le::ByteSpan& data, bool& done) {
  data = le::ByteSpan{};
  done = false;
  // Unless the caller releases chunks itself, it is done with the chunk
  // given last: its slot is free again.
  if (!callerReleases_) release(current_);
  if (current_ == chunks_.size()) {
    done = true;
    return success();
  }
  Slot& slot = slots_[current_ % slots_.size()];
  if (workers_.empty()) {
    slot.outcome =
        readChunk(chunks_[current_], inlineReader_, inlineDecoder_, inlineStored_, slot.data);
    if (onDecoded_ && slot.outcome.ok())
      onDecoded_(current_, le::ByteSpan{slot.data.data(), slot.data.size()});
  } else if (slot.holds.load() != current_ + 1) {
    std::unique_lock<std::mutex> lock(mutex_);
    callerWaitsFor_.store(current_ + 1);
    callerWake_.wait(lock, [this, &slot] { return slot.holds.load() == current_ + 1; });
    callerWaitsFor_.store(0);
  }
  ++current_;
  if (!slot.outcome.ok()) return slot.outcome;
  data = le::ByteSpan{slot.data.data(), slot.data.size()};
  return success();
}

}  // namespace wim
