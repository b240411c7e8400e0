// A volume that the apply writes itself, without a mount in between: the
// native tool given a block device, a loop device or a file that holds one
// NTFS volume writes it through libntfs-3g (ntfs_volume_linux.cpp). The
// stages call a VolumeWriter where, for a folder, they call the functions of
// apply_target.h, in the same order (apply_target_posix.cpp explains it), so
// that the volume ends up as an ntfs-3g mount written by the apply would.
//
// Paths are the volume's own: "/" for its root, "/"-separated names as UTF-8
// (built the way the folder's paths are built). Only the writing thread calls
// a VolumeWriter: libntfs-3g is not safe between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bytes/little_endian.h"
#include "wim/apply/apply_target.h"

namespace wim {

// One file's data, or one of its named streams, being written front to back.
class VolumeFile {
 public:
  virtual ~VolumeFile() = default;
  virtual bool write(const std::uint8_t* bytes, std::size_t count) = 0;
  // False when a write or the close failed.
  virtual bool close() = 0;
  // Why the last write or the close failed, in the system's words.
  virtual std::string failure() const { return std::string(); }
};

enum class VolumeEntry { None, File, Folder };

class VolumeWriter {
 public:
  virtual ~VolumeWriter() = default;

  // Makes the folder; a folder already there is taken as it is. Empty when
  // it is there, else why not.
  virtual std::string makeFolder(const std::string& path, bool& notAFolder) = 0;
  // Makes the file (emptied where one is there) or, with a `stream` name,
  // the named stream of the existing entry, and opens it for writing `size`
  // bytes, laid out in one piece where the volume has room.
  virtual std::string createFile(const std::string& path, const std::u16string& stream,
                                 std::uint64_t size, bool& notAFile,
                                 std::unique_ptr<VolumeFile>& file) = 0;
  // Reads up to `count` bytes from `offset` of a file's data or named
  // stream; `got` is 0 at its end. False when it cannot be read.
  virtual bool readFile(const std::string& path, const std::u16string& stream, std::uint64_t offset,
                        std::uint8_t* bytes, std::size_t count, std::size_t& got) = 0;
  // Removes the file, or only its named stream; quiet about what is not there.
  virtual void remove(const std::string& path, const std::u16string& stream) = 0;
  virtual VolumeEntry entryAt(const std::string& path) = 0;
  // Gives the file at `existing` the further name `path`.
  virtual std::string link(const std::string& existing, const std::string& path) = 0;
  virtual std::string setShortName(const std::string& path, const std::u16string& name) = 0;
  // Makes the file or folder at `path` a reparse point.
  virtual std::string setReparseData(const std::string& path, std::uint32_t tag,
                                     le::ByteSpan data) = 0;
  // The security descriptor, the attributes, then the times.
  virtual void setMetadata(const std::string& path, const EntryMetadata& metadata,
                           MetadataFailures& failures) = 0;
  // Writes out what libntfs-3g holds back and closes the volume. Empty when
  // all of it reached the device, else why not.
  virtual std::string finish() = 0;
};

// Whether this build writes volumes directly (the native tool).
bool directVolumesSupported();

// Whether `target` names what the apply writes directly (a block device or
// a regular file) rather than a folder.
bool isVolumeTarget(const std::string& target);

// What a directly written volume keeps: everything an image holds.
TargetTraits volumeTraits(const std::string& device);

// Opens the NTFS volume in `device` for writing `bytesNeeded` bytes of file
// data, or refuses, with nothing written and `reason` said: a volume mounted
// anywhere, no NTFS, marked dirty or hibernated, or too small.
std::unique_ptr<VolumeWriter> openVolumeWriter(const std::string& device, std::uint64_t bytesNeeded,
                                               std::string& reason);

}  // namespace wim
