// The running machine's firmware variables on Windows, through the
// firmware environment calls. The Ex forms (Windows 8 and later, with the
// attributes) and GetFirmwareType are looked up at run time, so that the
// tool still starts on Windows 7, where the plain forms serve.
#include <windows.h>

#include "tools/bcdboot/firmware_entry.h"

namespace tools {

namespace {

constexpr wchar_t kGlobalGuid[] = L"{8BE4DF61-93CA-11D2-AA0D-00E098032B8C}";
constexpr wchar_t kSystemEnvironmentPrivilege[] = L"SeSystemEnvironmentPrivilege";
constexpr int kFirmwareTypeUefi = 2;  // FIRMWARE_TYPE's FirmwareTypeUefi

using GetFirmwareTypeCall = BOOL(WINAPI*)(int*);
using GetVariableExCall = DWORD(WINAPI*)(LPCWSTR, LPCWSTR, PVOID, DWORD, PDWORD);
using SetVariableExCall = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, PVOID, DWORD, DWORD);

template <typename Call>
Call kernelCall(const char* name) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  return kernel ? reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(kernel, name)))
                : nullptr;
}

std::wstring wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::string windowsError(const std::string& what, DWORD error) {
  return what + " (Windows error " + std::to_string(error) + ")";
}

struct TokenHandle {
  HANDLE handle = nullptr;
  ~TokenHandle() {
    if (handle) CloseHandle(handle);
  }
};

// The privilege is held by administrators but off until a process turns it
// on; without it every firmware call fails with ERROR_PRIVILEGE_NOT_HELD.
bool enableSystemEnvironmentPrivilege(std::string& reason) {
  TokenHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token.handle))
    return reason = windowsError("cannot open the process token", GetLastError()), false;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueW(nullptr, kSystemEnvironmentPrivilege, &privileges.Privileges[0].Luid))
    return reason = windowsError("cannot look up SeSystemEnvironmentPrivilege", GetLastError()),
           false;
  if (!AdjustTokenPrivileges(token.handle, FALSE, &privileges, 0, nullptr, nullptr))
    return reason = windowsError("cannot enable SeSystemEnvironmentPrivilege", GetLastError()),
           false;
  // AdjustTokenPrivileges succeeds even when the token lacks the privilege.
  if (GetLastError() == ERROR_NOT_ALL_ASSIGNED)
    return reason =
               "this account does not hold SeSystemEnvironmentPrivilege (run as "
               "administrator)",
           false;
  return true;
}

bool readVariable(const std::string& name, bool& exists, le::Bytes& data, std::string& reason) {
  static const auto getEx = kernelCall<GetVariableExCall>("GetFirmwareEnvironmentVariableExW");
  const std::wstring wideName = wide(name);
  exists = false;
  for (DWORD size = 4096; size <= 1u << 20; size *= 4) {
    data.assign(size, 0);
    DWORD attributes = 0;
    SetLastError(ERROR_SUCCESS);
    const DWORD got =
        getEx ? getEx(wideName.c_str(), kGlobalGuid, data.data(), size, &attributes)
              : GetFirmwareEnvironmentVariableW(wideName.c_str(), kGlobalGuid, data.data(), size);
    const DWORD error = got == 0 ? GetLastError() : ERROR_SUCCESS;
    if (error == ERROR_ENVVAR_NOT_FOUND) return data.clear(), true;
    if (error == ERROR_INSUFFICIENT_BUFFER) continue;
    if (error != ERROR_SUCCESS) return reason = windowsError("cannot read " + name, error), false;
    data.resize(got);
    exists = true;
    return true;
  }
  return reason = name + " is larger than any boot variable can be", false;
}

bool writeVariable(const std::string& name, const le::Bytes& data, std::string& reason) {
  static const auto setEx = kernelCall<SetVariableExCall>("SetFirmwareEnvironmentVariableExW");
  const std::wstring wideName = wide(name);
  le::Bytes copy = data;  // the calls take a non-const buffer
  const auto size = static_cast<DWORD>(copy.size());
  // The plain call writes with attributes 7 as well.
  const BOOL ok =
      setEx ? setEx(wideName.c_str(), kGlobalGuid, copy.data(), size, boot::kBootVariableAttributes)
            : SetFirmwareEnvironmentVariableW(wideName.c_str(), kGlobalGuid, copy.data(), size);
  if (!ok) return reason = windowsError("cannot write " + name, GetLastError()), false;
  return true;
}

}  // namespace

bool startedThroughUefi() {
  static const auto getType = kernelCall<GetFirmwareTypeCall>("GetFirmwareType");
  int type = 0;
  if (getType && getType(&type)) return type == kFirmwareTypeUefi;
  // Before Windows 8: on a BIOS system every firmware variable call fails
  // with ERROR_INVALID_FUNCTION; on UEFI this dummy read fails otherwise.
  return probeSaysUefi(
      [] {
        std::string ignored;
        return enableSystemEnvironmentPrivilege(ignored);
      },
      [] {
        GetFirmwareEnvironmentVariableW(L"", L"{00000000-0000-0000-0000-000000000000}", nullptr, 0);
        return static_cast<std::uint32_t>(GetLastError());
      });
}

bool runningFirmwareVariables(FirmwareVariables& variables, std::string& reason) {
  if (!enableSystemEnvironmentPrivilege(reason)) return false;
  variables.read = readVariable;
  variables.write = writeVariable;
  variables.listBootOptions = nullptr;  // Win32 has no call that lists them
  return true;
}

bool firmwareCanSeeDisk(const std::string&, std::string&) { return true; }

}  // namespace tools
