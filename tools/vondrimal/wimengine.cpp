#include "tools/vondrimal/wimengine.h"

#include <cstdio>
#include <memory>

#include "roamdeck_version.h"
#include "wim/apply/apply_progress.h"
#include "wim/apply/wim_apply.h"
#include "wim/format/edition_report.h"
#include "wim/format/wim_info.h"

namespace tools {

namespace {

constexpr char kVersionLine[] = "wimengine (Roamdeck) " ROAMDECK_VERSION "\n";
constexpr char kUsage[] =
    "Usage: wimengine info [--xml] IMAGE\n"
    "       wimengine apply [--quiet] IMAGE INDEX|NAME TARGET\n"
    "       wimengine [--quiet] IMAGE INDEX TARGET\n"
    "       wimengine --help | --version\n";
constexpr char kHelp[] =
    "\n"
    "Lists the editions of a Windows image file (install.wim, install.esd, the\n"
    "first part of a split install.swm) and applies one of them.\n"
    "\n"
    "  info         one block per edition: index, name, description, edition ID,\n"
    "               architecture, languages, version, build, folders, files, bytes\n"
    "  apply        applies the edition given by its index or by its name as info\n"
    "               shows it (matched exactly) to TARGET: an NTFS volume's block\n"
    "               device or a file that holds one, not mounted, or a folder\n"
    "  --xml        prints the image's XML data (as UTF-8) instead of the list\n"
    "  --quiet, -q  prints errors only\n"
    "  --           ends the options, for a name that starts with a dash\n"
    "  --help, -h   prints this help\n"
    "  --version    prints the version\n"
    "\n"
    "Exit status: 0 done; 4 to 7 info: the file cannot be read, is no WIM file,\n"
    "is damaged, or needs what this build does not read; 8 bad arguments, an\n"
    "unknown or ambiguous name; 9 to 15 apply: see wimengine(1).\n";

struct Arguments {
  std::vector<std::string> words;  // in order, options taken out
  bool xml = false;
  bool quiet = false;
  bool help = false;
  bool version = false;
  std::string unknown;  // the first option not understood
};

Arguments parse(const std::vector<std::string>& given) {
  Arguments parsed;
  bool options = true;
  for (const std::string& word : given) {
    if (options && word == "--") {
      options = false;
    } else if (options && (word == "--help" || word == "-h")) {
      parsed.help = true;
    } else if (options && word == "--version") {
      parsed.version = true;
    } else if (options && word == "--xml") {
      parsed.xml = true;
    } else if (options && (word == "--quiet" || word == "-q")) {
      parsed.quiet = true;
    } else if (options && word.size() > 1 && word[0] == '-' && word[1] == '-') {
      if (parsed.unknown.empty()) parsed.unknown = word;
    } else {
      parsed.words.push_back(word);
    }
  }
  return parsed;
}

int refuse(const EngineConsole& console, const std::string& reason) {
  console.err("wimengine: error: " + reason + "\n" + kUsage +
              "Try 'wimengine --help' for more information.\n");
  return wim::kApplyExitBadArguments;
}

int runInfo(const Arguments& arguments, const EngineConsole& console) {
  if (arguments.quiet) return refuse(console, "--quiet is for apply");
  if (arguments.words.size() != 2) return refuse(console, "info takes exactly one image file");
  const std::string& image = arguments.words[1];
  wim::WimInfo info;
  const wim::Outcome outcome = wim::readWimInfoFile(image, info);
  if (!outcome.ok()) {
    console.out(wim::formatError(outcome));
    return wim::exitCodeFor(outcome.problem);
  }
  if (arguments.xml) {
    std::string text = info.xmlText;
    while (!text.empty() && text.back() == '\0') text.pop_back();
    console.out(text + (text.empty() || text.back() == '\n' ? "" : "\n"));
  } else {
    console.out(wim::formatEditions(image, info));
  }
  return wim::kInfoExitOk;
}

// The index the apply is given: digits as they are, a name looked up.
// Returns 0 with `index` set, or the exit code of the refusal it printed.
int chooseImage(const std::string& image, const std::string& chosen, const EngineConsole& console,
                std::string& index) {
  if (wim::looksLikeIndex(chosen)) {
    index = chosen;
    return 0;
  }
  wim::WimInfo info;
  const wim::Outcome outcome = wim::readWimInfoFile(image, info);
  if (!outcome.ok()) {
    console.out(wim::formatError(outcome));
    return outcome.problem == wim::Problem::Unsupported ? wim::kApplyExitUnsupported
                                                        : wim::kApplyExitBadImage;
  }
  std::uint32_t found = 0;
  const wim::NameMatch match = wim::findImageByName(info.xml, chosen, found);
  if (match == wim::NameMatch::Found) {
    index = wim::decimal(found);
    return 0;
  }
  const std::string why =
      match == wim::NameMatch::Unknown
          ? "no image of " + image + " is named \"" + chosen + "\""
          : "more than one image of " + image + " is named \"" + chosen + "\": give its index";
  console.out(wim::kErrorPrefix + wim::printable(why) + "; its images:\n" +
              wim::editionList(info.xml));
  return wim::kApplyExitBadArguments;
}

std::string sizeText(std::uint64_t bytes) {
  char text[32];
  const double value = static_cast<double>(bytes);
  if (bytes >= 1000000000ull)
    std::snprintf(text, sizeof text, "%.2f GB", value / 1e9);
  else if (bytes >= 1000000ull)
    std::snprintf(text, sizeof text, "%.1f MB", value / 1e6);
  else if (bytes >= 1000ull)
    std::snprintf(text, sizeof text, "%.1f kB", value / 1e3);
  else
    std::snprintf(text, sizeof text, "%u B", static_cast<unsigned>(bytes));
  return text;
}

std::string durationText(std::uint64_t seconds) {
  char text[32];
  if (seconds >= 3600)
    std::snprintf(text, sizeof text, "%u:%02u:%02u", static_cast<unsigned>(seconds / 3600),
                  static_cast<unsigned>(seconds % 3600 / 60), static_cast<unsigned>(seconds % 60));
  else
    std::snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(seconds / 60),
                  static_cast<unsigned>(seconds % 60));
  return text;
}

std::string rateText(std::uint64_t bytes, std::uint64_t elapsedMs) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB/s",
                static_cast<double>(bytes) / 1e3 / static_cast<double>(elapsedMs));
  return text;
}

