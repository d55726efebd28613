// Helpers shared by the vector tests: bit patterns, buffers with guard bytes
// around a chosen misalignment, and a scope that sets the processor level.
#pragma once

#include <cstdint>
#include <bit>
#include <cstring>
#include <vector>

#include "primitives/dsp.h"

// A float array of `count` elements starting `offset` bytes past a 16-byte
// boundary, with guard bytes on both sides.
class GuardedFloats
{
  public:
    GuardedFloats(size_t count, size_t offset) : m_Count(count)
    {
        m_Storage.assign(count * 4 + 2 * Pad + 16, Guard);
        uintptr_t base = reinterpret_cast<uintptr_t>(m_Storage.data()) + Pad;
        base = (base + 15) & ~static_cast<uintptr_t>(15);
        m_Data = reinterpret_cast<float*>(base + offset);
    }
    float* Data() { return m_Data; }
    float& operator[](size_t i) { return m_Data[i]; }
    bool GuardsIntact() const
    {
        const uint8_t* begin = m_Storage.data();
        const uint8_t* data = reinterpret_cast<const uint8_t*>(m_Data);
        for (const uint8_t* p = begin; p < data; ++p)
            if (*p != Guard)
                return false;
        for (const uint8_t* p = data + 4 * m_Count; p < begin + m_Storage.size(); ++p)
            if (*p != Guard)
                return false;
        return true;
    }

  private:
    static constexpr size_t Pad = 64;
    static constexpr uint8_t Guard = 0xA5;
    std::vector<uint8_t> m_Storage;
    size_t m_Count;
    float* m_Data;
};

class LevelScope
{
  public:
    explicit LevelScope(int level) { DspCpuLevel = level; }
    ~LevelScope() { DspCpuLevel = 0; }
    LevelScope(const LevelScope&) = delete;
    LevelScope& operator=(const LevelScope&) = delete;
};
