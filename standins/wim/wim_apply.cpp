#include "standins/wim/wim_apply.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <ios>
#include <limits>
#include <map>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "standins/wim/apply_progress.h"
#include "standins/wim/blob_table.h"
#include "standins/wim/image_tree.h"
#include "standins/wim/sha1.h"
#include "standins/wim/target_paths.h"
#include "standins/wim/wim_info.h"

namespace wim {

namespace {

namespace fs = std::filesystem;

// Big enough that reading, hashing and writing run at disk speed, small
// enough that progress moves smoothly through a large file.
constexpr std::size_t kCopyChunk = 1u << 20;

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

// The image file, read at any offset. Sizes stay 64-bit throughout: an
// install image passes 4 GiB, also in the 32-bit build.
struct ImageFile {
  std::ifstream stream;
  std::uint64_t size = 0;

  bool open(const std::string& path) {
    stream.open(path, std::ios::binary);
    if (!stream) return false;
    stream.seekg(0, std::ios::end);
    const std::streamoff end = stream.tellg();
    if (!stream || end < 0) return false;
    size = static_cast<std::uint64_t>(end);
    return true;
  }

  bool readAt(std::uint64_t offset, std::size_t count, std::uint8_t* out) {
    if (offset > size || count > size - offset) return false;
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::streamoff>::max()) ||
        count > static_cast<std::size_t>(std::numeric_limits<std::streamsize>::max()))
      return false;
    stream.clear();
    stream.seekg(static_cast<std::streamoff>(offset), std::ios::beg);
    if (!stream) return false;
    stream.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count));
    return stream.gcount() == static_cast<std::streamsize>(count);
  }
};

// Reads a whole resource that the caller has checked to be stored as is.
Stop readResource(ImageFile& file, const ResourceHeader& resource, const std::string& what,
                  std::vector<std::uint8_t>& bytes) {
  if (resource.originalSize > std::numeric_limits<std::size_t>::max())
    return stopWith(kApplyExitBadImage, what + " is too large for this build to read");
  try {
    bytes.resize(static_cast<std::size_t>(resource.originalSize));
  } catch (const std::bad_alloc&) {
    return stopWith(kApplyExitBadImage, "not enough memory to read " + what);
  }
  if (!bytes.empty() && !file.readAt(resource.offset, bytes.size(), bytes.data()))
    return stopWith(kApplyExitBadImage, "cannot read " + what + " from the image file");
  return Stop{};
}

std::string compressionOf(const Header& header, const ResourceHeader& resource) {
  if (resource.flags & kResourceSolid) return "solid (packed) compression";
  if (header.compression == Compression::None) return "compression of no named kind";
  return std::string(compressionName(header.compression)) + " compression";
}

// Data this build can copy as it lies: uncompressed, in this file. `what`
// names it, for the message.
template <typename Name>
Stop checkStoredPlain(const Header& header, const ResourceHeader& resource, const Name& what) {
  if (resource.flags & (kResourceCompressed | kResourceSolid))
    return stopWith(kApplyExitUnsupported, what() + " is stored with " +
                                               compressionOf(header, resource) +
                                               ", and compression is not supported by this build "
                                               "(it applies images captured without compression)");
  if (resource.flags & kResourceSpanned)
    return stopWith(kApplyExitUnsupported, what() +
                                               " continues in another part of a split image, "
                                               "which this build does not join");
  return Stop{};
}

// What the apply will do, worked out before anything is written.
struct Plan {
  std::vector<const BlobEntry*> data;  // per tree entry: its file data, or null
  std::uint64_t totalBytes = 0;
  std::uint64_t folders = 0;
  std::uint64_t files = 0;
  std::uint64_t reparsePoints = 0;
  std::uint64_t namedStreams = 0;
  std::uint64_t shortNames = 0;
  std::uint64_t linkedNames = 0;  // names of files that have more than one
};

Stop planApply(const Header& header, const BlobTable& table, const ImageTree& tree, Plan& plan) {
  plan.data.assign(tree.entries.size(), nullptr);
  std::map<std::uint64_t, std::uint64_t> linkGroups;
  for (std::size_t i = 0; i < tree.entries.size(); ++i) {
    const TreeEntry& entry = tree.entries[i];
    plan.namedStreams += entry.namedStreams.size();
    if (!entry.shortName.empty()) ++plan.shortNames;
    if (entry.isReparsePoint()) {
      ++plan.reparsePoints;
      continue;
    }
    if (entry.isDirectory()) {
      if (i != 0) ++plan.folders;
      continue;
    }
    ++plan.files;
    if (entry.hardLinkGroup != 0) ++linkGroups[entry.hardLinkGroup];
    if (isZeroDigest(entry.data)) continue;
    // Named only when something is wrong: an install image has a hundred
    // thousand entries.
    const auto what = [&tree, i]() { return "the data of " + quote(entryPath(tree, i)); };
    const BlobEntry* blob = findBlob(table, entry.data);
    if (!blob)
      return stopWith(kApplyExitBadImage, what() + " (SHA-1 " + sha1Hex(entry.data) +
                                              ") is missing from the lookup table");
    Stop plain = checkStoredPlain(header, blob->resource, what);
    if (plain.stopped()) return plain;
    if (blob->partNumber != header.partNumber)
      return stopWith(kApplyExitBadImage,
                      what() + " is said to lie in part " + decimal(blob->partNumber) +
                          " of a file that is part " + decimal(header.partNumber));
    plan.data[i] = blob;
    plan.totalBytes += blob->resource.originalSize;
  }
  for (const auto& group : linkGroups)
    if (group.second > 1) plan.linkedNames += group.second;
  return Stop{};
}

