// The control-property layer: one call per property that the window's
// controls offer. Each is a thin name over a Win32 message; none adds
// behaviour. Text is GBK bytes throughout.
#pragma once

#include <windows.h>

#include <string>

namespace control {

// visible / disabled: every control.
bool visible(HWND control);
void setVisible(HWND control, bool visible);
bool disabled(HWND control);
void setDisabled(HWND control, bool disabled);

// content: the whole text of an edit box; for a combo box the text of the
// selected item (empty when nothing is selected).
std::string content(HWND control);
void setContent(HWND editBox, const std::string& text);

// caption: the displayed text of a label.
std::string caption(HWND label);
void setCaption(HWND label, const std::string& text);

// current selection, item text, add item: combo boxes.
int currentSelection(HWND comboBox);
void setCurrentSelection(HWND comboBox, int index);
int itemCount(HWND comboBox);
std::string itemText(HWND comboBox, int index);
int addItem(HWND comboBox, const std::string& text);
void clearItems(HWND comboBox);

// checked: the check box.
bool checked(HWND checkBox);
void setChecked(HWND checkBox, bool checked);

// position: the progress bar, 0 to 100.
int position(HWND progressBar);
void setPosition(HWND progressBar, int position);

// interval: a timer is an id on its owner window; 0 stops it.
struct Timer {
  HWND owner = nullptr;
  UINT_PTR id = 0;
  UINT interval = 0;
};
void setInterval(Timer& timer, UINT milliseconds);

// The file-open dialog: its settings, and the file name that is preset
// before it opens and holds the chosen full path after the user confirms.
struct FileOpenDialog {
  std::string title;
  std::string filter;  // "description|pattern" pairs, as the form stores them
  std::string defaultExtension;
  DWORD flags = 0;
  std::string fileName;
};
// Opens the dialog; true when the user confirmed a file (fileName then holds it).
bool open(FileOpenDialog& dialog, HWND owner);

}  // namespace control
