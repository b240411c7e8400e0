#include "wim/apply/apply_stages.h"

#include <algorithm>
#include <fstream>
#include <ios>
#include <system_error>
#include <thread>
#include <tuple>

#include "wim/apply/chunk_pipeline.h"
#include "wim/apply/ntfs_xattr_values.h"
#include "wim/apply/reparse_data.h"
#include "wim/apply/target_paths.h"

namespace wim::applying {

namespace {

// Decoded chunks waiting to be written: enough to keep the workers busy,
// little enough for the 32-bit tool even with the largest solid chunks.
constexpr std::size_t kReadAheadBudget = std::size_t{192} << 20;

// At most so many files of one blob are written at once; further copies of
// the same data are copied from the first once it is done.
constexpr std::size_t kFilesAtOnce = 16;

// Something other than what is about to be written may already be there; a
// link above all must not be followed, or the apply could write outside the
// target.
bool occupiedByOther(const fs::path& path, fs::file_type wanted) {
  std::error_code error;
  const fs::file_type type = fs::symlink_status(path, error).type();
  return type != fs::file_type::not_found && type != wanted;
}

std::string systemReason(const std::error_code& error) {
  return error ? error.message() : std::string("the system gave no reason");
}

std::string shownPath(const Applier& applier, const Destination& destination) {
  std::string path = entryPath(applier.tree, destination.entry);
  if (destination.stream >= 0)
    path += ":" + utf8Of(applier.tree.entries[destination.entry]
                             .namedStreams[static_cast<std::size_t>(destination.stream)]
                             .name);
  return quote(path);
}

const std::u16string& streamName(const Applier& applier, const Destination& destination) {
  static const std::u16string unnamed;
  if (destination.stream < 0) return unnamed;
  return applier.tree.entries[destination.entry]
      .namedStreams[static_cast<std::size_t>(destination.stream)]
      .name;
}

fs::path destinationPath(const Applier& applier, const Destination& destination) {
  const fs::path& path = applier.paths[destination.entry];
  if (destination.stream < 0) return path;
  return namedStreamPath(path, applier.tree.entries[destination.entry]
                                   .namedStreams[static_cast<std::size_t>(destination.stream)]
                                   .name);
}

// Opens a destination for writing `size` bytes. A file that cannot be
// written stops the apply; a named stream the target will not take is
// counted and left out.
Stop openDestination(Applier& applier, const Destination& destination, std::uint64_t size,
                     Output& out) {
  bool notAFile = false;
  const std::string reason =
      applier.volume ? applier.volume->createFile(applier.paths[destination.entry].string(),
                                                  streamName(applier, destination), size, notAFile,
                                                  out.onVolume)
                     : out.file.create(destinationPath(applier, destination), size, notAFile,
                                       &applier.plan.target);
  if (reason.empty()) {
    if (destination.stream < 0) applier.made[destination.entry] = true;
    return Stop{};
  }
  if (destination.stream >= 0) {
    applier.failures.add(
        MetadataKind::NamedStream,
        shownPath(applier, destination) + ": the stream cannot be created: " + reason);
    return Stop{};
  }
  if (notAFile)
    return stopWith(kApplyExitWriteFailed, "cannot write the file " +
                                               shownPath(applier, destination) +
                                               ": something that is no file is in its place");
  return stopWith(kApplyExitWriteFailed,
                  "cannot create the file " + shownPath(applier, destination) + ": " + reason);
}

void removeQuietly(const fs::path& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
}

void removeDestination(Applier& applier, const Destination& destination) {
  if (applier.volume)
    applier.volume->remove(applier.paths[destination.entry].string(),
                           streamName(applier, destination));
  else
    removeQuietly(destinationPath(applier, destination));
}

// Closes every file of a blob that the writers no longer hold and removes
// them: the data did not get there whole.
void dropFiles(Applier& applier, Applier::Open& open) {
  if (open.out && !open.out->dropped) applier.queue->drop(*open.out);
}

// Where a writer failed: once the writers are done, the files of every blob
// still being fed are removed too, and the apply stops with what failed.
Stop writeFailure(Applier& applier) {
  WriteQueue& queue = *applier.queue;
  queue.drain();
  for (auto& open : applier.open) dropFiles(applier, open.second);
  const WriteQueue::Failure failure = queue.failure();
  const Destination& refused = applier.plan.blobs[failure.work].destinations[failure.destination];
  return stopWith(kApplyExitWriteFailed, "cannot write " + shownPath(applier, refused) +
                                             (failure.why.empty() ? "" : ": " + failure.why) +
                                             "; it was removed");
}

// Reads a piece of what was written to `from`, front to back; `got` is 0 at
// its end. False when it cannot be read.
class WrittenReader {
 public:
  WrittenReader(Applier& applier, const Destination& from) : applier_(applier), from_(from) {
    if (!applier.volume) in_.open(destinationPath(applier, from), std::ios::binary);
  }
  bool read(std::uint8_t* bytes, std::size_t count, std::size_t& got) {
    if (applier_.volume) {
      if (!applier_.volume->readFile(applier_.paths[from_.entry].string(),
                                     streamName(applier_, from_), offset_, bytes, count, got))
        return false;
      offset_ += got;
      return true;
    }
    if (!in_) return false;
    in_.read(reinterpret_cast<char*>(bytes), static_cast<std::streamsize>(count));
    got = static_cast<std::size_t>(std::max<std::streamsize>(0, in_.gcount()));
    return got != 0 || in_.eof();
  }

