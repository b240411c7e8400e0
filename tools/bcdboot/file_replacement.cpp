#include "tools/bcdboot/file_replacement.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

constexpr char kFreshSuffix[] = ".roamdeck-new";

}  // namespace

fs::path freshPathOf(const fs::path& path) {
  fs::path fresh = path;
  fresh += kFreshSuffix;
  return fresh;
}

bool replaceDurably(const ReplaceCalls& calls, const fs::path& path, const le::Bytes& bytes,
                    const std::function<bool(const le::Bytes&, std::string&)>& check,
                    std::string& reason) {
  const fs::path fresh = freshPathOf(path);
  const std::string kept = "; " + path.string() + " was left as it was";
  // A new file left by a run that was stopped is no one's: it goes first.
  calls.remove(fresh);
  if (!calls.writeFlushed(fresh, bytes, reason)) {
    calls.remove(fresh);
    return reason += kept, false;
  }
  le::Bytes readBack;
  std::string why;
  bool sound = calls.read(fresh, readBack, reason);
  if (sound && readBack != bytes) {
    reason = fresh.string() + " does not read back as written";
    sound = false;
  } else if (sound && check && !check(readBack, why)) {
    reason = fresh.string() + " does not load as written: " + why;
    sound = false;
  }
  if (!sound) {
    calls.remove(fresh);
    return reason += kept, false;
  }
  // The one step that switches: before it the old file is whole, after it
  // the new one, which is already on the disk.
  if (!calls.rename(fresh, path, reason)) {
    calls.remove(fresh);
    return reason += kept, false;
  }
  const std::string placed = "; the new " + path.string() + " is in place";
  if (!calls.flushFolder(path.parent_path(), reason))
    return reason += placed + ", but a power cut now may still bring back the old one", false;
  if (!calls.read(path, readBack, reason)) return reason += placed, false;
  if (readBack != bytes)
    return reason = path.string() + " does not read back as written once in place", false;
  return true;
}

}  // namespace tools
