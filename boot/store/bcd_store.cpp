#include "boot/store/bcd_store.h"

#include <algorithm>
#include <cstdio>

namespace boot {

namespace {

// Partition device element (88 bytes):
//   +0x00 16 bytes zero (no additional options object)
//   +0x10 u32 device type (6 partition)
//   +0x14 u32 flags (0)
//   +0x18 u32 size of what follows the header (0x48)
//   +0x1C u32 0
//   +0x20 MBR: u64 partition start in bytes, 8 zero bytes; GPT: partition GUID
//   +0x30 u32 0
//   +0x34 u32 partition style (1 MBR, 0 GPT)
//   +0x38 MBR: u32 disk signature, 12 zero bytes; GPT: disk GUID
//   +0x48 16 bytes zero
constexpr std::size_t kDeviceSize = 0x58;
constexpr std::uint32_t kDevicePartition = 6;
constexpr std::uint32_t kDeviceDataSize = 0x48;
constexpr std::uint32_t kStyleGpt = 0;
constexpr std::uint32_t kStyleMbr = 1;

constexpr char16_t kStoreKeyName[] = u"BCD00000000";
constexpr char16_t kNewStoreRoot[] = u"NewStoreRoot";

struct Paths {
  const char16_t* bootmgr;  // null: BIOS stores name no path
  const char16_t* loader;
  const char16_t* resume;
  const char16_t* memdiag;
};
const Paths kBiosPaths{nullptr, u"\\Windows\\system32\\winload.exe",
                       u"\\Windows\\system32\\winresume.exe", u"\\boot\\memtest.exe"};
const Paths kUefiPaths{u"\\EFI\\Microsoft\\Boot\\bootmgfw.efi", u"\\Windows\\system32\\winload.efi",
                       u"\\Windows\\system32\\winresume.efi",
                       u"\\EFI\\Microsoft\\Boot\\memtest.efi"};

std::u16string elementKeyName(std::uint32_t id) {
  char name[9];
  std::snprintf(name, sizeof name, "%08x", id);
  return widen(name);
}

bool parseElementKeyName(const std::u16string& name, std::uint32_t& id) {
  if (name.size() != 8) return false;
  std::uint32_t value = 0;
  for (char16_t c : name) {
    const int d = c < 0x80 ? hexDigitValue(static_cast<char>(c)) : -1;
    if (d < 0) return false;
    value = value << 4 | static_cast<std::uint32_t>(d);
  }
  id = value;
  return true;
}

le::Bytes integerData(std::uint64_t value) {
  le::Bytes data(8);
  le::put(data, 0, 8, value);
  return data;
}

le::Bytes objectListData(const std::vector<std::string>& guids) {
  std::vector<std::u16string> texts;
  for (const std::string& g : guids) texts.push_back(widen(g));
  return regMultiSzData(texts);
}

// --- building ---

Key& objectsKey(Key& store) { return subkey(store, u"Objects"); }

// The object's key, made (with its type) when missing.
Key& object(Key& store, const std::string& guid, std::uint32_t type) {
  Key& key = subkey(objectsKey(store), widen(guid));
  setValue(subkey(key, u"Description"), u"Type", kRegDword, regDwordData(type));
  subkey(key, u"Elements");
  return key;
}

bool hasElement(Key& object, std::uint32_t id) {
  return findSubkey(subkey(object, u"Elements"), elementKeyName(id)) != nullptr;
}

void setElement(Key& object, std::uint32_t id, le::Bytes data) {
  Key& element = subkey(subkey(object, u"Elements"), elementKeyName(id));
  setValue(element, u"Element", elementRegType(id), std::move(data));
}
void addElement(Key& object, std::uint32_t id, le::Bytes data) {
  if (!hasElement(object, id)) setElement(object, id, std::move(data));
}
le::Bytes text(const std::u16string& s) { return regSzData(s); }
le::Bytes device(const PartitionDevice& d) { return partitionDeviceData(d); }
le::Bytes boolean(bool b) { return le::Bytes{static_cast<std::uint8_t>(b ? 1 : 0)}; }

const le::Bytes* elementData(const Key& object, std::uint32_t id) {
  const Key* elements = findSubkey(object, u"Elements");
  const Key* element = elements ? findSubkey(*elements, elementKeyName(id)) : nullptr;
  const Value* value = element ? findValue(*element, u"Element") : nullptr;
  return value ? &value->data : nullptr;
}

bool objectType(const Key& object, std::uint32_t& type) {
  const Key* description = findSubkey(object, u"Description");
  const Value* value = description ? findValue(*description, u"Type") : nullptr;
  if (!value || value->data.size() != 4) return false;
  type = le::u32(value->data, 0);
  return true;
}

std::vector<std::string> objectList(const le::Bytes* data) {
  std::vector<std::u16string> texts;
  std::vector<std::string> guids;
  if (data && regMultiSzTexts(*data, texts)) {
    Guid g;
    for (const std::u16string& t : texts)
      if (parseGuid(narrow(t), g)) guids.push_back(guidText(g));
  }
  return guids;
}

// Loaders of the same Windows partition, and the resume objects they name.
std::vector<std::string> entriesOfPartition(const Key& store, const PartitionDevice& windows) {
  std::vector<std::string> gone;
  const Key* objects = findSubkey(store, u"Objects");
  if (!objects) return gone;
  for (const Key& obj : objects->subkeys) {
    std::uint32_t type = 0;
    PartitionDevice osDevice;
    const le::Bytes* data = elementData(obj, bcd::kOsDevice);
    Guid id;
    if (!parseGuid(narrow(obj.name), id) || !objectType(obj, type) || type != bcd::kTypeOsLoader ||
        !data || !readPartitionDevice(*data, osDevice) || !samePartition(osDevice, windows))
      continue;
    gone.push_back(guidText(id));
    std::u16string resume;
    const le::Bytes* resumeData = elementData(obj, bcd::kDefaultObject);
    Guid resumeId;
    if (resumeData && regSzText(*resumeData, resume) && parseGuid(narrow(resume), resumeId)) {
      const Key* resumeObject = findSubkey(*objects, widen(guidText(resumeId)));
      std::uint32_t resumeType = 0;
      if (resumeObject && objectType(*resumeObject, resumeType) && resumeType == bcd::kTypeResume)
        gone.push_back(guidText(resumeId));
    }
  }
  return gone;
}

void addSettings(Key& store) {
  using namespace bcd;
  Key& global = object(store, kGlobalSettings, kTypeLibrarySettings);
  addElement(global, kInherit, objectListData({kDbgSettings, kEmsSettings, kBadMemory}));
  addElement(object(store, kDbgSettings, kTypeLibrarySettings), kDebugType, integerData(4));
  addElement(object(store, kEmsSettings, kTypeLibrarySettings), kEmsEnabled, boolean(false));
  object(store, kBadMemory, kTypeLibrarySettings);
  addElement(object(store, kBootLoaderSettings, kTypeLoaderSettings), kInherit,
             objectListData({kGlobalSettings, kHypervisorSettings}));
  Key& hypervisor = object(store, kHypervisorSettings, kTypeLoaderSettings);
  addElement(hypervisor, kHypervisorLaunchType, integerData(0));
  addElement(hypervisor, kHypervisorDebugType, integerData(1));
  addElement(hypervisor, kHypervisorBaudRate, integerData(115200));
  addElement(object(store, kResumeLoaderSettings, kTypeResumeSettings), kInherit,
             objectListData({kGlobalSettings}));
}

}  // namespace

std::uint32_t elementRegType(std::uint32_t id) {
  switch ((id >> 24) & 0xF) {
    case 2:  // string
    case 3:  // object
      return kRegSz;
    case 4:  // object list
      return kRegMultiSz;
    default:  // device, integer, boolean, integer list
      return kRegBinary;
  }
}

le::Bytes partitionDeviceData(const PartitionDevice& device) {
  le::Bytes data(kDeviceSize);
  le::put(data, 0x10, 4, kDevicePartition);
  le::put(data, 0x18, 4, kDeviceDataSize);
  if (device.style == PartitionStyle::Mbr) {
    le::put(data, 0x20, 8, device.startBytes);
    le::put(data, 0x34, 4, kStyleMbr);
    le::put(data, 0x38, 4, device.mbrSignature);
  } else {
    std::copy(device.partitionGuid.bytes.begin(), device.partitionGuid.bytes.end(),
              data.begin() + 0x20);
    le::put(data, 0x34, 4, kStyleGpt);
    std::copy(device.diskGuid.bytes.begin(), device.diskGuid.bytes.end(), data.begin() + 0x38);
  }
  return data;
}

bool readPartitionDevice(const le::Bytes& data, PartitionDevice& device) {
  if (data.size() < kDeviceSize || le::u32(data, 0x10) != kDevicePartition) return false;
  PartitionDevice d;
  const std::uint32_t style = le::u32(data, 0x34);
  if (style == kStyleMbr) {
    d.style = PartitionStyle::Mbr;
    d.startBytes = le::u64(data, 0x20);
    d.mbrSignature = le::u32(data, 0x38);
  } else if (style == kStyleGpt) {
    d.style = PartitionStyle::Gpt;
    std::copy(data.begin() + 0x20, data.begin() + 0x30, d.partitionGuid.bytes.begin());
    std::copy(data.begin() + 0x38, data.begin() + 0x48, d.diskGuid.bytes.begin());
  } else {
    return false;
  }
  device = d;
  return true;
}

bool samePartition(const PartitionDevice& a, const PartitionDevice& b) {
  if (a.style != b.style) return false;
  if (a.style == PartitionStyle::Mbr)
    return a.mbrSignature == b.mbrSignature && a.startBytes == b.startBytes;
  return a.diskGuid == b.diskGuid && a.partitionGuid == b.partitionGuid;
}

bool buildStore(const BcdBootRequest& request, Key& store, std::string& reason) {
  Key fresh;
  if (request.existingStore) {
    fresh = *request.existingStore;
  } else if (request.templateStore) {
    fresh = *request.templateStore;
  } else {
    fresh.name = kNewStoreRoot;
  }
  if (!updateStore(request, fresh, reason)) return false;
  store = std::move(fresh);
  return true;
}

bool updateStore(const BcdBootRequest& request, Key& store, std::string& reason) {
  using namespace bcd;
  const std::string loader = guidText(request.loader);
  const std::string resume = guidText(request.resume);
  for (const char* fixed :
       {kBootmgr, kMemdiag, kGlobalSettings, kDbgSettings, kEmsSettings, kBadMemory,
        kBootLoaderSettings, kHypervisorSettings, kResumeLoaderSettings}) {
    if (loader == fixed || resume == fixed)
      return reason = "the new entry's GUID is that of a fixed object", false;
  }
  if (loader == resume) return reason = "the loader and resume objects share one GUID", false;
  if (request.locale.empty()) return reason = "no locale given", false;
  const Paths& paths = request.firmware == Firmware::uefi ? kUefiPaths : kBiosPaths;
  const std::u16string locale = widen(request.locale);

  if (store.name.empty()) store.name = kNewStoreRoot;
  setValue(subkey(store, u"Description"), u"KeyName", kRegSz, regSzData(kStoreKeyName));

  // The entry of the same Windows partition is replaced, wherever it stood.
  std::vector<std::string> gone = entriesOfPartition(store, request.windowsPartition);
  gone.push_back(loader);
  gone.push_back(resume);
  for (const std::string& guid : gone) removeSubkey(objectsKey(store), widen(guid));

  addSettings(store);

  Key& memdiag = object(store, kMemdiag, kTypeMemdiag);
  setElement(memdiag, kDevice, device(request.systemPartition));
  setElement(memdiag, kPath, text(paths.memdiag));
  setElement(memdiag, kLocale, text(locale));
  addElement(memdiag, kDescription, text(u"Windows Memory Diagnostic"));
  addElement(memdiag, kInherit, objectListData({kGlobalSettings}));
  addElement(memdiag, kBadMemoryAccess, boolean(true));

  Key& res = object(store, resume, kTypeResume);
  setElement(res, kDevice, device(request.windowsPartition));
  setElement(res, kPath, text(paths.resume));
  setElement(res, kDescription, text(u"Windows Resume Application"));
  setElement(res, kLocale, text(locale));
  setElement(res, kInherit, objectListData({kResumeLoaderSettings}));
  setElement(res, kOsDevice, device(request.windowsPartition));  // hibernation file device
  setElement(res, kSystemRoot, text(u"\\hiberfil.sys"));         // and its path
  if (request.firmware == Firmware::uefi) setElement(res, kIsolatedContext, boolean(true));

  Key& os = object(store, loader, kTypeOsLoader);
  setElement(os, kDevice, device(request.windowsPartition));
  setElement(os, kPath, text(paths.loader));
  setElement(os, kDescription, text(request.description));
  setElement(os, kLocale, text(locale));
  setElement(os, kInherit, objectListData({kBootLoaderSettings}));
  setElement(os, kOsDevice, device(request.windowsPartition));
  setElement(os, kSystemRoot, text(u"\\Windows"));
  setElement(os, kDefaultObject, text(widen(resume)));  // its resume object
  setElement(os, kNx, integerData(0));                  // OptIn
  if (request.firmware == Firmware::uefi) setElement(os, kIsolatedContext, boolean(true));

  Key& bootmgr = object(store, kBootmgr, kTypeBootmgr);
  setElement(bootmgr, kDevice, device(request.systemPartition));
  if (paths.bootmgr) setElement(bootmgr, kPath, text(paths.bootmgr));
  setElement(bootmgr, kLocale, text(locale));
  setElement(bootmgr, kDefaultObject, text(widen(loader)));
  setElement(bootmgr, kResumeObject, text(widen(resume)));
  std::vector<std::string> order{loader};
  for (const std::string& guid : objectList(elementData(bootmgr, kDisplayOrder))) {
    const bool removed = std::find(gone.begin(), gone.end(), guid) != gone.end();
    if (!removed && std::find(order.begin(), order.end(), guid) == order.end())
      order.push_back(guid);
  }
  setElement(bootmgr, kDisplayOrder, objectListData(order));
  addElement(bootmgr, kDescription, text(u"Windows Boot Manager"));
  addElement(bootmgr, kInherit, objectListData({kGlobalSettings}));
  addElement(bootmgr, kToolsDisplayOrder, objectListData({kMemdiag}));
  addElement(bootmgr, kTimeout, integerData(30));
  return true;
}

// --- reading ---

bool readStore(const Key& root, std::vector<BcdObject>& objects, std::string& reason) {
  const Key* keys = findSubkey(root, u"Objects");
  if (!keys) return reason = "the store has no Objects key", false;
  std::vector<BcdObject> result;
  for (const Key& key : keys->subkeys) {
    BcdObject obj;
    const std::string name = narrow(key.name);
    if (!parseGuid(name, obj.id)) return reason = "object \"" + name + "\" is no GUID", false;
    if (!objectType(key, obj.type)) return reason = "object " + name + " has no type", false;
    if (const Key* elements = findSubkey(key, u"Elements")) {
      for (const Key& e : elements->subkeys) {
        BcdElement element;
        const Value* value = findValue(e, u"Element");
        if (!parseElementKeyName(e.name, element.id) || !value)
          return reason = "object " + name + " has a broken element " + narrow(e.name), false;
        element.regType = value->type;
        element.data = value->data;
        obj.elements.push_back(std::move(element));
      }
    }
    std::sort(obj.elements.begin(), obj.elements.end(),
              [](const BcdElement& a, const BcdElement& b) { return a.id < b.id; });
    result.push_back(std::move(obj));
  }
  std::sort(result.begin(), result.end(),
            [](const BcdObject& a, const BcdObject& b) { return guidText(a.id) < guidText(b.id); });
  objects = std::move(result);
  return true;
}

const BcdObject* findObject(const std::vector<BcdObject>& objects, const std::string& guid) {
  Guid id;
  if (!parseGuid(guid, id)) return nullptr;
  for (const BcdObject& o : objects)
    if (o.id == id) return &o;
  return nullptr;
}

const BcdElement* findElement(const BcdObject& object, std::uint32_t id) {
  for (const BcdElement& e : object.elements)
    if (e.id == id) return &e;
  return nullptr;
}

bool elementText(const BcdElement& element, std::u16string& text) {
  return element.regType == kRegSz && regSzText(element.data, text);
}

bool elementObjects(const BcdElement& element, std::vector<std::string>& guids) {
  std::vector<std::u16string> texts;
  if (element.regType != kRegMultiSz || !regMultiSzTexts(element.data, texts)) return false;
  std::vector<std::string> result;
  Guid g;
  for (const std::u16string& t : texts) {
    if (!parseGuid(narrow(t), g)) return false;
    result.push_back(guidText(g));
  }
  guids = std::move(result);
  return true;
}

bool elementInteger(const BcdElement& element, std::uint64_t& value) {
  if (element.regType != kRegBinary || element.data.empty() || element.data.size() > 8)
    return false;
  value = le::value(element.data, 0, element.data.size());
  return true;
}

bool elementBoolean(const BcdElement& element, bool& value) {
  std::uint64_t n = 0;
  if (!elementInteger(element, n)) return false;
  value = n != 0;
  return true;
}

std::string describeElement(const BcdElement& element) {
  char line[160];
  std::snprintf(line, sizeof line, "%08x ", element.id);
  std::string out = line;
  std::u16string s;
  std::vector<std::string> guids;
  std::uint64_t n = 0;
  PartitionDevice d;
  switch ((element.id >> 24) & 0xF) {
    case 1:
      if (!readPartitionDevice(element.data, d)) break;
      if (d.style == PartitionStyle::Mbr) {
        std::snprintf(line, sizeof line, "partition mbr disk %08x start %llu", d.mbrSignature,
                      static_cast<unsigned long long>(d.startBytes));
        return out + line;
      }
      return out + "partition gpt disk " + guidText(d.diskGuid) + " partition " +
             guidText(d.partitionGuid);
    case 2:
    case 3:
      if (elementText(element, s)) return out + "\"" + narrow(s) + "\"";
      break;
    case 4:
      if (!elementObjects(element, guids)) break;
      for (std::size_t i = 0; i < guids.size(); ++i) out += (i ? " " : "") + guids[i];
      return out;
    case 5:
    case 6:
      if (!elementInteger(element, n)) break;
      std::snprintf(line, sizeof line, "%llu", static_cast<unsigned long long>(n));
      return out + line;
    default:
      break;
  }
  std::snprintf(line, sizeof line, "type %u, %zu bytes", element.regType, element.data.size());
  return out + line;
}

std::string describeStore(const std::vector<BcdObject>& objects) {
  std::string out;
  char type[16];
  for (const BcdObject& o : objects) {
    std::snprintf(type, sizeof type, " %08x\n", o.type);
    out += guidText(o.id) + type;
    for (const BcdElement& e : o.elements) out += "  " + describeElement(e) + "\n";
  }
  return out;
}

}  // namespace boot
