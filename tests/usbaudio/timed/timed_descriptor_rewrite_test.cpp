// The timed chip's configuration cut to its switches, byte for byte: each
// expected descriptor is assembled here from the source's pieces by offset,
// with the rebuilt mixer and selector written out in full and both total
// lengths counted by hand. A descriptor whose fixed places do not hold what
// the layout says is refused and left as it was.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "sim/devices/sim_timed_preset.h"
#include "usbaudio/timed/descriptor_rewrite.h"

namespace
{
using Bytes = std::vector<UCHAR>;

// A piece of the source (offset, length) or literal bytes.
struct Part
{
    ULONG Offset = 0;
    ULONG Length = 0;
    Bytes Literal;
};
Part Src(ULONG offset, ULONG length)
{
    return {offset, length, {}};
}
Part Lit(Bytes bytes)
{
    return {0, 0, std::move(bytes)};
}

// The playback settings and the single-rate setting, whose rate becomes 96 kHz.
std::vector<Part> Streaming(std::initializer_list<ULONG> settings, bool recording)
{
    std::vector<Part> parts = {Src(218, 9)};
    for (ULONG offset : settings)
        parts.push_back(Src(offset, 46));
    Bytes single(SimTimedConfiguration().begin() + 411, SimTimedConfiguration().begin() + 454);
    single[24] = 0x00, single[25] = 0x77, single[26] = 0x01;
    parts.push_back(Lit(single));
    if (recording)
        parts.push_back(Src(454, 55));
    return parts;
}

Bytes Assemble(const std::vector<Part>& parts, ULONG total, ULONG audioControl)
{
    const Bytes& source = SimTimedConfiguration();
    Bytes out;
    for (const Part& p : parts)
    {
        if (!p.Literal.empty())
            out.insert(out.end(), p.Literal.begin(), p.Literal.end());
        else
            out.insert(out.end(), source.begin() + p.Offset, source.begin() + p.Offset + p.Length);
    }
    out[2] = (UCHAR)total, out[3] = (UCHAR)(total >> 8);
    out[23] = (UCHAR)audioControl, out[24] = (UCHAR)(audioControl >> 8);
    return out;
}

std::vector<Part> Join(std::vector<Part> a, const std::vector<Part>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes c_Mixer3of8 = {0x19, 0x24, 0x04, 0x0C, 0x03, 0x01, 0x09, 0x0B, 0x08,
                           0x3F, 0x06, 0x00, 0,    0,    0,    0,    0,    0,
                           0,    0,    0,    0,    0,    0,    0x00};

TimedSwitches With(std::initializer_list<TimedSwitch> on)
{
    TimedSwitches s;
    for (TimedSwitch one : on)
        s.Set(one);
    return s;
}

NTSTATUS Rewrite(Bytes* bytes, TimedSwitches* switches)
{
    return RewriteTimedConfiguration(bytes->data(), (ULONG)bytes->size(), switches);
}
} // namespace

// Each switch set gives exactly the pieces it keeps, with the mixer, the
// selector, the master unit, the recording terminal and the channel counts
// rewritten.
TEST(TimedDescriptorRewrite, EachSwitchSetGivesItsDescriptor)
{
    struct Case
    {
        const char* What;
        TimedSwitches Switches;
        Bytes Expected;
    } cases[] = {
        {"the presets: no stereo mix",
         With({DisableStereoMixRecUnit, SupportHPOut, SupportSpdifOut}),
         Assemble(Join({Src(0, 28), Src(28, 12), Src(40, 12), Src(52, 10), Src(62, 10),
                        Lit(c_Mixer3of8), Src(97, 16), Src(113, 9), Src(135, 9),
                        Lit({0x09, 0x24, 0x05, 0x11, 0x03, 0x08, 0x0F, 0x10, 0x00}), Src(154, 12),
                        Src(166, 10), Src(176, 10), Src(186, 12), Src(208, 10)},
                       Streaming({227, 273, 319, 365}, true)),
                  485, 176)},
        {"everything kept", With({}),
         Assemble(Join({Src(0, 218)}, Streaming({227, 273, 319, 365}, true)), 509, 200)},
        {"no microphone terminal", With({DisableMicInTerminal}),
         Assemble(Join({Src(0, 28), Src(28, 12),
                        Lit({0x16, 0x24, 0x04, 0x0C, 0x02, 0x01, 0x0B, 0x08, 0x3F, 0x06, 0x00,
                             0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x00}),
                        Src(97, 16), Src(113, 9), Src(135, 9),
                        Lit({0x08, 0x24, 0x05, 0x11, 0x02, 0x0F, 0x10, 0x00}), Src(154, 12),
                        Src(166, 10), Src(176, 10), Src(186, 12), Src(208, 10)},
                       Streaming({227, 273, 319, 365}, true)),
                  449, 140)},
        {"six channels at most", With({Disable8ChOutSupported, DisableStereoMixRecUnit}),
         Assemble(
             Join({Src(0, 28),
                   Lit({0x0C, 0x24, 0x02, 0x01, 0x01, 0x01, 0x00, 0x06, 0x3F, 0x00, 0x00, 0x00}),
                   Src(40, 12), Src(52, 10), Src(62, 10),
                   Lit({0x15, 0x24, 0x04, 0x0C, 0x03, 0x01, 0x09, 0x0B, 0x06, 0x3F, 0x00,
                        0x00, 0,    0,    0,    0,    0,    0,    0,    0,    0x00}),
                   Lit({0x0E, 0x24, 0x06, 0x0D, 0x0C, 0x01, 0x01, 0x02, 0x02, 0x02, 0x02, 0x02,
                        0x02, 0x00}),
                   Src(113, 9), Src(135, 9),
                   Lit({0x09, 0x24, 0x05, 0x11, 0x03, 0x08, 0x0F, 0x10, 0x00}), Src(154, 12),
                   Src(166, 10), Src(176, 10), Src(186, 12), Src(208, 10)},
                  Streaming({273, 319, 365}, true)),
             433, 170)},
        {"no two-channel setting", With({Disable2ChOutSupported}),
         Assemble(Join({Src(0, 218)}, Streaming({227, 319, 365}, true)), 463, 200)},
        {"no recording terminal at all",
         With({DisableMicInTerminal, DisableLineInTerminal, DisableSpdifInTerminal}),
         Assemble(Join({Src(0, 28), Src(28, 12),
                        Lit({0x10, 0x24, 0x06, 0x0D, 0x01, 0x01, 0x01, 0x02, 0x02, 0x02, 0x02, 0x02,
                             0x02, 0x02, 0x02, 0x00}),
                        Src(113, 9)},
                       Streaming({227, 273, 319, 365}, false)),
                  301, 47)},
        {"S/PDIF the only recording source", With({DisableMicInTerminal, DisableLineInTerminal}),
         Assemble(Join({Src(0, 28), Src(28, 12),
                        Lit({0x10, 0x24, 0x06, 0x0D, 0x01, 0x01, 0x01, 0x02, 0x02, 0x02, 0x02, 0x02,
                             0x02, 0x02, 0x02, 0x00}),
                        Src(113, 9), Lit({0x09, 0x24, 0x03, 0x12, 0x01, 0x01, 0x00, 0x10, 0x00}),
                        Src(186, 12), Src(208, 10)},
                       Streaming({227, 273, 319, 365}, true)),
                  387, 78)},
        // The recording terminal follows a stereo mix that is left alone.
        {"stereo mix the only recording source",
         With({DisableMicInRecUnit, DisableLineInRecUnit, DisableSpdifInTerminal}),
         Assemble(Join({Src(0, 28), Src(28, 12), Src(40, 12), Src(62, 10), Lit(c_Mixer3of8),
                        Src(97, 16), Src(113, 9), Src(122, 13),
                        Lit({0x09, 0x24, 0x03, 0x12, 0x01, 0x01, 0x00, 0x02, 0x00}), Src(154, 12),
                        Src(176, 10), Src(198, 10)},
                       Streaming({227, 273, 319, 365}, true)),
                  457, 148)},
        // With no source left the recording side goes: its terminal would
        // name a selector that is gone.
        {"no recording source left",
         With({DisableMicInRecUnit, DisableLineInTerminal, DisableSpdifInTerminal}),
         Assemble(Join({Src(0, 28), Src(28, 12), Src(40, 12), Src(62, 10),
                        Lit({0x16, 0x24, 0x04, 0x0C, 0x02, 0x01, 0x09, 0x08, 0x3F, 0x06, 0x00,
                             0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x00}),
                        Src(97, 16), Src(113, 9)},
                       Streaming({227, 273, 319, 365}, false)),
                  345, 91)},
    };
    for (Case& c : cases)
    {
        Bytes bytes = SimTimedConfiguration();
        ASSERT_EQ(STATUS_SUCCESS, Rewrite(&bytes, &c.Switches)) << c.What;
        bytes.resize(c.Expected.size());
        EXPECT_EQ(c.Expected, bytes) << c.What;
        EXPECT_EQ(c.Expected.size(), (size_t)(c.Expected[2] | c.Expected[3] << 8)) << c.What;
    }
}

// A terminal that is gone takes its paths with it; the caller sees that.
TEST(TimedDescriptorRewrite, SwitchConsequencesReachTheCaller)
{
    struct Case
    {
        TimedSwitch On;
        std::vector<TimedSwitch> Implied;
    } cases[] = {
        {DisableMicInTerminal, {DisableStereoMixRecUnit, DisableMicInAAUnit, DisableMicInRecUnit}},
        {DisableLineInTerminal,
         {DisableStereoMixRecUnit, DisableLineInRecUnit, DisableLineInAAUnit}},
        {DisableMicInAAUnit, {DisableStereoMixRecUnit}},
        {DisableLineInAAUnit, {DisableStereoMixRecUnit}},
        {DisableMicInRecUnit, {}},
    };
    for (const Case& c : cases)
    {
        TimedSwitches switches = With({c.On});
        Bytes bytes = SimTimedConfiguration();
        ASSERT_EQ(STATUS_SUCCESS, Rewrite(&bytes, &switches));
        ULONG on = 0;
        for (UCHAR v : switches.Value)
            on += v != 0 ? 1 : 0;
        EXPECT_EQ(1 + c.Implied.size(), on) << c.On;
        for (TimedSwitch implied : c.Implied)
            EXPECT_TRUE(switches.Has(implied)) << c.On << " " << implied;
    }
}

// Without either the six- or the eight-channel setting the rewrite refuses
// and the descriptor stays.
TEST(TimedDescriptorRewrite, SixAndEightBothDisabledIsRefused)
{
    TimedSwitches switches = With({Disable6ChOutSupported, Disable8ChOutSupported});
    Bytes bytes = SimTimedConfiguration();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Rewrite(&bytes, &switches));
    EXPECT_EQ(SimTimedConfiguration(), bytes);
}

