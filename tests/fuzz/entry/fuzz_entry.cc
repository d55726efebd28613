// libFuzzer entry of one target, chosen at build time (LT_FUZZ_TARGET): an
// input that leaves anything behind aborts, as a crash does.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string left = LT_FUZZ_TARGET(data, size);
    if (!left.empty())
    {
        fprintf(stderr, "left behind: %s\n", left.c_str());
        abort();
    }
    return 0;
}
