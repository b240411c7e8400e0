// The lookup table and the directory tree of an image, parsed from images
// built in memory (every kind of entry, and the broken ones wimlib never
// writes) and from a real one.
#include <gtest/gtest.h>

#include <string>

#include "wim/format/blob_table.h"
#include "wim/format/image_tree.h"
#include "wim/format/wim_info.h"
#include "tests/wim/apply_test_support.h"
#include "tests/wim/wim_build.h"

namespace {

using wimtest::BuildEntry;
using wimtest::BuiltImage;
using wimtest::Bytes;
using wimtest::fileEntry;
using wimtest::folderEntry;

le::ByteSpan spanOf(const Bytes& bytes) { return le::ByteSpan{bytes.data(), bytes.size()}; }

wim::Outcome parse(const BuiltImage& image, wim::ImageTree& tree) {
  return wim::parseImageMetadata(spanOf(image.metadata), tree);
}

std::size_t find(const wim::ImageTree& tree, const std::string& path) {
  for (std::size_t i = 0; i < tree.entries.size(); ++i)
    if (wim::entryPath(tree, i) == path) return i;
  return tree.entries.size();
}

void expectDamaged(const BuiltImage& image, const std::string& part) {
  wim::ImageTree tree;
  const wim::Outcome outcome = parse(image, tree);
  EXPECT_EQ(outcome.problem, wim::Problem::Damaged) << outcome.reason;
  EXPECT_NE(outcome.reason.find(part), std::string::npos)
      << "expected \"" << part << "\" in: " << outcome.reason;
}

TEST(ImageTree, FoldersFilesAndWhatTheyHold) {
  BuildEntry linked = fileEntry(u"linked.txt", "shared");
  linked.hardLinkGroup = 7;
  BuildEntry shortNamed = fileEntry(u"A long name.txt", "long");
  shortNamed.shortName = u"ALONGN~1.TXT";
  const BuiltImage image = wimtest::buildImage(
      {fileEntry(u"readme.txt", "hello"), folderEntry(u"empty"),
       folderEntry(u"中文", {fileEntry(u"文件.txt", "汉字"), linked,
                             folderEntry(u"deeper", {fileEntry(u"empty.bin", "")})}),
       shortNamed},
      3);
  wim::ImageTree tree;
  ASSERT_TRUE(parse(image, tree).ok());
  EXPECT_EQ(tree.securityDescriptors, 3u);
  ASSERT_EQ(tree.entries.size(), 9u);
  EXPECT_TRUE(tree.entries[0].isDirectory());
  EXPECT_EQ(wim::entryPath(tree, 0), "\\");

  const std::size_t readme = find(tree, "readme.txt");
  ASSERT_LT(readme, tree.entries.size());
  EXPECT_FALSE(tree.entries[readme].isDirectory());
  const Bytes hello = {'h', 'e', 'l', 'l', 'o'};
  EXPECT_EQ(tree.entries[readme].data, wimtest::digestOf(hello));
  EXPECT_EQ(tree.entries[readme].parent, 0u);

  const std::size_t deeper = find(tree, u8"中文\\deeper");
  ASSERT_LT(deeper, tree.entries.size());
  EXPECT_TRUE(tree.entries[deeper].isDirectory());
  EXPECT_EQ(tree.entries[deeper].depth, 2u);
  const std::size_t empty = find(tree, u8"中文\\deeper\\empty.bin");
  ASSERT_LT(empty, tree.entries.size());
  EXPECT_TRUE(wim::isZeroDigest(tree.entries[empty].data));
  EXPECT_EQ(tree.entries[empty].parent, deeper);

  EXPECT_EQ(tree.entries[find(tree, u8"中文\\linked.txt")].hardLinkGroup, 7u);
  EXPECT_EQ(tree.entries[find(tree, "A long name.txt")].shortName, u"ALONGN~1.TXT");
  // Every folder comes before what it holds.
  for (std::size_t i = 1; i < tree.entries.size(); ++i) EXPECT_LT(tree.entries[i].parent, i);
}

TEST(ImageTree, StreamEntries) {
  BuildEntry withStreams = fileEntry(u"streams.txt", "unnamed data");
  withStreams.dataInStreamEntry = true;
  withStreams.namedStreams = {{u"Zone.Identifier", {'z'}}, {u"empty stream", {}}};
  BuildEntry link;
  link.name = u"link";
  link.attributes = wimtest::kReparse;
  link.reparseTag = 0xA000000C;
  link.data = {'r', 'e', 'p', 'a', 'r', 's', 'e'};
  BuildEntry junction = link;
  junction.name = u"junction";
  junction.attributes = wimtest::kReparse | wimtest::kFolder;
  junction.reparseTag = 0xA0000003;
  const BuiltImage image = wimtest::buildImage({withStreams, link, junction});
  wim::ImageTree tree;
  ASSERT_TRUE(parse(image, tree).ok());
  ASSERT_EQ(tree.entries.size(), 4u);

  const wim::TreeEntry& streams = tree.entries[find(tree, "streams.txt")];
  const std::string unnamed = "unnamed data";
  EXPECT_EQ(streams.data, wimtest::digestOf(Bytes(unnamed.begin(), unnamed.end())));
  ASSERT_EQ(streams.namedStreams.size(), 2u);
  EXPECT_EQ(streams.namedStreams[0].name, u"Zone.Identifier");
  EXPECT_EQ(streams.namedStreams[0].hash, wimtest::digestOf({'z'}));
  EXPECT_TRUE(wim::isZeroDigest(streams.namedStreams[1].hash));

  const wim::TreeEntry& reparse = tree.entries[find(tree, "link")];
  EXPECT_TRUE(reparse.isReparsePoint());
  EXPECT_EQ(reparse.reparseTag, 0xA000000Cu);
  EXPECT_EQ(reparse.reparseData, wimtest::digestOf(link.data));
  EXPECT_TRUE(wim::isZeroDigest(reparse.data));
  EXPECT_TRUE(tree.entries[find(tree, "junction")].isReparsePoint());
}

TEST(ImageTree, TwoDifferentUnnamedStreamsAreDamage) {
  BuiltImage image = wimtest::buildImage({fileEntry(u"a.txt", "one")});
  // The entry says "one"; an unnamed stream entry after it says otherwise.
  const std::size_t at = image.entryAt["a.txt"];
  wimtest::putLittleEndian(image.metadata, at + 0x60, 2, 1);
  const std::size_t length = wimtest::getLittleEndian(image.metadata, at, 8);
  Bytes stream;
  wimtest::appendStreamEntry(stream, u"", {'t', 'w', 'o'});
  image.metadata.insert(image.metadata.begin() + static_cast<std::ptrdiff_t>(at + length),
                        stream.begin(), stream.end());
  expectDamaged(image, "two different unnamed data streams");
}

TEST(ImageTree, ALoopIsDamage) {
  BuiltImage image = wimtest::buildImage(
      {folderEntry(u"outer", {folderEntry(u"inner", {fileEntry(u"f.txt", "x")})})});
  // inner's list points back to the root's list, which holds outer again.
  wimtest::putLittleEndian(image.metadata, image.entryAt["outer/inner"] + 0x10, 8,
                           image.listAt[""]);
  expectDamaged(image, "reached twice");
}

TEST(ImageTree, AFolderThatHoldsItselfIsDamage) {
  BuiltImage image = wimtest::buildImage({folderEntry(u"self", {fileEntry(u"f.txt", "x")})});
  wimtest::putLittleEndian(image.metadata, image.entryAt["self"] + 0x10, 8, image.listAt[""]);
  expectDamaged(image, "reached twice");
}

TEST(ImageTree, TheRootCannotBeHeldAgain) {
  BuiltImage image = wimtest::buildImage({folderEntry(u"sub")});
  wimtest::putLittleEndian(image.metadata, image.entryAt["sub"] + 0x10, 8, image.entryAt[""]);
  expectDamaged(image, "reached twice");
}

TEST(ImageTree, AbsurdLengthsAreDamage) {
  const BuiltImage good = wimtest::buildImage({fileEntry(u"a.txt", "a"), fileEntry(u"b", "b")});
  for (std::uint64_t length : {std::uint64_t{16}, std::uint64_t{0x65}, std::uint64_t{1} << 40,
                               ~std::uint64_t{0}, ~std::uint64_t{0} - 6}) {
    BuiltImage image = good;
    wimtest::putLittleEndian(image.metadata, image.entryAt["a.txt"], 8, length);
    expectDamaged(image, "length");
  }
  // A name longer than its entry.
  BuiltImage image = good;
  wimtest::putLittleEndian(image.metadata, image.entryAt["a.txt"] + 0x64, 2, 0xFFFE);
  expectDamaged(image, "do not fit");
  // An odd name length cannot be UTF-16.
  image = good;
  wimtest::putLittleEndian(image.metadata, image.entryAt["a.txt"] + 0x64, 2, 3);
  expectDamaged(image, "do not fit");
  // Stream entries that the resource does not hold.
  image = good;
  wimtest::putLittleEndian(image.metadata, image.entryAt["a.txt"] + 0x60, 2, 0xFFFF);
  expectDamaged(image, "stream entr");
}

TEST(ImageTree, ListsThatRunOffTheEndOrPointAwayAreDamage) {
  BuiltImage image = wimtest::buildImage({folderEntry(u"sub", {fileEntry(u"a.txt", "a")})});
  BuiltImage cut = image;
  cut.metadata.resize(cut.metadata.size() - 8);  // the last list loses its end
  expectDamaged(cut, "runs past its end");
  BuiltImage away = image;
  wimtest::putLittleEndian(away.metadata, away.entryAt["sub"] + 0x10, 8, away.metadata.size());
  expectDamaged(away, "outside the directory tree");
  BuiltImage intoSecurity = image;
  wimtest::putLittleEndian(intoSecurity.metadata, intoSecurity.entryAt["sub"] + 0x10, 8, 4);
  expectDamaged(intoSecurity, "outside the directory tree");
}

TEST(ImageTree, SecurityDataThatDoesNotAddUpIsDamage) {
  const BuiltImage good = wimtest::buildImage({fileEntry(u"a.txt", "a")}, 2);
  BuiltImage image = good;
  wimtest::putLittleEndian(image.metadata, 0, 4, 4);  // shorter than its own header
  expectDamaged(image, "security");
  image = good;
  wimtest::putLittleEndian(image.metadata, 4, 4, 0x10000000);  // more lengths than bytes
  expectDamaged(image, "security");
  image = good;
  wimtest::putLittleEndian(image.metadata, 8, 8, 1ull << 40);  // a descriptor too long
  expectDamaged(image, "security");
  image = good;
  wimtest::putLittleEndian(image.metadata, 0, 4, 0x7FFFFFFF);  // past the resource
  expectDamaged(image, "security");
  wim::ImageTree tree;
  EXPECT_EQ(wim::parseImageMetadata(le::ByteSpan{good.metadata.data(), 6}, tree).problem,
            wim::Problem::Damaged);
}

TEST(ImageTree, TheRootMustBeAFolder) {
  BuiltImage image = wimtest::buildImage({});
  wimtest::putLittleEndian(image.metadata, image.entryAt[""] + 0x08, 4, wimtest::kNormalFile);
  expectDamaged(image, "root");
}

TEST(ImageTree, DeepNestingStopsAtTheLimit) {
  // Folders wrapped around a bottom entry, `levels` deep.
  const auto nest = [](BuildEntry bottom, std::size_t levels) {
    for (std::size_t level = 0; level < levels; ++level) {
      BuildEntry folder = folderEntry(u"d");
      folder.children.push_back(std::move(bottom));
      bottom = std::move(folder);
    }
    return bottom;
  };
  expectDamaged(wimtest::buildImage({nest(fileEntry(u"bottom.txt", "deep"), wim::kMaxTreeDepth)}),
                "deeper than");

  const BuildEntry allowed = nest(folderEntry(u"d"), wim::kMaxTreeDepth - 1);
  wim::ImageTree tree;
  EXPECT_TRUE(parse(wimtest::buildImage({allowed}), tree).ok());
  EXPECT_EQ(tree.entries.back().depth, wim::kMaxTreeDepth);
}

TEST(ImageTree, NamesThatCouldReachElsewhereAreDamage) {
  const struct {
    std::u16string name;
    const char* why;
  } cases[] = {
      {u"..", "the one above"},
      {u".", "the one above"},
      {u"a/b", "separator"},
      {u"a\\b", "separator"},
      {u"..\\up", "separator"},
      {u"a:stream", "colon"},
      {u"C:", "colon"},
      {u"what?", "forbids"},
      {u"tab\there", "forbids"},
      {u"trailing.", "dot or a space"},
      {u"space ", "dot or a space"},
      {u"CON", "device"},
      {u"nul.txt", "device"},
      {u"Com1", "device"},
      {u"LPT9.log", "device"},
      {std::u16string(1, u'\0'), "forbids"},
      {std::u16string(256, u'x'), "long"},
      {std::u16string(1, char16_t(0xD800)), "UTF-16"},
      {std::u16string(1, char16_t(0xDC00)) + u"x", "UTF-16"},
  };
  for (const auto& bad : cases) {
    expectDamaged(wimtest::buildImage({fileEntry(bad.name, "x")}), bad.why);
    expectDamaged(wimtest::buildImage({folderEntry(u"in", {folderEntry(bad.name)})}), bad.why);
  }
  BuiltImage unnamed = wimtest::buildImage({fileEntry(u"a", "x")});
  wimtest::putLittleEndian(unnamed.metadata, unnamed.entryAt["a"] + 0x64, 2, 0);
  expectDamaged(unnamed, "empty");
}

TEST(ImageTree, OrdinaryNamesPass) {
  for (const std::u16string& name :
       {std::u16string(u"readme.txt"), std::u16string(u".hidden"), std::u16string(u"...x"),
        std::u16string(u"CONFIG.SYS"), std::u16string(u"COM10"), std::u16string(u"LPT"),
        std::u16string(u"中文 名字.txt"), std::u16string(u"\U00020000"), std::u16string(255, u'y')})
    EXPECT_EQ(wim::checkEntryName(name), "") << wim::utf8Of(name);
}

TEST(ImageTree, NamesThatMeetOnWindowsAreDamage) {
  expectDamaged(wimtest::buildImage({fileEntry(u"Readme.TXT", "a"), fileEntry(u"README.txt", "b")}),
                "two entries");
  expectDamaged(wimtest::buildImage({folderEntry(u"same"), fileEntry(u"same", "b")}),
                "two entries");
}

// The tree of a wimcapture image, read through its header and lookup table.
TEST(ImageTree, ReadsWimcapturesTree) {
  const Bytes wim = wimtest::fileBytes(wimtest::fixtureFsPath("full.wim"));
  ASSERT_GT(wim.size(), 40000000u);
  wim::WimInfo info;
  ASSERT_TRUE(wim::readWimInfo(spanOf(wim), info).ok());
  const wim::ResourceHeader& tableAt = info.header.lookupTable;
  wim::BlobTable table;
  ASSERT_TRUE(wim::parseBlobTable(le::ByteSpan{wim.data() + tableAt.offset,
                                               static_cast<std::size_t>(tableAt.originalSize)},
                                  info.header, wim.size(), table)
                  .ok());
  ASSERT_EQ(table.metadata.size(), 2u);
  const wim::BlobEntry& metadata = table.entries[table.metadata[0]];
  EXPECT_EQ(metadata.resource.flags, wim::kResourceMetadata);
  const le::ByteSpan bytes{wim.data() + metadata.resource.offset,
                           static_cast<std::size_t>(metadata.resource.originalSize)};
  EXPECT_EQ(wim::sha1Of(bytes.data, bytes.size), metadata.hash);
  wim::ImageTree tree;
  ASSERT_TRUE(wim::parseImageMetadata(bytes, tree).ok());

  const std::size_t exact = find(tree, "chunk\\exact.bin");
  ASSERT_LT(exact, tree.entries.size());
  const wim::BlobEntry* blob = wim::findBlob(table, tree.entries[exact].data);
  ASSERT_NE(blob, nullptr);
  EXPECT_EQ(blob->resource.originalSize, 32768u);
  EXPECT_EQ(wim::sha1Of(wim.data() + blob->resource.offset, 32768), blob->hash);
  // The two names of six.bin share one piece of data and a link group.
  const wim::TreeEntry& six = tree.entries[find(tree, "big\\six.bin")];
  const wim::TreeEntry& again = tree.entries[find(tree, "links\\six again.bin")];
  EXPECT_EQ(six.data, again.data);
  EXPECT_NE(six.hardLinkGroup, 0u);
  EXPECT_EQ(six.hardLinkGroup, again.hardLinkGroup);
  EXPECT_EQ(wim::findBlob(table, six.data)->referenceCount, 2u);
  EXPECT_LT(find(tree, u8"中文目录\\子目录\\数据.bin"), tree.entries.size());
  EXPECT_LT(find(tree, u8"\U00020000 surrogates.txt"), tree.entries.size());
  EXPECT_TRUE(tree.entries[find(tree, "empty folder")].isDirectory());
}

class BlobTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wim = wimtest::assembleWim(
        wimtest::buildImage({fileEntry(u"a.txt", "alpha"), fileEntry(u"b.txt", "beta")}));
    ASSERT_TRUE(wim::parseHeader(spanOf(wim), wim.size(), header).ok());
    tableAt = static_cast<std::size_t>(header.lookupTable.offset);
    tableSize = static_cast<std::size_t>(header.lookupTable.originalSize);
  }
  wim::Outcome parse(wim::BlobTable& table) {
    return wim::parseBlobTable(le::ByteSpan{wim.data() + tableAt, tableSize}, header, wim.size(),
                               table);
  }
  void expectDamaged(const std::string& part) {
    wim::BlobTable table;
    const wim::Outcome outcome = parse(table);
    EXPECT_EQ(outcome.problem, wim::Problem::Damaged) << outcome.reason;
    EXPECT_NE(outcome.reason.find(part), std::string::npos) << outcome.reason;
  }
  Bytes wim;
  wim::Header header;
  std::size_t tableAt = 0;
  std::size_t tableSize = 0;
};