std::string warningText(const ImageTree& tree, const Plan& plan) {
  std::vector<std::string> parts = {"file attributes", "timestamps"};
  if (tree.securityDescriptors != 0)
    parts.push_back(
        counted(tree.securityDescriptors, "security descriptor", "security descriptors"));
  if (plan.shortNames != 0) parts.push_back(counted(plan.shortNames, "short name", "short names"));
  if (plan.reparsePoints != 0)
    parts.push_back(counted(plan.reparsePoints, "reparse point", "reparse points") +
                    " (links and junctions: not created)");
  if (plan.namedStreams != 0)
    parts.push_back(counted(plan.namedStreams, "named stream", "named streams"));
  std::string text = "Not applied by this build: ";
  for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? ", " : "") + parts[i];
  if (plan.linkedNames != 0)
    text += "; " + counted(plan.linkedNames, "hard-linked name", "hard-linked names") +
            " written as separate copies";
  return text;
}

// The writing, entry by entry, with the progress it makes.
struct Applier {
  ImageFile& file;
  const ImageTree& tree;
  const Plan& plan;
  const PrintLine& printLine;
  const MillisecondClock& clock;
  ProgressMeter meter;
  std::uint64_t doneBytes = 0;
  std::vector<std::uint8_t> buffer;
  std::vector<fs::path> paths;  // per tree entry
};

std::string systemReason(const std::error_code& error) {
  return error ? error.message() : std::string("the system gave no reason");
}

// Something other than what is about to be written may already be there; a
// link above all must not be followed, or the apply could write outside the
// target.
bool occupiedByOther(const fs::path& path, fs::file_type wanted) {
  std::error_code error;
  const fs::file_type type = fs::symlink_status(path, error).type();
  return type != fs::file_type::not_found && type != wanted;
}

Stop makeFolder(Applier& applier, std::size_t index) {
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
  return Stop{};
}

Stop writeFile(Applier& applier, std::size_t index) {
  const fs::path& path = applier.paths[index];
  const auto shown = [&applier, index]() { return quote(entryPath(applier.tree, index)); };
  if (occupiedByOther(path, fs::file_type::regular))
    return stopWith(kApplyExitWriteFailed, "cannot write the file " + shown() +
                                               ": something that is no file is in its place");
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return stopWith(kApplyExitWriteFailed, "cannot create the file " + shown());
  // A file that looks complete but is not would be worse than none: whatever
  // stops the writing takes the file away again.
  const auto abandon = [&out, &path](Stop stop) {
    out.close();
    std::error_code ignored;
    fs::remove(path, ignored);
    stop.reason += "; the file was removed";
    return stop;
  };

  const BlobEntry* blob = applier.plan.data[index];
  Sha1 sha1;
  std::uint64_t offset = blob ? blob->resource.offset : 0;
  std::uint64_t left = blob ? blob->resource.originalSize : 0;
  while (left > 0) {
    const std::size_t chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(left, applier.buffer.size()));
    if (!applier.file.readAt(offset, chunk, applier.buffer.data()))
      return abandon(stopWith(kApplyExitBadImage,
                              "cannot read the data of " + shown() + " from the image file"));
    sha1.update(applier.buffer.data(), chunk);
    out.write(reinterpret_cast<const char*>(applier.buffer.data()),
              static_cast<std::streamsize>(chunk));
    if (!out) return abandon(stopWith(kApplyExitWriteFailed, "cannot write the file " + shown()));
    offset += chunk;
    left -= chunk;
    applier.doneBytes += chunk;
    const std::string line = progressUpdate(applier.meter, applier.doneBytes, applier.clock());
    if (!line.empty()) applier.printLine(line);
  }
  out.close();
  if (!out) return abandon(stopWith(kApplyExitWriteFailed, "cannot write the file " + shown()));
  if (blob) {
    const Sha1Digest written = sha1.finish();
    if (written != blob->hash)
      return abandon(
          stopWith(kApplyExitHashMismatch, "the data of " + shown() +
                                               " fails its SHA-1 check (the lookup table says " +
                                               sha1Hex(blob->hash) + ", the data read has " +
                                               sha1Hex(written) + "): the image is damaged"));
  }
  return Stop{};
}

