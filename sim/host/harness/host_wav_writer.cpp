#include "sim/host/harness/host_wav_writer.h"

#include <sndfile.h>

HostWavWriter::~HostWavWriter()
{
    std::string ignored;
    Close(&ignored);
}

bool HostWavWriter::Open(const HostAudio& format, std::string* error)
{
    m_Format = {format.Rate, format.Channels, format.BitsPerSample, {}, format.ValidBits};
    SF_INFO info = {};
    info.samplerate = (int)format.Rate;
    info.channels = format.Channels;
    if (const int encoding = HostWavEncoding(format.BitsPerSample); encoding != 0)
        info.format =
            (format.Valid() < format.BitsPerSample ? SF_FORMAT_WAVEX : SF_FORMAT_WAV) | encoding;
    if (info.format == 0 || !sf_format_check(&info))
    {
        *error = m_Path + ": no WAV encoding for " + std::to_string(format.Channels) +
                 " channel(s) of " + std::to_string(format.BitsPerSample) + " bits at " +
                 std::to_string(format.Rate) + " Hz";
        return false;
    }
    m_File = sf_open(m_Path.c_str(), SFM_WRITE, &info);
    if (m_File == nullptr)
    {
        *error = m_Path + ": " + sf_strerror(nullptr);
        return false;
    }
    m_Frames = 0;
    m_Made = true;
    return true;
}

bool HostWavWriter::Write(const UCHAR* data, size_t bytes, std::string* error)
{
    if (bytes == 0)
        return true;
    if (m_File == nullptr || m_Format.FrameBytes() == 0 || bytes % m_Format.FrameBytes() != 0)
    {
        *error = m_Path + ": not open for whole frames";
        return false;
    }
    const sf_count_t written = sf_write_raw(m_File, data, (sf_count_t)bytes);
    m_Frames += written > 0 ? (ULONGLONG)written / m_Format.FrameBytes() : 0;
    if (written == (sf_count_t)bytes)
        return true;
    *error = m_Path + ": " + sf_strerror(m_File);
    // A write cut short (a full disk, a file-size limit) may end inside a
    // frame: the file keeps the whole frames before it.
    sf_count_t frames = (sf_count_t)m_Frames;
    sf_command(m_File, SFC_FILE_TRUNCATE, &frames, sizeof(frames));
    return false;
}

bool HostWavWriter::Close(std::string* error)
{
    if (m_File == nullptr)
        return true;
    const int closed = sf_close(m_File);
    m_File = nullptr;
    if (closed != 0)
    {
        *error = m_Path + ": " + sf_error_number(closed);
        return false;
    }
    return m_Format.Valid() >= m_Format.BitsPerSample ||
           HostSetValidBits(m_Path, m_Format.Valid(), error);
}
