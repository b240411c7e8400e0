// HELPER NOTE (remove this line): before anything else read /work/briefs/common.md — binding rules (no git commands, no copying code, build dirs, fuzzing, speed).
// placeholder
#include <gtest/gtest.h>
