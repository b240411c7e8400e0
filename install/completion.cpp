#include "install/completion.h"

#include <tlhelp32.h>

#include <iterator>

#include "app/main_form.h"
#include "common/unique_handle.h"
#include "install/console.h"
#include "install/install_request.h"
#include "install/install_text.h"

namespace {

using install_text::ResultTag;

constexpr char kCaption[] = "提示";
constexpr char kToolName[] = "Vondrimal.exe";

// How long a result line may keep us waiting once nothing is running that
// could still print it: the interpreter prints it right after the command
// ends, so this only guards against a console that went away.
constexpr DWORD kResultGraceMs = 60000;
// The boot set-up runs three tools one after another; give them time.
constexpr DWORD kBootSetupLimitMs = 600000;

enum class Phase { Idle, Applying, BootSetup };

struct Result {
  bool arrived = false;
  long code = 0;
};

struct Watch {
  Phase phase = Phase::Idle;
  bool applySent = false;
  DWORD waitingSince = 0;    // when the phase began, or a tool was last seen
  Result results[5];         // indexed by ResultTag
  std::string bootLines[5];  // as shown to the user
  std::string sentLines[5];  // as sent to the interpreter
};

Watch g_watch;

bool arrived(ResultTag tag) { return g_watch.results[tag].arrived; }
bool succeeded(ResultTag tag) { return arrived(tag) && g_watch.results[tag].code == 0; }

// Sends one boot set-up command; false when nothing could be sent.
bool sendWithResult(const std::string& line, ResultTag tag) {
  std::string command = install_text::withResultLine(line, tag);
  return SendConsoleCommand(command) > 0;
}

// The boot set-up commands in the order the interpreter runs them, with the
// line actually sent for each.
constexpr ResultTag kBootSteps[] = {install_text::kBootsectResult, install_text::kBcdbootResult,
                                    install_text::kBooticeResult};

// Leaves the installing state: timers stopped, controls back, Close back.
void releaseWindow(MainForm& form) {
  control::setInterval(form.时钟1, 0);
  control::setInterval(form.时钟2, 0);
  control::setInterval(form.时钟3, 0);
  for (HWND control : {form.按钮1, form.按钮2, form.按钮3, form.选择框1, form.组合框1, form.组合框2,
                       form.组合框3, form.编辑框1})
    control::setDisabled(control, false);
  control::setCaption(form.透明标签10, "剩余时间：00:00:00");
  SetCloseEnabled(form.window, true);
  g_watch.phase = Phase::Idle;
}

void finishWithApplyFailure(MainForm& form) {
  std::string edition = control::content(form.组合框1);
  std::string installPartition = control::content(form.组合框2);
  // The imaging tool's own words: a full disk, an I/O error or a damaged
  // image each want something else done.
  const std::string reason =
      install_text::toolFailureReason(control::content(form.编辑框3), install_text::kApplyResult);
  releaseWindow(form);
  control::setCaption(form.透明标签11, "安装失败");
  MessageBoxA(nullptr,
              ("安装 " + edition + " 失败：映像未能释放到 " + installPartition +
               (reason.empty() ? "" : "（" + reason + "）") + "，未设置引导。")
                  .c_str(),
              kCaption, MB_OK | MB_ICONHAND | MB_TASKMODAL);
}

void finishBootSetup(MainForm& form) {
  std::string edition = control::content(form.组合框1);
  std::string installPartition = control::content(form.组合框2);
  std::string failedLine;
  for (ResultTag tag :
       {install_text::kBootsectResult, install_text::kBcdbootResult, install_text::kBooticeResult})
    if (!succeeded(tag)) {
      failedLine = g_watch.bootLines[tag];
      // The tool's own words, so that the user knows what to fix.
      const std::string reason =
          install_text::toolFailureReason(control::content(form.编辑框3), tag);
      if (!reason.empty()) failedLine += "（" + reason + "）";
      break;
    }
  releaseWindow(form);
  if (failedLine.empty()) {
    control::setCaption(form.透明标签11, "安装完成");
    MessageBoxA(nullptr, ("安装 " + edition + " 完成，请重启计算机！").c_str(), kCaption,
                MB_OK | MB_ICONINFORMATION | MB_TASKMODAL);
  } else {
    control::setCaption(form.透明标签11, "引导设置失败");
    MessageBoxA(nullptr,
                ("系统已释放到 " + installPartition + "，但引导设置失败：" + failedLine +
                 "。请修复引导后再重启！")
                    .c_str(),
                kCaption, MB_OK | MB_ICONEXCLAMATION | MB_TASKMODAL);
  }
}

bool waitedLongerThan(DWORD limit) { return GetTickCount() - g_watch.waitingSince > limit; }

}  // namespace

