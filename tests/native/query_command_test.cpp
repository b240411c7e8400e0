#include "image/query_command.h"

#include <gtest/gtest.h>

namespace {

TEST(QueryCommand, ImagePathGoesInQuotesAndNothingElseIsEscaped) {
  EXPECT_EQ(infoCommandLine("E:\\sources\\install.wim", "C:\\Windows\\"),
            "Vondrimal.exe /INFO \"E:\\sources\\install.wim\" >>\"C:\\Windows\\\\WIM.TXT\"");
  EXPECT_EQ(infoCommandLine("D:\\a b&c^(d)!\\安装.wim", "C:\\Windows\\"),
            "Vondrimal.exe /INFO \"D:\\a b&c^(d)!\\安装.wim\" >>\"C:\\Windows\\\\WIM.TXT\"");
  // Without a Windows folder the output lands at the drive root.
  EXPECT_EQ(infoCommandLine("x.wim", ""), "Vondrimal.exe /INFO \"x.wim\" >>\"\\WIM.TXT\"");
}

TEST(QueryCommand, PathsThatCmdWouldExpandOrUnquoteAreRefused) {
  EXPECT_TRUE(isSafeImagePath("D:\\a b&c^(d)!\\安装.wim"));
  EXPECT_TRUE(isSafeImagePath(""));
  EXPECT_FALSE(isSafeImagePath("D:\\100%\\install.wim"));
  EXPECT_FALSE(isSafeImagePath("D:\\%PATH%.wim"));
  EXPECT_FALSE(isSafeImagePath("D:\\x\" & calc & \".wim"));
}

}  // namespace
