// libFuzzer harness for the firmware's boot entries in the boot library:
// the input is read both as a load option and as a VM's variable store
// file. A load option that parses must survive being rebuilt; a store that
// reads must take a boot entry or refuse it with the file unchanged, and
// what it takes must read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "boot/firmware/load_option.h"
#include "boot/firmware/variable_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const le::Bytes bytes(data, data + size);
  std::string reason;
  boot::LoadOption option;
  if (boot::parseLoadOption(bytes, option, reason)) {
    boot::LoadOption again;
    if (!boot::parseLoadOption(boot::loadOptionBytes(option), again, reason) ||
        again.description != option.description || again.devicePath != option.devicePath ||
        again.filePath != option.filePath)
      std::abort();
  }

  boot::VariableStore store;
  if (!boot::readVariableStore(bytes, store, reason)) return 0;
  le::Bytes file = bytes;
  const boot::VariableWrite write = {
      u"BootOrder", boot::kEfiGlobalVariable, boot::kBootVariableAttributes, {1, 0}};
  if (!boot::writeVariables(file, {write}, reason)) {
    if (file != bytes) std::abort();
    return 0;
  }
  boot::VariableStore after;
  if (!boot::readVariableStore(file, after, reason)) std::abort();
  const boot::StoredVariable* live =
      boot::liveVariable(after, u"BootOrder", boot::kEfiGlobalVariable);
  if (!live || live->data != write.data) std::abort();
  return 0;
}
