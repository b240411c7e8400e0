// The apply on broken and hostile images: a flipped byte in a file's data or
// in the metadata, files cut short, lookup-table entries that point outside
// the file, trees with loops, absurd lengths and names that would climb out
// of the target, and targets with something in the way. Each ends in one
// "[ ERROR ]" line and the exit code of its kind, never in a crash (the
// native run has the sanitizers watching), and never writes outside its
// target; a broken image is refused before anything at all is written.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "wim/format/blob_table.h"
#include "wim/apply/wim_apply.h"
#include "wim/format/wim_header.h"
#include "tests/wim/apply_test_support.h"
#include "tests/wim/wim_build.h"

namespace {

namespace fs = std::filesystem;
using wimtest::ApplyRun;
using wimtest::Bytes;
using wimtest::fileEntry;
using wimtest::folderEntry;
using wimtest::Sandbox;

Bytes smallWim() {
  Bytes bytes;
  EXPECT_TRUE(wimtest::readFile(wimtest::fixturePath("small.wim"), bytes));
  return bytes;
}

std::size_t offsetOf(const Bytes& haystack, const std::string& needle) {
  const auto at = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
  EXPECT_NE(at, haystack.end()) << needle;
  return static_cast<std::size_t>(at - haystack.begin());
}

// Where the lookup-table entry of some data lies in the file.
std::size_t tableEntryOf(const Bytes& wim, const std::string& content) {
  const std::size_t tableAt =
      static_cast<std::size_t>(wimtest::getLittleEndian(wim, wimtest::kLookupTableAt + 8, 8));
  const std::size_t tableSize =
      static_cast<std::size_t>(wimtest::getLittleEndian(wim, wimtest::kLookupTableAt, 7));
  const wim::Sha1Digest digest = wimtest::digestOf(Bytes(content.begin(), content.end()));
  for (std::size_t at = tableAt; at + wim::kBlobEntrySize <= tableAt + tableSize;
       at += wim::kBlobEntrySize)
    if (std::equal(digest.begin(), digest.end(),
                   wim.begin() + static_cast<std::ptrdiff_t>(at + 0x1E)))
      return at;
  ADD_FAILURE() << "no lookup-table entry for " << content;
  return 0;
}

std::size_t metadataEntryOf(const Bytes& wim) {
  const std::size_t tableAt =
      static_cast<std::size_t>(wimtest::getLittleEndian(wim, wimtest::kLookupTableAt + 8, 8));
  const std::size_t tableSize =
      static_cast<std::size_t>(wimtest::getLittleEndian(wim, wimtest::kLookupTableAt, 7));
  for (std::size_t at = tableAt; at + wim::kBlobEntrySize <= tableAt + tableSize;
       at += wim::kBlobEntrySize)
    if (wim[at + 7] & wim::kResourceMetadata) return at;
  ADD_FAILURE() << "no metadata entry";
  return 0;
}

const std::string kNotes = "notes of the small image, one folder down\n";

TEST(WimApplyOnDamage, AFlippedByteInAFileFailsNamingTheFile) {
  Bytes wim = smallWim();
  wim[offsetOf(wim, kNotes) + 5] ^= 0x20;
  const Sandbox box = wimtest::makeSandbox("damage-flip");
  const ApplyRun run = wimtest::runApplyOnBytes(wim, "flipped.wim", box.target);
  wimtest::expectFailure(run, wim::kApplyExitHashMismatch, "\"docs\\notes.txt\"");
  EXPECT_NE(run.lines.back().find("SHA-1"), std::string::npos) << run.text();
  // The damaged file is not left behind to pass for a good one.
  EXPECT_FALSE(fs::exists(box.target / "docs" / "notes.txt"));
  wimtest::expectNothingOutside(box);
}

TEST(WimApplyOnDamage, AFlippedByteInTheMetadataIsDamage) {
  Bytes wim = smallWim();
  const std::size_t entry = metadataEntryOf(wim);
  const std::size_t metadataAt =
      static_cast<std::size_t>(wimtest::getLittleEndian(wim, entry + 8, 8));
  wim[metadataAt + 0x30] ^= 0x01;  // the root's creation time: harmless, but not what was hashed
  const Sandbox box = wimtest::makeSandbox("damage-metadata");
  const ApplyRun run = wimtest::runApplyOnBytes(wim, "metadata.wim", box.target);
  wimtest::expectFailure(run, wim::kApplyExitBadImage, "SHA-1");
  wimtest::expectTargetEmpty(box);
}

TEST(WimApplyOnDamage, AFileCutShortIsDamage) {
  const Bytes whole = smallWim();
  for (std::size_t size :
       {std::size_t{0}, std::size_t{100}, wim::kHeaderSize, whole.size() / 2, whole.size() - 1}) {
    SCOPED_TRACE("cut to " + std::to_string(size) + " bytes");
    const Sandbox box = wimtest::makeSandbox("damage-cut");
    const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
    const ApplyRun run = wimtest::runApplyOnBytes(cut, "cut.wim", box.target);
    EXPECT_EQ(run.code, wim::kApplyExitBadImage) << run.text();
    EXPECT_EQ(run.lines.size(), 1u) << run.text();
    wimtest::expectTargetEmpty(box);
  }
}

TEST(WimApplyOnDamage, ALookupEntryOutsideTheFileIsDamage) {
  const Bytes good = smallWim();
  const std::size_t entry = tableEntryOf(good, kNotes);
  const struct {
    std::size_t field, width;
    std::uint64_t value;
  } breaks[] = {{0x08, 8, good.size()},             // starts at the end
                {0x08, 8, ~std::uint64_t{0} - 10},  // wraps around
                {0x00, 7, good.size()},             // too long for the file
                {0x08, 8, 0}};                      // inside the header
  for (const auto& broken : breaks) {
    SCOPED_TRACE("field +" + std::to_string(broken.field) + " = " + std::to_string(broken.value));
    Bytes wim = good;
    wimtest::putLittleEndian(wim, entry + broken.field, broken.width, broken.value);
    if (broken.field == 0x00) wimtest::putLittleEndian(wim, entry + 0x10, 8, broken.value);
    const Sandbox box = wimtest::makeSandbox("damage-table");
    const ApplyRun run = wimtest::runApplyOnBytes(wim, "table.wim", box.target);
    wimtest::expectFailure(run, wim::kApplyExitBadImage, "lookup table entry");
    wimtest::expectTargetEmpty(box);
  }
}

// The image's metadata said to be compressed, in a file that names no
// compression.
TEST(WimApplyOnDamage, CompressedMetadataInAnUncompressedFileIsDamage) {
  Bytes wim = smallWim();
  const std::size_t entry = metadataEntryOf(wim);
  wim[entry + 7] |= wim::kResourceCompressed;
  const Sandbox box = wimtest::makeSandbox("damage-compressed");
  const ApplyRun run = wimtest::runApplyOnBytes(wim, "compressed.wim", box.target);
  wimtest::expectFailure(run, wim::kApplyExitBadImage, "names no compression");
  wimtest::expectTargetEmpty(box);
}

// Trees that wimlib never writes, built in memory.
void expectRefused(const wimtest::BuiltImage& image, const std::string& part) {
  const Sandbox box = wimtest::makeSandbox("damage-tree");
  const ApplyRun run =
      wimtest::runApplyOnBytes(wimtest::assembleWim(image), "tree.wim", box.target);
  wimtest::expectFailure(run, wim::kApplyExitBadImage, part);
  wimtest::expectTargetEmpty(box);
}

TEST(WimApplyOnDamage, LoopsAndAbsurdLengthsAreRefused) {
  wimtest::BuiltImage loop = wimtest::buildImage(
      {folderEntry(u"outer", {folderEntry(u"inner", {fileEntry(u"f.txt", "x")})})});
  wimtest::putLittleEndian(loop.metadata, loop.entryAt["outer/inner"] + 0x10, 8, loop.listAt[""]);
  expectRefused(loop, "loop");

  wimtest::BuiltImage absurd = wimtest::buildImage({fileEntry(u"a.txt", "a")});
  wimtest::putLittleEndian(absurd.metadata, absurd.entryAt["a.txt"], 8, ~std::uint64_t{0});
  expectRefused(absurd, "length");
}

TEST(WimApplyOnDamage, NamesThatClimbOutAreRefused) {
  for (const std::u16string& name :
       {std::u16string(u".."), std::u16string(u"..\\..\\escaped"), std::u16string(u"../escaped"),
        std::u16string(u"C:\\x"), std::u16string(u"a:b"), std::u16string(u"NUL")}) {
    SCOPED_TRACE(wim::utf8Of(name));
    expectRefused(wimtest::buildImage({folderEntry(u"ok", {fileEntry(u"fine.txt", "fine")}),
                                       folderEntry(name, {fileEntry(u"escaped.txt", "out")})}),
                  "name");
    expectRefused(wimtest::buildImage({fileEntry(name, "out")}), "name");
  }
}

TEST(WimApplyOnDamage, DataMissingFromTheLookupTableIsRefused) {
  wimtest::BuiltImage image = wimtest::buildImage({fileEntry(u"a.txt", "present")});
  image.blobs.clear();  // the entry keeps its hash; the file no longer stores the data
  expectRefused(image, "missing from the lookup table");
}

TEST(WimApplyOnDamage, SomethingInTheWayIsAWriteFailure) {
  const Sandbox box = wimtest::makeSandbox("damage-in-the-way");
  fs::create_directories(box.target / "readme.txt" / "a folder");
  ApplyRun run = wimtest::runApply(wimtest::fixturePath("small.wim"), "1", box.target);
  wimtest::expectFailure(run, wim::kApplyExitWriteFailed, "\"readme.txt\"");
  wimtest::expectNothingOutside(box);

  const Sandbox second = wimtest::makeSandbox("damage-in-the-way-2");
  ASSERT_TRUE(wimtest::writeFile((second.target / "docs").string(), {'f'}));
  run = wimtest::runApply(wimtest::fixturePath("small.wim"), "1", second.target);
  wimtest::expectFailure(run, wim::kApplyExitWriteFailed, "\"docs\"");
  wimtest::expectNothingOutside(second);
}

#ifndef _WIN32
// A link in the target is not followed: the apply would write where it points.
TEST(WimApplyOnDamage, ALinkInTheTargetIsNotFollowed) {
  const Sandbox box = wimtest::makeSandbox("damage-link");
  fs::create_directory(box.outer / "elsewhere");
  fs::create_directory_symlink(box.outer / "elsewhere", box.target / "docs");
  ApplyRun run = wimtest::runApply(wimtest::fixturePath("small.wim"), "1", box.target);
  wimtest::expectFailure(run, wim::kApplyExitWriteFailed, "\"docs\"");
  EXPECT_TRUE(wimtest::namesIn(box.outer / "elsewhere").empty());

  fs::remove(box.target / "docs");
  ASSERT_TRUE(wimtest::writeFile((box.outer / "precious.txt").string(), {'p'}));
  fs::create_symlink(box.outer / "precious.txt", box.target / "readme.txt");
  run = wimtest::runApply(wimtest::fixturePath("small.wim"), "1", box.target);
  wimtest::expectFailure(run, wim::kApplyExitWriteFailed, "\"readme.txt\"");
  EXPECT_EQ(wimtest::fileBytes(box.outer / "precious.txt"), Bytes{'p'});
}
#endif

// What the system cannot take is said in warnings; what it can comes out
// right: the unnamed data beside named streams, and the two names of one
// file as hard links. The link's reparse data ("rp") is no link at all.
TEST(WimApplyOnDamage, WhatCannotBeAppliedIsWarnedAbout) {
  wimtest::BuildEntry streams = fileEntry(u"streams.txt", "the unnamed data");
  streams.dataInStreamEntry = true;
  streams.namedStreams = {{u"Zone.Identifier", {'z', 'o', 'n', 'e'}}};
  streams.shortName = u"STREAMS.TXT";
  wimtest::BuildEntry link;
  link.name = u"link";
  link.attributes = wimtest::kReparse;
  link.reparseTag = 0xA000000C;
  link.data = {'r', 'p'};
  wimtest::BuildEntry one = fileEntry(u"one.txt", "linked"), two = fileEntry(u"two.txt", "linked");
  one.hardLinkGroup = two.hardLinkGroup = 9;
  const wimtest::BuiltImage image = wimtest::buildImage({streams, link, one, two}, 2);
  const Sandbox box = wimtest::makeSandbox("left-out");
  const ApplyRun run =
      wimtest::runApplyOnBytes(wimtest::assembleWim(image), "left-out.wim", box.target);
  ASSERT_EQ(run.code, wim::kApplyExitOk) << run.text();
  const std::string text = run.text();
  EXPECT_NE(text.find("1 of the reparse points could not be applied; the first: \"link\""),
            std::string::npos)
      << text;
#ifdef _WIN32
  // The reparse point is made as a file first; only its reparse data fails.
  // Wine's file system keeps no named streams, and says so.
  const std::vector<std::string> names = {"link", "one.txt", "streams.txt", "two.txt"};
  EXPECT_NE(text.find("[ WARN ] Not applied on this system or file system: 1 named stream"),
            std::string::npos)
      << text;
#else
  EXPECT_NE(text.find("[ WARN ] Not applied on this system or file system: file attributes, 2 "
                      "security descriptors, 1 short name, 1 named stream"),
            std::string::npos)
      << text;
  const std::vector<std::string> names = {"one.txt", "streams.txt", "two.txt"};
#endif
  EXPECT_EQ(wimtest::namesIn(box.target), names);
  const std::string unnamed = "the unnamed data";
  EXPECT_EQ(wimtest::fileBytes(box.target / "streams.txt"), Bytes(unnamed.begin(), unnamed.end()));
  EXPECT_EQ(wimtest::fileBytes(box.target / "two.txt"), (Bytes{'l', 'i', 'n', 'k', 'e', 'd'}));
  EXPECT_EQ(wimtest::linkCount(box.target / "one.txt"), 2u);
}

}  // namespace
