// The apply's target on Windows: reparse points, named streams, attributes,
// timestamps, security descriptors and short names, as the image holds them,
// so that an applied system can start.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "wim/apply/apply_target.h"
#include "wim/apply/ntfs_xattr_values.h"
#include "wim/apply/reparse_data.h"

namespace wim {

namespace {

std::string systemMessage(DWORD error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  return "system error " + std::to_string(error) + (message.empty() ? "" : " (" + message + ")");
}

struct Handle {
  HANDLE value = INVALID_HANDLE_VALUE;
  explicit Handle(HANDLE handle) : value(handle) {}
  ~Handle() {
    if (value != INVALID_HANDLE_VALUE) CloseHandle(value);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return value != INVALID_HANDLE_VALUE; }
};

// Backup semantics open folders too; the reparse flag makes a link itself,
// not what it points to, the thing changed.
HANDLE openEntry(const std::filesystem::path& path, DWORD access) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool enablePrivilege(const wchar_t* name) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    return false;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool enabled = LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
                 AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                 GetLastError() == ERROR_SUCCESS;  // not ERROR_NOT_ALL_ASSIGNED
  CloseHandle(token);
  return enabled;
}

// Short names are set through NtSetInformationFile, as SetFileShortNameW does
// inside: the same on Windows, and where kernel32 lacks the call (Wine ends
// the process in it) the system says "not supported" instead.
constexpr ULONG kFileShortNameInformation = 40;
struct StatusBlock {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};
using SetInformationFile = LONG(NTAPI*)(HANDLE, StatusBlock*, void*, ULONG, ULONG);
using StatusToError = ULONG(NTAPI*)(LONG);

bool setShortName(HANDLE entry, const std::u16string& name, std::string& reason) {
  static const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  static const auto setInformation = reinterpret_cast<SetInformationFile>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtSetInformationFile")));
  static const auto toError = reinterpret_cast<StatusToError>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
  if (!setInformation || !toError) {
    reason = "the system cannot set short names";
    return false;
  }
  // FILE_NAME_INFORMATION: the length in bytes, then the name.
  std::vector<std::uint8_t> information(sizeof(ULONG) + name.size() * 2);
  const ULONG length = static_cast<ULONG>(name.size() * 2);
  std::memcpy(information.data(), &length, sizeof length);
  std::memcpy(information.data() + sizeof length, name.data(), length);
  StatusBlock block{};
  const LONG status =
      setInformation(entry, &block, information.data(), static_cast<ULONG>(information.size()),
                     kFileShortNameInformation);
  if (status >= 0) return true;
  reason = systemMessage(toError(status));
  return false;
}

// The attributes SetFileAttributes takes; the others (folder, compressed,
// encrypted, sparse, reparse point) come from how the entry is made.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Whether the descriptor's SACL holds a mandatory label (an integrity level
// such as the Low of LocalLow).
bool hasMandatoryLabel(PSECURITY_DESCRIPTOR security) {
  BOOL present = FALSE, defaulted = FALSE;
  PACL sacl = nullptr;
  if (!GetSecurityDescriptorSacl(security, &present, &sacl, &defaulted) || !present || !sacl)
    return false;
  for (DWORD i = 0; i < sacl->AceCount; ++i) {
    void* ace = nullptr;
    if (GetAce(sacl, i, &ace) &&
        static_cast<const ACE_HEADER*>(ace)->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE)
      return true;
  }
  return false;
}

}  // namespace

std::vector<SecurityTry> securityTries(bool labelled) {
  // Everything first, the integrity label included (which the SACL's own
  // flag leaves alone); then without the label, for systems that refuse it
  // (before Vista); without the privileges for owners and audit lists, at
  // least the access list.
  constexpr std::uint32_t kWhole = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                   DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
  return {
      {kWhole | LABEL_SECURITY_INFORMATION, true},
      {kWhole, !labelled},
      {OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, false},
      {DACL_SECURITY_INFORMATION, false}};
}

namespace {

bool setSecurity(const std::filesystem::path& path, le::ByteSpan descriptor, std::string& reason) {
  // The image's descriptors are self-relative; a copy, since the call takes a
  // writable pointer.
  std::vector<std::uint8_t> copy(descriptor.data, descriptor.data + descriptor.size);
  PSECURITY_DESCRIPTOR security = copy.data();
  if (!IsValidSecurityDescriptor(security)) {
    reason = "the image's security descriptor is not valid";
    return false;
  }
  const std::vector<SecurityTry> tries = securityTries(hasMandatoryLabel(security));
  DWORD error = ERROR_SUCCESS;
  for (const SecurityTry& attempt : tries) {
    if (SetFileSecurityW(path.c_str(), attempt.parts, security)) {
      if (attempt.whole) return true;
      reason = "only part of the security descriptor could be set: " + systemMessage(error);
      return false;
    }
    if (error == ERROR_SUCCESS) error = GetLastError();
  }
  reason = systemMessage(error);
  return false;
}

}  // namespace

