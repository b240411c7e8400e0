#include <windows.h>
#include <winioctl.h>

#include <cwctype>
#include <vector>

#include "tools/bcdboot/boot_files.h"
#include "tools/bcdboot/boot_targets.h"
#include "tools/bcdboot/file_replacement.h"

namespace tools {

namespace {

constexpr wchar_t kHiveList[] = L"SYSTEM\\CurrentControlSet\\Control\\hivelist";
constexpr wchar_t kStoreHive[] = L"\\REGISTRY\\MACHINE\\BCD00000000";
constexpr char kStoreKey[] = "BCD00000000";

std::wstring wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }
std::u16string u16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

std::wstring wideKey(const std::string& key) { return std::wstring(key.begin(), key.end()); }

bool sameNoCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::towupper(a[i]) != std::towupper(b[i])) return false;
  return true;
}

struct KeyHandle {
  HKEY key = nullptr;
  ~KeyHandle() {
    if (key) RegCloseKey(key);
  }
};

bool readKey(HKEY key, boot::Key& tree, std::string& reason) {
  DWORD subkeys = 0, values = 0, longestSubkey = 0, longestName = 0, longestData = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &longestSubkey, nullptr, &values,
                       &longestName, &longestData, nullptr, nullptr) != ERROR_SUCCESS) {
    reason = "cannot read a key of the system's store";
    return false;
  }
  std::vector<wchar_t> name(std::max(longestName, longestSubkey) + 2);
  std::vector<BYTE> data(longestData + 2);
  for (DWORD i = 0; i < values; ++i) {
    DWORD nameLength = static_cast<DWORD>(name.size()), type = 0;
    DWORD dataLength = static_cast<DWORD>(data.size());
    if (RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &dataLength) !=
        ERROR_SUCCESS)
      continue;
    boot::setValue(tree, u16(std::wstring(name.data(), nameLength)), type,
                   le::Bytes(data.begin(), data.begin() + dataLength));
  }
  for (DWORD i = 0; i < subkeys; ++i) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    if (RegEnumKeyExW(key, i, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      continue;
    const std::wstring child(name.data(), nameLength);
    KeyHandle opened;
    if (RegOpenKeyExW(key, child.c_str(), 0, KEY_READ, &opened.key) != ERROR_SUCCESS) continue;
    if (!readKey(opened.key, boot::subkey(tree, u16(child)), reason)) return false;
  }
  return true;
}

bool writeKey(HKEY key, const boot::Key& tree, std::string& reason) {
  // What the new tree no longer has goes first.
  boot::Key present;
  if (!readKey(key, present, reason)) return false;
  for (const boot::Value& value : present.values)
    if (!boot::findValue(tree, value.name)) RegDeleteValueW(key, wide(value.name).c_str());
  for (const boot::Key& child : present.subkeys)
    if (!boot::findSubkey(tree, child.name)) RegDeleteTreeW(key, wide(child.name).c_str());
  for (const boot::Value& value : tree.values)
    if (RegSetValueExW(key, wide(value.name).c_str(), 0, value.type, value.data.data(),
                       static_cast<DWORD>(value.data.size())) != ERROR_SUCCESS) {
      reason = "cannot write a value of the system's store";
      return false;
    }
  for (const boot::Key& child : tree.subkeys) {
    KeyHandle created;
    if (RegCreateKeyExW(key, wide(child.name).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &created.key, nullptr) != ERROR_SUCCESS) {
      reason = "cannot write a key of the system's store";
      return false;
    }
    if (!writeKey(created.key, child, reason)) return false;
  }
  return true;
}

struct FileHandle {
  HANDLE handle = INVALID_HANDLE_VALUE;
  ~FileHandle() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

constexpr DWORD kNotPlain =
    FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_ENCRYPTED;

// "WriteFile(C:\bootmgr.new) failed: <the system's text> (error 112)", the
// text in the system's ANSI code page, as the tools print.
std::string callFailed(const char* call, const std::filesystem::path& path,
                       DWORD error = GetLastError()) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string words = length && text ? std::string(text, length) : std::string();
  if (text) LocalFree(text);
  while (!words.empty() && (words.back() == '\r' || words.back() == '\n' || words.back() == ' ' ||
                            words.back() == '.'))
    words.pop_back();
  return std::string(call) + "(" + path.string() +
         ") failed: " + (words.empty() ? std::string("system error") : words) + " (error " +
         std::to_string(error) + ")";
}

std::string notPlain(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_ENCRYPTED) return "encrypted";
  if (attributes & FILE_ATTRIBUTE_COMPRESSED) return "compressed";
  return "sparse";
}