TEST_F(BlobTableTest, EntriesAndLookups) {
  wim::BlobTable table;
  ASSERT_TRUE(parse(table).ok());
  ASSERT_EQ(table.entries.size(), 3u);
  ASSERT_EQ(table.metadata.size(), 1u);
  EXPECT_EQ(table.metadata[0], 2u);
  const wim::BlobEntry* beta = wim::findBlob(table, wimtest::digestOf({'b', 'e', 't', 'a'}));
  ASSERT_NE(beta, nullptr);
  EXPECT_EQ(beta->resource.originalSize, 4u);
  EXPECT_EQ(beta->partNumber, 1u);
  EXPECT_EQ(beta->referenceCount, 1u);
  EXPECT_EQ(std::string(wim.begin() + static_cast<std::ptrdiff_t>(beta->resource.offset),
                        wim.begin() + static_cast<std::ptrdiff_t>(beta->resource.offset + 4)),
            "beta");
  EXPECT_EQ(wim::findBlob(table, wimtest::digestOf({'g'})), nullptr);
  // Metadata is no file data.
  EXPECT_EQ(wim::findBlob(table, table.entries[2].hash), nullptr);
}

TEST_F(BlobTableTest, BrokenEntriesAreDamage) {
  const Bytes good = wim;
  wimtest::putLittleEndian(wim, tableAt + 0x08, 8, wim.size());  // data starts at the end
  expectDamaged("past the end of the file");
  wim = good;
  wimtest::putLittleEndian(wim, tableAt + 0x08, 8, ~std::uint64_t{0} - 2);  // wraps around
  expectDamaged("past the end of the file");
  wim = good;
  wimtest::putLittleEndian(wim, tableAt + 0x08, 8, 100);  // inside the header
  expectDamaged("inside the WIM header");
  wim = good;
  wimtest::putLittleEndian(wim, tableAt + 0x07, 1, 0x40);
  expectDamaged("unknown resource flags");
  wim = good;
  wimtest::putLittleEndian(wim, tableAt + 0x10, 8, 99);  // stored plain, sizes disagree
  expectDamaged("stored uncompressed");
  wim = good;
  tableSize -= 1;
  expectDamaged("no whole number");
  tableSize -= 49;  // the metadata entry gone: one image too few
  expectDamaged("metadata for 0");
}

}  // namespace
