// Writes every target's seeds into <folder>/<target>/seed-<n>: how the
// corpora under fuzz/corpus began.
#include <cstdio>
#include <string>
#include <sys/stat.h>

#include "tests/fuzz/fuzz_targets.h"

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    for (const FuzzTargetInfo& target : kFuzzTargets)
    {
        const std::string dir = std::string(argv[1]) + "/" + target.Name;
        mkdir(dir.c_str(), 0755);
        int n = 0;
        for (const FuzzInputBytes& seed : target.Seeds())
        {
            const std::string path = dir + "/seed-" + std::to_string(n++);
            FILE* f = fopen(path.c_str(), "wb");
            if (f == nullptr || fwrite(seed.data(), 1, seed.size(), f) != seed.size())
                return 1;
            fclose(f);
        }
    }
    return 0;
}
