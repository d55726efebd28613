// A file to play made as it is read, of any length: 16-bit stereo, silent
// for its first frames and then a ramp none of whose frames is silent.
#pragma once

#include <algorithm>

#include "platform/kernel/emu.h"
#include "sim/host/harness/host_play_source.h"

// Reading fails at frame `cut`, as a file cut short while it plays does.
// Each read notes how far the frames read run ahead of the emulated time
// since the first read.
class RampSource : public HostPlaySource
{
  public:
    RampSource(ULONGLONG frames, ULONG rate = 48000, ULONGLONG silent = 0, ULONGLONG cut = ~0ull)
        : m_Format{rate, 2, 16, {}}, m_Frames(frames), m_Silent(silent), m_Cut(cut)
    {
    }
    const HostAudio& Format() const override { return m_Format; }
    ULONGLONG Frames() const override { return m_Frames; }
    ULONGLONG Read(UCHAR* to, ULONGLONG frames, std::string* error) override
    {
        m_Start = m_Next == 0 ? EmuNow() : m_Start;
        const ULONGLONG got = std::min({frames, m_Frames - m_Next, m_Cut - m_Next});
        for (ULONGLONG i = m_Next * 4; i < (m_Next + got) * 4; ++i)
            *to++ = i < m_Silent * 4 ? 0 : (UCHAR)(1 + i % 251);
        m_Next += got;
        const ULONGLONG due = (EmuNow() - m_Start) * m_Format.Rate / 10000000;
        m_Ahead = std::max(m_Ahead, (LONGLONG)(m_Next - due));
        if (got < frames && m_Next == m_Cut)
            *error = "the file ends at frame " + std::to_string(m_Cut);
        return got;
    }
    std::unique_ptr<HostPlaySource> Again(std::string*) const override
    {
        return std::make_unique<RampSource>(m_Frames, m_Format.Rate, m_Silent, m_Cut);
    }
    LONGLONG Ahead() const { return m_Ahead; }

  private:
    const HostAudio m_Format;
    const ULONGLONG m_Frames, m_Silent, m_Cut;
    ULONGLONG m_Next = 0, m_Start = 0;
    LONGLONG m_Ahead = 0;
};