 private:
  Applier& applier_;
  const Destination& from_;
  std::ifstream in_;
  std::uint64_t offset_ = 0;
};

// Copies a blob's data from the first place it was written to another.
Stop copyTo(Applier& applier, const Destination& from, const Destination& destination,
            std::uint64_t size) {
  Output out;
  Stop stop = openDestination(applier, destination, size, out);
  if (stop.stopped() || !out.isOpen()) return stop;
  WrittenReader in(applier, from);
  if (applier.copyBuffer.empty()) applier.copyBuffer.resize(kPlainPieceSize);
  bool wrote = true, read = true;
  std::uint64_t copied = 0;
  while (wrote) {
    std::size_t got = 0;
    read = in.read(applier.copyBuffer.data(), applier.copyBuffer.size(), got);
    if (!read || got == 0) break;
    wrote = out.write(applier.copyBuffer.data(), got);
    copied += got;
    applier.advance(got);
  }
  const bool closed = out.close();
  if (!closed || !wrote || !read || copied != size) {
    const std::string why = out.failure();
    removeDestination(applier, destination);
    if (destination.stream >= 0) {
      applier.failures.add(MetadataKind::NamedStream,
                           shownPath(applier, destination) + ": the stream cannot be written");
      return Stop{};
    }
    return stopWith(kApplyExitWriteFailed, "cannot write the file " +
                                               shownPath(applier, destination) +
                                               (why.empty() ? "" : ": " + why));
  }
  return Stop{};
}

Stop startBlob(Applier& applier, std::size_t work, Applier::Open& open) {
  open.work = work;
  open.out = std::make_unique<BlobFiles>();
  const BlobWork& blob = applier.plan.blobs[work];
  const std::uint64_t size = blob.blob->dataSize();
  open.out->work = work;
  open.out->size = size;
  open.out->writer = applier.queue->nextWriter();
  open.copiedFrom = blob.destinations.size();
  for (std::size_t d = 0; d < blob.destinations.size(); ++d) {
    if (!isFile(applier.plan, blob.destinations[d])) {
      open.keep = true;
      continue;
    }
    if (open.out->files.size() == kFilesAtOnce) {
      open.copiedFrom = std::min(open.copiedFrom, d);
      continue;
    }
    Output file;
    Stop stop = openDestination(applier, blob.destinations[d], size, file);
    if (stop.stopped()) {
      dropFiles(applier, open);
      return stop;
    }
    if (!file.isOpen()) continue;
    open.out->files.push_back(std::move(file));
    open.out->written.push_back(d);
  }
  // With no file open (only streams that the target refuses), the data is
  // still checked.
  if (open.writing()) open.firstFile = open.out->written.front();
  return Stop{};
}

// The blob's last bytes: the data is checked before they are written, then
// they go to the writer, which closes the files; what is kept in memory is
// kept, and further copies are made from the first file.
Stop finishBlob(Applier& applier, Applier::Open& open, const std::uint8_t* bytes,
                std::size_t count) {
  const BlobWork& blob = applier.plan.blobs[open.work];
  const Sha1Digest written = open.hashedAhead ? open.aheadDigest : open.sha1.finish();
  if (written != blob.blob->hash) {
    const Destination& first = blob.destinations[open.writing() ? open.firstFile : std::size_t{0}];
    applier.queue->drain();
    dropFiles(applier, open);
    return stopWith(kApplyExitHashMismatch, "the data of " + shownPath(applier, first) +
                                                " fails its SHA-1 check (the lookup table says " +
                                                sha1Hex(blob.blob->hash) + ", the data read has " +
                                                sha1Hex(written) +
                                                "): the image is damaged; the file was not kept");
  }
  const bool writing = open.writing();
  if (writing) applier.queue->finish(std::move(open.out), bytes, count);
  for (const Destination& destination : blob.destinations) {
    if (destination.stream == kReparseData) applier.reparseData[destination.entry] = open.kept;
    if (!isFile(applier.plan, destination) && destination.stream >= 0)
      applier.streamData[open.work] = open.kept;
  }
  if (!writing || open.copiedFrom == blob.destinations.size()) return Stop{};
  // The copies are read from the first file, once it is whole.
  applier.queue->drain();
  if (applier.queue->failed()) return writeFailure(applier);
  const Destination from = blob.destinations[open.firstFile];
  for (std::size_t d = open.copiedFrom; d < blob.destinations.size(); ++d) {
    if (!isFile(applier.plan, blob.destinations[d])) continue;
    Stop copied = copyTo(applier, from, blob.destinations[d], blob.blob->dataSize());
    if (copied.stopped()) return copied;
  }
  return Stop{};
}

// Feeds one decoded chunk to the blobs whose data it holds.
Stop feedChunk(Applier& applier, ChunkStream& stream, std::size_t streamIndex,
               std::uint64_t chunkStart, le::ByteSpan data) {
  const std::uint64_t chunkEnd = chunkStart + data.size;
  for (std::size_t k = stream.firstOpen; k < stream.stretches.size(); ++k) {
    const Stretch& stretch = stream.stretches[k];
    if (stretch.start >= chunkEnd) break;
    const std::uint64_t stretchEnd = stretch.start + stretch.size;
    if (stretchEnd <= chunkStart) continue;
    // Several stretches are open at once only where blobs of a solid group
    // overlap, which no writer does but a hostile file may.
    const auto key = std::make_pair(streamIndex, k);
    auto found = applier.open.find(key);
    if (found == applier.open.end()) {
      found = applier.open
                  .emplace(std::piecewise_construct, std::forward_as_tuple(key),
                           std::forward_as_tuple())
                  .first;
      Stop started = startBlob(applier, stretch.work, found->second);
      if (started.stopped()) return started;
      found->second.hashedAhead = stretch.hashed;
      found->second.aheadDigest = stretch.digest;
    }
    Applier::Open& open = found->second;
    const std::uint64_t from = std::max(chunkStart, stretch.start + open.done);
    const std::uint64_t to = std::min(chunkEnd, stretchEnd);
    const std::uint8_t* bytes = data.data + (from - chunkStart);
    const std::size_t count = to > from ? static_cast<std::size_t>(to - from) : 0;
    if (count != 0) {
      if (!open.hashedAhead) open.sha1.update(bytes, count);
      if (open.keep) open.kept.insert(open.kept.end(), bytes, bytes + count);
      open.done += count;
      applier.advance(count * (open.writing() ? open.out->files.size() : 0));
    }
    if (open.done == stretch.size) {
      Stop finished = finishBlob(applier, open, bytes, count);
      applier.open.erase(found);
      if (finished.stopped()) return finished;
    } else if (count != 0 && open.writing()) {
      applier.queue->write(*open.out, bytes, count);
    }
    if (applier.queue->failed()) return writeFailure(applier);
  }
  while (stream.firstOpen < stream.stretches.size() &&
         stream.stretches[stream.firstOpen].start + stream.stretches[stream.firstOpen].size <=
             chunkEnd)
    ++stream.firstOpen;
  return Stop{};
}

// Every blob's data, in the order the image holds it.
Stop feedBlobs(Applier& applier, ChunkPipeline& pipeline, ReadPlan& reading,
               const std::vector<std::pair<std::size_t, std::uint64_t>>& places) {
  // Blobs of no bytes have no chunks: their files are made here.
  for (std::size_t w = 0; w < applier.plan.blobs.size(); ++w) {
    if (applier.plan.blobs[w].blob->dataSize() != 0) continue;
    Applier::Open open;
    Stop stop = startBlob(applier, w, open);
    if (!stop.stopped()) stop = finishBlob(applier, open, nullptr, 0);
    if (stop.stopped()) return stop;
  }
  for (std::size_t k = 0;; ++k) {
    le::ByteSpan data;
    bool done = false;
    Outcome outcome = pipeline.next(data, done);
    if (!outcome.ok()) {
      applier.queue->drain();
      for (auto& open : applier.open) dropFiles(applier, open.second);
      return stopFor(outcome);
    }
    if (done) break;
    const auto& place = places[k];
    Stop fed = feedChunk(applier, reading.streams[place.first], place.first, place.second, data);
    if (fed.stopped()) return fed;
    applier.queue->releaseChunks(k + 1);
  }
  if (!applier.open.empty())
    return stopWith(kApplyExitBadImage, "the image's data ended before all files were written");
  return Stop{};
}

}  // namespace

Stop makeFolders(Applier& applier) {
  for (std::size_t index : applier.plan.folders) {
    bool notAFolder = false;
    const std::string reason =
        applier.volume ? applier.volume->makeFolder(applier.paths[index].string(), notAFolder)
                       : makeFolder(applier.paths[index], notAFolder);
    if (!reason.empty())
      return stopWith(kApplyExitWriteFailed,
                      "cannot create the folder " + quote(entryPath(applier.tree, index)) + ": " +
                          (notAFolder ? "something that is no folder is in its place" : reason));
    applier.made[index] = true;
  }
  return Stop{};
}

Stop makeEmptyFiles(Applier& applier) {
  std::vector<Destination> empty;
  for (std::size_t index : applier.plan.emptyFiles) empty.push_back(Destination{index, -1});
  if (!applier.plan.target.streamsWrittenWhole)
    empty.insert(empty.end(), applier.plan.emptyStreams.begin(), applier.plan.emptyStreams.end());
  for (const Destination& destination : empty) {
    Output out;
    Stop stop = openDestination(applier, destination, 0, out);
    if (stop.stopped()) return stop;
    if (out.isOpen() && !out.close())
      return stopWith(
          kApplyExitWriteFailed,
          "cannot write the file " + shownPath(applier, destination) + ": " + out.failure());
  }
  return Stop{};
}

Stop writeBlobs(Applier& applier, const ImageParts& parts, ReadPlan& reading) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const unsigned threads = std::min(4u, cores);
  // The writers: one per two cores, at most as many as there are decoders; a
  // volume written directly takes its writes from one thread.
  const unsigned writers = applier.volume ? 0u : std::max(1u, std::min(threads, cores / 2));
  const std::vector<std::pair<std::size_t, std::uint64_t>> places = reading.places;
  // The worker that decodes a chunk hashes the blobs that lie wholly inside
  // it: most files are smaller than a chunk, and the writer only compares.
  std::vector<ChunkStream>& streams = reading.streams;
  const auto hashInside = [&streams, &places](std::size_t index, le::ByteSpan data) {
    const auto& place = places[index];
    std::vector<Stretch>& stretches = streams[place.first].stretches;
    const std::uint64_t chunkStart = place.second, chunkEnd = chunkStart + data.size;
    auto it = std::lower_bound(
        stretches.begin(), stretches.end(), chunkStart,
        [](const Stretch& stretch, std::uint64_t start) { return stretch.start < start; });
    for (; it != stretches.end() && it->start < chunkEnd; ++it) {
      if (it->size == 0 || it->start + it->size > chunkEnd) continue;
      it->digest = sha1Of(data.data + (it->start - chunkStart), static_cast<std::size_t>(it->size));
      it->hashed = true;
    }
  };
  // The writers hold on to the chunks they still have to write, so the
  // pipeline outlives them.
  ChunkPipeline pipeline(
      std::move(reading.chunks), [&parts] { return makePartReader(parts); }, threads,
      kReadAheadBudget, hashInside, writers != 0);
  WriteQueue queue(
      writers,
      [&applier](std::size_t work, std::size_t destination) {
        removeDestination(applier, applier.plan.blobs[work].destinations[destination]);
      },
      [&pipeline](std::size_t end) { pipeline.release(end); });
  applier.queue = &queue;
  const Stop stop = feedBlobs(applier, pipeline, reading, places);
  queue.drain();
  // A write that failed after the last bytes were given.
  const Stop result = !stop.stopped() && queue.failed() ? writeFailure(applier) : stop;
  applier.queue = nullptr;
  return result;
}

