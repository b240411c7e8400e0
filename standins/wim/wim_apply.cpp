#include "standins/wim/wim_apply.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <ios>
#include <limits>
#include <map>
#include <new>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "standins/wim/apply_progress.h"
#include "standins/wim/apply_target.h"
#include "standins/wim/blob_table.h"
#include "standins/wim/chunk_pipeline.h"
#include "standins/wim/image_parts.h"
#include "standins/wim/image_tree.h"
#include "standins/wim/reparse_data.h"
#include "standins/wim/resource_chunks.h"
#include "standins/wim/sha1.h"
#include "standins/wim/target_paths.h"
#include "standins/wim/wim_info.h"

namespace wim {

namespace {

namespace fs = std::filesystem;

// Decoded chunks waiting to be written: enough to keep the workers busy,
// little enough for the 32-bit tool even with the largest solid chunks.
constexpr std::size_t kReadAheadBudget = std::size_t{192} << 20;

std::string quote(const std::string& text) { return "\"" + text + "\""; }

std::string counted(std::uint64_t count, const char* one, const char* many) {
  return decimal(count) + " " + (count == 1 ? one : many);
}

// Why the apply stops, and with which exit code.
struct Stop {
  int code = kApplyExitOk;
  std::string reason;

  bool stopped() const { return code != kApplyExitOk; }
};

Stop stopWith(int code, std::string reason) { return Stop{code, std::move(reason)}; }

Stop stopFor(const Outcome& outcome) {
  if (outcome.ok()) return Stop{};
  const int code =
      outcome.problem == Problem::Unsupported ? kApplyExitUnsupported : kApplyExitBadImage;
  return stopWith(code, outcome.reason);
}

// Where one blob's data goes: the unnamed data of a file, or one of its
// named streams.
struct Destination {
  std::size_t entry = 0;
  std::int32_t stream = -1;  // index into the entry's named streams, or one of these:
};
constexpr std::int32_t kUnnamedData = -1;
constexpr std::int32_t kReparseData = -2;  // kept in memory until the reparse point is made

bool isFile(const Destination& destination) { return destination.stream >= kUnnamedData; }

// One blob to write, once, to all the places that hold it.
struct BlobWork {
  const BlobEntry* blob = nullptr;
  std::vector<Destination> destinations;  // files first, then named streams
};

// What the apply will do, worked out before anything is written.
struct Plan {
  std::vector<BlobWork> blobs;
  std::vector<std::size_t> folders;       // in tree order: a folder before what it holds
  std::vector<std::size_t> emptyFiles;    // files without data
  std::vector<Destination> emptyStreams;  // named streams without data
  std::vector<std::pair<std::size_t, std::size_t>> links;  // (name, first name) of hard links
  std::vector<std::size_t> reparsePoints;
  std::vector<bool> linked;  // per tree entry: a second name of a file
  std::uint64_t totalBytes = 0;
  std::uint64_t files = 0;
  std::uint64_t namedStreams = 0;
  std::uint64_t shortNames = 0;
  bool streamsKept = false;
};

Stop missingBlob(const ImageTree& tree, std::size_t index, const Sha1Digest& hash) {
  return stopWith(kApplyExitBadImage, "the data of " + quote(entryPath(tree, index)) + " (SHA-1 " +
                                          sha1Hex(hash) + ") is missing from the lookup table");
}

Stop planApply(const ImageParts& parts, const ImageTree& tree, bool streamsKept, Plan& plan) {
  const BlobTable& table = parts.table;
  plan.linked.assign(tree.entries.size(), false);
  std::map<const BlobEntry*, std::size_t> workOf;
  std::map<std::pair<std::uint64_t, Sha1Digest>, std::size_t> firstNames;
  std::vector<Destination> streamDestinations;
  plan.streamsKept = streamsKept;

  const auto addDestination = [&](const Sha1Digest& hash, Destination destination) -> Stop {
    const BlobEntry* blob = findBlob(table, hash);
    if (!blob) return missingBlob(tree, destination.entry, hash);
    if (blob->partNumber == 0 || blob->partNumber > parts.parts.size())
      return stopWith(kApplyExitBadImage, "the data of " +
                                              quote(entryPath(tree, destination.entry)) +
                                              " is said to lie in part " +
                                              decimal(blob->partNumber) + ", which is not there");
    auto found = workOf.find(blob);
    if (found == workOf.end()) {
      found = workOf.emplace(blob, plan.blobs.size()).first;
      plan.blobs.push_back(BlobWork{blob, {}});
    }
    if (destination.stream == kReparseData && blob->dataSize() > kMaxReparseDataSize)
      return stopWith(kApplyExitBadImage, "the reparse data of " +
                                              quote(entryPath(tree, destination.entry)) +
                                              " is larger than any reparse point can hold");
    plan.blobs[found->second].destinations.push_back(destination);
    if (isFile(destination)) plan.totalBytes += blob->dataSize();
    return Stop{};
  };

  for (std::size_t i = 1; i < tree.entries.size(); ++i) {
    const TreeEntry& entry = tree.entries[i];
    if (entry.securityId < -1 ||
        (entry.securityId >= 0 &&
         static_cast<std::size_t>(entry.securityId) >= tree.descriptors.size()))
      return stopWith(kApplyExitBadImage,
                      quote(entryPath(tree, i)) + " names security descriptor " +
                          decimal(static_cast<std::uint32_t>(entry.securityId)) + " of " +
                          decimal(tree.descriptors.size()));
    if (!entry.shortName.empty()) ++plan.shortNames;
    if (entry.isReparsePoint()) {
      plan.reparsePoints.push_back(i);
      if (!isZeroDigest(entry.reparseData)) {
        Stop added = addDestination(entry.reparseData, Destination{i, kReparseData});
        if (added.stopped()) return added;
      }
      if (entry.isDirectory() && targetMakesReparsePointsInPlace()) plan.folders.push_back(i);
    } else if (entry.isDirectory()) {
      plan.folders.push_back(i);
    } else {
      ++plan.files;
      if (entry.hardLinkGroup != 0) {
        const auto key = std::make_pair(entry.hardLinkGroup, entry.data);
        const auto first = firstNames.find(key);
        if (first != firstNames.end()) {
          plan.links.emplace_back(i, first->second);
          plan.linked[i] = true;
          continue;  // one file: its data and streams come with the first name
        }
        firstNames.emplace(key, i);
      }
    }
    const bool hasFileData =
        !entry.isDirectory() && (!entry.isReparsePoint() || targetMakesReparsePointsInPlace());
    if (hasFileData) {
      if (isZeroDigest(entry.data)) {
        if (!entry.isReparsePoint()) plan.emptyFiles.push_back(i);
      } else {
        Stop added = addDestination(entry.data, Destination{i, kUnnamedData});
        if (added.stopped()) return added;
      }
    }
    plan.namedStreams += entry.namedStreams.size();
    if (!streamsKept) continue;
    for (std::size_t k = 0; k < entry.namedStreams.size(); ++k) {
      const Destination destination{i, static_cast<std::int32_t>(k)};
      if (isZeroDigest(entry.namedStreams[k].hash))
        plan.emptyStreams.push_back(destination);
      else
        streamDestinations.push_back(destination);
    }
  }
  // Streams after all files, so that each blob's first destination is a file
  // whenever one holds it.
  for (const Destination& destination : streamDestinations) {
    Stop added = addDestination(
        tree.entries[destination.entry].namedStreams[destination.stream].hash, destination);
    if (added.stopped()) return added;
  }
  return Stop{};
}

// Reads a whole resource that is not packed into a solid one.
Outcome readWholeResource(const BlobEntry& entry, const ImageParts& parts,
                          std::vector<std::uint8_t>& bytes) {
  const Header& header = parts.parts[0].header;
  if (entry.partNumber == 0 || entry.partNumber > parts.parts.size())
    return failure(Problem::Damaged, "it is said to lie in part " + decimal(entry.partNumber));
  const ReadPart read = makePartReader(parts);
  std::vector<Chunk> chunks;
  Outcome outcome =
      chunksOfResource(entry.resource, entry.partNumber, parts.parts[entry.partNumber - 1].size,
                       header.compression, header.chunkSize, read, chunks);
  if (!outcome.ok()) return outcome;
  ChunkDecoder decoder;
  std::vector<std::uint8_t> stored, chunk;
  bytes.clear();
  try {
    bytes.reserve(static_cast<std::size_t>(entry.resource.originalSize));
  } catch (const std::bad_alloc&) {
    return failure(Problem::Unreadable, "not enough memory to read it");
  }
  for (const Chunk& each : chunks) {
    outcome = readChunk(each, read, decoder, stored, chunk);
    if (!outcome.ok()) return outcome;
    bytes.insert(bytes.end(), chunk.begin(), chunk.end());
  }
  return success();
}

// The reading: every blob's data as a stretch of a stream of chunks. A blob
// stored on its own is a stream of its own; the blobs of a solid group are
// stretches of the group's unpacked data.
struct Stretch {
  std::uint64_t start = 0;
  std::uint64_t size = 0;
  std::size_t work = 0;  // index into Plan::blobs
};

struct ChunkStream {
  std::vector<Stretch> stretches;  // by start
  std::size_t firstOpen = 0;       // stretches before it are done
};

struct ReadPlan {
  std::vector<ChunkStream> streams;
  std::vector<Chunk> chunks;                                  // in the order they are read
  std::vector<std::pair<std::size_t, std::uint64_t>> places;  // per chunk: stream, start
};

// Orders blobs by where they lie, so that the image file is read front to
// back.
struct Position {
  std::uint16_t part = 0;
  std::uint64_t offset = 0;
  std::int32_t group = -1;
  std::size_t work = 0;
  bool operator<(const Position& other) const {
    if (part != other.part) return part < other.part;
    if (offset != other.offset) return offset < other.offset;
    return work < other.work;
  }
};

Stop planReading(const ImageParts& parts, const Plan& plan, const ReadPart& read,
                 ReadPlan& reading) {
  const Header& header = parts.parts[0].header;
  std::vector<Position> order;
  std::map<std::int32_t, std::vector<std::size_t>> groupWorks;
  for (std::size_t w = 0; w < plan.blobs.size(); ++w) {
    const BlobEntry& blob = *plan.blobs[w].blob;
    if (blob.dataSize() == 0) continue;
    if (blob.solidGroup < 0) {
      order.push_back(Position{blob.partNumber, blob.resource.offset, -1, w});
      continue;
    }
    std::vector<std::size_t>& works = groupWorks[blob.solidGroup];
    if (works.empty()) {
      const SolidGroup& group = parts.table.solidGroups[static_cast<std::size_t>(blob.solidGroup)];
      order.push_back(Position{group.part, group.resources.front().offset, blob.solidGroup, w});
    }
    works.push_back(w);
  }
  std::sort(order.begin(), order.end());

  for (const Position& position : order) {
    ChunkStream stream;
    std::vector<Chunk> chunks;
    std::uint64_t streamSize = 0;
    if (position.group < 0) {
      const BlobEntry& blob = *plan.blobs[position.work].blob;
      const std::uint16_t part = blob.partNumber;
      Outcome listed = chunksOfResource(blob.resource, part, parts.parts[part - 1].size,
                                        header.compression, header.chunkSize, read, chunks);
      if (!listed.ok()) return stopFor(listed);
      streamSize = blob.resource.originalSize;
      stream.stretches.push_back(Stretch{0, streamSize, position.work});
    } else {
      const SolidGroup& group = parts.table.solidGroups[static_cast<std::size_t>(position.group)];
      if (group.part == 0 || group.part > parts.parts.size())
        return stopWith(kApplyExitBadImage, "a solid resource is said to lie in part " +
                                                decimal(group.part) + ", which is not there");
      for (const ResourceHeader& resource : group.resources) {
        std::uint64_t unpacked = 0;
        Outcome listed = chunksOfSolidResource(
            resource, group.part, parts.parts[group.part - 1].size, read, chunks, unpacked);
        if (!listed.ok()) return stopFor(listed);
        streamSize += unpacked;
      }
      for (std::size_t w : groupWorks[position.group]) {
        const BlobEntry& blob = *plan.blobs[w].blob;
        const std::uint64_t start = blob.resource.offset;
        if (start > streamSize || blob.dataSize() > streamSize - start)
          return stopWith(kApplyExitBadImage, "a blob of " + decimal(blob.dataSize()) +
                                                  " bytes at " + decimal(start) +
                                                  " lies outside its solid resource of " +
                                                  decimal(streamSize) + " bytes");
        stream.stretches.push_back(Stretch{start, blob.dataSize(), w});
      }
      std::sort(stream.stretches.begin(), stream.stretches.end(),
                [](const Stretch& a, const Stretch& b) { return a.start < b.start; });
    }
    // Only the chunks that hold wanted data: an image of a solid file with
    // several shares chunks with the others.
    const std::size_t streamIndex = reading.streams.size();
    std::size_t next = 0;  // first stretch that may still reach the chunk
    std::uint64_t chunkStart = 0;
    for (const Chunk& chunk : chunks) {
      const std::uint64_t chunkEnd = chunkStart + chunk.size;
      while (next < stream.stretches.size() &&
             stream.stretches[next].start + stream.stretches[next].size <= chunkStart)
        ++next;
      bool wanted = false;
      for (std::size_t k = next; k < stream.stretches.size(); ++k) {
        if (stream.stretches[k].start >= chunkEnd) break;
        if (stream.stretches[k].start + stream.stretches[k].size > chunkStart) {
          wanted = true;
          break;
        }
      }
      if (wanted) {
        reading.chunks.push_back(chunk);
        reading.places.emplace_back(streamIndex, chunkStart);
      }
      chunkStart = chunkEnd;
    }
    if (chunkStart != streamSize)
      return stopWith(kApplyExitBadImage, "a resource's chunks do not add up to its size");
    reading.streams.push_back(std::move(stream));
  }
  return Stop{};
}

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

// The writing, with the progress it makes.
struct Applier {
  const ImageTree& tree;
  const Plan& plan;
  const PrintLine& printLine;
  const MillisecondClock& clock;
  ProgressMeter meter;
  std::uint64_t doneBytes = 0;
  std::vector<fs::path> paths;  // per tree entry
  MetadataFailures failures;
  // The blob being written to its first destination.
  struct Open {
    std::size_t work = 0;
    std::ofstream out;
    fs::path path;
    bool writing = false;  // false when it only checks (a stream that could not be opened)
    std::size_t destination = 0;
    Sha1 sha1;
    std::uint64_t done = 0;
    bool keep = false;  // reparse data: the bytes are kept as well
    std::vector<std::uint8_t> kept;
  };
  std::map<std::pair<std::size_t, std::size_t>, Open> open;  // by stream and stretch
  std::vector<std::uint8_t> copyBuffer;
  std::map<std::size_t, std::vector<std::uint8_t>> reparseData;  // by tree entry

