// The audio function of composite configurations: the AudioControl interface
// chosen by its collection, and which AudioStreaming and MIDI interfaces are
// its own.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "framework/audio_function.h"

namespace
{
using Bytes = std::vector<UCHAR>;

// "i N S P": interface N of subclass S (1 control, 2 streaming, 3 MIDI) and
// protocol P; "h N ... ;": a class 1.0 header naming interfaces; "a F C": an
// association of C interfaces from F.
Bytes Configuration(const std::string& text)
{
    Bytes c = {9, 2, 0, 0, 4, 1, 0, 0x80, 50};
    std::istringstream in(text);
    std::string kind;
    for (int a = 0, b = 0, p = 0; in >> kind;)
        if (kind == "i" && in >> a >> b >> p)
            c.insert(c.end(), {9, 4, (UCHAR)a, 0, 0, 1, (UCHAR)b, (UCHAR)p, 0});
        else if (kind == "a" && in >> a >> b)
            c.insert(c.end(), {8, 0x0B, (UCHAR)a, (UCHAR)b, 1, 0, 0x20, 0});
        else if (kind == "h")
        {
            const size_t at = c.size();
            c.insert(c.end(), {8, 0x24, 1, 0, 1, 0, 0, 0});
            for (std::string n; in >> n && n != ";"; ++c[at], ++c[at + 7])
                c.push_back((UCHAR)std::stoi(n));
        }
    c[2] = (UCHAR)c.size();
    return c;
}
} // namespace

// The AudioControl interface chosen is the one whose collection holds the
// streams; its streams and MIDI interface are of that collection, not of
// another function's that comes first.
TEST(AudioFunction, TheControlInterfaceIsTheOneOfTheStreams)
{
    const struct
    {
        const char* What;
        const char* Configuration;
        int Chosen; // -1: none
        std::vector<UCHAR> Streams, Own;
        int Midi = -1; // the chosen function's
    } cases[] = {
        {"MIDI first", "i 0 1 0 h 1 ; i 1 3 0 i 2 1 0 h 3 ; i 3 2 0", 2, {3}, {3}},
        {"two audio functions", "i 0 1 0 h 1 ; i 1 2 0 i 2 1 0 h 3 ; i 3 2 0", 0, {1, 3}, {1}},
        {"class 2.0 by association",
         "a 0 2 i 0 1 0 h 1 ; i 1 3 0 a 2 3 i 2 1 32 i 3 2 32 i 4 2 32",
         2,
         {3, 4},
         {3, 4}},
        // A class 2.0 header's bytes are no collection, though a class 1.0
        // reading would find interface 2 in them.
        {"class 2.0 header", "i 0 1 32 h 2 ; i 1 1 0 h 3 ; i 2 2 0 i 3 2 0", 1, {2, 3}, {3}},
        {"no collection holds a stream", "i 0 1 0 h ; i 1 2 0", 0, {1}, {1}},
        {"no AudioControl interface", "i 0 2 0", -1, {}, {}},
        {"MIDI in both", "i 0 1 0 h 1 ; i 1 3 0 i 2 1 0 h 3 4 ; i 3 3 0 i 4 2 0", 2, {4}, {4}, 3},
    };
    for (const auto& c : cases)
    {
        Bytes bytes = Configuration(c.Configuration);
        auto configuration = (PUSB_CONFIGURATION_DESCRIPTOR)bytes.data();
        PUSB_INTERFACE_DESCRIPTOR chosen = FindAudioFunctionControl(configuration);
        EXPECT_EQ(c.Chosen, chosen != nullptr ? chosen->bInterfaceNumber : -1) << c.What;
        std::vector<UCHAR> own;
        for (UCHAR n : c.Streams)
            if (chosen != nullptr && InAudioFunction(configuration, chosen->bInterfaceNumber, n))
                own.push_back(n);
        EXPECT_EQ(c.Own, own) << c.What;
        UCHAR midi = 0xEE;
        const bool found = chosen != nullptr && FindFunctionMidiInterface(
                                                    configuration, chosen->bInterfaceNumber, &midi);
        EXPECT_EQ(c.Midi, found ? midi : -1) << c.What;
    }
}
