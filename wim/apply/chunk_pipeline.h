// Reading and decoding a resource's chunks ahead of the writer: worker
// threads read and decompress the chunks that come next while the caller
// hashes and writes the ones before, and the caller gets them back in order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bytes/little_endian.h"
#include "wim/codecs/lzms_decoder.h"
#include "wim/codecs/lzx_decoder.h"
#include "wim/format/outcome.h"
#include "wim/format/resource_chunks.h"
#include "wim/codecs/xpress_decoder.h"

namespace wim {

// Decodes chunks of any compression, keeping one decoder of each kind for
// the chunk size it was made for.
class ChunkDecoder {
 public:
  // `stored` holds the chunk's stored bytes; `out` takes chunk.size bytes.
  bool decode(const Chunk& chunk, le::ByteSpan stored, std::uint8_t* out);

 private:
  std::unique_ptr<XpressDecoder> xpress_;
  std::unique_ptr<LzxDecoder> lzx_;
  std::unique_ptr<LzmsDecoder> lzms_;
  std::uint32_t xpressChunkSize_ = 0;
  std::uint32_t lzxChunkSize_ = 0;
  std::uint32_t lzmsChunkSize_ = 0;
};

// Reads and decodes one chunk with the caller's reader and decoder; `stored`
// is scratch for the stored bytes. Fails with a reason naming the chunk.
Outcome readChunk(const Chunk& chunk, const ReadPart& read, ChunkDecoder& decoder,
                  std::vector<std::uint8_t>& stored, std::vector<std::uint8_t>& out);

// Makes the reader of one thread: each worker reads through file handles of
// its own.
using MakeReader = std::function<ReadPart()>;

// Work done on a chunk's decoded bytes by the thread that decoded it, before
// the caller gets it (for the apply: the SHA-1 of every blob that lies wholly
// inside the chunk). Called for each chunk once, from any worker; what it
// stores for chunk `index` is visible to the caller once next() gives that
// chunk.
using OnDecoded = std::function<void(std::size_t index, le::ByteSpan data)>;

class ChunkPipeline {
 public:
  // With `threads` 0 every chunk is read and decoded by the caller of next().
  // Decoded chunks waiting for the caller take at most about `memoryBudget`
  // bytes (at least two chunks' worth). With `callerReleases` a chunk stays
  // valid after the next call too, until release() says it is done with.
  ChunkPipeline(std::vector<Chunk> chunks, MakeReader makeReader, unsigned threads,
                std::size_t memoryBudget, OnDecoded onDecoded = nullptr,
                bool callerReleases = false);
  ~ChunkPipeline();
  ChunkPipeline(const ChunkPipeline&) = delete;
  ChunkPipeline& operator=(const ChunkPipeline&) = delete;

  // The next chunk's decoded bytes, valid until the next call. Fails when a
  // chunk cannot be read or decoded; after the last chunk, it gives an empty
  // span and `done` true.
  Outcome next(le::ByteSpan& data, bool& done);

  // Where the caller releases them: the chunks before `end` are done with
  // and their memory may take the chunks that come later. Only chunks that
  // next() has given; from any thread, `end` only grows.
  void release(std::size_t end);

 private:
  struct Slot {
    std::vector<std::uint8_t> data;
    Outcome outcome;
    std::atomic<std::size_t> holds{0};  // the index + 1 of the chunk decoded into it
  };
  void work();
  // Whether a worker finds work: chunks left, and free slots for a whole
  // claim (or for all that is left), so that a sleeping worker is not woken
  // for every single slot the caller frees.
  bool claimable() const;

  // The threads wake each other only when one of them sleeps: a worker that
  // finds no free slot and the caller waiting for its chunk each say so in
  // an atomic before they sleep, and the other side looks at it after its
  // change (both sequentially consistent, so that no wake-up is lost). Small
  // chunks are claimed several at a time.
  std::vector<Chunk> chunks_;
  MakeReader makeReader_;
  OnDecoded onDecoded_;
  std::vector<Slot> slots_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::mutex releaseMutex_;
  std::condition_variable workersWake_;
  std::condition_variable callerWake_;
  std::atomic<std::size_t> claimed_{0};   // chunks handed to workers (changed under mutex_)
  std::size_t wakeRoom_ = 1;              // the free slots that make a claim worth it
  std::atomic<std::size_t> released_{0};  // chunks the caller is done with
  std::atomic<unsigned> idleWorkers_{0};
  std::atomic<std::size_t> callerWaitsFor_{0};  // the chunk's index + 1, 0 when it does not wait
  std::size_t current_ = 0;                     // the next chunk next() gives
  bool callerReleases_ = false;
  bool stopping_ = false;
  // For the caller's own decoding when there are no workers.
  ReadPart inlineReader_;
  ChunkDecoder inlineDecoder_;
  std::vector<std::uint8_t> inlineStored_;
};

}  // namespace wim