// Draws the progress on one terminal line, rewritten in place; any other
// line first clears it, and the summary takes its place at the end.
class TerminalProgress {
 public:
  explicit TerminalProgress(const EngineConsole& console) : console_(console) {}

  void line(const std::string& text) {
    clear();
    console_.out(text + "\n");
  }

  void update(const wim::ApplyProgress& progress) {
    const std::uint64_t now = console_.clock();
    if (!started_) {
      started_ = true;
      startMs_ = now;
      lastMs_ = now;
      draw(terminalProgress(0, progress.totalBytes, 0));
      return;
    }
    const std::uint64_t elapsed = now - startMs_;
    if (progress.finished) {
      draw(terminalSummary(progress.totalBytes, elapsed));
      console_.out("\n");
      shown_ = 0;
      return;
    }
    if (now - lastMs_ < kRedrawMs) return;
    lastMs_ = now;
    draw(terminalProgress(progress.doneBytes, progress.totalBytes, elapsed));
  }

 private:
  static constexpr std::uint64_t kRedrawMs = 200;

  void draw(const std::string& text) {
    std::string padded = "\r" + text;
    // Blanks over what a longer line before left behind.
    if (text.size() < shown_) padded.append(shown_ - text.size(), ' ');
    console_.out(padded);
    shown_ = text.size();
  }

  void clear() {
    if (shown_ == 0) return;
    console_.out("\r" + std::string(shown_, ' ') + "\r");
    shown_ = 0;
  }

  const EngineConsole& console_;
  bool started_ = false;
  std::uint64_t startMs_ = 0, lastMs_ = 0;
  std::size_t shown_ = 0;
};

int runApply(const std::vector<std::string>& words, bool quiet, const EngineConsole& console) {
  if (words.size() != 3)
    return refuse(console, "apply takes an image file, an index or name, and a target");
  std::string index;
  if (int refused = chooseImage(words[0], words[1], console, index)) return refused;

  if (console.terminal && !quiet) {
    auto drawing = std::make_shared<TerminalProgress>(console);
    return wim::runApplyCommand(
        words[0], index, words[2], [drawing](const std::string& line) { drawing->line(line); },
        [drawing](const wim::ApplyProgress& progress) { drawing->update(progress); });
  }
  return wim::runApplyCommand(words[0], index, words[2],
                              [&console, quiet](const std::string& line) {
                                if (!quiet || line.rfind(wim::kErrorPrefix, 0) == 0)
                                  console.out(line + "\n");
                              });
}

}  // namespace

std::string terminalProgress(std::uint64_t doneBytes, std::uint64_t totalBytes,
                             std::uint64_t elapsedMs) {
  char percent[16];
  std::snprintf(percent, sizeof percent, "[ %3d%% ] ", wim::progressPercent(doneBytes, totalBytes));
  std::string text = percent + sizeText(doneBytes) + " of " + sizeText(totalBytes);
  if (elapsedMs > 0 && doneBytes > 0) text += ", " + rateText(doneBytes, elapsedMs);
  const std::uint64_t left = wim::estimateSecondsLeft(doneBytes, totalBytes, elapsedMs);
  if (left > 0) text += ", " + durationText(left) + " left";
  return text;
}

std::string terminalSummary(std::uint64_t totalBytes, std::uint64_t elapsedMs) {
  std::string text =
      "[ 100% ] " + sizeText(totalBytes) + " in " + durationText((elapsedMs + 500) / 1000);
  if (elapsedMs > 0) text += ", " + rateText(totalBytes, elapsedMs);
  return text;
}

int runWimengine(const std::vector<std::string>& given, const EngineConsole& console) {
  const Arguments arguments = parse(given);
  if (arguments.help) {
    console.out(std::string(kUsage) + kHelp + kVersionLine);
    return 0;
  }
  if (arguments.version) {
    console.out(kVersionLine);
    return 0;
  }
  if (!arguments.unknown.empty())
    return refuse(console, "unknown option \"" + arguments.unknown + "\"");
  if (arguments.words.empty()) return refuse(console, "no command or image given");
  const std::string& first = arguments.words[0];
  if (first == "info") return runInfo(arguments, console);
  if (arguments.xml) return refuse(console, "--xml is for info");
  if (first == "apply")
    return runApply(std::vector<std::string>(arguments.words.begin() + 1, arguments.words.end()),
                    arguments.quiet, console);
  // The older form, for scripts: an image, an index and a target.
  if (arguments.words.size() == 3) return runApply(arguments.words, arguments.quiet, console);
  return refuse(console, "unknown command \"" + first + "\"");
}

}  // namespace tools
