// Processor identification and the processor level. The level starts at 0 and
// the driver never changes it; a processor-specific build calls
// DspInitCpuLevel once before the first routine.
#include "primitives/core/DspCpu.h"

#include <cmath>
#include <cstring>

#include "platform/cpu/cpu.h"

int32_t DspCpuLevel = DspLevelGeneric;

// The processor probe set lives in a code section of its own.
#define DSP_RT_CODE __attribute__((section("RT_CODE")))

namespace
{
struct Leaf
{
    uint32_t Eax, Ebx, Ecx, Edx;
};

Leaf Query(int32_t leaf, int32_t subleaf = 0)
{
    uint32_t r[4];
    DspCpuid(r, leaf, subleaf);
    return Leaf{r[0], r[1], r[2], r[3]};
}

inline int32_t Bit(uint32_t word, int bit)
{
    return static_cast<int32_t>((word >> bit) & 1u);
}

// Descriptor bytes of leaf 2 and the size code of each cache they name, in the
// order in which the first match decides.
struct CacheDescriptor
{
    uint8_t Descriptor;
    uint8_t SizeCode; // size = (code >> 4) << ((code & 15) + 18)
};
constexpr CacheDescriptor CacheDescriptors[] = {
    {0x4D, 0x16}, {0x4C, 0x34}, {0x4B, 0x15}, {0x47, 0x15}, {0x4E, 0x33}, {0x4A, 0x33},
    {0x49, 0x14}, {0x29, 0x14}, {0x46, 0x14}, {0x48, 0x32}, {0x25, 0x13}, {0x7D, 0x13},
    {0x85, 0x13}, {0x45, 0x13}, {0x23, 0x12}, {0x87, 0x12}, {0x7C, 0x12}, {0x78, 0x12},
    {0x84, 0x12}, {0x44, 0x12}, {0x22, 0x11}, {0x7B, 0x11}, {0x80, 0x11}, {0x86, 0x11},
    {0x3E, 0x11}, {0x7F, 0x11}, {0x83, 0x11}, {0x43, 0x11}, {0x00, 0x00}};

// Collects the descriptor bytes of leaf 2; false when its al byte is not 1.
bool Leaf2Descriptors(uint8_t bytes[15], int* count)
{
    const Leaf l = Query(2);
    if ((l.Eax & 0xFF) != 1)
        return false;
    int n = 0;
    const uint32_t regs[4] = {l.Eax, l.Ebx, l.Ecx, l.Edx};
    for (int r = 0; r < 4; ++r)
    {
        const uint32_t v = (regs[r] & 0x80000000u) != 0 ? 0 : regs[r];
        if (v == 0)
            continue;
        for (int b = (r == 0 ? 1 : 0); b < 4; ++b)
            bytes[n++] = static_cast<uint8_t>(v >> (8 * b));
    }
    *count = n;
    return true;
}

bool HasDescriptor(const uint8_t* bytes, int count, uint8_t d)
{
    for (int i = 0; i < count; ++i)
        if (bytes[i] == d)
            return true;
    return false;
}

// The level each processor-type code stands for. The initialiser takes the
// level of any code, unlisted ones giving the generic level; the setter takes
// only the settable ones and refuses the rest, the SSE3 code among them.
struct CpuTypeLevel
{
    int32_t CpuType;
    int32_t Level;
    bool Settable;
};
constexpr CpuTypeLevel CpuTypeLevels[] = {
    {-1, DspLevelGeneric, true},
    {DspCpuTypeUnknown, DspLevelGeneric, true},
    {32, DspLevelSse3, true},
    {DspCpuTypeIntelCore2Duo, DspLevelSsse3, true},
    {DspCpuTypeIntelCore2Quad, DspLevelSsse3, true},
    {DspCpuTypeIntelCoreI7, DspLevelSse4, true},
    {DspCpuTypeIntelAtom, DspLevelSsse3, true},
    {37, DspLevelSse4, true},
    {DspCpuTypeSse3, DspLevelSse3, false},
    {DspCpuTypeSsse3, DspLevelSsse3, true},
    {DspCpuTypeSse41, DspLevelSse4, true},
    {DspCpuTypeSse42, DspLevelSse4, true},
    {DspCpuTypeLongMode, DspLevelGeneric, true},
};

const CpuTypeLevel* FindCpuTypeLevel(int32_t cpuType)
{
    for (const CpuTypeLevel& row : CpuTypeLevels)
        if (row.CpuType == cpuType)
            return &row;
    return nullptr;
}
} // namespace

