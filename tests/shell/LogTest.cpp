#include "shell/Log.h"
#include <gtest/gtest.h>
TEST(Log, Placeholder) { EXPECT_EQ(0, LogSrvMessage(nullptr, L_MSG)); }