Stop writeTree(Applier& applier, const fs::path& target) {
  const ImageTree& tree = applier.tree;
  applier.paths.assign(tree.entries.size(), fs::path());
  applier.paths[0] = target;
  try {
    applier.buffer.resize(kCopyChunk);
  } catch (const std::bad_alloc&) {
    return stopWith(kApplyExitWriteFailed, "not enough memory for the copy buffer");
  }
  for (std::size_t i = 1; i < tree.entries.size(); ++i) {
    const TreeEntry& entry = tree.entries[i];
    if (entry.isReparsePoint()) continue;
    applier.paths[i] = applier.paths[entry.parent] / pathOfName(entry.name);
    const Stop done = entry.isDirectory() ? makeFolder(applier, i) : writeFile(applier, i);
    if (done.stopped()) return done;
  }
  return Stop{};
}

// The header, the XML data (for the image's name), the index, the target,
// the lookup table and the image's tree; then the plan and the writing.
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
  ImageFile file;
  if (!file.open(imagePath)) return stopWith(kApplyExitBadImage, "cannot open " + shownImage);
  const ReadAt readAt = [&file](std::uint64_t offset, std::size_t count,
                                std::vector<std::uint8_t>& out) {
    out.resize(count);
    return file.readAt(offset, count, out.data());
  };
  WimInfo info;
  Outcome outcome = readWimInfo(file.size, readAt, info);
  if (outcome.problem == Problem::Unreadable) outcome.reason = "cannot read " + shownImage;
  if (!outcome.ok()) return stopFor(outcome);
  const Header& header = info.header;
  if (!parseImageIndex(indexText, header.imageCount, index))
    return stopWith(kApplyExitBadArguments, "there is no image " + indexText + ": " + shownImage +
                                                " holds " +
                                                counted(header.imageCount, "image", "images"));
  if (header.totalParts > 1)
    return stopWith(kApplyExitUnsupported, shownImage + " is part " + decimal(header.partNumber) +
                                               " of a split image of " +
                                               decimal(header.totalParts) +
                                               " parts, which this build does not join");

  std::error_code error;
  if (!fs::is_directory(target, error))
    return stopWith(kApplyExitNoTarget,
                    "the target folder " + quote(displayPath(target)) +
                        (fs::exists(target, error) ? " is not a folder" : " does not exist"));

  const ResourceHeader& tableResource = header.lookupTable;
  Stop stop =
      checkStoredPlain(header, tableResource, [] { return std::string("the lookup table"); });
  if (stop.stopped()) return stop;
  if (tableResource.storedSize != tableResource.originalSize ||
      tableResource.originalSize > kMaxBlobTableSize)
    return stopWith(kApplyExitBadImage, "the lookup table gives the impossible size " +
                                            decimal(tableResource.originalSize));
  std::vector<std::uint8_t> bytes;
  stop = readResource(file, tableResource, "the lookup table", bytes);
  if (stop.stopped()) return stop;
  BlobTable table;
  outcome = parseBlobTable(ByteSpan{bytes.data(), bytes.size()}, header, file.size, table);
  if (!outcome.ok()) return stopFor(outcome);

  const BlobEntry& metadataEntry = table.entries[table.metadata[index - 1]];
  const std::string metadataName = "the metadata of image " + decimal(index);
  stop = checkStoredPlain(header, metadataEntry.resource, [&metadataName] { return metadataName; });
  if (stop.stopped()) return stop;
  if (metadataEntry.resource.originalSize > kMaxMetadataSize)
    return stopWith(kApplyExitBadImage, metadataName + " claims " +
                                            decimal(metadataEntry.resource.originalSize) +
                                            " bytes, far more than any image has");
  stop = readResource(file, metadataEntry.resource, metadataName, bytes);
  if (stop.stopped()) return stop;
  if (sha1Of(bytes.data(), bytes.size()) != metadataEntry.hash)
    return stopWith(kApplyExitBadImage, metadataName + " fails its SHA-1 check: it is damaged");
  ImageTree tree;
  outcome = parseImageMetadata(ByteSpan{bytes.data(), bytes.size()}, tree);
  if (!outcome.ok()) return stopFor(outcome);
  std::vector<std::uint8_t>().swap(bytes);  // the tree holds all that is needed

  Plan plan;
  stop = planApply(header, table, tree, plan);
  if (stop.stopped()) return stop;

  const ImageEntry& described = info.xml.images[index - 1];
  printLine(kInfoLinePrefix +
            printable("Applying image " + decimal(index) +
                      (described.hasName ? " " + quote(described.name) : std::string()) + " of " +
                      shownImage + " to " + displayPath(target)));
  printLine(kInfoLinePrefix +
            printable(counted(plan.folders, "folder", "folders") + ", " +
                      counted(plan.files, "file", "files") + ", " +
                      counted(plan.totalBytes, "byte", "bytes") + " of file data"));
  printLine(kWarnLinePrefix + printable(warningText(tree, plan)));

  Applier applier{file, tree, plan, printLine, clock, ProgressMeter{}, 0, {}, {}};
  printLine(progressStart(applier.meter, plan.totalBytes, clock()));
  stop = writeTree(applier, target);
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