std::string removeEntry(const std::filesystem::path& path, bool& isFolder) {
  isFolder = false;
  const DWORD there = GetFileAttributesW(path.c_str());
  if (there == INVALID_FILE_ATTRIBUTES) return std::string();
  const bool link = (there & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if ((there & FILE_ATTRIBUTE_DIRECTORY) != 0 && !link) {
    isFolder = true;
    return "a folder is in its place";
  }
  // The entry itself (a link is not followed), with the access that the
  // restore privilege grants whatever its access list says.
  Handle entry(openEntry(path, DELETE | FILE_WRITE_ATTRIBUTES));
  if (!entry.valid()) return systemMessage(GetLastError());
  // A read-only entry cannot be deleted: its attributes go first.
  FILE_BASIC_INFO basic{};
  basic.FileAttributes =
      (there & FILE_ATTRIBUTE_DIRECTORY) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  if ((there & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0)
    SetFileInformationByHandle(entry.value, FileBasicInfo, &basic, sizeof basic);
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  if (!SetFileInformationByHandle(entry.value, FileDispositionInfo, &disposition,
                                  sizeof disposition))
    return "cannot remove what is in its place: " + systemMessage(GetLastError());
  return std::string();
}

std::string TargetFile::create(const std::filesystem::path& path, std::uint64_t size,
                               bool& notAFile, const TargetTraits* traits) {
  notAFile = false;
  close();
  failed_ = false;
  // A named stream ("name:stream") belongs to its file or folder, which is
  // there already.
  const bool stream = path.filename().wstring().find(L':') != std::wstring::npos;
  if (!stream) {
    // A file of the same name goes first, hidden, system, read-only or owned
    // by TrustedInstaller as it may be, and so does a link, never followed; a
    // folder in the file's place is refused.
    const std::string reason = removeEntry(path, notAFile);
    if (!reason.empty()) return reason;
  }
  // Backup semantics: with SeRestorePrivilege the system grants the write
  // whatever the folder's access list says.
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return systemMessage(GetLastError());
  handle_ = reinterpret_cast<std::intptr_t>(file);
  if (size != 0 && (!traits || traits->preallocates)) {
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
    SetFileInformationByHandle(file, FileAllocationInfo, &allocation, sizeof allocation);
  }
  return std::string();
}

bool TargetFile::write(const std::uint8_t* bytes, std::size_t count) {
  while (count != 0 && !failed_) {
    const DWORD part = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(handle_), bytes, part, &written, nullptr) ||
        written == 0) {
      failed_ = true;
      error_ = static_cast<int>(GetLastError());
      break;
    }
    bytes += written;
    count -= written;
  }
  return !failed_;
}

bool TargetFile::close() {
  if (handle_ == kNone) return !failed_;
  if (!CloseHandle(reinterpret_cast<HANDLE>(handle_))) {
    failed_ = true;
    error_ = static_cast<int>(GetLastError());
  }
  handle_ = kNone;
  return !failed_;
}

std::string TargetFile::failure() const {
  return error_ == 0 ? std::string() : systemMessage(static_cast<DWORD>(error_));
}

bool targetFreeBytes(const std::filesystem::path& target, std::uint64_t& bytes) {
  ULARGE_INTEGER available = {};
  if (!GetDiskFreeSpaceExW(target.c_str(), &available, nullptr, nullptr)) return false;
  bytes = available.QuadPart;
  return true;
}

