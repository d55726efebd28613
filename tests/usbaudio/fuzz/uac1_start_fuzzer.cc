// libFuzzer entry point: the input is the configuration descriptor of a
// class 1.0 device that the adapter starts and removes on a fresh emulated
// platform; a leak aborts like a crash. Built only with clang's
// -fsanitize=fuzzer; the tests run a fixed series of the same starts.
#include <cstdio>
#include <cstdlib>

#include "platform/cpu/cpu.h"
#include "platform/kernel/emu.h"
#include "tests/usbaudio/uac1/uac1_start_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 9 || size > 0xFFFF)
        return 0;
    std::vector<UCHAR> configuration(data, data + size);
    configuration[2] = (UCHAR)size;
    configuration[3] = (UCHAR)(size >> 8);
    EmuReset(EmuClockMode::Virtual);
    EmuCpuidReset();
    NTSTATUS status = 0;
    StartUac1FromConfiguration(configuration, &status);
    const std::string left = EmuCheckClean(true);
    if (!left.empty())
    {
        fprintf(stderr, "left behind: %s\n", left.c_str());
        abort();
    }
    return 0;
}
