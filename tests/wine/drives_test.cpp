// Drive discovery on the bench prefix's drives: C: and G: fixed, D: CD-ROM,
// E: removable, F: network, Z: (the Linux root) network.
#include <windows.h>

#include <gtest/gtest.h>

#include "drives/drive_roots.h"
#include "drives/partition_lists.h"

namespace {

TEST(Drives, RootsComeInLetterOrderAsDriveRootTexts) {
  std::vector<std::string> roots;
  int count = listDriveRoots(roots);
  EXPECT_EQ(count, static_cast<int>(roots.size()));
  std::vector<std::string> expected = {"C:\\", "D:\\", "E:\\", "F:\\", "G:\\", "Z:\\"};
  // T: is the bench's small drive, where the machine allows mounting one.
  if (GetDriveTypeA("T:\\") != DRIVE_NO_ROOT_DIR) expected.insert(expected.end() - 1, "T:\\");
  EXPECT_EQ(roots, expected);
}

TEST(Drives, TypesComeFromTheFileSystemObject) {
  EXPECT_EQ(driveType("C"), kDriveFixed);
  EXPECT_EQ(driveType("D"), kDriveCdRom);
  EXPECT_EQ(driveType("E"), kDriveRemovable);
  EXPECT_EQ(driveType("F"), kDriveNetwork);
  EXPECT_EQ(driveType("G"), kDriveFixed);
  EXPECT_EQ(driveType("e"), kDriveRemovable);
  // No such drive: the object raises an error, which means "unknown".
  EXPECT_EQ(driveType("Q"), kDriveUnknown);
  EXPECT_EQ(driveType(""), kDriveUnknown);
}

}  // namespace