void DspCpuid(uint32_t regs[4], int32_t leaf, int32_t subleaf)
{
    int r[4];
    __cpuidex(r, leaf, subleaf);
    for (int i = 0; i < 4; ++i)
        regs[i] = static_cast<uint32_t>(r[i]);
}

// Every x86-64 processor has the identification instruction.
DSP_RT_CODE int32_t DspProbeCpu()
{
    return 1;
}

DSP_RT_CODE int32_t DspCpuIsGenuineIntel()
{
    const Leaf l = Query(0);
    return (l.Ebx == 0x756E6547u && l.Edx == 0x49656E69u && l.Ecx == 0x6C65746Eu) ? 1 : 0;
}

int32_t DspDetectCpuType()
{
    if (DspProbeCpu() == 0)
        return DspCpuTypeUnknown;
    const Leaf l1 = Query(1);
    uint32_t family = (l1.Eax >> 8) & 0xF;
    uint32_t model = (l1.Eax >> 4) & 0xF;
    const uint32_t extModel = (l1.Eax >> 16) & 0xF;
    const uint32_t extFamily = (l1.Eax >> 20) & 0xFF;
    const bool sse3 = Bit(l1.Ecx, 0), ssse3 = Bit(l1.Ecx, 9), sse41 = Bit(l1.Ecx, 19),
               sse42 = Bit(l1.Ecx, 20), sse = Bit(l1.Edx, 25), sse2 = Bit(l1.Edx, 26);
    const bool longMode = DspCpuHasLongMode() != 0;
    const int32_t cores = DspCpuCoresPerPackage();
    if (family == 6 || family == 15)
        model += extModel * 16;
    if (family == 15)
        family += extFamily;

    if (DspCpuIsGenuineIntel())
    {
        if (family == 6)
        {
            if (model == 0x0F && ssse3)
                return cores > 2 ? DspCpuTypeIntelCore2Quad : DspCpuTypeIntelCore2Duo;
            if (model == 0x17 && sse41)
                return DspCpuTypeSse41;
            if (model == 0x1A && sse42)
                return DspCpuTypeIntelCoreI7;
            if (model == 0x1C && ssse3)
                return DspCpuTypeIntelAtom;
        }
        else if (family == 15)
        {
            return DspCpuTypeSse3;
        }
    }
    if (sse42)
        return DspCpuTypeSse42;
    if (sse41)
        return DspCpuTypeSse41;
    if (ssse3)
        return DspCpuTypeSsse3;
    if (sse3)
        return DspCpuTypeSse3;
    if (sse2)
        return DspCpuTypeSse2;
    if (sse)
        return DspCpuTypeSse;
    if (longMode)
        return DspCpuTypeLongMode;
    return DspCpuTypeUnknown;
}

DspStatus DspInitCpuLevel()
{
    const CpuTypeLevel* row = FindCpuTypeLevel(DspDetectCpuType());
    DspCpuLevel = row != nullptr ? row->Level : DspLevelGeneric;
    if (DspProbeCpu() != 0 && DspCpuIsGenuineIntel() != 0)
        return DspStsNoErr;
    return DspStsNonIntelCpu;
}

DspStatus DspSetCpuLevel(int32_t cpuType)
{
    const CpuTypeLevel* row = FindCpuTypeLevel(cpuType);
    if (row == nullptr || !row->Settable)
        return DspStsCpuTypeNotAccepted;
    DspCpuLevel = row->Level;
    return DspStsNoErr;
}

// ---- probe set (nothing in the driver calls these)
DSP_RT_CODE uint32_t DspCpuMaxLeaf()
{
    return Query(0).Eax;
}
DSP_RT_CODE int32_t DspCpuHasTsc()
{
    return Bit(Query(1).Edx, 4);
}
DSP_RT_CODE int32_t DspCpuHasMmx()
{
    return Bit(Query(1).Edx, 23);
}
DSP_RT_CODE int32_t DspCpuHasSse()
{
    return Bit(Query(1).Edx, 25);
}
DSP_RT_CODE int32_t DspCpuHasSse2()
{
    return Bit(Query(1).Edx, 26);
}

DSP_RT_CODE int32_t DspCpuHasHtt()
{
    const Leaf l = Query(1);
    return (Bit(l.Edx, 28) && ((l.Ebx >> 16) & 0xFF) > 1) ? 1 : 0;
}

