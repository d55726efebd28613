// The memory test's global operator new, which models an address-space
// limit: it is reached at one allocation, at the bytes then held, and holds
// from then on; an allocation past it finds no memory.
#pragma once

#include <atomic>
#include <cstddef>

// The allocations made since this was last set to 0.
extern std::atomic<unsigned long long> g_Allocations;
// The allocation that reaches the limit (0: none does).
extern unsigned long long g_LimitAt;
// Whether the first allocation of kRefusedBytes or more from that one on
// is refused whatever memory the new-handler gives back, as one larger than
// all there is would be.
extern bool g_Refused;
inline constexpr size_t kRefusedBytes = 16 * 1024;