std::string makeFolder(const std::filesystem::path& path, bool& notAFolder) {
  notAFolder = false;
  if (CreateDirectoryW(path.c_str(), nullptr)) return std::string();
  DWORD error = GetLastError();
  const DWORD there = GetFileAttributesW(path.c_str());
  if (error == ERROR_ALREADY_EXISTS && there != INVALID_FILE_ATTRIBUTES) {
    if ((there & FILE_ATTRIBUTE_DIRECTORY) != 0 && (there & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
      return std::string();
    // A junction or link in the folder's place is removed, not entered: what
    // it points to stays as it is. A file there is refused.
    if ((there & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      notAFolder = true;
      return systemMessage(error);
    }
    bool notALink = false;
    const std::string reason = removeEntry(path, notALink);
    if (!reason.empty()) return reason;
    if (CreateDirectoryW(path.c_str(), nullptr)) return std::string();
    error = GetLastError();
  }
  return systemMessage(error);
}

std::filesystem::path systemPath(const std::filesystem::path& path) {
  const std::wstring& text = path.native();
  // Already a long path, or a device (\\.\): the system takes it as it is.
  if (text.rfind(L"\\\\?\\", 0) == 0 || text.rfind(L"\\\\.\\", 0) == 0) return path;
  const DWORD size = GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(text.c_str(), size, &full[0], nullptr);
  if (length == 0 || length >= size) return path;
  full.resize(length);
  if (full.rfind(L"\\\\", 0) == 0) return std::filesystem::path(L"\\\\?\\UNC\\" + full.substr(2));
  return std::filesystem::path(L"\\\\?\\" + full);
}

std::vector<std::string> prepareApplyPrivileges(bool symbolicLinks) {
  std::vector<std::string> missing;
  const struct {
    const wchar_t* name;
    const char* text;
  } wanted[] = {
      {L"SeRestorePrivilege",
       "SeRestorePrivilege is not held: owners, short names and protected files may not be "
       "restored; run the tool as administrator"},
      {L"SeBackupPrivilege", "SeBackupPrivilege is not held: protected folders may not be read"},
      {L"SeSecurityPrivilege",
       "SeSecurityPrivilege is not held: audit lists (SACLs) of security descriptors are not "
       "restored"},
      {L"SeTakeOwnershipPrivilege", "SeTakeOwnershipPrivilege is not held"},
  };
  for (const auto& privilege : wanted)
    if (!enablePrivilege(privilege.name)) missing.push_back(privilege.text);
  // The reparse data of a symbolic link is refused without it.
  if (symbolicLinks && !enablePrivilege(L"SeCreateSymbolicLinkPrivilege"))
    missing.push_back("SeCreateSymbolicLinkPrivilege is not held: symbolic links are not restored");
  return missing;
}

// Whether the system makes 8.3 names on the volume at `root` (C:\\): the
// registry's NtfsDisable8dot3NameCreation says 0 for all volumes, 1 for none,
// 3 for the system volume only, 2 for each volume its own flag.
bool shortNamesEnabled(const wchar_t* root) {
  DWORD setting = 0, size = sizeof setting;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\FileSystem",
                   L"NtfsDisable8dot3NameCreation", RRF_RT_REG_DWORD, nullptr, &setting,
                   &size) != ERROR_SUCCESS)
    return true;
  if (setting == 1) return false;
  if (setting == 3) {
    wchar_t windows[MAX_PATH + 1] = {}, systemRoot[MAX_PATH + 1] = {};
    return GetSystemWindowsDirectoryW(windows, MAX_PATH) &&
           GetVolumePathNameW(windows, systemRoot, MAX_PATH) &&
           CompareStringOrdinal(systemRoot, -1, root, -1, TRUE) == CSTR_EQUAL;
  }
  if (setting != 2) return true;
  // FILE_FS_PERSISTENT_VOLUME_INFORMATION: +0 VolumeFlags, +4 FlagMask,
  // +8 Version (1), +12 Reserved.
  constexpr DWORD kQueryPersistentVolumeState =
      CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 143, METHOD_BUFFERED, FILE_ANY_ACCESS);
  constexpr ULONG kShortNameCreationDisabled = 0x1;
  Handle volume(openEntry(root, FILE_READ_ATTRIBUTES));
  if (!volume.valid()) return true;
  ULONG asked[4] = {0, kShortNameCreationDisabled, 1, 0}, answer[4] = {};
  DWORD returned = 0;
  if (!DeviceIoControl(volume.value, kQueryPersistentVolumeState, asked, sizeof asked, answer,
                       sizeof answer, &returned, nullptr))
    return true;
  return (answer[0] & kShortNameCreationDisabled) == 0;
}