  void advance(std::uint64_t bytes) {
    doneBytes += bytes;
    const std::string line = progressUpdate(meter, doneBytes, clock());
    if (!line.empty()) printLine(line);
  }
};

std::string shownPath(const Applier& applier, const Destination& destination) {
  std::string path = entryPath(applier.tree, destination.entry);
  if (destination.stream >= 0)
    path += ":" + utf8Of(applier.tree.entries[destination.entry]
                             .namedStreams[static_cast<std::size_t>(destination.stream)]
                             .name);
  return quote(path);
}

fs::path destinationPath(const Applier& applier, const Destination& destination) {
  const fs::path& path = applier.paths[destination.entry];
  if (destination.stream < 0) return path;
  return namedStreamPath(path, applier.tree.entries[destination.entry]
                                   .namedStreams[static_cast<std::size_t>(destination.stream)]
                                   .name);
}

// Opens a destination for writing. A file that cannot be written stops the
// apply; a named stream the target will not take is counted and left out.
Stop openDestination(Applier& applier, const Destination& destination, std::ofstream& out,
                     bool& opened) {
  opened = false;
  const fs::path path = destinationPath(applier, destination);
  if (destination.stream < 0 && occupiedByOther(path, fs::file_type::regular))
    return stopWith(kApplyExitWriteFailed, "cannot write the file " +
                                               shownPath(applier, destination) +
                                               ": something that is no file is in its place");
  out.open(path, std::ios::binary | std::ios::trunc);
  if (out) {
    opened = true;
    return Stop{};
  }
  if (destination.stream >= 0) {
    applier.failures.add(MetadataKind::NamedStream,
                         shownPath(applier, destination) + ": the stream cannot be created");
    return Stop{};
  }
  return stopWith(kApplyExitWriteFailed,
                  "cannot create the file " + shownPath(applier, destination));
}

void removeQuietly(const fs::path& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
}

Stop makeFolders(Applier& applier) {
  for (std::size_t index : applier.plan.folders) {
    const fs::path& path = applier.paths[index];
    const auto shown = [&applier, index]() { return quote(entryPath(applier.tree, index)); };
    if (occupiedByOther(path, fs::file_type::directory))
      return stopWith(kApplyExitWriteFailed, "cannot create the folder " + shown() +
                                                 ": something that is no folder is in its place");
    std::error_code error;
    fs::create_directory(path, error);
    if (error || !fs::is_directory(fs::symlink_status(path, error)))
      return stopWith(kApplyExitWriteFailed,
                      "cannot create the folder " + shown() + ": " + systemReason(error));
  }
  return Stop{};
}

Stop makeEmptyFiles(Applier& applier) {
  std::vector<Destination> empty;
  for (std::size_t index : applier.plan.emptyFiles) empty.push_back(Destination{index, -1});
  empty.insert(empty.end(), applier.plan.emptyStreams.begin(), applier.plan.emptyStreams.end());
  for (const Destination& destination : empty) {
    std::ofstream out;
    bool opened = false;
    Stop stop = openDestination(applier, destination, out, opened);
    if (stop.stopped()) return stop;
  }
  return Stop{};
}

// Copies a blob's data from the first place it was written to another.
Stop copyTo(Applier& applier, const fs::path& from, const Destination& destination) {
  std::ofstream out;
  bool opened = false;
  Stop stop = openDestination(applier, destination, out, opened);
  if (stop.stopped() || !opened) return stop;
  std::ifstream in(from, std::ios::binary);
  if (applier.copyBuffer.empty()) applier.copyBuffer.resize(kPlainPieceSize);
  while (in) {
    in.read(reinterpret_cast<char*>(applier.copyBuffer.data()),
            static_cast<std::streamsize>(applier.copyBuffer.size()));
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    out.write(reinterpret_cast<const char*>(applier.copyBuffer.data()), got);
    applier.advance(static_cast<std::uint64_t>(got));
  }
  out.close();
  if (!in.eof() || !out) {
    removeQuietly(destinationPath(applier, destination));
    if (destination.stream >= 0) {
      applier.failures.add(MetadataKind::NamedStream,
                           shownPath(applier, destination) + ": the stream cannot be written");
      return Stop{};
    }
    return stopWith(kApplyExitWriteFailed,
                    "cannot write the file " + shownPath(applier, destination));
  }
  return Stop{};
}

Stop startBlob(Applier& applier, std::size_t work, Applier::Open& open) {
  open.work = work;
  const BlobWork& blob = applier.plan.blobs[work];
  for (const Destination& destination : blob.destinations)
    if (destination.stream == kReparseData) open.keep = true;
  for (std::size_t d = 0; d < blob.destinations.size(); ++d) {
    if (!isFile(blob.destinations[d])) continue;
    bool opened = false;
    Stop stop = openDestination(applier, blob.destinations[d], open.out, opened);
    if (stop.stopped()) return stop;
    if (opened) {
      open.writing = true;
      open.destination = d;
      open.path = destinationPath(applier, blob.destinations[d]);
      return Stop{};
    }
  }
  return Stop{};  // only streams that the target refuses: the data is still checked
}

Stop finishBlob(Applier& applier, Applier::Open& open) {
  const BlobWork& blob = applier.plan.blobs[open.work];
  const Destination& first = blob.destinations[open.destination];
  if (open.writing) {
    open.out.close();
    if (!open.out) {
      removeQuietly(open.path);
      return stopWith(kApplyExitWriteFailed,
                      "cannot write " + shownPath(applier, first) + "; it was removed");
    }
  }
  const Sha1Digest written = open.sha1.finish();
  if (written != blob.blob->hash) {
    if (open.writing) removeQuietly(open.path);
    return stopWith(kApplyExitHashMismatch, "the data of " + shownPath(applier, first) +
                                                " fails its SHA-1 check (the lookup table says " +
                                                sha1Hex(blob.blob->hash) + ", the data read has " +
                                                sha1Hex(written) +
                                                "): the image is damaged; the file was not kept");
  }
  for (const Destination& destination : blob.destinations)
    if (destination.stream == kReparseData) applier.reparseData[destination.entry] = open.kept;
  if (!open.writing) return Stop{};
  for (std::size_t d = open.destination + 1; d < blob.destinations.size(); ++d) {
    if (!isFile(blob.destinations[d])) continue;
    Stop copied = copyTo(applier, open.path, blob.destinations[d]);
    if (copied.stopped()) return copied;
  }
  return Stop{};
}

// Feeds one decoded chunk to the blobs whose data it holds.
Stop feedChunk(Applier& applier, ChunkStream& stream, std::size_t streamIndex,
               std::uint64_t chunkStart, ByteSpan data) {
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
    }
    Applier::Open& open = found->second;
    const std::uint64_t from = std::max(chunkStart, stretch.start + open.done);
    const std::uint64_t to = std::min(chunkEnd, stretchEnd);
    if (to > from) {
      const std::uint8_t* bytes = data.data + (from - chunkStart);
      const std::size_t count = static_cast<std::size_t>(to - from);
      open.sha1.update(bytes, count);
      if (open.keep) open.kept.insert(open.kept.end(), bytes, bytes + count);
      if (open.writing) {
        open.out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count));
        if (!open.out) {
          open.out.close();
          removeQuietly(open.path);
          return stopWith(
              kApplyExitWriteFailed,
              "cannot write " +
                  shownPath(applier, applier.plan.blobs[open.work].destinations[open.destination]) +
                  "; it was removed");
        }
      }
      open.done += count;
      applier.advance(open.writing ? count : 0);
    }
    if (open.done == stretch.size) {
      Stop finished = finishBlob(applier, open);
      applier.open.erase(found);
      if (finished.stopped()) return finished;
    }
  }
  while (stream.firstOpen < stream.stretches.size() &&
         stream.stretches[stream.firstOpen].start + stream.stretches[stream.firstOpen].size <=
             chunkEnd)
    ++stream.firstOpen;
  return Stop{};
}

