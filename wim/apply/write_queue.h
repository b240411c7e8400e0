// The writes of the apply, handed to threads of their own. The thread that
// puts the image's data in order and checks it would otherwise also wait
// for every copy into the file system's cache, and on a disk-backed file
// system that copy costs as much as decoding the data: with the writes on
// writer threads both cores stay busy. Each blob's files are written by one
// writer, in order; a writer keeps the decoded chunks it still has to write
// from being reused, and tells when it is done with them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "wim/apply/apply_target.h"
#include "wim/apply/volume_writer.h"

namespace wim::applying {

// A destination being written: a file under the target folder, or on a
// volume written directly.
struct Output {
  TargetFile file;
  std::unique_ptr<VolumeFile> onVolume;

  bool isOpen() const { return onVolume != nullptr || file.isOpen(); }
  bool write(const std::uint8_t* bytes, std::size_t count) {
    return onVolume ? onVolume->write(bytes, count) : file.write(bytes, count);
  }
  bool close() { return onVolume ? onVolume->close() : file.close(); }
  std::string failure() const { return onVolume ? onVolume->failure() : file.failure(); }
};

// Memory aligned for writes past the system's cache.
class AlignedBytes {
 public:
  AlignedBytes() = default;
  ~AlignedBytes();
  AlignedBytes(AlignedBytes&& other) noexcept
      : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
  }
  AlignedBytes& operator=(AlignedBytes&&) = delete;
  AlignedBytes(const AlignedBytes&) = delete;
  AlignedBytes& operator=(const AlignedBytes&) = delete;

  // Room for `capacity` bytes, made once.
  void reserve(std::size_t capacity);
  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  // Appends as much of the bytes as there is room for; how much that was.
  std::size_t append(const std::uint8_t* bytes, std::size_t count);
  void clear() { size_ = 0; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The files that one blob's data goes to at once, with what is gathered for
// them: written in pieces of 1 MiB (the last one fewer), each aligned in
// memory and in the files (write_queue.cpp).
struct BlobFiles {
  std::size_t work = 0;    // the blob, as an index into Plan::blobs
  std::uint64_t size = 0;  // of its data
  std::vector<Output> files;
  std::vector<std::size_t> written;  // for each file, its index in the blob's destinations
  AlignedBytes gathered;
  unsigned writer = 0;   // the writer that writes all of it
  bool dropped = false;  // closed and removed after a failure

  // Writes `count` bytes (what is gathered first, once it is large enough or
  // when `flush`) to every file. False when a file refuses it; `failed` is
  // then that file's index.
  bool write(const std::uint8_t* bytes, std::size_t count, bool flush, std::size_t& failed);
  // Closes every file. False when one fails; `failed` as for write().
  bool close(std::size_t& failed);
};

class WriteQueue {
 public:
  // Removes destination `destination` of blob `work`, whose data did not
  // get there whole.
  using Remove = std::function<void(std::size_t work, std::size_t destination)>;
  // Decoded chunks before `end` are no longer needed.
  using Release = std::function<void(std::size_t end)>;

  // With `writers` 0 every write is done at once by the caller (a volume's
  // writer is not made for several threads).
  WriteQueue(unsigned writers, Remove remove, Release release);
  ~WriteQueue();  // waits for what was given
  WriteQueue(const WriteQueue&) = delete;
  WriteQueue& operator=(const WriteQueue&) = delete;

  unsigned writers() const { return static_cast<unsigned>(threads_.size()); }

  // The writer for the next blob: each takes blobs in turn.
  unsigned nextWriter() { return writers() == 0 ? 0 : turn_++ % writers(); }

  // Writes `count` bytes, which stay valid until their chunk is released,
  // to every file of `files`.
  void write(BlobFiles& files, const std::uint8_t* bytes, std::size_t count);
  // The blob's last bytes: written, then its files are closed; the queue
  // owns them from here. Waits while the writers hold kMostHeld blobs that
  // they have yet to close: a solid chunk holds thousands of small files,
  // and each one given ahead is a file left open.
  void finish(std::unique_ptr<BlobFiles> files, const std::uint8_t* bytes, std::size_t count);
  static constexpr std::size_t kMostHeld = 64;
  // The chunks before `end` are released once every writer has written what
  // it was given before.
  void releaseChunks(std::size_t end);
  // Waits until everything given has been written.
  void drain();

  // The first write or close that failed. Its blob's files were closed and
  // removed; after it nothing more is written, and the files of every blob
  // finished later are removed as well.
  struct Failure {
    std::size_t work = 0;
    std::size_t destination = 0;  // in the blob's destinations
    std::string why;              // the system's words, or empty
  };
  bool failed() const { return failed_.load(); }

  // Closes the files of a blob that no writer holds (any more) and removes
  // them: its data did not get there whole.
  void drop(BlobFiles& files);
  Failure failure() const;

 private:
  struct Job {
    BlobFiles* files = nullptr;        // null: releases the chunks before `end`
    std::unique_ptr<BlobFiles> owned;  // the blob's last bytes: close and free afterwards
    const std::uint8_t* bytes = nullptr;
    std::size_t count = 0;
    std::size_t end = 0;
  };
  struct Writer {
    std::deque<Job> jobs;
    std::size_t passed = 0;  // chunks before this one were written, as far as it goes
    bool busy = false;
  };
  void post(unsigned writer, Job job);
  void run(Job& job, Writer* writer);
  void work(unsigned index);
  void closed();
  void fail(BlobFiles& files, std::size_t file);

  Remove remove_;
  Release release_;
  unsigned turn_ = 0;
  std::vector<Writer> writersState_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable wake_;     // a writer has jobs
  std::condition_variable drained_;  // a writer ran out of jobs, or closed a blob
  std::size_t held_ = 0;             // blobs given with their last bytes, not yet closed
  bool stopping_ = false;
  std::mutex releaseMutex_;
  std::size_t released_ = 0;
  std::atomic<bool> failed_{false};
  mutable std::mutex failureMutex_;
  Failure failure_;
};

}  // namespace wim::applying
