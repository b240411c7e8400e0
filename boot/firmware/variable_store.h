// The variable store of edk2 firmware (OVMF's OVMF_VARS.fd, the file a VM
// keeps its firmware variables in), read and changed the way the firmware
// changes it: a variable is never rewritten in place; its old copy is marked
// deleted and the new one appended in the free space after the last.
//
// The file starts with a firmware volume:
//   +0x00 16 zero bytes
//   +0x10 file system GUID, FFF12B8D-7696-4C8B-A985-2747075B4F50 (NV data)
//   +0x20 u64 volume length
//   +0x28 "_FVH"
//   +0x2C u32 attributes
//   +0x30 u16 header length
//   +0x32 u16 checksum: the header's u16 words sum to zero
//   +0x34 u16 extended header offset, +0x36 u8 reserved, +0x37 u8 revision
//   +0x38 block map: (u32 count, u32 length) pairs up to a (0, 0) pair
// At the header's end the variable store header (28 bytes):
//   +0x00 GUID AAF32C78-947B-439A-A180-2E144EC37792 (authenticated variables)
//   +0x10 u32 store size, this header included
//   +0x14 u8 format, 0x5A when formatted
//   +0x15 u8 state, 0xFE when healthy
//   +0x16 u16 reserved, +0x18 u32 reserved
// Then the variables, each at a 4-byte boundary, up to the first place that
// holds no 0x55AA; the rest of the store is free (FF bytes). One variable:
//   +0x00 u16 start id 0x55AA
//   +0x02 u8 state (0x3F added, 0x3E on its way out, 0x3D deleted: bits are
//         only ever cleared, so flash needs no erase)
//   +0x03 u8 reserved
//   +0x04 u32 attributes
//   +0x08 u64 monotonic count (authenticated writes; 0 otherwise)
//   +0x10 16-byte time stamp (time-based authenticated writes; 0 otherwise)
//   +0x20 u32 public key index
//   +0x24 u32 name size in bytes, its NUL included
//   +0x28 u32 data size
//   +0x2C vendor GUID
//   +0x3C the UTF-16 name, then the data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "boot/disk/disk_ids.h"
#include "bytes/little_endian.h"

namespace boot {

struct StoredVariable {
  std::size_t offset = 0;  // of its header in the file
  std::uint8_t state = 0;
  std::uint32_t attributes = 0;
  std::u16string name;
  Guid vendor{};
  le::Bytes data;
};

struct VariableStore {
  std::size_t storeStart = 0;             // the variable store header, in the file
  std::size_t storeEnd = 0;               // one past the store's last byte
  std::size_t freeStart = 0;              // where the next variable goes
  std::vector<StoredVariable> variables;  // every copy, deleted ones too, in file order
};

// Reads the store; false when the file is no firmware volume with an
// authenticated variable store, or a variable runs out of it.
bool readVariableStore(const le::Bytes& file, VariableStore& store, std::string& reason);

// The copy the firmware uses: the added one, else one on its way out
// (left so by a write that was cut short). Null when the variable is not
// there.
const StoredVariable* liveVariable(const VariableStore& store, const std::u16string& name,
                                   const Guid& vendor);

struct VariableWrite {
  std::u16string name;
  Guid vendor{};
  std::uint32_t attributes = 0;
  le::Bytes data;
};

// Marks every live copy of each variable deleted and appends the new ones in
// the free space. False, with `file` unchanged, when it is no store or the
// new copies do not fit in its free space.
bool writeVariables(le::Bytes& file, const std::vector<VariableWrite>& writes, std::string& reason);

}  // namespace boot