Stop writeBlobs(Applier& applier, const ImageParts& parts, ReadPlan& reading) {
  // Blobs of no bytes have no chunks: their files are made here.
  for (std::size_t w = 0; w < applier.plan.blobs.size(); ++w) {
    if (applier.plan.blobs[w].blob->dataSize() != 0) continue;
    Applier::Open open;
    Stop stop = startBlob(applier, w, open);
    if (!stop.stopped()) stop = finishBlob(applier, open);
    if (stop.stopped()) return stop;
  }
  const unsigned cores = std::thread::hardware_concurrency();
  const unsigned threads = std::min(4u, std::max(1u, cores));
  const std::vector<std::pair<std::size_t, std::uint64_t>> places = reading.places;
  ChunkPipeline pipeline(
      std::move(reading.chunks), [&parts] { return makePartReader(parts); }, threads,
      kReadAheadBudget);
  for (std::size_t k = 0;; ++k) {
    ByteSpan data;
    bool done = false;
    Outcome outcome = pipeline.next(data, done);
    if (!outcome.ok()) {
      for (auto& open : applier.open)
        if (open.second.writing) {
          open.second.out.close();
          removeQuietly(open.second.path);
        }
      return stopFor(outcome);
    }
    if (done) break;
    const auto& place = places[k];
    Stop fed = feedChunk(applier, reading.streams[place.first], place.first, place.second, data);
    if (fed.stopped()) return fed;
  }
  if (!applier.open.empty())
    return stopWith(kApplyExitBadImage, "the image's data ended before all files were written");
  return Stop{};
}

