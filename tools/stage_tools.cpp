#include "tools/stage_tools.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>

#include "common/unique_handle.h"
#include "tools/special_folder.h"
#include "tools/tool_payloads.h"

ByteBlob toolPayload(HMODULE module, int resourceId) {
  HRSRC resource =
      FindResourceA(module, MAKEINTRESOURCEA(resourceId), MAKEINTRESOURCEA(10));  // RT_RCDATA
  if (!resource) return {};
  HGLOBAL loaded = LoadResource(module, resource);
  if (!loaded) return {};
  return {static_cast<const unsigned char*>(LockResource(loaded)),
          SizeofResource(module, resource)};
}

bool writeToolFile(const std::string& path, const ByteBlob& payload) {
  UniqueHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  bool complete = true;
  std::size_t done = 0;
  while (complete && done < payload.size) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(payload.size - done, 1u << 20));
    DWORD written = 0;
    complete =
        WriteFile(file.get(), payload.data + done, chunk, &written, nullptr) && written == chunk;
    done += written;
  }
  // Closing can still fail to write back what was buffered.
  complete = CloseHandle(file.release()) && complete;
  if (!complete) DeleteFileA(path.c_str());
  return complete;
}

void stageTools() {
  HMODULE program = GetModuleHandleA(nullptr);
  for (const ToolPayload& tool : kToolPayloads) {
    // Asked anew for every file; an unknown folder puts the tool at the root
    // of the current drive.
    std::string folder = specialFolderPath(CSIDL_SYSTEM);
    std::string path = (folder.empty() ? std::string("\\") : folder) + tool.fileName;
    if (PathFileExistsA(path.c_str())) continue;
    ByteBlob payload = toolPayload(program, tool.resourceId);
    if (payload.data) writeToolFile(path, payload);
  }
}
