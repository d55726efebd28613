#include "globaltopo/common/QVR/HeadphoneCoefficientBank.h"

// The bank is kept as the generator's binary output (little-endian 32-bit
// floats); the assembler places its bytes in read-only data unchanged, which
// keeps the source small and the build fast.
#ifndef QVR_BANK_FILE
#error "QVR_BANK_FILE names the binary bank; the build sets it"
#endif
asm(".section .rodata\n"
    ".balign 32\n"
    ".globl HeadphoneCoefficientBank\n"
    ".type HeadphoneCoefficientBank, @object\n"
    ".size HeadphoneCoefficientBank, 1492992\n"
    "HeadphoneCoefficientBank:\n"
    ".incbin \"" QVR_BANK_FILE "\"\n"
    ".previous\n");

bool HeadphoneBankFind(int32_t room, int32_t angle, int32_t* headOffset, int32_t* tailOffset,
                       int32_t* tailLen)
{
    for (const HeadphoneBankRun& run : HeadphoneBankRuns)
    {
        if (run.room != room)
            continue;
        for (int32_t i = 0; i < run.angleCount; ++i)
        {
            if (run.angles[i] != angle)
                continue;
            *headOffset = run.headOffset + i * HEADPHONE_HEAD_BLOCK;
            *tailOffset = run.tailOffset;
            *tailLen = run.tailLen;
            return true;
        }
    }
    return false;
}

int32_t HeadphoneBankFindCtc(int32_t angle)
{
    for (const HeadphoneCtcEntry& entry : HeadphoneCtcEntries)
    {
        if (entry.angle == angle)
            return entry.offset;
    }
    return -1;
}
