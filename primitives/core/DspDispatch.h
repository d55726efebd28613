// The two dispatch tables: one row of four code pointers per public routine,
// the implementation of level L of row k in slot 4k + L. They are constant
// data in the image; nothing fills them at run time.
#pragma once

#include "primitives/dsp.h"

// A slot holds any routine; the entry routine converts it back to its own
// signature, so the code pointer stays a function pointer on the way.
using DspCodePtr = void (*)();

inline constexpr int DspDispatchRows = 25;
inline constexpr int DspDispatch2Rows = 30;

extern const DspCodePtr DspDispatchTable[DspDispatchRows * 4];
extern const DspCodePtr DspDispatchTable2[DspDispatch2Rows * 4];

// A table row: the four implementations of one entry routine, each checked
// against the entry routine's own signature at compile time.
#define DSP_SLOT(entry, impl) reinterpret_cast<DspCodePtr>(static_cast<decltype(&entry)>(&impl))
#define DSP_ROW(entry, l0, l1, l2, l3)                                                             \
    DSP_SLOT(entry, l0), DSP_SLOT(entry, l1), DSP_SLOT(entry, l2), DSP_SLOT(entry, l3)

// The implementation an entry routine continues in. The level is used as it
// stands: only 0..3 are valid values.
#define DSP_TARGET(table, row, entry)                                                              \
    reinterpret_cast<decltype(&entry)>(table[4 * (row) + static_cast<int64_t>(DspCpuLevel)])
