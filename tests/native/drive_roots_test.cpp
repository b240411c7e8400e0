#include "drives/drive_roots.h"

#include <gtest/gtest.h>

namespace {

TEST(DriveRoots, SplitsTheDriveStringsAtEveryNul) {
  const char buffer[] = "C:\\\0D:\\\0E:\\\0\0garbage";
  // The length Windows reports leaves out the final NUL of the list.
  auto roots = splitDriveStrings(buffer, 12);
  ASSERT_EQ(roots.size(), 3u);
  EXPECT_EQ(roots[0], "C:\\");
  EXPECT_EQ(roots[1], "D:\\");
  EXPECT_EQ(roots[2], "E:\\");
  EXPECT_TRUE(splitDriveStrings(buffer, 0).empty());
  // Only the reported length counts, even when it ends inside a root.
  EXPECT_EQ(splitDriveStrings(buffer, 6), (std::vector<std::string>{"C:\\", "D:"}));
}

TEST(DriveRoots, OnlyRemovableAndFixedDrivesAreCandidates) {
  EXPECT_TRUE(isPartitionCandidate(kDriveRemovable));
  EXPECT_TRUE(isPartitionCandidate(kDriveFixed));
  for (int type :
       {int{kDriveUnknown}, int{kDriveNetwork}, int{kDriveCdRom}, int{kDriveRamDisk}, -1, 6})
    EXPECT_FALSE(isPartitionCandidate(type)) << type;
}

}  // namespace
