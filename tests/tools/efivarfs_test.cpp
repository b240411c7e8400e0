// The Linux writer of firmware variables, on a folder laid out as efivarfs
// lays out its files: NAME-GUID, a u32 of attributes, then the data.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tools/bcdboot/firmware_entry.h"

namespace {

namespace fs = std::filesystem;
using le::Bytes;

constexpr char kGlobal[] = "-8be4df61-93ca-11d2-aa0d-00e098032b8c";

bool setImmutable(const fs::path& path, bool on) {
  const int fd = open(path.c_str(), O_RDONLY);
  int flags = 0;
  bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
  ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

bool immutable(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  int flags = 0;
  const bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (fd >= 0) close(fd);
  return ok && (flags & FS_IMMUTABLE_FL);
}

struct Efivars {
  fs::path root;
  Efivars() {
    char pattern[] = "/tmp/efivars-test.XXXXXX";
    root = mkdtemp(pattern);
  }
  ~Efivars() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(root, error)) setImmutable(entry.path(), false);
    fs::remove_all(root, error);
  }
  fs::path file(const std::string& name, const char* vendor = kGlobal) const {
    return root / (name + vendor);
  }
  void put(const std::string& name, const Bytes& data, const char* vendor = kGlobal) const {
    Bytes content = {7, 0, 0, 0};
    content.insert(content.end(), data.begin(), data.end());
    std::ofstream(file(name, vendor), std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
  }
  Bytes content(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
};

Bytes withAttributes(const Bytes& data) {
  Bytes content = {7, 0, 0, 0};
  content.insert(content.end(), data.begin(), data.end());
  return content;
}

boot::LoadOption wanted() {
  boot::HardDriveNode node;
  node.partitionNumber = 1;
  node.startLba = 2048;
  node.sectors = 204800;
  node.partitionGuid.bytes[3] = 0x42;
  return tools::bootManagerOption(node);
}

TEST(Efivarfs, EntryAndBootOrderAreWrittenAsEfivarfsFiles) {
  Efivars vars;
  boot::LoadOption stale = wanted();
  stale.description = u"Windows";
  vars.put("Boot0000", {1, 0, 0, 0});
  vars.put("Boot0001", {2}, "-01234567-89ab-cdef-0123-456789abcdef");  // another vendor's
  vars.put("Boot0003", boot::loadOptionBytes(stale));
  vars.put("BootOrder", boot::bootOrderBytes({0, 3, 3}));
  vars.put("Timeout", {5, 0});
  tools::BootEntryResult result;
  std::string reason;
  ASSERT_TRUE(
      tools::writeBootEntry(tools::efivarfsVariables(vars.root.string()), wanted(), result, reason))
      << reason;
  EXPECT_EQ(result.number, 3);
  EXPECT_TRUE(result.reused);
  EXPECT_EQ(vars.content("Boot0003"), withAttributes(boot::loadOptionBytes(wanted())));
  // Shorter than before: the file holds the new list only.
  EXPECT_EQ(vars.content("BootOrder"), withAttributes(boot::bootOrderBytes({3, 0})));
  EXPECT_EQ(vars.content("Timeout"), withAttributes({5, 0}));

  // A store without the entry: a new file, at the lowest number free under
  // the global GUID.
  fs::remove(vars.file("Boot0003"));
  ASSERT_TRUE(
      tools::writeBootEntry(tools::efivarfsVariables(vars.root.string()), wanted(), result, reason))
      << reason;
  EXPECT_EQ(result.number, 1);
  EXPECT_EQ(vars.content("Boot0001"), withAttributes(boot::loadOptionBytes(wanted())));
  EXPECT_EQ(vars.content("BootOrder"), withAttributes(boot::bootOrderBytes({1, 3, 0})));
}

TEST(Efivarfs, ImmutableFlagIsLiftedForTheWriteAndKeptElsewhere) {
  Efivars vars;
  vars.put("Boot0000", {1, 0, 0, 0});
  vars.put("BootOrder", boot::bootOrderBytes({0}));
  if (!setImmutable(vars.file("BootOrder"), true))
    GTEST_SKIP() << "this folder's file system does not let this user set FS_IMMUTABLE_FL "
                    "(root on ext4 can)";
  ASSERT_TRUE(setImmutable(vars.file("Boot0000"), true));
  tools::BootEntryResult result;
  std::string reason;
  ASSERT_TRUE(
      tools::writeBootEntry(tools::efivarfsVariables(vars.root.string()), wanted(), result, reason))
      << reason;
  EXPECT_EQ(vars.content("BootOrder"), withAttributes(boot::bootOrderBytes({1, 0})));
  EXPECT_TRUE(immutable(vars.file("BootOrder")));
  EXPECT_TRUE(immutable(vars.file("Boot0000")));
  EXPECT_EQ(vars.content("Boot0000"), withAttributes({1, 0, 0, 0}));
}

}  // namespace
