// Waiting in a test thread that owns windows: messages keep flowing, so that
// a worker's SendMessage to those windows gets through.
#pragma once

#include <windows.h>

namespace testing_pump {

template <typename Pred>
bool pumpUntil(Pred pred, DWORD timeoutMs = 10000) {
  DWORD start = GetTickCount();
  for (;;) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    if (pred()) return true;
    if (GetTickCount() - start > timeoutMs) return pred();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

inline void pumpFor(DWORD milliseconds) {
  DWORD start = GetTickCount();
  pumpUntil([&] { return GetTickCount() - start >= milliseconds; }, milliseconds + 1000);
}

}  // namespace testing_pump
