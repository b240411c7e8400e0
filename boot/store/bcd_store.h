// The boot configuration store (BCD) over a registry key tree: objects,
// their elements, the partition device element, and the store that makes
// one Windows installation bootable, built anew or merged into an old one.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "bytes/little_endian.h"
#include "boot/disk/disk_ids.h"
#include "boot/store/hive.h"

namespace boot {

// Objects every store carries under fixed GUIDs.
namespace bcd {
constexpr char kBootmgr[] = "{9dea862c-5cdd-4e70-acc1-f32b344d4795}";
constexpr char kMemdiag[] = "{b2721d73-1db4-4c62-bf78-c548a880142d}";
constexpr char kGlobalSettings[] = "{7ea2e1ac-2e61-4728-aaa3-896d9d0a9f0e}";
constexpr char kDbgSettings[] = "{4636856e-540f-4170-a130-a84776f4c654}";
constexpr char kEmsSettings[] = "{0ce4991b-e6b3-4b16-b23c-5e0d9250e5d9}";
constexpr char kBadMemory[] = "{5189b25c-5558-4bf2-bca4-289b11bd29e2}";
constexpr char kBootLoaderSettings[] = "{6efb52bf-1766-41db-a6b3-0ee5eff72bd7}";
constexpr char kHypervisorSettings[] = "{7ff607e0-4395-11db-b0de-0800200c9a66}";
constexpr char kResumeLoaderSettings[] = "{1afa9c49-16ab-4a5c-901b-212802da9460}";

// Object types (Description\Type).
constexpr std::uint32_t kTypeBootmgr = 0x10100002;
constexpr std::uint32_t kTypeOsLoader = 0x10200003;
constexpr std::uint32_t kTypeResume = 0x10200004;
constexpr std::uint32_t kTypeMemdiag = 0x10200005;
constexpr std::uint32_t kTypeLibrarySettings = 0x20100000;
constexpr std::uint32_t kTypeLoaderSettings = 0x20200003;
constexpr std::uint32_t kTypeResumeSettings = 0x20200004;

// Element ids: bits 31-28 class, 27-24 format, 23-0 subtype.
constexpr std::uint32_t kDevice = 0x11000001;
constexpr std::uint32_t kPath = 0x12000002;
constexpr std::uint32_t kDescription = 0x12000004;
constexpr std::uint32_t kLocale = 0x12000005;
constexpr std::uint32_t kInherit = 0x14000006;
constexpr std::uint32_t kBadMemoryAccess = 0x1600000B;
constexpr std::uint32_t kEmsEnabled = 0x16000020;
constexpr std::uint32_t kIsolatedContext = 0x16000060;
constexpr std::uint32_t kDebugType = 0x15000011;
constexpr std::uint32_t kOsDevice = 0x21000001;       // the resume object's file device
constexpr std::uint32_t kSystemRoot = 0x22000002;     // the resume object's file path
constexpr std::uint32_t kDefaultObject = 0x23000003;  // a loader's resume object
constexpr std::uint32_t kResumeObject = 0x23000006;
constexpr std::uint32_t kDisplayOrder = 0x24000001;
constexpr std::uint32_t kToolsDisplayOrder = 0x24000010;
constexpr std::uint32_t kTimeout = 0x25000004;
constexpr std::uint32_t kNx = 0x25000020;
constexpr std::uint32_t kHypervisorLaunchType = 0x250000F3;
constexpr std::uint32_t kHypervisorDebugType = 0x250000F4;
constexpr std::uint32_t kHypervisorBaudRate = 0x250000F5;
}  // namespace bcd

// The registry type that carries elements of this id's format.
std::uint32_t elementRegType(std::uint32_t id);

// A partition as the device element names it: an MBR disk by signature and
// the partition's start in bytes, a GPT disk and partition by their GUIDs.
struct PartitionDevice {
  PartitionStyle style = PartitionStyle::Mbr;
  std::uint32_t mbrSignature = 0;
  std::uint64_t startBytes = 0;
  Guid diskGuid;
  Guid partitionGuid;
};
// The 88-byte element, and back (false for other device kinds).
le::Bytes partitionDeviceData(const PartitionDevice& device);
bool readPartitionDevice(const le::Bytes& data, PartitionDevice& device);
bool samePartition(const PartitionDevice& a, const PartitionDevice& b);

enum class Firmware { bios, uefi };

// What the store must boot. The caller makes the GUIDs, so that a store can
// be made again byte for byte.
struct BcdBootRequest {
  Firmware firmware = Firmware::bios;
  PartitionDevice systemPartition;  // holds bootmgr and the store
  PartitionDevice windowsPartition;
  std::u16string description = u"Windows";
  std::string locale = "en-US";
  Guid loader;                         // the new OS loader object
  Guid resume;                         // its resume-from-hibernation object
  const Key* existingStore = nullptr;  // the store already on the system partition
  const Key* templateStore = nullptr;  // <W>\System32\config\BCD-Template
};

// The store for the request: the existing store if there is one, else the
// template, else an empty store, with the request's entry put in first.
bool buildStore(const BcdBootRequest& request, Key& store, std::string& reason);
// The same on a store in hand. Objects and settings already there stay;
// loaders of the same Windows partition (and their resume objects) go;
// placement (devices, paths, locale, default, display order) is set anew,
// while descriptions, settings and timeouts already present are kept.
bool updateStore(const BcdBootRequest& request, Key& store, std::string& reason);

// --- reading a store ---
struct BcdElement {
  std::uint32_t id = 0;
  std::uint32_t regType = 0;
  le::Bytes data;
};
struct BcdObject {
  Guid id;
  std::uint32_t type = 0;
  std::vector<BcdElement> elements;
};
// The objects by GUID text, each object's elements by id.
bool readStore(const Key& root, std::vector<BcdObject>& objects, std::string& reason);
const BcdObject* findObject(const std::vector<BcdObject>& objects, const std::string& guid);
const BcdElement* findElement(const BcdObject& object, std::uint32_t id);
// Element values by format; false when the data does not fit the format.
bool elementText(const BcdElement& element, std::u16string& text);
bool elementObjects(const BcdElement& element, std::vector<std::string>& guids);
bool elementInteger(const BcdElement& element, std::uint64_t& value);
bool elementBoolean(const BcdElement& element, bool& value);
// One line an element ("12000004 "Windows 10""), a block an object; ASCII.
std::string describeElement(const BcdElement& element);
std::string describeStore(const std::vector<BcdObject>& objects);

}  // namespace boot
