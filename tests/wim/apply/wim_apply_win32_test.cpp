// The apply onto what Windows users have: a partition that already holds the
// files, paths longer than MAX_PATH, links and integrity labels. Windows
// build only, run under Wine, which keeps DOS attributes and links but
// enforces no privileges.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/wim/apply_test_support.h"
#include "tests/wim/wim_build.h"
#include "wim/apply/apply_target.h"
#include "wim/apply/target_paths.h"

namespace {

namespace fs = std::filesystem;
using wimtest::ApplyRun;
using wimtest::Bytes;
using wimtest::Sandbox;

fs::path sourceTree(const char* name) { return wimtest::fixtureFsPath("trees") / name; }

// A second apply onto a partition that has the files: hidden, system and
// read-only ones are replaced, a link in a file's or a folder's place goes
// and what it points to stays as it was; so does the file that an old name
// was a hard link of. (Wine lets CREATE_ALWAYS replace hidden and read-only
// files, which Windows refuses, and its symbolic links here are no reparse
// points: the hard link is what shows the fault here.)
TEST(WimApplyOnWindows, ReplacesProtectedFilesAndLinksInTheirPlace) {
  const Sandbox box = wimtest::makeSandbox("apply-over-protected");
  const fs::path readme = box.target / "readme.txt", docs = box.target / "docs";
  ASSERT_TRUE(wimtest::writeFile(readme.string(), {'o', 'l', 'd'}));
  ASSERT_TRUE(SetFileAttributesW(
      readme.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY));
  fs::create_directory(docs);
  fs::create_directory(box.outer / "elsewhere");
  ASSERT_TRUE(wimtest::writeFile((box.outer / "precious.txt").string(), {'p'}));
  // A second name of a file outside: written through, it would change that.
  ASSERT_TRUE(
      CreateHardLinkW((docs / "notes.txt").c_str(), (box.outer / "precious.txt").c_str(), nullptr));
  ASSERT_TRUE(SetFileAttributesW((docs / "notes.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  const bool linked =
      CreateSymbolicLinkW((docs / L"中文.txt").c_str(), (box.outer / "precious.txt").c_str(), 0) &&
      CreateSymbolicLinkW((box.target / "empty").c_str(), (box.outer / "elsewhere").c_str(),
                          SYMBOLIC_LINK_FLAG_DIRECTORY);
  const ApplyRun run = wimtest::runApply(wimtest::fixturePath("small.wim"), "1", box.target);
  ASSERT_EQ(run.code, wim::kApplyExitOk) << run.text();
  wimtest::expectSameTree(sourceTree("small"), box.target);
  EXPECT_EQ(GetFileAttributesW(readme.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(wimtest::fileBytes(box.outer / "precious.txt"), Bytes{'p'});
  EXPECT_TRUE(wimtest::namesIn(box.outer / "elsewhere").empty());
  if (linked) {
    EXPECT_EQ(GetFileAttributesW((box.target / "empty").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT,
              0u);
    EXPECT_EQ(GetFileAttributesW((docs / L"中文.txt").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  } else {
    ADD_FAILURE() << "this Wine makes no symbolic links: error " << GetLastError();
  }
}

// A path of more than MAX_PATH characters inside the image.
TEST(WimApplyOnWindows, PathsLongerThanMaxPath) {
  const std::u16string part(90, u'd');
  wimtest::BuildEntry deep = wimtest::fileEntry(u"deep file.txt", "far down");
  for (int level = 0; level < 3; ++level) deep = wimtest::folderEntry(part, {deep});
  const Sandbox box = wimtest::makeSandbox("apply-long-paths");
  const ApplyRun run = wimtest::runApplyOnBytes(wimtest::assembleWim(wimtest::buildImage({deep})),
                                                "long.wim", box.target);
  ASSERT_EQ(run.code, wim::kApplyExitOk) << run.text();
  const std::wstring name(part.begin(), part.end());
  const fs::path file = wim::systemPath(box.target) / name / name / name / "deep file.txt";
  ASSERT_GT(file.native().size(), 300u);
  EXPECT_EQ(wimtest::fileBytes(file), (Bytes{'f', 'a', 'r', ' ', 'd', 'o', 'w', 'n'}));
}

TEST(WimApplyOnWindows, SystemPathsAreLongPaths) {
  EXPECT_EQ(wim::systemPath(L"C:\\target").native(), L"\\\\?\\C:\\target");
  EXPECT_EQ(wim::systemPath(L"C:/target/").native(), L"\\\\?\\C:\\target\\");
  EXPECT_EQ(wim::systemPath(L"\\\\server\\share\\x").native(), L"\\\\?\\UNC\\server\\share\\x");
  EXPECT_EQ(wim::systemPath(L"\\\\?\\D:\\already").native(), L"\\\\?\\D:\\already");
  // A relative target becomes absolute: the prefix takes no relative path.
  const std::wstring relative = wim::systemPath(L"relative").native();
  EXPECT_EQ(relative.rfind(L"\\\\?\\", 0), 0u);
  EXPECT_EQ(relative.substr(5, 2), L":\\") << fs::path(relative);
  EXPECT_EQ(relative.substr(relative.size() - 9), L"\\relative");
}

bool privilegeEnabled(const wchar_t* name) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  LUID wanted{};
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::vector<std::uint8_t> buffer(size);
  bool enabled = false;
  if (LookupPrivilegeValueW(nullptr, name, &wanted) &&
      GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
      if (privileges->Privileges[i].Luid.LowPart == wanted.LowPart &&
          privileges->Privileges[i].Luid.HighPart == wanted.HighPart)
        enabled = (privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
  }
  CloseHandle(token);
  return enabled;
}

// Symbolic links need SeCreateSymbolicLinkPrivilege for their reparse data,
// as restoring and owners need theirs: for an image with links each is on
// once the apply prepares, or said to be missing (Wine's token lacks it).
TEST(WimApplyOnWindows, ThePrivilegesOfTheRestoreAreOn) {
  const std::vector<std::string> missing = wim::prepareApplyPrivileges(true);
  for (const wchar_t* name : {L"SeCreateSymbolicLinkPrivilege", L"SeRestorePrivilege"}) {
    const std::string narrow(name, name + std::wcslen(name));
    bool said = false;
    for (const std::string& line : missing) said = said || line.find(narrow) != std::string::npos;
    EXPECT_TRUE(privilegeEnabled(name) || said) << narrow;
  }
}

// A descriptor with owner and group Administrators, full access for Everyone and the
// Low mandatory label in its SACL, as Users\Default\AppData\LocalLow has.
Bytes lowLabelDescriptor() {
  const Bytes owner = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 2, 0, 0};
  const Bytes dacl = {2,    0,    28, 0, 1, 0, 0, 0, 0, 0, 20, 0, 0xFF, 0x01,
                      0x1F, 0x00, 1,  1, 0, 0, 0, 0, 0, 1, 0,  0, 0,    0};  // allowed: Everyone
  // SYSTEM_MANDATORY_LABEL_ACE (type 0x11), no-write-up, S-1-16-4096.
  // clang-format off
  const Bytes sacl = {2, 0, 28, 0, 1, 0, 0, 0,        // revision, size, one entry
                      0x11, 0, 20, 0, 1, 0, 0, 0,     // label entry, no write up
                      1, 1, 0, 0, 0, 0, 0, 16,        // S-1-16-
                      0x00, 0x10, 0, 0};              // 4096
  // clang-format on
  Bytes descriptor(20, 0);
  descriptor[0] = 1;
  wimtest::putLittleEndian(descriptor, 2, 2, 0x8014);   // self-relative, SACL and DACL present
  wimtest::putLittleEndian(descriptor, 4, 4, 20);       // owner
  wimtest::putLittleEndian(descriptor, 8, 4, 20 + 16);  // group: Administrators too
  wimtest::putLittleEndian(descriptor, 12, 4, 20 + 32);
  wimtest::putLittleEndian(descriptor, 16, 4, 20 + 32 + 28);
  for (const Bytes* part : {&owner, &owner, &sacl, &dacl})
    descriptor.insert(descriptor.end(), part->begin(), part->end());
  return descriptor;
}

// The label is asked for with the rest, and only a system that refuses it
// gets the descriptor without; where the image has no label, that loses
// nothing. Each later try asks for less than the one before.
TEST(WimApplyOnWindows, IntegrityLabelsAreAskedForFirst) {
  constexpr std::uint32_t kWhole = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                   DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
  for (const bool labelled : {true, false}) {
    const std::vector<wim::SecurityTry> tries = wim::securityTries(labelled);
    ASSERT_GE(tries.size(), 3u);
    EXPECT_EQ(tries[0].parts, kWhole | LABEL_SECURITY_INFORMATION);
    EXPECT_TRUE(tries[0].whole);
    EXPECT_EQ(tries[1].parts, kWhole);
    EXPECT_EQ(tries[1].whole, !labelled);
    for (std::size_t i = 1; i < tries.size(); ++i) {
      EXPECT_EQ(tries[i].parts & ~tries[i - 1].parts, 0u) << i;
      EXPECT_NE(tries[i].parts, tries[i - 1].parts) << i;
    }
    EXPECT_EQ(tries.back().parts, static_cast<std::uint32_t>(DACL_SECURITY_INFORMATION));
  }
}

// The Low label of LocalLow goes on with the rest of its descriptor (Wine
// takes it, though it keeps no SACL on files to read back).
TEST(WimApplyOnWindows, ALabelledDescriptorIsApplied) {
  wimtest::BuildEntry low = wimtest::folderEntry(u"LocalLow");
  low.securityId = 0;
  const Sandbox box = wimtest::makeSandbox("apply-labels");
  const ApplyRun run = wimtest::runApplyOnBytes(
      wimtest::assembleWim(wimtest::buildImage({low}, {lowLabelDescriptor()})), "labels.wim",
      box.target);
  ASSERT_EQ(run.code, wim::kApplyExitOk) << run.text();
  EXPECT_TRUE(fs::is_directory(box.target / "LocalLow"));
  EXPECT_EQ(run.text().find("security descriptor"), std::string::npos) << run.text();
}

// Where the system makes no 8.3 names (NtfsDisable8dot3NameCreation 1, as
// an administrator sets it), that is said once, before the writing, and no
// file tries.
TEST(WimApplyOnWindows, ShortNamesDisabledOnTheVolumeAreSaidOnce) {
  constexpr wchar_t kKey[] = L"SYSTEM\\CurrentControlSet\\Control\\FileSystem";
  constexpr wchar_t kValue[] = L"NtfsDisable8dot3NameCreation";
  DWORD before = 0, size = sizeof before;
  const bool had = RegGetValueW(HKEY_LOCAL_MACHINE, kKey, kValue, RRF_RT_REG_DWORD, nullptr,
                                &before, &size) == ERROR_SUCCESS;
  const DWORD disabled = 1;
  ASSERT_EQ(
      RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, kValue, REG_DWORD, &disabled, sizeof disabled),
      ERROR_SUCCESS);
  std::vector<wimtest::BuildEntry> files;
  for (const char16_t* name : {u"Program Files", u"Program Files (x86)"}) {
    wimtest::BuildEntry folder = wimtest::folderEntry(name);
    folder.shortName = name[13] ? u"PROGRA~2" : u"PROGRA~1";
    files.push_back(folder);
  }
  const Sandbox box = wimtest::makeSandbox("apply-no-short-names");
  const ApplyRun run = wimtest::runApplyOnBytes(wimtest::assembleWim(wimtest::buildImage(files)),
                                                "short.wim", box.target);
  if (had)
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, kValue, REG_DWORD, &before, sizeof before);
  else
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kKey, kValue);
  ASSERT_EQ(run.code, wim::kApplyExitOk) << run.text();
  const std::string text = run.text();
  EXPECT_NE(text.find("[ INFO ] 8.3 short names are disabled on this volume"), std::string::npos)
      << text;
  EXPECT_NE(text.find("[ WARN ] Not applied on this system or file system: 2 short names"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("of the short names could not be applied"), std::string::npos) << text;
}

}  // namespace