// A hard link on a volume written directly.
Stop linkOnVolume(Applier& applier, const std::pair<std::size_t, std::size_t>& link) {
  VolumeWriter& volume = *applier.volume;
  const std::string path = applier.paths[link.first].string();
  const std::string shown = quote(entryPath(applier.tree, link.first));
  const VolumeEntry there = volume.entryAt(path);
  if (there == VolumeEntry::Folder)
    return stopWith(kApplyExitWriteFailed,
                    "cannot link " + shown + ": something that is no file is in its place");
  if (there == VolumeEntry::File) volume.remove(path, std::u16string());
  const std::string reason = volume.link(applier.paths[link.second].string(), path);
  if (!reason.empty())
    return stopWith(kApplyExitWriteFailed, "cannot link " + shown + " to " +
                                               quote(entryPath(applier.tree, link.second)) + ": " +
                                               reason);
  applier.made[link.first] = true;
  return Stop{};
}

Stop makeLinks(Applier& applier) {
  for (const auto& link : applier.plan.links) {
    if (applier.volume) {
      Stop stop = linkOnVolume(applier, link);
      if (stop.stopped()) return stop;
      continue;
    }
    const fs::path& path = applier.paths[link.first];
    const auto shown = [&applier, &link]() { return quote(entryPath(applier.tree, link.first)); };
    if (occupiedByOther(path, fs::file_type::regular))
      return stopWith(kApplyExitWriteFailed,
                      "cannot link " + shown() + ": something that is no file is in its place");
    bool isFolder = false;
    const std::string removed = removeEntry(path, isFolder);
    if (!removed.empty())
      return stopWith(kApplyExitWriteFailed, "cannot link " + shown() + ": " + removed);
    std::error_code error;
    fs::create_hard_link(applier.paths[link.second], path, error);
    if (error)
      return stopWith(kApplyExitWriteFailed, "cannot link " + shown() + " to " +
                                                 quote(entryPath(applier.tree, link.second)) +
                                                 ": " + systemReason(error));
    applier.made[link.first] = true;
  }
  return Stop{};
}