// The new file, empty, made uncompressed where its folder would compress it.
bool writeOpenFile(HANDLE file, const std::filesystem::path& path, const le::Bytes& bytes,
                   std::string& reason) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (GetFileInformationByHandle(file, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_COMPRESSED) != 0) {
    USHORT format = COMPRESSION_FORMAT_NONE;
    DWORD returned = 0;
    if (!DeviceIoControl(file, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &returned,
                         nullptr))
      return reason = callFailed("FSCTL_SET_COMPRESSION", path), false;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD part = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data() + done, part, &written, nullptr) || written == 0)
      return reason = callFailed("WriteFile", path), false;
    done += written;
  }
  // On the disk before the rename that makes it the boot file.
  if (!FlushFileBuffers(file)) return reason = callFailed("FlushFileBuffers", path), false;
  return true;
}

}  // namespace

bool writePlainFile(const std::filesystem::path& path, const le::Bytes& bytes,
                    std::string& reason) {
  bool ok;
  {
    FileHandle file;
    file.handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.handle == INVALID_HANDLE_VALUE) return reason = callFailed("CreateFileW", path), false;
    ok = writeOpenFile(file.handle, path, bytes, reason);
  }
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (ok && attributes != INVALID_FILE_ATTRIBUTES && (attributes & kNotPlain) != 0) {
    reason = path.string() + " is stored " + notPlain(attributes) +
             ", and boot code cannot read such a file";
    ok = false;
  }
  if (!ok) DeleteFileW(path.c_str());
  return ok;
}

bool storedPlainly(const std::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes == INVALID_FILE_ATTRIBUTES || (attributes & kNotPlain) == 0;
}

namespace {

bool readWholeFile(const std::filesystem::path& path, le::Bytes& bytes, std::string& reason) {
  FileHandle file;
  file.handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file.handle == INVALID_HANDLE_VALUE) return reason = callFailed("CreateFileW", path), false;
  bytes.clear();
  std::vector<std::uint8_t> buffer(1u << 16);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.handle, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
      return reason = callFailed("ReadFile", path), false;
    if (got == 0) return true;
    bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + got);
  }
}

// The write-through move is on the disk, the folder's entry with it, when
// the call returns.
bool moveOver(const std::filesystem::path& from, const std::filesystem::path& to,
              std::string& reason) {
  // A boot file is read-only, hidden and system: MoveFileEx will not replace
  // a read-only one.
  const DWORD attributes = GetFileAttributesW(to.c_str());
  SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  reason = callFailed("MoveFileExW", from) + " (moving it over " + to.string() + ")";
  // The old file stays as it was, attributes included.
  if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(to.c_str(), attributes);
  return false;
}

}  // namespace

ReplaceCalls systemReplaceCalls() {
  ReplaceCalls calls;
  calls.writeFlushed = writePlainFile;
  calls.read = readWholeFile;
  calls.rename = moveOver;
  calls.flushFolder = [](const std::filesystem::path&, std::string&) { return true; };
  calls.remove = [](const std::filesystem::path& path) { DeleteFileW(path.c_str()); };
  return calls;
}

void markBootFile(const std::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
}

bool loadedStoreKey(const std::filesystem::path& store, std::string& key) {
  wchar_t file[MAX_PATH + 64] = {};
  DWORD size = sizeof file - sizeof(wchar_t), type = 0;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kHiveList, kStoreHive, RRF_RT_REG_SZ, &type, file, &size) !=
      ERROR_SUCCESS)
    return false;
  // The hive list names files by their system device: \Device\HarddiskVolume1\Boot\BCD.
  std::wstring path = store.wstring();
  if (path.rfind(L"\\\\?\\", 0) == 0) path.erase(0, 4);
  if (path.size() < 2 || path[1] != L':') return false;
  wchar_t device[MAX_PATH] = {};
  const wchar_t drive[] = {path[0], L':', 0};
  if (!QueryDosDeviceW(drive, device, MAX_PATH)) return false;
  if (!sameNoCase(wide(hiveListName(u16(device), u16(path))), file)) return false;
  key = kStoreKey;
  return true;
}

bool readLoadedStore(const std::string& key, boot::Key& tree, std::string& reason) {
  KeyHandle opened;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, wideKey(key).c_str(), 0, KEY_READ, &opened.key) !=
      ERROR_SUCCESS) {
    reason = "cannot open the system's store HKLM\\" + key;
    return false;
  }
  tree = boot::Key{};
  return readKey(opened.key, tree, reason);
}

bool writeLoadedStore(const std::string& key, const boot::Key& tree, std::string& reason) {
  KeyHandle opened;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, wideKey(key).c_str(), 0, KEY_ALL_ACCESS, &opened.key) !=
      ERROR_SUCCESS) {
    reason = "cannot open the system's store HKLM\\" + key + " for writing";
    return false;
  }
  return writeKey(opened.key, tree, reason);
}

bool isFolderPath(const std::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isFilePath(const std::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void makeFolders(const std::filesystem::path& path) {
  if (path.empty() || isFolderPath(path)) return;
  const std::filesystem::path parent = path.parent_path();
  if (parent != path) makeFolders(parent);
  CreateDirectoryW(path.c_str(), nullptr);
}

}  // namespace tools
