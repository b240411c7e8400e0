// The stages of the apply, in the order wim_apply.cpp runs them: the plan
// (what goes where, worked out before anything is written), the reading plan
// (which chunks of the image hold that data, front to back), the writing of
// folders, files, links and reparse points, and the metadata pass. One
// procedure each, sharing the plan and the writer's state declared here.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "wim/apply/apply_progress.h"
#include "wim/apply/apply_target.h"
#include "wim/apply/volume_writer.h"
#include "wim/apply/write_queue.h"
#include "wim/format/blob_table.h"
#include "wim/format/image_parts.h"
#include "wim/format/image_tree.h"
#include "wim/format/outcome.h"
#include "wim/format/resource_chunks.h"
#include "wim/format/sha1.h"
#include "wim/apply/wim_apply.h"
#include "wim/format/wim_info.h"

namespace wim::applying {

namespace fs = std::filesystem;

inline std::string quote(const std::string& text) { return "\"" + text + "\""; }

inline std::string counted(std::uint64_t count, const char* one, const char* many) {
  return decimal(count) + " " + (count == 1 ? one : many);
}

// Why the apply stops, and with which exit code.
struct Stop {
  int code = kApplyExitOk;
  std::string reason;

  bool stopped() const { return code != kApplyExitOk; }
};

inline Stop stopWith(int code, std::string reason) { return Stop{code, std::move(reason)}; }

inline Stop stopFor(const Outcome& outcome) {
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
  TargetTraits target;
  // Named streams that the target cannot take as they are: too large to be
  // written whole. Reported, not written.
  std::vector<Destination> refusedStreams;
};

// Whether a destination is written as a file through a path; the others are
// kept in memory and written whole later (reparse data, and named streams
// where the target writes them whole).
inline bool isFile(const Plan& plan, const Destination& destination) {
  return destination.stream == kUnnamedData ||
         (destination.stream >= 0 && !plan.target.streamsWrittenWhole);
}

// The reading: every blob's data as a stretch of a stream of chunks. A blob
// stored on its own is a stream of its own; the blobs of a solid group are
// stretches of the group's unpacked data.
struct Stretch {
  std::uint64_t start = 0;
  std::uint64_t size = 0;
  std::size_t work = 0;  // index into Plan::blobs
  // A stretch that lies wholly inside one chunk is hashed by the worker that
  // decoded the chunk (apply_writing.cpp); the writer compares only.
  bool hashed = false;
  Sha1Digest digest{};
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

// The writing, with the progress it makes.
struct Applier {
  const ImageTree& tree;
  const Plan& plan;
  const PrintLine& printLine;
  const MillisecondClock& clock;
  ProgressMeter meter;
  std::uint64_t doneBytes = 0;
  std::vector<fs::path> paths;  // per tree entry
  std::vector<bool> made;       // per tree entry: it is there (metadata goes only there)
  MetadataFailures failures;
  // A blob being written to the file destinations that it is written to at
  // once (the others are copied from the first when it is done).
  struct Open {
    std::size_t work = 0;
    // Its files, until the last bytes go to the writer with them.
    std::unique_ptr<BlobFiles> out;
    std::size_t firstFile = 0;   // the first file's index in the blob's destinations
    std::size_t copiedFrom = 0;  // destinations from this one on are copied afterwards
    Sha1 sha1;                   // unused where the stretch was hashed ahead
    bool hashedAhead = false;
    Sha1Digest aheadDigest{};
    std::uint64_t done = 0;
    bool keep = false;  // reparse data: the bytes are kept as well
    std::vector<std::uint8_t> kept;

    // False: it only checks the data.
    bool writing() const { return out && !out->files.empty(); }
  };
  std::map<std::pair<std::size_t, std::size_t>, Open> open;  // by stream and stretch
  std::vector<std::uint8_t> copyBuffer;
  std::map<std::size_t, std::vector<std::uint8_t>> reparseData;  // by tree entry
  std::map<std::size_t, std::vector<std::uint8_t>> streamData;   // by blob work, when written whole
  // The volume written directly, where the target is one; `paths` are then
  // the volume's own, from "/".
  VolumeWriter* volume = nullptr;
  // Set: the progress goes there instead of into lines.
  const ProgressSink* sink = nullptr;
  // The writers of the file data, while writeBlobs runs.
  WriteQueue* queue = nullptr;

  void advance(std::uint64_t bytes) {
    doneBytes += bytes;
    if (sink) {
      (*sink)(ApplyProgress{doneBytes, plan.totalBytes, false});
      return;
    }
    const std::string line = progressUpdate(meter, doneBytes, clock());
    if (!line.empty()) printLine(line);
  }
};

// What the apply will do: every blob with its destinations, the folders,
// empty files, links and reparse points. Fails on an image that names data
// its lookup table does not hold.
Stop planApply(const ImageParts& parts, const ImageTree& tree, const TargetTraits& target,
               Plan& plan);

// What this system leaves out altogether, said before the writing starts;
// the empty text when it keeps everything the image holds.
std::string notApplicable(const ImageTree& tree, const Plan& plan);

// Reads a whole resource that is not packed into a solid one.
Outcome readWholeResource(const BlobEntry& entry, const ImageParts& parts,
                          std::vector<std::uint8_t>& bytes);

// The chunks that hold the plan's blobs, in the order the image is read.
Stop planReading(const ImageParts& parts, const Plan& plan, const ReadPart& read,
                 ReadPlan& reading);

// The writing, one stage each; every one stops the apply on the first
// destination it cannot write.
Stop makeFolders(Applier& applier);
Stop makeEmptyFiles(Applier& applier);
Stop writeBlobs(Applier& applier, const ImageParts& parts, ReadPlan& reading);
Stop makeLinks(Applier& applier);
Stop makeReparsePoints(Applier& applier);

// Where the target writes named streams whole: every stream, once the files
// exist. Where it wants short names before hard links: every short name.
// What the target refuses is counted, not fatal.
void writeStreamsWhole(Applier& applier);
void applyShortNames(Applier& applier);

// Attributes, times, security and short names, last of all; what the target
// refuses is counted, not fatal. Then one warning line for each kind that
// failed, and on a volume prepared for Windows the stop that fails the apply
// when what Windows needs is missing.
void applyMetadata(Applier& applier);
Stop reportMetadataFailures(const Applier& applier);

}  // namespace wim::applying