Stop makeLinks(Applier& applier) {
  for (const auto& link : applier.plan.links) {
    const fs::path& path = applier.paths[link.first];
    const auto shown = [&applier, &link]() { return quote(entryPath(applier.tree, link.first)); };
    if (occupiedByOther(path, fs::file_type::regular))
      return stopWith(kApplyExitWriteFailed,
                      "cannot link " + shown() + ": something that is no file is in its place");
    removeQuietly(path);
    std::error_code error;
    fs::create_hard_link(applier.paths[link.second], path, error);
    if (error)
      return stopWith(kApplyExitWriteFailed, "cannot link " + shown() + " to " +
                                                 quote(entryPath(applier.tree, link.second)) +
                                                 ": " + systemReason(error));
  }
  return Stop{};
}

Stop makeReparsePoints(Applier& applier) {
  for (std::size_t index : applier.plan.reparsePoints) {
    const TreeEntry& entry = applier.tree.entries[index];
    const fs::path& path = applier.paths[index];
    const std::vector<std::uint8_t>& reparse = applier.reparseData[index];
    if (targetMakesReparsePointsInPlace() && !entry.isDirectory() && isZeroDigest(entry.data)) {
      if (occupiedByOther(path, fs::file_type::regular))
        return stopWith(kApplyExitWriteFailed, "cannot create " +
                                                   quote(entryPath(applier.tree, index)) +
                                                   ": something that is no file is in its place");
      std::ofstream made(path, std::ios::binary | std::ios::trunc);
      if (!made)
        return stopWith(kApplyExitWriteFailed,
                        "cannot create " + quote(entryPath(applier.tree, index)));
    }
    if (!targetMakesReparsePointsInPlace() && occupiedByOther(path, fs::file_type::not_found)) {
      applier.failures.add(MetadataKind::ReparseData,
                           quote(entryPath(applier.tree, index)) + ": something is in its place");
      continue;
    }
    const std::string reason = applyReparseData(path, entry.isDirectory(), entry.reparseTag,
                                                ByteSpan{reparse.data(), reparse.size()});
    if (!reason.empty())
      applier.failures.add(MetadataKind::ReparseData,
                           quote(entryPath(applier.tree, index)) + ": " + reason);
  }
  return Stop{};
}

