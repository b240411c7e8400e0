// Listing the editions of an image file: the browse button lets the user
// pick the image, the imaging tool reports its information, and the edition
// names fill 组合框1.
#pragma once

#include <string>

struct MainForm;

inline constexpr char kWaitItem[] = "正在获取系统版本，请稍后....";
inline constexpr char kFailureItem[] = "获取失败，错误的WIM映像";

// How long the information query may take before the image counts as bad.
inline constexpr unsigned kQueryTimeoutMs = 60000;

enum class QueryResult {
  Done,          // the tool ended; WIM.TXT holds its whole output
  Refused,       // the path cannot go into a command line safely
  StaleOutput,   // an old WIM.TXT could not be deleted
  NotStarted,    // WIM.CMD could not be written or started
  TimedOut,      // the tool did not end in time
  WindowClosed,  // the user closed the window while waiting
};

// 按钮1: choose an image file and list its editions into 组合框1.
void onBrowseClicked(MainForm& form);

// Deletes the old query files, shows the wait item, writes and starts WIM.CMD
// and waits for it to end, keeping the window painted but not usable.
QueryResult QueryImageInfo(MainForm& form);

// Reads WIM.TXT and fills 组合框1 with the edition names, or the failure item.
void ListEditions(MainForm& form);

// UTF-8 to GBK; characters GBK lacks become the default character.
std::string Utf8ToGbk(const std::string& text);

// The image path that 组合框1 currently lists the editions of; empty when
// the list holds none.
const std::string& listedImagePath();
void forgetListedImagePath();
