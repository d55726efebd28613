#include <gtest/gtest.h>
#include "platform/kernel/emu.h"
TEST(Smoke, Builds) { EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL); }
