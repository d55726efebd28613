#include "sim/host/harness/host_wav_writer.h"

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace
{
// What libsndfile writes before the samples of a WAV file: a plain one, and
// a WAVE_FORMAT_EXTENSIBLE one (its 40-byte format chunk and a fact chunk).
constexpr ULONGLONG kWavHeaderBytes = 44, kExtensibleHeaderBytes = 80;
// The most a WAV file's 32-bit RIFF size can say.
constexpr ULONGLONG kMostRiffBytes = 0xFFFFFFFF;

// The RIFF size of a file whose data starts at `dataAt`: the file but the
// RIFF chunk's id and size, with the pad byte after an odd data chunk.
ULONGLONG RiffBytes(ULONGLONG dataAt, ULONGLONG dataBytes)
{
    return dataAt + dataBytes + (dataBytes & 1) - 8;
}

bool PutNumber(int fd, off_t at, ULONGLONG value, ULONG bytes)
{
    UCHAR le[8];
    for (ULONG i = 0; i < bytes; ++i)
        le[i] = (UCHAR)(value >> (8 * i));
    return pwrite(fd, le, bytes, at) == (ssize_t)bytes;
}
} // namespace

HostWavWriter::~HostWavWriter()
{
    std::string ignored;
    Close(&ignored);
}

bool HostWavWriter::Open(const HostAudio& format, std::string* error)
{
    m_Format = {format.Rate, format.Channels, format.BitsPerSample, {}, format.ValidBits};
    const bool extensible = format.Valid() < format.BitsPerSample;
    const bool rf64 =
        m_MaxFrames != 0 && RiffBytes(extensible ? kExtensibleHeaderBytes : kWavHeaderBytes,
                                      m_MaxFrames * m_Format.FrameBytes()) > kMostRiffBytes;
    SF_INFO info = {};
    info.samplerate = (int)format.Rate;
    info.channels = format.Channels;
    if (const int encoding = HostWavEncoding(format.BitsPerSample); encoding != 0)
        info.format = (rf64         ? SF_FORMAT_RF64
                       : extensible ? SF_FORMAT_WAVEX
                                    : SF_FORMAT_WAV) |
                      encoding;
    if (info.format == 0 || !sf_format_check(&info))
        return Failed(error, "no WAV encoding for " + std::to_string(format.Channels) +
                                 " channel(s) of " + std::to_string(format.BitsPerSample) +
                                 " bits at " + std::to_string(format.Rate) + " Hz");
    // Opened as a shell's redirection opens it: through a link, which stays.
    m_Fd = open(m_Path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (m_Fd < 0)
        return Failed(error, strerror(errno));
    m_File = sf_open_fd(m_Fd, SFM_WRITE, &info, SF_FALSE);
    if (m_File == nullptr)
    {
        close(m_Fd);
        m_Fd = -1;
        return Failed(error, sf_strerror(nullptr));
    }
    m_Frames = m_HeaderFrames = 0;
    m_Made = true;
    // A device that reads nothing back (/dev/null) has no header to follow.
    // libsndfile's RF64 header says no sizes yet: it says 0 frames from here.
    m_Layout = HostReadWavLayout(m_Fd);
    return UpdateHeader(error);
}

bool HostWavWriter::Write(const UCHAR* data, size_t bytes, std::string* error)
{
    if (bytes == 0)
        return true;
    const ULONG frameBytes = m_Format.FrameBytes();
    if (m_File == nullptr || frameBytes == 0 || bytes % frameBytes != 0)
        return Failed(error, "not open for whole frames");
    // A WAV file takes the frames its RIFF size can still say.
    size_t take = bytes;
    if (!m_Layout.Rf64 && m_Layout.Data >= 0)
    {
        const ULONGLONG dataAt = (ULONGLONG)m_Layout.Data;
        ULONGLONG fit = (kMostRiffBytes + 8 - dataAt) / frameBytes;
        if (RiffBytes(dataAt, fit * frameBytes) > kMostRiffBytes)
            --fit; // its pad byte would not fit
        take = (size_t)std::min<ULONGLONG>(bytes, (fit - std::min(fit, m_Frames)) * frameBytes);
    }
    const bool first = m_Frames == 0;
    const sf_count_t written = sf_write_raw(m_File, data, (sf_count_t)take);
    m_Frames += written > 0 ? (ULONGLONG)written / frameBytes : 0;
    if (written != (sf_count_t)take)
    {
        *error = m_Path + ": " + sf_strerror(m_File);
        // A write cut short (a full disk, a file-size limit) may end inside a
        // frame: the file keeps the whole frames before it.
        sf_count_t frames = (sf_count_t)m_Frames;
        sf_command(m_File, SFC_FILE_TRUNCATE, &frames, sizeof(frames));
        return false;
    }
    if (take < bytes)
        return Failed(error, "a WAV file says no more than 4 GB (only a run known to pass "
                             "that is written as RF64)");
    // libsndfile writes its header again before the first samples.
    return (!first && m_Frames - m_HeaderFrames < m_Format.Rate) || UpdateHeader(error);
}

bool HostWavWriter::UpdateHeader(std::string* error)
{
    if (m_Layout.Data < 0)
        return true;
    const ULONGLONG data = m_Frames * m_Format.FrameBytes();
    const ULONGLONG riff = (ULONGLONG)m_Layout.Data + data - 8; // the pad byte comes at the end
    // The RIFF size first and the data size last: the header never says more
    // than the file holds.
    const bool put = m_Layout.Rf64 ? PutNumber(m_Fd, m_Layout.Ds64, riff, 8) &&
                                         PutNumber(m_Fd, m_Layout.Ds64 + 16, m_Frames, 8) &&
                                         PutNumber(m_Fd, m_Layout.Ds64 + 8, data, 8)
                                   : PutNumber(m_Fd, 4, riff, 4) &&
                                         (m_Layout.FactAt < 0 ||
                                          PutNumber(m_Fd, m_Layout.FactAt, m_Frames, 4)) &&
                                         PutNumber(m_Fd, m_Layout.Data - 4, data, 4);
    if (!put)
        return Failed(error, std::string("the header could not be updated: ") + strerror(errno));
    m_HeaderFrames = m_Frames;
    return PutValidBits(error);
}

bool HostWavWriter::PutValidBits(std::string* error)
{
    if (m_Format.Valid() >= m_Format.BitsPerSample || !m_Layout.Wave)
        return true;
    if (m_Layout.ValidBitsAt < 0 || !PutNumber(m_Fd, m_Layout.ValidBitsAt, m_Format.Valid(), 2))
        return Failed(error, "the valid bits could not be set in its format chunk");
    return true;
}

bool HostWavWriter::Close(std::string* error)
{
    if (m_File == nullptr)
        return true;
    const int closed = sf_close(m_File);
    m_File = nullptr;
    // libsndfile's last header says the container's bits again.
    bool worked = (closed == 0 || Failed(error, sf_error_number(closed))) && PutValidBits(error);
    if (close(m_Fd) != 0 && worked)
        worked = Failed(error, strerror(errno));
    m_Fd = -1;
    return worked;
}

bool HostWavWriter::Failed(std::string* error, const std::string& why)
{
    *error = m_Path + ": " + why;
    return false;
}
