// The imaging tool's apply command, "/apply <image> <index> <target>": writes
// the folders and files of one image of a WIM file into a folder that exists
// (a drive root such as D:\ or any other folder), checking the SHA-1 of every
// file while it is written, and reports its progress in the lines the
// program reads (apply_progress.h).
//
// This build reads WIM files whose data is stored uncompressed (as
// "wimcapture --compress=none" writes them); compressed data is refused
// before anything is written. It writes names and file data: named streams,
// reparse points, security descriptors, attributes and timestamps are left
// out (one "[ WARN ]" line says which), and the names of a hard-linked file
// become separate copies.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace wim {

// Exit codes of the apply. They follow the information query's 4 to 7.
inline constexpr int kApplyExitOk = 0;
inline constexpr int kApplyExitBadArguments = 8;   // a missing argument, an index not in 1..count
inline constexpr int kApplyExitBadImage = 9;       // unreadable, no WIM file, or damaged
inline constexpr int kApplyExitUnsupported = 10;   // compressed data, split or pipable files
inline constexpr int kApplyExitNoTarget = 11;      // the target folder does not exist
inline constexpr int kApplyExitWriteFailed = 12;   // a folder or file could not be written
inline constexpr int kApplyExitHashMismatch = 13;  // a file's data fails its SHA-1 check
// On an NTFS volume mounted by ntfs-3g: every file was written, but security
// descriptors or reparse points that Windows needs could not be.
inline constexpr int kApplyExitMetadataIncomplete = 14;
// The native tool given a volume to write directly: it is refused as it is
// (mounted, no NTFS, dirty, hibernated or too small), and nothing was written.
inline constexpr int kApplyExitVolumeRefused = 15;

inline constexpr char kInfoLinePrefix[] = "[ INFO ] ";
inline constexpr char kWarnLinePrefix[] = "[ WARN ] ";
// Errors start with kErrorPrefix, "[ ERROR ] ", as the query's do.

// Metadata beyond this is a broken size field: Windows' largest images need
// a fraction of it, and it must fit the 32-bit tool's memory.
inline constexpr std::uint64_t kMaxMetadataSize = 512ull << 20;

// Receives one output line, without a line end; the caller ends and flushes it.
using PrintLine = std::function<void(const std::string& line)>;
// A millisecond clock; only differences of its values count.
using MillisecondClock = std::function<std::uint64_t()>;

// Where a caller draws progress of its own in place of the progress lines:
// called with 0 bytes done as the writing starts, then as bytes go in, and
// with `finished` once everything is written and checked.
struct ApplyProgress {
  std::uint64_t doneBytes = 0;
  std::uint64_t totalBytes = 0;
  bool finished = false;
};
using ProgressSink = std::function<void(const ApplyProgress& progress)>;

// "/apply <imagePath> <index> <target>" with the arguments as the tool got
// them (narrow text, see target_paths.h). Prints through `printLine` and
// returns a kApplyExit* code.
int runApplyCommand(const std::string& imagePath, const std::string& index,
                    const std::string& target, const PrintLine& printLine);

// The same, with the progress handed to `progress` instead of printed as
// lines (an empty sink prints them).
int runApplyCommand(const std::string& imagePath, const std::string& index,
                    const std::string& target, const PrintLine& printLine,
                    const ProgressSink& progress);

// The same with the target as a path and a clock of the caller's choosing,
// so that tests can drive the progress lines.
int applyImage(const std::string& imagePath, const std::string& index,
               const std::filesystem::path& target, const PrintLine& printLine,
               const MillisecondClock& clock, const ProgressSink& progress = {});

// Reads an image index: decimal digits only, 1 to imageCount. False, with
// `index` unchanged, for anything else.
bool parseImageIndex(const std::string& text, std::uint32_t imageCount, std::uint32_t& index);

// True when `text` is decimal digits only (at most 10 of them): an index
// that may name an image, before the image's count is known.
bool looksLikeIndex(const std::string& text);

}  // namespace wim
