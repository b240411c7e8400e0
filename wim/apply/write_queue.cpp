#include "wim/apply/write_queue.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace wim::applying {

namespace {

// Chunks are 32 KiB in most images. Gathered into writes of 1 MiB, a FUSE
// file system (ntfs-3g) gets a few large requests instead of many small ones;
// the C++ library passes writes of 1 KiB and more straight through.
constexpr std::size_t kWriteGather = std::size_t{1} << 20;

}  // namespace

AlignedBytes::~AlignedBytes() {
  if (data_) ::operator delete (data_, std::align_val_t{kDirectAlignment});
}

void AlignedBytes::reserve(std::size_t capacity) {
  if (data_) return;
  data_ = static_cast<std::uint8_t*>(::operator new (capacity, std::align_val_t{kDirectAlignment}));
  capacity_ = capacity;
}

std::size_t AlignedBytes::append(const std::uint8_t* bytes, std::size_t count) {
  const std::size_t taken = std::min(count, capacity_ - size_);
  if (taken != 0) std::memcpy(data_ + size_, bytes, taken);
  size_ += taken;
  return taken;
}

bool BlobFiles::write(const std::uint8_t* bytes, std::size_t count, bool flush,
                      std::size_t& failed) {
  const auto writeAll = [this, &failed](const std::uint8_t* data, std::size_t size) {
    for (std::size_t f = 0; f < files.size(); ++f)
      if (!files[f].write(data, size)) {
        failed = f;
        return false;
      }
    return true;
  };
  // The whole of a small file in one piece, or a short last piece after
  // full ones: as it is, without a copy. A longer one is copied into aligned
  // memory, so that it can go past the cache.
  if (gathered.size() == 0 && flush && count < kWriteGather)
    return count == 0 || writeAll(bytes, count);
  while (count != 0) {
    // Room for the whole of a smaller file, in whole sectors.
    gathered.reserve(static_cast<std::size_t>(std::clamp<std::uint64_t>(
        (size + kDirectAlignment - 1) / kDirectAlignment * kDirectAlignment, kDirectAlignment,
        kWriteGather)));
    const std::size_t taken = gathered.append(bytes, count);
    bytes += taken;
    count -= taken;
    if (gathered.size() == gathered.capacity()) {
      const bool wrote = writeAll(gathered.data(), gathered.size());
      gathered.clear();
      if (!wrote) return false;
    }
  }
  if (!flush || gathered.size() == 0) return true;
  const bool wrote = writeAll(gathered.data(), gathered.size());
  gathered.clear();
  return wrote;
}

bool BlobFiles::close(std::size_t& failed) {
  bool closed = true;
  for (std::size_t f = 0; f < files.size(); ++f)
    if (!files[f].close() && closed) {
      failed = f;
      closed = false;
    }
  return closed;
}

WriteQueue::WriteQueue(unsigned writers, Remove remove, Release release)
    : remove_(std::move(remove)), release_(std::move(release)), writersState_(writers) {
  for (unsigned i = 0; i < writers; ++i) threads_.emplace_back([this, i] { work(i); });
}

WriteQueue::~WriteQueue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void WriteQueue::write(BlobFiles& files, const std::uint8_t* bytes, std::size_t count) {
  Job job;
  job.files = &files;
  job.bytes = bytes;
  job.count = count;
  post(files.writer, std::move(job));
}

void WriteQueue::finish(std::unique_ptr<BlobFiles> files, const std::uint8_t* bytes,
                        std::size_t count) {
  Job job;
  job.files = files.get();
  const unsigned writer = files->writer;
  if (!threads_.empty()) {
    std::unique_lock<std::mutex> lock(mutex_);
    drained_.wait(lock, [this] { return held_ < kMostHeld; });
    ++held_;
  }
  job.owned = std::move(files);
  job.bytes = bytes;
  job.count = count;
  post(writer, std::move(job));
}

void WriteQueue::releaseChunks(std::size_t end) {
  for (unsigned w = 0; w < writers(); ++w) {
    Job job;
    job.end = end;
    post(w, std::move(job));
  }
}

void WriteQueue::post(unsigned writer, Job job) {
  if (threads_.empty()) {
    run(job, nullptr);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    writersState_[writer].jobs.push_back(std::move(job));
  }
  // One condition for all writers: they sleep only when they have nothing
  // to do, which with chunks arriving is seldom.
  wake_.notify_all();
}

void WriteQueue::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  drained_.wait(lock, [this] {
    return std::all_of(writersState_.begin(), writersState_.end(),
                       [](const Writer& writer) { return writer.jobs.empty() && !writer.busy; });
  });
}

WriteQueue::Failure WriteQueue::failure() const {
  std::lock_guard<std::mutex> lock(failureMutex_);
  return failure_;
}

void WriteQueue::work(unsigned index) {
  Writer& me = writersState_[index];
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      me.busy = false;
      if (me.jobs.empty()) {
        drained_.notify_all();
        wake_.wait(lock, [this, &me] { return stopping_ || !me.jobs.empty(); });
        if (me.jobs.empty()) return;  // stopping, with nothing left
      }
      job = std::move(me.jobs.front());
      me.jobs.pop_front();
      me.busy = true;
    }
    const bool last = job.owned != nullptr;
    run(job, &me);
    job.owned.reset();  // its files are closed: the blob is let go
    if (last) closed();
  }
}

void WriteQueue::run(Job& job, Writer* writer) {
  if (!job.files) {
    if (!writer) return;  // written at once: the chunks are released as they are read
    std::size_t end = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      writer->passed = job.end;
      end = writer->passed;
      for (const Writer& other : writersState_) end = std::min(end, other.passed);
    }
    std::lock_guard<std::mutex> lock(releaseMutex_);
    if (end > released_) {
      released_ = end;
      release_(end);
    }
    return;
  }
  BlobFiles& files = *job.files;
  const bool last = job.owned != nullptr;
  if (files.dropped) return;
  if (failed_.load()) {
    // The apply stops: a blob finished after the failure may lack data.
    if (last) drop(files);
    return;
  }
  std::size_t failed = 0;
  if (!files.write(job.bytes, job.count, last, failed) || (last && !files.close(failed)))
    fail(files, failed);
}

void WriteQueue::closed() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --held_;
  }
  drained_.notify_all();
}

void WriteQueue::drop(BlobFiles& files) {
  for (std::size_t f = 0; f < files.files.size(); ++f) {
    files.files[f].close();
    remove_(files.work, files.written[f]);
  }
  files.files.clear();
  files.dropped = true;
}

void WriteQueue::fail(BlobFiles& files, std::size_t file) {
  {
    std::lock_guard<std::mutex> lock(failureMutex_);
    if (!failed_.load()) {
      failure_.work = files.work;
      failure_.destination = files.written[file];
      failure_.why = files.files[file].failure();
      failed_.store(true);
    }
  }
  drop(files);
}

}  // namespace wim::applying
