#include "install/progress.h"

#include <cmath>
#include <cstdint>

#include "app/main_form.h"
#include "install/progress_text.h"

namespace {

// The clock of this run: the milliseconds last shown, and the tick count
// they are counted from.
std::int32_t g_elapsedMilliseconds = 0;
std::int32_t g_startTick = 0;

}  // namespace

void onProgressTick(MainForm& form) {
  ProgressView view = progressViewOf(control::content(form.编辑框3));
  control::setCaption(form.透明标签11, view.percentLabel);
  control::setPosition(form.进度条1, view.barPosition);
  control::setCaption(form.透明标签10, view.remainingLabel);
}

void onClockTick(MainForm& form) {
  double elapsed = static_cast<double>(static_cast<std::int32_t>(GetTickCount())) - g_startTick;
  g_elapsedMilliseconds = static_cast<std::int32_t>(std::trunc(elapsed));
  control::setCaption(form.透明标签9, elapsedLabel(g_elapsedMilliseconds));
}

void startElapsedClock() {
  g_startTick = static_cast<std::int32_t>(GetTickCount()) - g_elapsedMilliseconds;
}
