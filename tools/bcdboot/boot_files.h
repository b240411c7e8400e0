// What bcdboot asks of the system beyond raw disks, one file per system
// (boot_files_win32.cpp, boot_files_posix.cpp): replacing a boot file, its
// attributes, and on Windows the running system's own store, which is a
// loaded registry hive whose file cannot be rewritten.
#pragma once

#include <filesystem>
#include <string>

#include "boot/store/hive.h"
#include "bytes/little_endian.h"

namespace tools {

// What is at a path, and the folders down to one, also where the path is a
// drive's root in its long form (\\?\S:\), which the C runtime's stat does
// not take on Windows.
bool isFolderPath(const std::filesystem::path& path);
bool isFilePath(const std::filesystem::path& path);
void makeFolders(const std::filesystem::path& path);

// Writes `bytes` as the new file `path`, stored the way boot code reads files:
// not compressed, sparse or encrypted, whatever its folder passes on to new
// files, and flushed to the disk before it is closed. Read back through the
// file system's attributes; false with the reason (the call that failed and
// the system's words), and nothing left at `path`, where it cannot be
// written or stored so. The rename over the old file is systemReplaceCalls'
// (file_replacement.h), which also replaces hidden, system and read-only
// files.
bool writePlainFile(const std::filesystem::path& path, const le::Bytes& bytes, std::string& reason);

// False for a file that is stored compressed, sparse or encrypted.
bool storedPlainly(const std::filesystem::path& path);

// Hidden and system, as boot files are, where the file system keeps
// attributes (NTFS and FAT on Windows; NTFS through ntfs-3g on Linux).
void markBootFile(const std::filesystem::path& path);

// When `store` is the file of the running system's store, the registry key
// it is loaded as (under HKEY_LOCAL_MACHINE), found through the hive list.
bool loadedStoreKey(const std::filesystem::path& store, std::string& key);

// The loaded store as a key tree, and the same tree written back: keys and
// values that the new tree lacks are deleted, the rest set.
bool readLoadedStore(const std::string& key, boot::Key& tree, std::string& reason);
bool writeLoadedStore(const std::string& key, const boot::Key& tree, std::string& reason);

}  // namespace tools