DSP_RT_CODE int32_t DspCpuHasSse3()
{
    return Bit(Query(1).Ecx, 0);
}
DSP_RT_CODE int32_t DspCpuHasSsse3()
{
    return Bit(Query(1).Ecx, 9);
}
DSP_RT_CODE int32_t DspCpuHasSse41()
{
    return Bit(Query(1).Ecx, 19);
}
DSP_RT_CODE int32_t DspCpuHasSse42()
{
    return Bit(Query(1).Ecx, 20);
}

DSP_RT_CODE int32_t DspCpuHasLongMode()
{
    if ((Query(static_cast<int32_t>(0x80000000u)).Eax & 0x7FFFFFFFu) == 0)
        return 0;
    return Bit(Query(static_cast<int32_t>(0x80000001u)).Edx, 29);
}

DSP_RT_CODE int32_t DspCpuCoresPerPackage()
{
    if (DspCpuMaxLeaf() < 4)
        return 1;
    return static_cast<int32_t>((Query(4, 0).Eax >> 26) & 0x3F) + 1;
}

DSP_RT_CODE void DspCpuInfo(DspCpuInfoRecord* record)
{
    if (record == nullptr)
        return;
    const Leaf l1 = Query(1);
    const Leaf l2 = Query(2);
    record->Family = (l1.Eax >> 8) & 0xF;
    record->Stepping = l1.Eax & 0xF;
    record->Model = (l1.Eax >> 4) & 0xF;
    record->TypeBits = (l1.Eax >> 11) & 0x3;
    record->FeatureEdx = l1.Edx;
    record->Leaf2Eax = l2.Eax;
    record->Leaf2Edx = l2.Edx;
    record->HasMmx = static_cast<uint32_t>(Bit(l1.Edx, 23));
    record->HasSse = static_cast<uint32_t>(Bit(l1.Edx, 25));
    record->HasSse2 = static_cast<uint32_t>(Bit(l1.Edx, 26));
    record->HasHtt = static_cast<uint32_t>(DspCpuHasHtt());
    record->HasSse3 = static_cast<uint32_t>(Bit(l1.Ecx, 0));
    record->HasLongMode = static_cast<uint32_t>(DspCpuHasLongMode());
    record->HasSsse3 = static_cast<uint32_t>(Bit(l1.Ecx, 9));
    record->CoresPerPackage = static_cast<uint32_t>(DspCpuCoresPerPackage());
    record->HasSse41 = static_cast<uint32_t>(Bit(l1.Ecx, 19));
    record->HasSse42 = static_cast<uint32_t>(Bit(l1.Ecx, 20));
    record->ExtendedFamily = (l1.Eax >> 20) & 0xFF;
    record->ExtendedModel = (l1.Eax >> 16) & 0xF;
}

DSP_RT_CODE uint64_t DspReadTimeStamp()
{
    return EmuRdtsc();
}

DSP_RT_CODE int32_t DspCacheSizeFromDescriptors(const uint32_t* table)
{
    uint8_t bytes[15];
    int count = 0;
    if (table == nullptr || !Leaf2Descriptors(bytes, &count))
        return -1;
    for (; table[0] != 0; table += 2)
        if (HasDescriptor(bytes, count, static_cast<uint8_t>(table[0])))
            return static_cast<int32_t>(table[1]);
    return -1;
}

int64_t DspCacheSizeBytes()
{
    if (!DspCpuIsGenuineIntel())
        return -1;
    uint8_t bytes[15];
    int count = 0;
    if (!Leaf2Descriptors(bytes, &count))
        return -1;
    for (const CacheDescriptor* d = CacheDescriptors; d->Descriptor != 0; ++d)
        if (HasDescriptor(bytes, count, d->Descriptor))
            return static_cast<int64_t>(d->SizeCode >> 4) << ((d->SizeCode & 15) + 18);
    return -1;
}

// ---- control and status registers
DSP_RT_CODE int32_t DspCpuHasDaz()
{
#if defined(__x86_64__)
    alignas(16) unsigned char area[512];
    std::memset(area, 0, sizeof area);
    __asm__ volatile("fxsave %0" : "=m"(area));
    uint32_t mask;
    std::memcpy(&mask, area + 28, 4);
    return (mask & 0x40u) != 0 ? 1 : 0;
#else
    return 0;
#endif
}

uint32_t DspGetMxcsr()
{
    return EmuGetMxcsr();
}
void DspSetMxcsr(uint32_t value)
{
    EmuSetMxcsr(value);
}

