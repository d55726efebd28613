// Reading a fuzz input as the targets take it apart, and the fresh platform
// each input runs on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/kernel/nt_types.h"

class FuzzInput
{
  public:
    FuzzInput(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {}
    bool Empty() const { return m_At >= m_Size; }
    // 0 past the end.
    UCHAR Byte() { return m_At < m_Size ? m_Data[m_At++] : 0; }
    USHORT Word() { return (USHORT)(Byte() | Byte() << 8); }
    ULONG Dword() { return (ULONG)Word() | (ULONG)Word() << 16; }
    // Up to `count` bytes, fewer at the end.
    std::vector<UCHAR> Bytes(size_t count);
    std::vector<UCHAR> Rest() { return Bytes(m_Size - m_At); }

  private:
    const uint8_t* m_Data;
    size_t m_Size;
    size_t m_At = 0;
};

// The emulated platform reset for one input, as each test gets it; End
// reports what was left and forgets it.
class FuzzSession
{
  public:
    FuzzSession();
    std::string End();
};

// Seed helpers: little-endian appends.
void FuzzPutWord(std::vector<uint8_t>* out, USHORT value);
void FuzzPutDword(std::vector<uint8_t>* out, ULONG value);
