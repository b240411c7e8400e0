// The install- and boot-partition lists.
#pragma once

#include <string>
#include <vector>

struct MainForm;

// The root texts of all logical drives, in the order Windows gives them.
int listDriveRoots(std::vector<std::string>& roots);

// The file-system object's drive type of the drive with this letter
// (a one-character text), or 0 when it cannot be found out.
int driveType(const std::string& letter);

// Fills 组合框2 and 组合框3 with the removable and fixed drives, identically,
// and selects the first item of each.
void fillPartitionLists(MainForm& form);
