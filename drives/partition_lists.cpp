#include "drives/partition_lists.h"

#include <windows.h>

#include "app/main_form.h"
#include "common/automation.h"
#include "drives/drive_roots.h"

int listDriveRoots(std::vector<std::string>& roots) {
  char buffer[255] = {};
  DWORD length = GetLogicalDriveStringsA(sizeof buffer, buffer);
  // A result larger than the buffer means it did not fit: nothing was written.
  roots = (length == 0 || length > sizeof buffer) ? std::vector<std::string>()
                                                  : splitDriveStrings(buffer, length);
  return static_cast<int>(roots.size());
}

int driveType(const std::string& letter) {
  ComPtr<IDispatch> fileSystem = automation::create(L"Scripting.FileSystemObject");
  if (!fileSystem || letter.size() != 1) return 0;

  wchar_t root[4] = {static_cast<wchar_t>(static_cast<unsigned char>(letter[0])), L':', L'\\', 0};
  VARIANT argument = automation::bstrArgument(root);
  Variant drive;
  HRESULT hr =
      automation::invoke(fileSystem.get(), L"GetDrive", DISPATCH_METHOD, {argument}, drive.get());
  VariantClear(&argument);
  // An unknown letter makes GetDrive raise an error: such a drive is left out.
  if (FAILED(hr) || drive.value().vt != VT_DISPATCH || !drive.value().pdispVal) return 0;

  Variant type;
  if (FAILED(automation::invoke(drive.value().pdispVal, L"DriveType", DISPATCH_PROPERTYGET, {},
                                type.get())))
    return 0;
  if (FAILED(VariantChangeType(type.get(), type.get(), 0, VT_I4))) return 0;
  return type.value().lVal;
}

namespace {

// Keeps the window responsive while a slow drive is being asked.
void processPendingMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(message.wParam));  // leave it for the main loop
      return;
    }
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

}  // namespace

void fillPartitionLists(MainForm& form) {
  std::vector<std::string> roots;
  listDriveRoots(roots);
  for (const std::string& root : roots) {
    if (isPartitionCandidate(driveType(root.substr(0, 1)))) {
      control::addItem(form.组合框2, root);
      control::addItem(form.组合框3, root);
    }
    processPendingMessages();
  }
  control::setCurrentSelection(form.组合框2, 0);
  control::setCurrentSelection(form.组合框3, 0);
}