bool IsProcessRunning(const std::string& exeName, bool matchCase) {
  // Processes only: the walk reads nothing else, and a snapshot of every kind
  // of entry (modules, heaps, threads) costs some hundred server calls under
  // Wine, twice a second while an image is applied.
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot.get(), &entry); more;
       more = Process32Next(snapshot.get(), &entry))
    if (install_text::sameProcessName(entry.szExeFile, exeName, matchCase)) return true;
  return false;
}

void beginCompletionWatch(bool applySent) {
  g_watch = Watch{};
  g_watch.phase = Phase::Applying;
  g_watch.applySent = applySent;
  g_watch.waitingSince = GetTickCount();
}

void RunBootSetup(MainForm& form) {
  std::string installPartition = control::content(form.组合框2);
  std::string bootPartition = control::content(form.组合框3);
  g_watch.bootLines[install_text::kBootsectResult] =
      install_text::bootsectCommandLine(bootPartition);
  g_watch.bootLines[install_text::kBcdbootResult] =
      install_text::bcdbootCommandLine(installPartition, bootPartition);
  g_watch.bootLines[install_text::kBooticeResult] = install_text::booticeCommandLine(bootPartition);
  g_watch.sentLines[install_text::kBootsectResult] =
      g_watch.bootLines[install_text::kBootsectResult];
  g_watch.sentLines[install_text::kBcdbootResult] = g_watch.bootLines[install_text::kBcdbootResult];
  g_watch.sentLines[install_text::kBooticeResult] = install_text::booticeConsoleLine(bootPartition);
  // The rest follow one by one as their predecessors answer.
  sendWithResult(g_watch.sentLines[kBootSteps[0]], kBootSteps[0]);
}

void onConsoleResult(MainForm&, int tag, long exitCode) {
  if (tag < install_text::kApplyResult || tag > install_text::kBooticeResult) return;
  g_watch.results[tag] = {true, exitCode};
  if (g_watch.phase != Phase::BootSetup) return;
  // The interpreter has finished this step: hand it the next one.
  for (size_t i = 0; i + 1 < std::size(kBootSteps); ++i)
    if (kBootSteps[i] == tag)
      sendWithResult(g_watch.sentLines[kBootSteps[i + 1]], kBootSteps[i + 1]);
}

void onCompletionTick(MainForm& form) {
  switch (g_watch.phase) {
    case Phase::Idle:
      return;
    case Phase::Applying:
      // Nothing was sent: nothing was installed.
      if (!g_watch.applySent) return finishWithApplyFailure(form);
      // Any imaging tool still running keeps the watch waiting, and so does a
      // result that has not arrived yet: a tool that has not started by the
      // first tick has not finished either.
      if (IsProcessRunning(kToolName, false)) {
        g_watch.waitingSince = GetTickCount();
        return;
      }
      if (!arrived(install_text::kApplyResult)) {
        if (waitedLongerThan(kResultGraceMs)) finishWithApplyFailure(form);
        return;
      }
      if (!succeeded(install_text::kApplyResult)) return finishWithApplyFailure(form);
      // The picture is complete: the progress display stops, the window
      // stays in its installing state until the boot set-up has answered.
      control::setInterval(form.时钟2, 0);
      control::setInterval(form.时钟3, 0);
      control::setCaption(form.透明标签10, "剩余时间：00:00:00");
      g_watch.phase = Phase::BootSetup;
      g_watch.waitingSince = GetTickCount();
      RunBootSetup(form);
      return;
    case Phase::BootSetup:
      if (arrived(install_text::kBootsectResult) && arrived(install_text::kBcdbootResult) &&
          arrived(install_text::kBooticeResult))
        return finishBootSetup(form);
      if (waitedLongerThan(kBootSetupLimitMs))
        finishBootSetup(form);  // the missing ones count as failed
      return;
  }
}