Stop makeReparsePoints(Applier& applier) {
  for (std::size_t index : applier.plan.reparsePoints) {
    const TreeEntry& entry = applier.tree.entries[index];
    const fs::path& path = applier.paths[index];
    const std::vector<std::uint8_t>& reparse = applier.reparseData[index];
    const bool inPlace = applier.plan.target.reparsePointsInPlace;
    if (inPlace && !entry.isDirectory() && isZeroDigest(entry.data)) {
      Output made;
      bool notAFile = false;
      const std::string reason = applier.volume
                                     ? applier.volume->createFile(path.string(), std::u16string(),
                                                                  0, notAFile, made.onVolume)
                                     : made.file.create(path, 0, notAFile);
      if (!reason.empty() || !made.close())
        return stopWith(kApplyExitWriteFailed,
                        "cannot create " + quote(entryPath(applier.tree, index)) +
                            (notAFile ? ": something that is no file is in its place" : ""));
      applier.made[index] = true;
    }
    if (!inPlace && occupiedByOther(path, fs::file_type::not_found)) {
      applier.failures.add(MetadataKind::ReparseData,
                           quote(entryPath(applier.tree, index)) + ": something is in its place");
      continue;
    }
    const le::ByteSpan data{reparse.data(), reparse.size()};
    const std::string reason =
        applier.volume ? applier.volume->setReparseData(path.string(), entry.reparseTag, data)
                       : applyReparseData(path, entry.isDirectory(), entry.reparseTag, data,
                                          applier.plan.target);
    if (!reason.empty())
      applier.failures.add(MetadataKind::ReparseData,
                           quote(entryPath(applier.tree, index)) + ": " + reason);
    else
      applier.made[index] = true;
  }
  return Stop{};
}

