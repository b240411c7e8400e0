#include "wim/apply/wim_apply.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <ios>
#include <memory>
#include <system_error>
#include <vector>

#include "wim/apply/apply_stages.h"
#include "wim/apply/apply_target.h"
#include "wim/apply/reparse_data.h"
#include "wim/apply/target_paths.h"
#include "wim/apply/volume_writer.h"

namespace wim {

namespace {

using namespace applying;

// The image's tree written under the target: the reading is planned first
// (a damaged chunk table stops the apply before anything is written), then
// folders before what they hold, the data of every file, named streams
// where the target writes them whole, short names where the target wants
// them before links, the second names of hard-linked files, reparse points,
// and the metadata last, since every write before it would move a time
// again (the order on ntfs-3g is explained in apply_target_posix.cpp).
Stop writeTree(Applier& applier, const ImageParts& parts, const fs::path& target) {
  const ImageTree& tree = applier.tree;
  applier.paths.assign(tree.entries.size(), fs::path());
  // Long paths on Windows: many an image holds paths past MAX_PATH.
  applier.paths[0] = applier.volume ? fs::path("/") : systemPath(target);
  applier.made.assign(tree.entries.size(), false);
  applier.made[0] = true;
  for (std::size_t i = 1; i < tree.entries.size(); ++i)
    applier.paths[i] = applier.paths[tree.entries[i].parent] / pathOfName(tree.entries[i].name);

  ReadPlan reading;
  Stop stop = planReading(parts, applier.plan, makePartReader(parts), reading);
  if (stop.stopped()) return stop;
  // A folder whose file system says it has too little room is refused before
  // the first write, once the image is known to be sound (a volume given as
  // its device is checked by its writer).
  std::uint64_t freeBytes = 0;
  if (!applier.volume && targetFreeBytes(target, freeBytes) && freeBytes < applier.plan.totalBytes)
    return stopWith(kApplyExitWriteFailed,
                    "the target " + quote(displayPath(target)) + " has " + decimal(freeBytes) +
                        " bytes free, the image's files need " + decimal(applier.plan.totalBytes) +
                        "; nothing was written");
  stop = makeFolders(applier);
  if (!stop.stopped()) stop = makeEmptyFiles(applier);
  if (!stop.stopped()) stop = writeBlobs(applier, parts, reading);
  if (stop.stopped()) return stop;
  writeStreamsWhole(applier);
  applyShortNames(applier);
  stop = makeLinks(applier);
  if (!stop.stopped()) stop = makeReparsePoints(applier);
  if (stop.stopped()) return stop;
  applyMetadata(applier);
  return reportMetadataFailures(applier);
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
  // A block device or a file that holds a volume is written directly where
  // this build can.
  const bool toVolume = directVolumesSupported() && !fs::is_directory(target, error) &&
                        isVolumeTarget(target.string());
  if (!toVolume && !fs::is_directory(target, error))
    return stopWith(kApplyExitNoTarget,
                    "the target folder " + quote(displayPath(target)) +
                        (fs::exists(target, error)
                             ? (directVolumesSupported()
                                    ? " is not a folder, nor a device or file with an NTFS volume"
                                    : " is not a folder")
                             : " does not exist"));

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
  outcome = parseImageMetadata(le::ByteSpan{bytes.data(), bytes.size()}, tree);
  if (!outcome.ok()) return stopFor(outcome);
  std::vector<std::uint8_t>().swap(bytes);  // the tree holds all that is needed

  Plan plan;
  Stop stop = planApply(
      parts, tree, toVolume ? volumeTraits(displayPath(target)) : describeTarget(target), plan);
  if (stop.stopped()) return stop;
  std::unique_ptr<VolumeWriter> volume;
  if (toVolume) {
    std::string refused;
    volume = openVolumeWriter(target.string(), plan.totalBytes, refused);
    if (!volume) return stopWith(kApplyExitVolumeRefused, refused);
  }

  const ImageEntry& described = info.xml.images[index - 1];
  printLine(kInfoLinePrefix +
            printable("Applying image " + decimal(index) +
                      (described.hasName ? " " + quote(described.name) : std::string()) + " of " +
                      shownImage + " to " + displayPath(target)));
  printLine(kInfoLinePrefix +
            printable(counted(plan.folders.size(), "folder", "folders") + ", " +
                      counted(plan.files, "file", "files") + ", " +
                      counted(plan.totalBytes, "byte", "bytes") + " of file data"));
  if (!plan.target.description.empty())
    printLine(kInfoLinePrefix + printable(plan.target.description));
  bool symbolicLinks = false;
  for (const TreeEntry& entry : tree.entries)
    symbolicLinks =
        symbolicLinks || (entry.isReparsePoint() && entry.reparseTag == kReparseTagSymlink);
  for (const std::string& missing : prepareApplyPrivileges(symbolicLinks))
    printLine(kWarnLinePrefix + printable(missing));
  const std::string leftOut = notApplicable(tree, plan);
  if (!leftOut.empty()) printLine(kWarnLinePrefix + printable(leftOut));

  Applier applier{tree, plan, printLine, clock, ProgressMeter{}, 0, {}, {}, {}, {}, {}, {}, {}};
  applier.volume = volume.get();
  printLine(progressStart(applier.meter, plan.totalBytes, clock()));
  stop = writeTree(applier, parts, target);
  if (volume) {
    // Closed even after a stop: what was written is left consistent.
    const std::string unwritten = volume->finish();
    if (!stop.stopped() && !unwritten.empty()) stop = stopWith(kApplyExitWriteFailed, unwritten);
  }
  if (stop.stopped()) {
    // A full disk, an I/O error or an image that ends or breaks half-way: what
    // was written so far is no Windows.
    const bool started =
        std::find(applier.made.begin() + 1, applier.made.end(), true) != applier.made.end();
    if (stop.code == kApplyExitBadImage) stop.reason = shownImage + ": " + stop.reason;
    if (started && stop.code != kApplyExitMetadataIncomplete)
      stop.reason += "; " + displayPath(target) +
                     " now holds a partial copy of the image: format it and apply again";
    return stop;
  }
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
