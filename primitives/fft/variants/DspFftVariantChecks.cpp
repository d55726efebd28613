// Contract checks of the variant FFT kernels, one table of accepted sizes.
#include "platform/kernel/kernel.h"
#include "primitives/fft/DspFftVariants.h"

namespace
{
struct SizeRange
{
    DspFftVariantKind kind;
    int64_t minN;
    int64_t maxN;
};
constexpr SizeRange kRanges[] = {
    {DspFftVariantKind::SplitGather, 8, 131072},
    {DspFftVariantKind::SplitInPlace, 64, 131072},
    // Above 2^19 the pass plan of a stream has no final pass.
    {DspFftVariantKind::Decimated, 64, 524288},
};

bool AllGiven(const void* const* pointers, int32_t count)
{
    for (int32_t i = 0; i < count; ++i)
    {
        if (pointers[i] == nullptr)
        {
            return false;
        }
    }
    return true;
}

bool Aligned16(const void* p)
{
    return (reinterpret_cast<uintptr_t>(p) & 15u) == 0;
}
} // namespace

bool DspFftVariantArgsFit(DspFftVariantKind kind, int64_t n, const void* const* pointers,
                          int32_t pointerCount)
{
    bool sizeFits = false;
    for (const SizeRange& r : kRanges)
    {
        if (r.kind == kind)
        {
            sizeFits = n >= r.minN && n <= r.maxN && (n & (n - 1)) == 0;
        }
    }
    const bool pointersGiven = AllGiven(pointers, pointerCount);
    ASSERT(sizeFits);
    ASSERT(pointersGiven);
    return sizeFits && pointersGiven;
}

bool DspFftRadix8ArgsFit(const float* src, const void* dst0, const void* dst1, uint64_t L,
                         int64_t count, const float* twiddles)
{
    const bool sizeFits = L >= 4 && L % 4 == 0 && count > 0 && count % 4 == 0 &&
                          static_cast<uint64_t>(count) <= L && L <= (uint64_t{1} << 40);
    const void* const pointers[] = {src, dst0, dst1, twiddles};
    const bool pointersGiven = AllGiven(pointers, 4) && Aligned16(src);
    ASSERT(sizeFits);
    ASSERT(pointersGiven);
    return sizeFits && pointersGiven;
}

bool DspFftBlockArgsFit(int64_t points, int64_t count, const void* const* pointers,
                        int32_t pointerCount)
{
    const bool sizeFits = points > 0 && points % 4 == 0 && count >= 0;
    const bool pointersGiven = AllGiven(pointers, pointerCount);
    ASSERT(sizeFits);
    ASSERT(pointersGiven);
    return sizeFits && pointersGiven;
}
