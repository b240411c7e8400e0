// The four tools the program carries, in the order in which they are staged.
// No Windows API here.
#pragma once

#include <cstddef>

#include "resources/resource_ids.h"

struct ToolPayload {
  const char* fileName;
  int resourceId;
};

inline constexpr ToolPayload kToolPayloads[] = {
    {"BOOTICE.exe", IDR_TOOL_BOOTICE},
    {"bootsect.exe", IDR_TOOL_BOOTSECT},
    {"bcdboot.exe", IDR_TOOL_BCDBOOT},
    {"Vondrimal.exe", IDR_TOOL_VONDRIMAL},
};