void applyMetadata(Applier& applier) {
  const ImageTree& tree = applier.tree;
  // Backwards: what a folder holds before the folder, whose time each new
  // entry would change again.
  for (std::size_t index = tree.entries.size() - 1; index > 0; --index) {
    if (applier.plan.linked[index]) continue;
    const TreeEntry& entry = tree.entries[index];
    const fs::path& path = applier.paths[index];
    std::error_code error;
    if (fs::symlink_status(path, error).type() == fs::file_type::not_found) continue;
    EntryMetadata metadata;
    metadata.folder = entry.isDirectory();
    metadata.attributes = entry.attributes;
    metadata.creationTime = entry.creationTime;
    metadata.lastAccessTime = entry.lastAccessTime;
    metadata.lastWriteTime = entry.lastWriteTime;
    if (entry.securityId >= 0) {
      const auto& descriptor = tree.descriptors[static_cast<std::size_t>(entry.securityId)];
      metadata.securityDescriptor = ByteSpan{descriptor.data(), descriptor.size()};
    }
    metadata.shortName = entry.shortName;
    applyEntryMetadata(path, metadata, entry.isReparsePoint(), applier.failures);
  }
}

const char* kindName(MetadataKind kind) {
  switch (kind) {
    case MetadataKind::Attributes:
      return "file attributes";
    case MetadataKind::Times:
      return "timestamps";
    case MetadataKind::Security:
      return "security descriptors";
    case MetadataKind::ShortName:
      return "short names";
    case MetadataKind::ReparseData:
      return "reparse points";
    case MetadataKind::NamedStream:
      return "named streams";
  }
  return "";
}

