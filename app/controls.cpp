#include "app/controls.h"

#include <commctrl.h>
#include <commdlg.h>

#include <vector>

namespace control {

bool visible(HWND control) { return IsWindowVisible(control) != FALSE; }

void setVisible(HWND control, bool visible) { ShowWindow(control, visible ? SW_SHOWNA : SW_HIDE); }

bool disabled(HWND control) { return IsWindowEnabled(control) == FALSE; }

void setDisabled(HWND control, bool disabled) { EnableWindow(control, disabled ? FALSE : TRUE); }

namespace {

std::string windowText(HWND control) {
  int length = GetWindowTextLengthA(control);
  if (length <= 0) return std::string();
  std::vector<char> buffer(static_cast<size_t>(length) + 1);
  int copied = GetWindowTextA(control, buffer.data(), length + 1);
  return std::string(buffer.data(), copied > 0 ? static_cast<size_t>(copied) : 0);
}

bool isComboBox(HWND control) {
  char className[32] = {};
  GetClassNameA(control, className, sizeof className);
  return lstrcmpiA(className, WC_COMBOBOXA) == 0;
}

}  // namespace

std::string content(HWND control) {
  if (isComboBox(control)) return itemText(control, currentSelection(control));
  return windowText(control);
}

void setContent(HWND editBox, const std::string& text) { SetWindowTextA(editBox, text.c_str()); }

std::string caption(HWND label) { return windowText(label); }

void setCaption(HWND label, const std::string& text) {
  SetWindowTextA(label, text.c_str());
  // The labels draw on a transparent background: without repainting what lies
  // beneath, the old caption would show through the new one.
  HWND parent = GetParent(label);
  RECT rect;
  GetWindowRect(label, &rect);
  MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&rect), 2);
  RedrawWindow(parent, &rect, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

int currentSelection(HWND comboBox) {
  return static_cast<int>(SendMessageA(comboBox, CB_GETCURSEL, 0, 0));
}

void setCurrentSelection(HWND comboBox, int index) {
  SendMessageA(comboBox, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int itemCount(HWND comboBox) { return static_cast<int>(SendMessageA(comboBox, CB_GETCOUNT, 0, 0)); }

std::string itemText(HWND comboBox, int index) {
  LRESULT length = SendMessageA(comboBox, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (index < 0 || length == CB_ERR || length <= 0) return std::string();
  std::vector<char> buffer(static_cast<size_t>(length) + 1);
  LRESULT copied = SendMessageA(comboBox, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                reinterpret_cast<LPARAM>(buffer.data()));
  return copied == CB_ERR ? std::string() : std::string(buffer.data(), static_cast<size_t>(copied));
}

int addItem(HWND comboBox, const std::string& text) {
  return static_cast<int>(
      SendMessageA(comboBox, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

void clearItems(HWND comboBox) { SendMessageA(comboBox, CB_RESETCONTENT, 0, 0); }

bool checked(HWND checkBox) { return SendMessageA(checkBox, BM_GETCHECK, 0, 0) == BST_CHECKED; }

void setChecked(HWND checkBox, bool checked) {
  SendMessageA(checkBox, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

int position(HWND progressBar) {
  return static_cast<int>(SendMessageA(progressBar, PBM_GETPOS, 0, 0));
}

void setPosition(HWND progressBar, int position) {
  SendMessageA(progressBar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void setInterval(Timer& timer, UINT milliseconds) {
  timer.interval = milliseconds;
  if (milliseconds == 0)
    KillTimer(timer.owner, timer.id);
  else
    SetTimer(timer.owner, timer.id, milliseconds, nullptr);
}

bool open(FileOpenDialog& dialog, HWND owner) {
  // The form keeps filters as "a|b|c|d"; the dialog wants NUL separators and
  // a double NUL at the end.
  std::string filter = dialog.filter;
  for (char& c : filter)
    if (c == '|') c = '\0';
  filter.append(2, '\0');

  std::vector<char> fileName(MAX_PATH * 4, '\0');
  dialog.fileName.copy(fileName.data(), fileName.size() - 1);

  OPENFILENAMEA ofn = {};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = fileName.data();
  ofn.nMaxFile = static_cast<DWORD>(fileName.size());
  ofn.lpstrTitle = dialog.title.empty() ? nullptr : dialog.title.c_str();
  // The form stores the extension with its dot; the dialog wants it without.
  std::string defaultExtension = dialog.defaultExtension;
  if (!defaultExtension.empty() && defaultExtension[0] == '.') defaultExtension.erase(0, 1);
  ofn.lpstrDefExt = defaultExtension.empty() ? nullptr : defaultExtension.c_str();
  ofn.Flags = dialog.flags;
  if (!GetOpenFileNameA(&ofn)) return false;
  dialog.fileName = fileName.data();
  return true;
}

}  // namespace control
