#include "tools/bcdboot/firmware_entry.h"

#include <map>

#include "boot/firmware/variable_store.h"

namespace tools {

namespace {

constexpr char kBootOrder[] = "BootOrder";

bool readBootOptions(const FirmwareVariables& variables, const std::vector<std::uint16_t>& order,
                     std::map<std::uint16_t, le::Bytes>& options, std::string& reason) {
  auto take = [&](std::uint16_t number, bool& exists) {
    le::Bytes data;
    exists = false;
    if (!variables.read(boot::bootOptionName(number), exists, data, reason)) return false;
    if (exists) options[number] = std::move(data);
    return true;
  };
  std::vector<std::uint16_t> numbers;
  bool exists = false;
  if (variables.listBootOptions) {
    if (!variables.listBootOptions(numbers, reason)) return false;
    for (std::uint16_t number : numbers)
      if (!take(number, exists)) return false;
    return true;
  }
  // Without a list: what BootOrder names, and 0000 upwards to the first gap,
  // which is where a new entry goes.
  for (std::uint16_t number : order)
    if (!options.count(number) && !take(number, exists)) return false;
  for (std::uint32_t number = 0; number <= 0xFFFF; ++number) {
    if (options.count(static_cast<std::uint16_t>(number))) continue;
    if (!take(static_cast<std::uint16_t>(number), exists)) return false;
    if (!exists) break;
  }
  return true;
}

}  // namespace

bool probeSaysUefi(const std::function<bool()>& enablePrivilege,
                   const std::function<std::uint32_t()>& probe) {
  enablePrivilege();
  return probe() != kErrorInvalidFunction;
}

boot::HardDriveNode partitionNode(const boot::DiskLayout& layout, const boot::DiskLayout& entries,
                                  const boot::Partition& partition) {
  boot::HardDriveNode node;
  node.partitionNumber = static_cast<std::uint32_t>(partition.number);
  if (layout.style == boot::PartitionStyle::Gpt && entries.style == boot::PartitionStyle::Gpt)
    for (const boot::Partition& entry : entries.partitions)
      if (entry.gptUnique.bytes == partition.gptUnique.bytes &&
          entry.startLba == partition.startLba)
        node.partitionNumber = static_cast<std::uint32_t>(entry.number);
  node.startLba = partition.startLba;
  node.sectors = partition.sectors;
  node.style = layout.style;
  node.partitionGuid = partition.gptUnique;
  node.mbrSignature = layout.signature;
  return node;
}

boot::LoadOption bootManagerOption(const boot::HardDriveNode& partition) {
  boot::LoadOption option;
  option.attributes = boot::kLoadOptionActive;
  option.description = boot::asciiToUtf16(kBootManagerDescription);
  option.devicePath = boot::hardDriveFilePath(partition, boot::asciiToUtf16(kBootManagerPath));
  return option;
}

bool writeBootEntry(const FirmwareVariables& variables, const boot::LoadOption& wanted,
                    BootEntryResult& result, std::string& reason) {
  result = BootEntryResult{};
  bool hasOrder = false;
  le::Bytes orderData;
  if (!variables.read(kBootOrder, hasOrder, orderData, reason)) return false;
  std::vector<std::uint16_t> order;
  if (hasOrder && !boot::parseBootOrder(orderData, order))
    return reason = "BootOrder has an odd length", false;
  std::map<std::uint16_t, le::Bytes> options;
  if (!readBootOptions(variables, order, options, reason)) return false;
  boot::BootEntryPlan plan;
  if (!boot::planBootEntry(options, hasOrder ? &orderData : nullptr, wanted, plan, reason))
    return false;
  result.number = plan.number;
  result.reused = plan.reused;
  if (plan.optionChanged &&
      !variables.write(boot::bootOptionName(plan.number), plan.option, reason))
    return false;
  if (plan.orderChanged && !variables.write(kBootOrder, plan.bootOrder, reason)) return false;
  result.changed = plan.optionChanged || plan.orderChanged;
  return true;
}

bool writeBootEntryToStore(le::Bytes& file, const boot::LoadOption& wanted, BootEntryResult& result,
                           std::string& reason) {
  boot::VariableStore store;
  if (!boot::readVariableStore(file, store, reason)) return false;
  // The store's variables as the firmware sees them; writes are gathered and
  // go into the file together at the end.
  std::vector<boot::VariableWrite> writes;
  FirmwareVariables variables;
  variables.read = [&](const std::string& name, bool& exists, le::Bytes& data, std::string&) {
    const boot::StoredVariable* found =
        boot::liveVariable(store, boot::asciiToUtf16(name), boot::kEfiGlobalVariable);
    exists = found != nullptr;
    if (found) data = found->data;
    return true;
  };
  variables.write = [&](const std::string& name, const le::Bytes& data, std::string&) {
    writes.push_back(
        {boot::asciiToUtf16(name), boot::kEfiGlobalVariable, boot::kBootVariableAttributes, data});
    return true;
  };
  variables.listBootOptions = [&](std::vector<std::uint16_t>& numbers, std::string&) {
    for (const boot::StoredVariable& variable : store.variables) {
      std::uint16_t number = 0;
      if (variable.vendor == boot::kEfiGlobalVariable &&
          boot::parseBootOptionName(boot::utf16ToAscii(variable.name), number) &&
          boot::liveVariable(store, variable.name, variable.vendor) == &variable)
        numbers.push_back(number);
    }
    return true;
  };
  if (!writeBootEntry(variables, wanted, result, reason)) return false;
  return writes.empty() || boot::writeVariables(file, writes, reason);
}

}  // namespace tools