// Asked of the volume whether it keeps named streams: a stream name on a file
// system without streams (FAT, or Wine's view of a Unix one) would become
// part of a file's name instead.
TargetTraits describeTarget(const std::filesystem::path& target) {
  TargetTraits traits;
  for (bool& kept : traits.keeps) kept = true;
  wchar_t volume[MAX_PATH + 1] = {};
  DWORD flags = 0;
  traits.namedStreams =
      GetVolumePathNameW(target.c_str(), volume, MAX_PATH) &&
      GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
      (flags & FILE_NAMED_STREAMS) != 0;
  traits.reparsePointsInPlace = true;
  // Each short name is set before the metadata: a name that another entry
  // holds for the moment is tried again once that one has its own.
  traits.shortNamesBeforeLinks = true;
  if (!shortNamesEnabled(volume)) {
    traits.keeps[static_cast<int>(MetadataKind::ShortName)] = false;
    traits.description =
        "8.3 short names are disabled on this volume (as on volumes that Windows 8 and later "
        "format): the image's short names are not set";
  }
  return traits;
}

std::filesystem::path namedStreamPath(const std::filesystem::path& path,
                                      const std::u16string& name) {
  std::wstring text = path.native();
  text += L':';
  text.append(name.begin(), name.end());
  return std::filesystem::path(text);
}

// Windows writes streams through their paths and sets short names with the
// rest of the metadata (TargetTraits says so); these two are not called here.
std::string writeWholeStream(const std::filesystem::path&, const std::u16string&, le::ByteSpan) {
  return "streams are written through their paths on Windows";
}

std::string applyShortName(const std::filesystem::path& path, const std::u16string& name) {
  // The system asks for delete access to a file whose name changes.
  Handle entry(openEntry(path, DELETE | FILE_WRITE_ATTRIBUTES));
  if (!entry.valid()) return systemMessage(GetLastError());
  std::string reason;
  setShortName(entry.value, name, reason);
  return reason;
}

std::string applyReparseData(const std::filesystem::path& path, bool /*folder*/, std::uint32_t tag,
                             le::ByteSpan data, const TargetTraits& /*traits*/) {
  std::vector<std::uint8_t> buffer = reparseBuffer(tag, data);
  if (buffer.empty()) return "the reparse data is larger than Windows allows";
  Handle entry(openEntry(path, GENERIC_WRITE));
  if (!entry.valid()) return systemMessage(GetLastError());
  DWORD returned = 0;
  if (!DeviceIoControl(entry.value, FSCTL_SET_REPARSE_POINT, buffer.data(),
                       static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr))
    return systemMessage(GetLastError());
  return std::string();
}

void applyEntryMetadata(const std::filesystem::path& path, const EntryMetadata& metadata,
                        bool /*reparsePoint*/, const TargetTraits& /*traits*/,
                        MetadataFailures& failures) {
  // The security descriptor first: attributes and times follow through a
  // handle opened with backup semantics, which the restore privilege lets
  // past whatever the new access list says. (Setting a descriptor may also
  // touch the read-only attribute where the file system derives it from the
  // access list, as Wine's does.)
  if (metadata.securityDescriptor.size != 0) {
    std::string reason;
    if (!setSecurity(path, metadata.securityDescriptor, reason))
      failures.add(MetadataKind::Security, reason);
  }
  Handle entry(openEntry(path, FILE_WRITE_ATTRIBUTES | GENERIC_WRITE | DELETE));
  if (!entry.valid()) entry.value = openEntry(path, FILE_WRITE_ATTRIBUTES);
  if (!entry.valid()) {
    const std::string reason = systemMessage(GetLastError());
    failures.add(MetadataKind::Times, reason);
    failures.add(MetadataKind::Attributes, reason);
    if (!metadata.shortName.empty()) failures.add(MetadataKind::ShortName, reason);
    return;
  }
  std::string reason;
  if (!metadata.shortName.empty() && !setShortName(entry.value, metadata.shortName, reason))
    failures.add(MetadataKind::ShortName, reason);
  // Times and attributes in one call; a zero time stays as it is, and
  // FILE_ATTRIBUTE_NORMAL clears what a plain file should not have.
  FILE_BASIC_INFO basic{};
  basic.CreationTime.QuadPart = static_cast<LONGLONG>(metadata.creationTime);
  basic.LastAccessTime.QuadPart = static_cast<LONGLONG>(metadata.lastAccessTime);
  basic.LastWriteTime.QuadPart = static_cast<LONGLONG>(metadata.lastWriteTime);
  DWORD attributes = metadata.attributes & kSettableAttributes;
  basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
  if (!SetFileInformationByHandle(entry.value, FileBasicInfo, &basic, sizeof basic)) {
    const std::string why = systemMessage(GetLastError());
    failures.add(MetadataKind::Times, why);
    failures.add(MetadataKind::Attributes, why);
  }
}

}  // namespace wim