// What this system leaves out altogether, said before the writing starts.
std::string notApplicable(const ImageTree& tree, const Plan& plan) {
  std::vector<std::string> parts;
  if (!targetKeepsMetadata(MetadataKind::Attributes)) parts.push_back("file attributes");
  if (!targetKeepsMetadata(MetadataKind::Security) && !tree.descriptors.empty())
    parts.push_back(
        counted(tree.descriptors.size(), "security descriptor", "security descriptors"));
  if (!targetKeepsMetadata(MetadataKind::ShortName) && plan.shortNames != 0)
    parts.push_back(counted(plan.shortNames, "short name", "short names"));
  if (!plan.streamsKept && plan.namedStreams != 0)
    parts.push_back(counted(plan.namedStreams, "named stream", "named streams"));
  if (parts.empty()) return std::string();
  std::string text = "Not applied on this system or file system: ";
  for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? ", " : "") + parts[i];
  return text;
}

Stop writeTree(Applier& applier, const ImageParts& parts, const fs::path& target) {
  const ImageTree& tree = applier.tree;
  applier.paths.assign(tree.entries.size(), fs::path());
  applier.paths[0] = target;
  for (std::size_t i = 1; i < tree.entries.size(); ++i)
    applier.paths[i] = applier.paths[tree.entries[i].parent] / pathOfName(tree.entries[i].name);

  ReadPlan reading;
  Stop stop = planReading(parts, applier.plan, makePartReader(parts), reading);
  if (!stop.stopped()) stop = makeFolders(applier);
  if (!stop.stopped()) stop = makeEmptyFiles(applier);
  if (!stop.stopped()) stop = writeBlobs(applier, parts, reading);
  if (!stop.stopped()) stop = makeLinks(applier);
  if (!stop.stopped()) stop = makeReparsePoints(applier);
  if (stop.stopped()) return stop;
  applyMetadata(applier);
  for (int kind = 0; kind < kMetadataKinds; ++kind) {
    const std::uint64_t count = applier.failures.count[kind];
    if (count == 0) continue;
    applier.printLine(
        kWarnLinePrefix +
        printable(decimal(count) + " of the " + kindName(static_cast<MetadataKind>(kind)) +
                  " could not be applied; the first: " + applier.failures.first[kind]));
  }
  return Stop{};
}