// Every fixed place is checked before anything is written: the length, the
// type, the subtype, the ids the walks rely on, and the total length
// against the layout and the buffer.
TEST(TimedDescriptorRewrite, AnotherLayoutIsRefusedUnchanged)
{
    struct Case
    {
        const char* What;
        ULONG Offset;
        UCHAR Value;
        ULONG BufferBytes;
    } cases[] = {
        {"total one below the layout", 2, 0xFC, 509},
        {"total beyond the buffer", 2, 0xFE, 509},
        {"buffer one below the layout", 2, 0xFD, 508},
        {"configuration type", 1, 0x03, 509},
        {"AudioControl subclass", 9 + 6, 0x02, 509},
        {"playback terminal id", 28 + 3, 0x04, 509},
        {"playback terminal subtype", 28 + 2, 0x03, 509},
        {"master unit one byte shorter", 97, 15, 509},
        {"master unit id", 97 + 3, 14, 509},
        {"master unit control size", 97 + 5, 2, 509},
        {"master unit not fed by the mixer", 97 + 4, 0x01, 509},
        {"speaker terminal type", 113 + 1, 0x25, 509},
        {"stereo-mix unit id", 198 + 3, 0x03, 509},
        {"S/PDIF unit id", 208 + 3, 0x11, 509},
        {"recording terminal not fed by the selector", 135 + 7, 0x08, 509},
        {"mixer length", 72, 24, 509},
        {"selector subtype", 144 + 2, 0x04, 509},
        {"fifth playback setting", 411 + 3, 6, 509},
        {"single-rate setting with two rates", 427 + 7, 2, 509},
        {"recording interface subclass", 454 + 6, 0x01, 509},
        {"an endpoint inside a setting one byte longer", 227 + 30, 10, 509},
    };
    for (const Case& c : cases)
    {
        Bytes bytes = SimTimedConfiguration();
        bytes[c.Offset] = c.Value;
        const Bytes before = bytes;
        TimedSwitches switches;
        EXPECT_FALSE(IsTimedConfigurationLayout(bytes.data(), c.BufferBytes)) << c.What;
        EXPECT_EQ(STATUS_UNSUCCESSFUL,
                  RewriteTimedConfiguration(bytes.data(), c.BufferBytes, &switches))
            << c.What;
        EXPECT_EQ(before, bytes) << c.What;
    }
    Bytes exact = SimTimedConfiguration();
    EXPECT_TRUE(IsTimedConfigurationLayout(exact.data(), 509));
}
