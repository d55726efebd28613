#include "tests/fuzz/fuzz_input.h"

#include <algorithm>

#include "platform/cpu/cpu.h"
#include "platform/kernel/emu.h"

std::vector<UCHAR> FuzzInput::Bytes(size_t count)
{
    const size_t n = std::min(count, m_Size - std::min(m_At, m_Size));
    std::vector<UCHAR> bytes(m_Data + m_At, m_Data + m_At + n);
    m_At += n;
    return bytes;
}

FuzzSession::FuzzSession()
{
    EmuReset(EmuClockMode::Virtual);
    EmuCpuidReset();
}

std::string FuzzSession::End()
{
    return EmuCheckClean(true);
}

void FuzzPutWord(std::vector<uint8_t>* out, USHORT value)
{
    out->push_back((uint8_t)value);
    out->push_back((uint8_t)(value >> 8));
}

void FuzzPutDword(std::vector<uint8_t>* out, ULONG value)
{
    FuzzPutWord(out, (USHORT)value);
    FuzzPutWord(out, (USHORT)(value >> 16));
}
