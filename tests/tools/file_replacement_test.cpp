#include "tools/bcdboot/file_replacement.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "tools/cli/failure_text.h"

namespace {

namespace fs = std::filesystem;

// A folder in memory that knows what a power cut would leave: a file's data
// is on the disk once flushed, a rename once its folder is flushed.
struct Disk {
  std::map<fs::path, le::Bytes> live;     // what the calls see
  std::map<fs::path, le::Bytes> durable;  // what is left after a power cut
  std::map<fs::path, le::Bytes> flushed;  // each file's data as last flushed
  std::vector<std::string> log;
  int failAt = -1;  // the call (counted from 0) that fails
  int calls = 0;

  bool fails(const std::string& call, const fs::path& path, std::string& reason) {
    log.push_back(call + " " + path.filename().string());
    if (calls++ != failAt) return false;
    reason = call + "(" + path.string() + ") failed: No space left on device (ENOSPC)";
    return true;
  }

  tools::ReplaceCalls replaceCalls() {
    tools::ReplaceCalls c;
    c.writeFlushed = [this](const fs::path& path, const le::Bytes& bytes, std::string& reason) {
      if (fails("write", path, reason)) {
        live[path] = le::Bytes(bytes.begin(), bytes.begin() + bytes.size() / 2);
        return false;
      }
      live[path] = flushed[path] = bytes;
      return true;
    };
    c.read = [this](const fs::path& path, le::Bytes& bytes, std::string& reason) {
      if (fails("read", path, reason)) return false;
      auto found = live.find(path);
      if (found == live.end()) return reason = "no " + path.string(), false;
      bytes = found->second;
      return true;
    };
    c.rename = [this](const fs::path& from, const fs::path& to, std::string& reason) {
      if (fails("rename", from, reason)) return false;
      live[to] = live[from];
      live.erase(from);
      flushed[to] = flushed[from];
      return true;
    };
    c.flushFolder = [this](const fs::path& folder, std::string& reason) {
      if (fails("flush-folder", folder, reason)) return false;
      durable.clear();
      for (const auto& [path, bytes] : live) durable[path] = flushed[path];
      return true;
    };
    c.remove = [this](const fs::path& path) {
      log.push_back("remove " + path.filename().string());
      live.erase(path);
    };
    return c;
  }
};

const fs::path kStore = "/s/Boot/BCD";
const le::Bytes kOld(4096, 0x11), kNew(6000, 0x22);

Disk diskWithOldStore() {
  Disk disk;
  disk.live[kStore] = disk.durable[kStore] = disk.flushed[kStore] = kOld;
  return disk;
}

TEST(FileReplacement, WritesFlushesReadsBackRenamesThenFlushesTheFolder) {
  Disk disk = diskWithOldStore();
  std::string reason;
  ASSERT_TRUE(tools::replaceDurably(disk.replaceCalls(), kStore, kNew, nullptr, reason)) << reason;
  const std::vector<std::string> expected = {"remove BCD.roamdeck-new", "write BCD.roamdeck-new",
                                             "read BCD.roamdeck-new",   "rename BCD.roamdeck-new",
                                             "flush-folder Boot",       "read BCD"};
  EXPECT_EQ(disk.log, expected);
  EXPECT_EQ(disk.live.size(), 1u);
  EXPECT_EQ(disk.live[kStore], kNew);
  EXPECT_EQ(disk.durable[kStore], kNew);
}

// SQLite's way: every call fails in turn; after each, the file is the old
// one or the new one whole, live and after a power cut, and the reason names
// the call.
TEST(FileReplacement, EachFailingCallLeavesTheOldFileOrTheNewOne) {
  const int calls = 5;  // write, read, rename, flush-folder, read
  for (int failAt = 0; failAt < calls; ++failAt) {
    Disk disk = diskWithOldStore();
    disk.failAt = failAt;
    std::string reason;
    EXPECT_FALSE(tools::replaceDurably(disk.replaceCalls(), kStore, kNew, nullptr, reason))
        << failAt;
    const bool renamed = failAt >= 3;
    EXPECT_EQ(disk.live[kStore], renamed ? kNew : kOld) << failAt;
    EXPECT_TRUE(disk.durable[kStore] == kOld || disk.durable[kStore] == kNew) << failAt;
    EXPECT_EQ(disk.live.count(tools::freshPathOf(kStore)), 0u) << failAt << ": the new file stays";
    EXPECT_NE(reason.find("(ENOSPC)"), std::string::npos) << reason;
    EXPECT_NE(reason.find(renamed ? "is in place" : "was left as it was"), std::string::npos)
        << reason;
    EXPECT_NE(tools::remedyFor(reason).find("free some space"), std::string::npos) << reason;
  }
}

TEST(FileReplacement, AStoreThatDoesNotLoadNeverReplacesTheOldOne) {
  Disk disk = diskWithOldStore();
  std::string reason;
  const auto refuses = [](const le::Bytes&, std::string& why) { return why = "no hive", false; };
  EXPECT_FALSE(tools::replaceDurably(disk.replaceCalls(), kStore, kNew, refuses, reason));
  EXPECT_NE(reason.find("does not load as written: no hive"), std::string::npos) << reason;
  EXPECT_EQ(disk.live[kStore], kOld);
  EXPECT_EQ(disk.live.count(tools::freshPathOf(kStore)), 0u);
}

TEST(FileReplacement, ANewFileWhereThereWasNone) {
  Disk disk;
  std::string reason;
  ASSERT_TRUE(tools::replaceDurably(disk.replaceCalls(), "/s/bootmgr", kNew, nullptr, reason));
  EXPECT_EQ(disk.durable["/s/bootmgr"], kNew);
}

TEST(FailureText, RemedyFollowsTheSystemsReason) {
  EXPECT_NE(tools::remedyFor("pwrite(x) failed: Input/output error (EIO)").find("I/O error"),
            std::string::npos);
  EXPECT_NE(tools::remedyFor("WriteFile(C:\\bootmgr) failed: x (error 112)").find("free some"),
            std::string::npos);
  EXPECT_NE(tools::remedyFor("open(x) failed: Read-only file system (EROFS)").find("read-only"),
            std::string::npos);
  // An error number that merely starts like a known one is no match.
  EXPECT_EQ(tools::remedyFor("MoveFileExW(x) failed: y (error 50)"), "");
  EXPECT_EQ(tools::withRemedy("no such partition"), "no such partition");
}

}  // namespace
