// Writing one tool file, including a write that runs out of space.
#include "tools/stage_tools.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/special_folder.h"

#include <shlobj.h>

namespace {

std::string tempPath(const char* name) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  return std::string(temp) + name;
}

std::vector<unsigned char> readAll(const std::string& path) {
  std::vector<unsigned char> bytes;
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  bytes.resize(GetFileSize(file, nullptr));
  DWORD read = 0;
  if (!bytes.empty())
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  bytes.resize(read);
  CloseHandle(file);
  return bytes;
}

std::vector<unsigned char> pattern(size_t size) {
  std::vector<unsigned char> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>((i * 131) ^ (i >> 8));
  return bytes;
}

TEST(StageTools, SpecialFoldersEndInABackslash) {
  char system[MAX_PATH];
  GetSystemDirectoryA(system, MAX_PATH);
  EXPECT_STREQ(specialFolderPath(CSIDL_SYSTEM).c_str(), (std::string(system) + "\\").c_str());
  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, MAX_PATH);
  EXPECT_STREQ(specialFolderPath(CSIDL_WINDOWS).c_str(), (std::string(windows) + "\\").c_str());
  EXPECT_EQ(specialFolderPath(0x7FFF), "");
}

TEST(StageTools, WritesThePayloadExactly) {
  std::string path = tempPath("roamdeck-tool.exe");
  DeleteFileA(path.c_str());
  auto bytes = pattern(3 * 1024 * 1024 + 7);
  ASSERT_TRUE(writeToolFile(path, {bytes.data(), bytes.size()}));
  EXPECT_EQ(readAll(path), bytes);
  // An existing file is never overwritten by the writer itself either.
  auto other = pattern(10);
  EXPECT_FALSE(writeToolFile(path, {other.data(), other.size()}));
  EXPECT_EQ(readAll(path), bytes);
  DeleteFileA(path.c_str());
}

TEST(StageTools, AShortWriteLeavesNoPartialTool) {
  // T: is a 64 KiB file system that the bench mounts, where mounting is allowed.
  if (GetDriveTypeA("T:\\") == DRIVE_NO_ROOT_DIR) GTEST_SKIP() << "the bench has no small drive T:";
  std::string path = "T:\\roamdeck-partial.exe";
  DeleteFileA(path.c_str());
  auto bytes = pattern(1024 * 1024);
  EXPECT_FALSE(writeToolFile(path, {bytes.data(), bytes.size()}));
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES)
      << "partial file left behind";
  // A payload that fits is written whole on the same drive.
  auto small = pattern(4096);
  EXPECT_TRUE(writeToolFile(path, {small.data(), small.size()}));
  EXPECT_EQ(readAll(path), small);
  DeleteFileA(path.c_str());
}

}  // namespace
