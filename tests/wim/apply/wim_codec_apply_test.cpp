// The apply on compressed, solid and split images that wimlib wrote: every
// one gives the tree that wimapply gives (names, sizes, contents, hard links,
// times and links), and damage inside compressed data ends in an error with
// nothing written outside the target.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "wim/format/blob_table.h"
#include "wim/format/image_parts.h"
#include "wim/apply/target_paths.h"
#include "wim/apply/wim_apply.h"
#include "wim/format/wim_header.h"
#include "tests/wim/apply_test_support.h"

namespace {

namespace fs = std::filesystem;
using wimtest::ApplyRun;
using wimtest::Bytes;
using wimtest::fixtureFsPath;
using wimtest::fixturePath;
using wimtest::Sandbox;

fs::path referenceTree(const std::string& name) { return fixtureFsPath("reference") / name; }

// The mixed tree's symbolic link. Natively it is compared as a link; Windows
// (here Wine, which sees the reference's link as the file it points to) gets
// a reparse point, or a warning where the file system takes none.
const fs::path kLink = fs::u8path(u8"link to 数字");

std::size_t countStarting(const ApplyRun& run, const std::string& prefix) {
  std::size_t count = 0;
  for (const std::string& line : run.lines)
    if (line.rfind(prefix, 0) == 0) ++count;
  return count;
}

void expectAsWimapply(const std::string& image, const std::string& index,
                      const std::string& reference) {
  SCOPED_TRACE(image + " image " + index);
  const Sandbox box = wimtest::makeSandbox("codec-" + reference);
  const ApplyRun run = wimtest::runApply(fixturePath(image), index, box.target);
  ASSERT_EQ(run.code, wim::kApplyExitOk) << run.text();
  EXPECT_EQ(countStarting(run, "[ ERROR ] "), 0u) << run.text();
  EXPECT_EQ(run.lines.back(),
            "[ INFO ] Applied image " + index + " to " + wim::displayPath(box.target));
  const fs::path expected = referenceTree(reference);
  wimtest::expectNothingOutside(box);
#ifdef _WIN32
  fs::remove(box.target / kLink);  // compared below by its warning
  const std::vector<fs::path> skipped = {kLink};
  if (fs::exists(expected / kLink)) {
    EXPECT_NE(run.text().find("reparse points could not be applied"), std::string::npos)
        << run.text();
  }
  auto want = wimtest::listTree(expected);
  want.erase(kLink.native());
  EXPECT_EQ(want.size(), wimtest::listTree(box.target).size());
  for (const auto& item : want) {
    if (item.second.folder) continue;
    EXPECT_TRUE(wimtest::fileBytes(expected / item.first) ==
                wimtest::fileBytes(box.target / item.first))
        << fs::path(item.first).u8string();
  }
#else
  const std::vector<fs::path> skipped;
  wimtest::expectSameTree(expected, box.target);
#endif
  wimtest::expectSameLinksAndTimes(expected, box.target, skipped);
}

TEST(WimCodecApply, EveryCompressionGivesWimapplysTree) {
  for (const char* name : {"none", "xpress", "lzx", "lzx64k", "lzms"})
    expectAsWimapply(std::string("mixed-") + name + ".wim", "1", std::string("mixed-") + name);
}

// Solid resources of several chunks, LZMS and XPRESS; the second image of a
// file whose solid data was appended in a second resource.
TEST(WimCodecApply, SolidImagesGiveWimapplysTree) {
  expectAsWimapply("mixed-solid.wim", "1", "mixed-solid");
  expectAsWimapply("mixed-solid-xpress.wim", "1", "mixed-solid-xpress");
  expectAsWimapply("mixed-solid.wim", "2", "second-solid");
}

TEST(WimCodecApply, SplitImagesAreJoinedFromTheirParts) {
  expectAsWimapply("split.swm", "1", "mixed-lzx");
  const Sandbox box = wimtest::makeSandbox("codec-split-2");
  const ApplyRun run = wimtest::runApply(fixturePath("split.swm"), "2", box.target);
  ASSERT_EQ(run.code, wim::kApplyExitOk) << run.text();
  wimtest::expectSameTree(fixtureFsPath("trees") / "second", box.target);
}

TEST(WimCodecApply, PartNamesFollowTheFirst) {
  EXPECT_EQ(wim::splitPartPath("D:\\sources\\install.swm", 2), "D:\\sources\\install2.swm");
  EXPECT_EQ(wim::splitPartPath("/a.b/install", 12), "/a.b/install12");
  EXPECT_EQ(wim::splitPartPath("x.y.swm", 3), "x.y3.swm");
}

// A copy of the split image in a folder of its own, with one part changed.
std::string copySplit(const std::string& folder) {
  const fs::path dir = fs::path(wimtest::scratchPath(folder));
  std::error_code error;
  fs::remove_all(dir, error);
  fs::create_directories(dir);
  for (const char* name : {"split.swm", "split2.swm", "split3.swm"})
    fs::copy_file(fixtureFsPath(name), dir / name);
  return (dir / "split.swm").string();
}

TEST(WimCodecApply, AMissingOrForeignPartIsNamed) {
  {
    const std::string first = copySplit("split-missing");
    fs::remove(wim::splitPartPath(first, 3));
    const Sandbox box = wimtest::makeSandbox("split-missing-target");
    const ApplyRun run = wimtest::runApply(first, "1", box.target);
    wimtest::expectFailure(run, wim::kApplyExitBadImage, "split3.swm");
    wimtest::expectTargetEmpty(box);
  }
  {
    // Part 3 of another split image: a different GUID.
    const std::string first = copySplit("split-foreign");
    Bytes part;
    ASSERT_TRUE(wimtest::readFile(wim::splitPartPath(first, 3), part));
    part[0x18] ^= 0xFF;
    ASSERT_TRUE(wimtest::writeFile(wim::splitPartPath(first, 3), part));
    const Sandbox box = wimtest::makeSandbox("split-foreign-target");
    const ApplyRun run = wimtest::runApply(first, "1", box.target);
    wimtest::expectFailure(run, wim::kApplyExitBadImage, "is not part 3");
    wimtest::expectTargetEmpty(box);
  }
  {
    const Sandbox box = wimtest::makeSandbox("split-second-part");
    const ApplyRun run = wimtest::runApply(fixturePath("split2.swm"), "1", box.target);
    wimtest::expectFailure(run, wim::kApplyExitUnsupported, "give its first part");
  }
}

// The resource of the largest blob of an image file, found through its own
// lookup table.
wim::BlobEntry largestBlob(const Bytes& file) {
  wim::Header header;
  EXPECT_TRUE(wim::parseHeader(wimtest::byteSpanOf(file), file.size(), header).ok());
  wim::BlobTable table;
  const auto& lookup = header.lookupTable;
  EXPECT_TRUE(wim::parseBlobTable(le::ByteSpan{file.data() + lookup.offset,
                                               static_cast<std::size_t>(lookup.originalSize)},
                                  header, file.size(), table)
                  .ok());
  wim::BlobEntry largest;
  for (const wim::BlobEntry& entry : table.entries)
    if (!(entry.resource.flags & wim::kResourceMetadata) && !entry.isSolidResource() &&
        entry.dataSize() > largest.dataSize())
      largest = entry;
  return largest;
}

ApplyRun applyChanged(const std::string& image, const std::string& name, const Sandbox& box,
                      const std::function<void(Bytes&)>& change) {
  Bytes file;
  EXPECT_TRUE(wimtest::readFile(fixturePath(image), file));
  change(file);
  return wimtest::runApplyOnBytes(file, name, box.target);
}

TEST(WimCodecApply, AFlippedByteInACompressedChunkIsCaught) {
  for (const char* image : {"mixed-xpress.wim", "mixed-lzx.wim", "mixed-lzms.wim"}) {
    SCOPED_TRACE(image);
    const Sandbox box = wimtest::makeSandbox("codec-flipped");
    std::uint64_t damagedSize = 0;
    const ApplyRun run = applyChanged(image, "flipped.wim", box, [&damagedSize](Bytes& file) {
      const wim::BlobEntry blob = largestBlob(file);
      damagedSize = blob.dataSize();
      // Past the chunk table, in the middle of the compressed data.
      file[static_cast<std::size_t>(blob.resource.offset + blob.resource.storedSize / 2)] ^= 0x5A;
    });
    ASSERT_NE(run.code, wim::kApplyExitOk) << run.text();
    EXPECT_TRUE(run.code == wim::kApplyExitBadImage || run.code == wim::kApplyExitHashMismatch)
        << run.text();
    EXPECT_EQ(run.lines.back().rfind("[ ERROR ] ", 0), 0u) << run.text();
    wimtest::expectNothingOutside(box);
    // The file whose data failed is not left behind looking whole.
    for (const auto& item : wimtest::listTree(box.target))
      if (!item.second.folder && item.second.size == damagedSize)
        ADD_FAILURE() << "a damaged file was kept";
  }
}

TEST(WimCodecApply, AChunkTablePointingOutsideItsResourceIsDamage) {
  const Sandbox box = wimtest::makeSandbox("codec-table");
  const ApplyRun run = applyChanged("mixed-lzx.wim", "table.wim", box, [](Bytes& file) {
    const wim::BlobEntry blob = largestBlob(file);
    wimtest::putLittleEndian(file, static_cast<std::size_t>(blob.resource.offset + 4), 4,
                             0xFFFFFFF0u);
  });
  wimtest::expectFailure(run, wim::kApplyExitBadImage, "lies outside it");
  wimtest::expectTargetEmpty(box);
}

TEST(WimCodecApply, AnAbsurdSizeIsDamage) {
  const Sandbox box = wimtest::makeSandbox("codec-absurd");
  const ApplyRun run = applyChanged("mixed-lzms.wim", "absurd.wim", box, [](Bytes& file) {
    const wim::BlobEntry blob = largestBlob(file);
    const std::size_t tableAt =
        static_cast<std::size_t>(wimtest::getLittleEndian(file, wimtest::kLookupTableAt + 8, 8));
    const std::size_t tableSize =
        static_cast<std::size_t>(wimtest::getLittleEndian(file, wimtest::kLookupTableAt, 7));
    for (std::size_t at = tableAt; at < tableAt + tableSize; at += wim::kBlobEntrySize)
      if (std::equal(blob.hash.begin(), blob.hash.end(),
                     file.begin() + static_cast<std::ptrdiff_t>(at + 0x1E)))
        wimtest::putLittleEndian(file, at + 0x10, 8, 0x7FFFFFFFFFFFull);
  });
  wimtest::expectFailure(run, wim::kApplyExitBadImage, "cannot hold");
  wimtest::expectTargetEmpty(box);
}

}  // namespace
