// The bit-reversal members of levels 1 to 3 against the permutation itself:
// every accepted size up to 2^18 elements, data at byte offsets 0, 4 and 8
// from a 16-byte boundary, random bit patterns (NaNs and denormals among
// them) and guard bytes on both sides.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "primitives/fft/DspFftSpec.h"
#include "primitives/fft/levels/DspFftLevels.h"
#include "tests/primitives/fft/fft_reference.h"

namespace
{
using InPlaceFn = void (*)(float*, int64_t, const uint32_t*);
using CopyFn = void (*)(const float*, float*, int64_t, const uint32_t*);

struct Member
{
    const char* name;
    int bytes;         // element width
    bool blockTable;   // else the swap-pair list
    int firstOrder;    // smallest accepted order
    InPlaceFn inPlace; // one of the two is set
    CopyFn copy;
};

#define IN_PLACE(Name, S, bytes, block)                                                            \
    Member                                                                                         \
    {                                                                                              \
#Name "_" #S, bytes, block, block ? 3 : 0, DspBitRev##Name##_##S, nullptr                  \
    }
#define COPY(Name, S, bytes, block)                                                                \
    Member                                                                                         \
    {                                                                                              \
#Name "_" #S, bytes, block, block ? 3 : 0, nullptr, DspBitRev##Name##_##S                  \
    }
#define MEMBERS(S)                                                                                 \
    IN_PLACE(Swap32, S, 4, false), IN_PLACE(Swap32Dup, S, 4, false),                               \
        IN_PLACE(Swap64Scalar, S, 8, false), IN_PLACE(Swap64Vec, S, 8, false),                     \
        IN_PLACE(TileSwap64, S, 8, false), IN_PLACE(Swap128, S, 16, false),                        \
        COPY(SwapCopy32, S, 4, false), COPY(SwapCopy64, S, 8, false),                              \
        IN_PLACE(InPlace32, S, 4, true), IN_PLACE(InPlace64, S, 8, true),                          \
        IN_PLACE(InPlace64d, S, 8, true), IN_PLACE(InPlace128, S, 16, true),                       \
        COPY(Copy32, S, 4, true), COPY(Copy64, S, 8, true), COPY(Copy64d, S, 8, true),             \
        COPY(Copy128, S, 16, true)
void PrintTo(const Member& mb, std::ostream* os)
{
    *os << mb.name;
}

const Member kMembers[] = {MEMBERS(Sse3), MEMBERS(Ssse3), MEMBERS(Sse4)};

constexpr int kMaxOrder = 18;
constexpr size_t kGuardBytes = 48;
constexpr uint8_t kGuard = 0xA5;

// Bytes at offset off from a 16-byte boundary inside guard bytes.
struct GuardedBytes
{
    GuardedBytes(size_t bytes, size_t off) : size(bytes), store(bytes + 2 * kGuardBytes + 16 + 16)
    {
        const auto base = reinterpret_cast<uintptr_t>(store.data()) + kGuardBytes;
        begin = reinterpret_cast<uint8_t*>((base + 15) & ~uintptr_t{15}) + off;
        memset(store.data(), kGuard, store.size());
    }
    bool GuardsIntact() const
    {
        for (size_t i = 0; i < kGuardBytes; ++i)
        {
            if (begin[-1 - static_cast<ptrdiff_t>(i)] != kGuard || begin[size + i] != kGuard)
            {
                return false;
            }
        }
        return true;
    }
    float* Floats() { return reinterpret_cast<float*>(begin); }
    size_t size;
    std::vector<uint8_t> store;
    uint8_t* begin;
};

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed)
{
    std::vector<uint8_t> b(count);
    uint32_t s = seed * 2654435761u + 1u;
    for (auto& v : b)
    {
        s = s * 1664525u + 1013904223u;
        v = static_cast<uint8_t>(s >> 24);
    }
    return b;
}

// Index of the first element not equal to element rev(i) of the source, or
// -1.
FFTREF_FAST int64_t FirstMisplaced(const uint8_t* out, const uint8_t* src, int order, int bytes)
{
    const int64_t n = int64_t{1} << order;
    for (int64_t i = 0; i < n; ++i)
    {
        int64_t r = 0;
        for (int b = 0; b < order; ++b)
        {
            r |= ((i >> b) & 1) << (order - 1 - b);
        }
        if (memcmp(out + i * bytes, src + r * bytes, bytes) != 0)
        {
            return i;
        }
    }
    return -1;
}

std::vector<uint32_t> TableFor(const Member& mb, int order)
{
    std::vector<uint32_t> table((size_t{1} << order) / 4 + 16);
    if (mb.blockTable)
    {
        DspFftBitRevTable_Sse3(order, table.data());
    }
    else
    {
        DspFftBitRevSwapList(order, table.data());
    }
    return table;
}

// The sizes done by fixed moves get no table: reading it would fault.
bool ReadsTable(const Member& mb, int64_t n)
{
    if (mb.blockTable)
    {
        return n > 8;
    }
    return n >= (mb.inPlace != nullptr ? 4 : 8);
}

class BitRevMembers : public testing::TestWithParam<Member>
{
};
} // namespace

TEST_P(BitRevMembers, EqualThePermutationAtEveryAcceptedSizeAndOffset)
{
    const Member& mb = GetParam();
    for (int order = mb.firstOrder; order <= kMaxOrder; ++order)
    {
        if (order == 2 && mb.blockTable)
        {
            continue; // block members take n = 8 and n >= 16
        }
        const size_t bytes = (size_t{1} << order) * mb.bytes;
        const auto table = TableFor(mb, order);
        const auto src = RandomBytes(bytes, order);
        // Destination and source offsets; copies also with one of the two
        // on a 16-byte boundary and the other not.
        static constexpr size_t kOffsets[][2] = {{0, 0}, {4, 4}, {8, 8}, {0, 8}, {4, 0}};
        for (size_t c = 0; c < (mb.inPlace != nullptr ? 3 : 5); ++c)
        {
            const auto [off, srcOff] = kOffsets[c];
            GuardedBytes out(bytes, off);
            GuardedBytes in(bytes, srcOff);
            const int64_t n = int64_t{1} << order;
            if (mb.inPlace != nullptr)
            {
                memcpy(out.begin, src.data(), bytes);
                mb.inPlace(out.Floats(), n, ReadsTable(mb, n) ? table.data() : nullptr);
            }
            else
            {
                memcpy(in.begin, src.data(), bytes);
                mb.copy(in.Floats(), out.Floats(), n, ReadsTable(mb, n) ? table.data() : nullptr);
                EXPECT_EQ(memcmp(in.begin, src.data(), bytes), 0) << "source changed";
            }
            ASSERT_EQ(FirstMisplaced(out.begin, src.data(), order, mb.bytes), -1)
                << mb.name << " order " << order << " offsets " << off << ", " << srcOff;
            EXPECT_TRUE(out.GuardsIntact() && in.GuardsIntact())
                << mb.name << " order " << order << " offsets " << off << ", " << srcOff;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, BitRevMembers, testing::ValuesIn(kMembers),
                         [](const testing::TestParamInfo<Member>& info)
                         { return std::string(info.param.name); });
