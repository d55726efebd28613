// Every input of every fuzz target's corpus run again under the test build's
// sanitizers: each leaves nothing behind. An input that once found a fault stays in the corpus as
// its regression test.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/fuzz/fuzz_targets.h"

// Targets print as their names in the test's output.
void PrintTo(const FuzzTargetInfo& target, std::ostream* out)
{
    *out << target.Name;
}

namespace
{
class CorpusReplay : public testing::TestWithParam<FuzzTargetInfo>
{
};

FuzzInputBytes ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return FuzzInputBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_P(CorpusReplay, EveryInputLeavesNothingBehind)
{
    const FuzzTargetInfo& target = GetParam();
    const std::filesystem::path dir = std::filesystem::path(LT_FUZZ_CORPUS_DIR) / target.Name;
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
    {
        const FuzzInputBytes input = ReadFile(entry.path());
        EXPECT_EQ("", target.Run(input.data(), input.size())) << entry.path();
        ++files;
    }
    EXPECT_GT(files, 0u) << dir;
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplay, testing::ValuesIn(kFuzzTargets),
                         [](const testing::TestParamInfo<FuzzTargetInfo>& info)
                         { return std::string(info.param.Name); });
} // namespace