uint32_t DspResetMxcsr()
{
    const uint32_t old = EmuGetMxcsr();
    EmuSetMxcsr(0x1F80);
    return old;
}

uint32_t DspSetMxcsrMasked(uint32_t value, uint32_t mask)
{
    const uint32_t old = EmuGetMxcsr();
    EmuSetMxcsr((old & ~mask) | (value & mask));
    return old;
}

uint32_t DspSetMxcsrRounding(uint32_t bits)
{
    const uint32_t old = EmuGetMxcsr();
    if ((old & 0x6000u) != (bits & 0x6000u))
        EmuSetMxcsr((old & ~0x6000u) | (bits & 0x6000u));
    return old;
}

uint16_t DspGetX87Control()
{
    return EmuX87ControlWord();
}
void DspSetX87Control(uint16_t value)
{
    EmuSetX87ControlWord(value);
}

uint16_t DspSetX87ControlMasked(uint16_t value, uint16_t mask)
{
    const uint16_t old = EmuX87ControlWord();
    EmuSetX87ControlWord(static_cast<uint16_t>((old & ~mask) | (value & mask)));
    return old;
}

uint16_t DspSetX87ControlIfChanged(uint16_t value, uint16_t mask)
{
    const uint16_t old = EmuX87ControlWord();
    if (((old ^ value) & mask) != 0)
        EmuSetX87ControlWord(static_cast<uint16_t>((old & ~mask) | (value & mask)));
    return old;
}

uint16_t DspGetX87Status()
{
    return EmuX87StatusWord();
}

uint16_t DspGetAndClearX87Status()
{
    const uint16_t sw = EmuX87StatusWord();
#if defined(__x86_64__)
    __asm__ volatile("fnclex");
#endif
    return sw;
}

namespace
{
// x87 exception bits 0..5 (invalid, denormal, zero divide, overflow, underflow,
// precision) and their portable flags.
constexpr uint32_t PortableExceptionFlags[6] = {0x10, 0x80000, 0x8, 0x4, 0x2, 0x1};

uint32_t ExceptionsToPortable(uint32_t x87)
{
    uint32_t r = 0;
    for (int i = 0; i < 6; ++i)
        if ((x87 >> i) & 1u)
            r |= PortableExceptionFlags[i];
    return r;
}

uint32_t ExceptionsFromPortable(uint32_t portable)
{
    uint32_t r = 0;
    for (int i = 0; i < 6; ++i)
        if ((portable & PortableExceptionFlags[i]) != 0)
            r |= 1u << i;
    return r;
}

uint32_t ControlToPortable(uint16_t cw)
{
    uint32_t r = ExceptionsToPortable(cw & 0x3F);
    r |= (static_cast<uint32_t>(cw) & 0x0C00u) >> 2; // rounding field
    switch (cw & 0x0300)
    {
    case 0x0000:
        r |= 0x20000; // 24-bit precision
        break;
    case 0x0200:
        r |= 0x10000; // 53-bit
        break;
    default:
        break; // 64-bit
    }
    if ((cw & 0x1000) != 0)
        r |= 0x40000;
    return r;
}

uint16_t ControlFromPortable(uint32_t p, uint16_t old)
{
    uint32_t cw = old & ~0x1F3Fu;
    cw |= ExceptionsFromPortable(p);
    cw |= (p & 0x300u) << 2;
    switch (p & 0x30000u)
    {
    case 0x00000:
        cw |= 0x0300;
        break;
    case 0x10000:
        cw |= 0x0200;
        break;
    default:
        break; // 24-bit
    }
    if ((p & 0x40000u) != 0)
        cw |= 0x1000;
    return static_cast<uint16_t>(cw);
}
} // namespace

uint32_t DspControlFp(uint32_t value, uint32_t mask)
{
    const uint16_t old = EmuX87ControlWord();
    const uint32_t flags = (ControlToPortable(old) & ~mask) | (value & mask);
    EmuSetX87ControlWord(ControlFromPortable(flags, old));
    return ControlToPortable(EmuX87ControlWord());
}

uint32_t DspStatusFp()
{
    return ExceptionsToPortable(EmuX87StatusWord() & 0x3F);
}

uint32_t DspClearFp()
{
    return ExceptionsToPortable(DspGetAndClearX87Status() & 0x3F);
}

int32_t DspIsNan64f(double v)
{
    return std::isnan(v) ? 1 : 0;
}
int32_t DspIsFinite64f(double v)
{
    return std::isfinite(v) ? 1 : 0;
}