// The header, the XML data (for the image's name), the index, the target,
// the lookup tables of all parts and the image's tree; then the plan and the
// writing.
Stop apply(const std::string& imagePath, const std::string& indexText, const fs::path& target,
           const PrintLine& printLine, const MillisecondClock& clock, std::uint32_t& index) {
  if (imagePath.empty()) return stopWith(kApplyExitBadArguments, "no image file given");
  if (!looksLikeIndex(indexText))
    return stopWith(kApplyExitBadArguments,
                    "the image index " + quote(indexText) + " is not a number from 1 on");
  if (target.empty()) return stopWith(kApplyExitBadArguments, "no target folder given");
  // The system would end the path at a NUL and write somewhere else.
  if (target.native().find(fs::path::value_type{0}) != fs::path::string_type::npos)
    return stopWith(kApplyExitBadArguments, "the target folder's name holds a NUL character");

  const std::string shownImage = displayPath(pathFromArgument(imagePath));
  WimInfo info;
  std::uint64_t size = 0;
  {
    std::ifstream file(imagePath, std::ios::binary | std::ios::ate);
    if (!file) return stopWith(kApplyExitBadImage, "cannot open " + shownImage);
    size = static_cast<std::uint64_t>(std::max<std::streamoff>(0, file.tellg()));
    const ReadAt readAt = [&file](std::uint64_t offset, std::size_t count,
                                  std::vector<std::uint8_t>& out) {
      out.resize(count);
      file.clear();
      file.seekg(static_cast<std::streamoff>(offset), std::ios::beg);
      file.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(count));
      return file.gcount() == static_cast<std::streamsize>(count);
    };
    Outcome outcome = readWimInfo(size, readAt, info);
    if (outcome.problem == Problem::Unreadable) outcome.reason = "cannot read " + shownImage;
    if (!outcome.ok()) return stopFor(outcome);
  }
  const Header& header = info.header;
  if (!parseImageIndex(indexText, header.imageCount, index))
    return stopWith(kApplyExitBadArguments, "there is no image " + indexText + ": " + shownImage +
                                                " holds " +
                                                counted(header.imageCount, "image", "images"));
  std::error_code error;
  if (!fs::is_directory(target, error))
    return stopWith(kApplyExitNoTarget,
                    "the target folder " + quote(displayPath(target)) +
                        (fs::exists(target, error) ? " is not a folder" : " does not exist"));

  ImageParts parts;
  Outcome outcome = openImageParts(imagePath, header, size, parts);
  if (!outcome.ok()) return stopFor(outcome);

  const BlobEntry& metadataEntry = parts.table.entries[parts.table.metadata[index - 1]];
  const std::string metadataName = "the metadata of image " + decimal(index);
  if (metadataEntry.resource.flags & kResourceSolid)
    return stopWith(kApplyExitUnsupported, metadataName + " is packed in a solid resource");
  if (metadataEntry.resource.originalSize > kMaxMetadataSize)
    return stopWith(kApplyExitBadImage, metadataName + " claims " +
                                            decimal(metadataEntry.resource.originalSize) +
                                            " bytes, far more than any image has");
  std::vector<std::uint8_t> bytes;
  outcome = readWholeResource(metadataEntry, parts, bytes);
  if (!outcome.ok()) {
    outcome.reason = metadataName + ": " + outcome.reason;
    return stopFor(outcome);
  }
  if (sha1Of(bytes.data(), bytes.size()) != metadataEntry.hash)
    return stopWith(kApplyExitBadImage, metadataName + " fails its SHA-1 check: it is damaged");
  ImageTree tree;
  outcome = parseImageMetadata(ByteSpan{bytes.data(), bytes.size()}, tree);
  if (!outcome.ok()) return stopFor(outcome);
  std::vector<std::uint8_t>().swap(bytes);  // the tree holds all that is needed

  Plan plan;
  Stop stop = planApply(parts, tree, targetKeepsNamedStreams(target), plan);
  if (stop.stopped()) return stop;

  const ImageEntry& described = info.xml.images[index - 1];
  printLine(kInfoLinePrefix +
            printable("Applying image " + decimal(index) +
                      (described.hasName ? " " + quote(described.name) : std::string()) + " of " +
                      shownImage + " to " + displayPath(target)));
  printLine(kInfoLinePrefix +
            printable(counted(plan.folders.size(), "folder", "folders") + ", " +
                      counted(plan.files, "file", "files") + ", " +
                      counted(plan.totalBytes, "byte", "bytes") + " of file data"));
  for (const std::string& missing : prepareApplyPrivileges())
    printLine(kWarnLinePrefix + printable(missing));
  const std::string leftOut = notApplicable(tree, plan);
  if (!leftOut.empty()) printLine(kWarnLinePrefix + printable(leftOut));

  Applier applier{tree, plan, printLine, clock, ProgressMeter{}, 0, {}, {}, {}, {}, {}};
  printLine(progressStart(applier.meter, plan.totalBytes, clock()));
  stop = writeTree(applier, parts, target);
  if (stop.stopped()) return stop;
  printLine(progressFinish(applier.meter, clock()));
  return Stop{};
}

}  // namespace

