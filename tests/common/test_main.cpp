// Entry point of every test program: a fresh emulated platform for each test,
// kernel failure reports turned into test failures, and a test that leaves
// pool, threads, timers, handles or registrations behind fails.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/cpu/cpu.h"
#include "platform/kernel/emu.h"

namespace
{
bool g_LeakFound = false;

void FailTest(const char* message)
{
    ADD_FAILURE() << "emulated kernel: " << message;
}

class EmuListener : public testing::EmptyTestEventListener
{
    void OnTestStart(const testing::TestInfo&) override
    {
        EmuReset(EmuClockMode::Virtual);
        EmuCpuidReset();
        EmuSetFailureHandler(FailTest);
    }
    void OnTestEnd(const testing::TestInfo& info) override
    {
        std::string left = EmuCheckClean(true);
        if (!left.empty())
        {
            g_LeakFound = true;
            fprintf(stderr, "[  LEAKED  ] %s.%s:%s\n", info.test_suite_name(), info.name(),
                    left.c_str());
        }
        EmuSetFailureHandler(nullptr);
    }
};
} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new EmuListener);
    int rc = RUN_ALL_TESTS();
    EmuShutdown();
    return rc != 0 ? rc : (g_LeakFound ? 1 : 0);
}
