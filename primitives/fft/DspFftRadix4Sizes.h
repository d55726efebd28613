// The radix-4 passes are compiled once per transform size so their loops
// have constant bounds; this picks the instance for a size at run time.
#pragma once

#include <cstdint>
#include <type_traits>

// Calls kernel(std::integral_constant<int32_t, n>{}) for n = 8 … 512 when the
// size is one of them, else for 1024 (the largest pass the engine runs).
template <class Kernel> inline void DspFftForRadix4Size(int32_t n, Kernel&& kernel)
{
    switch (n)
    {
    case 8:
        return kernel(std::integral_constant<int32_t, 8>{});
    case 16:
        return kernel(std::integral_constant<int32_t, 16>{});
    case 32:
        return kernel(std::integral_constant<int32_t, 32>{});
    case 64:
        return kernel(std::integral_constant<int32_t, 64>{});
    case 128:
        return kernel(std::integral_constant<int32_t, 128>{});
    case 256:
        return kernel(std::integral_constant<int32_t, 256>{});
    case 512:
        return kernel(std::integral_constant<int32_t, 512>{});
    default:
        return kernel(std::integral_constant<int32_t, 1024>{});
    }
}