bool looksLikeIndex(const std::string& text) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

bool parseImageIndex(const std::string& text, std::uint32_t imageCount, std::uint32_t& index) {
  if (!looksLikeIndex(text)) return false;
  std::uint64_t value = 0;
  for (char c : text) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  if (value < 1 || value > imageCount) return false;
  index = static_cast<std::uint32_t>(value);
  return true;
}

int applyImage(const std::string& imagePath, const std::string& index, const fs::path& target,
               const PrintLine& printLine, const MillisecondClock& clock) {
  std::uint32_t applied = 0;
  const Stop stop = apply(imagePath, index, target, printLine, clock, applied);
  if (stop.stopped()) {
    printLine(kErrorPrefix + printable(stop.reason));
    return stop.code;
  }
  printLine(kInfoLinePrefix +
            printable("Applied image " + decimal(applied) + " to " + displayPath(target)));
  return kApplyExitOk;
}

int runApplyCommand(const std::string& imagePath, const std::string& index,
                    const std::string& target, const PrintLine& printLine) {
  const auto start = std::chrono::steady_clock::now();
  const MillisecondClock clock = [start]() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
  };
  return applyImage(imagePath, index, target.empty() ? fs::path() : pathFromArgument(target),
                    printLine, clock);
}

}  // namespace wim