void writeStreamsWhole(Applier& applier) {
  const Plan& plan = applier.plan;
  if (!plan.target.streamsWrittenWhole) return;
  const auto write = [&applier](const Destination& destination, le::ByteSpan data) {
    const std::string reason =
        writeWholeStream(applier.paths[destination.entry],
                         applier.tree.entries[destination.entry]
                             .namedStreams[static_cast<std::size_t>(destination.stream)]
                             .name,
                         data);
    if (!reason.empty())
      applier.failures.add(MetadataKind::NamedStream,
                           shownPath(applier, destination) + ": " + reason);
  };
  for (const Destination& destination : plan.emptyStreams) write(destination, le::ByteSpan{});
  for (std::size_t w = 0; w < plan.blobs.size(); ++w) {
    const std::vector<std::uint8_t>& data = applier.streamData[w];
    for (const Destination& destination : plan.blobs[w].destinations)
      if (destination.stream >= 0) write(destination, le::ByteSpan{data.data(), data.size()});
  }
  for (const Destination& destination : plan.refusedStreams)
    applier.failures.add(MetadataKind::NamedStream, shownPath(applier, destination) +
                                                        ": larger than the " +
                                                        decimal(kMaxAttributeValueSize) +
                                                        " bytes that an extended attribute holds");
  std::map<std::size_t, std::vector<std::uint8_t>>().swap(applier.streamData);
}

}  // namespace wim::applying
