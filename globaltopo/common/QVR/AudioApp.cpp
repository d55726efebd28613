#include "globaltopo/common/QVR/AudioApp.h"

#include "primitives/dsp.h"

namespace
{
const char kFile[] = "AudioApp";
constexpr int32_t kDataLen = HEADPHONEFIR_N;
// Raised on every input sample so that silence never reaches the filters as
// exact zeros.
constexpr float kInputOffset = 1.0e-10f;

int32_t Min(int32_t a, int32_t b)
{
    return a < b ? a : b;
}

int32_t Max(int32_t a, int32_t b)
{
    return a > b ? a : b;
}

// Destination c takes source c where there is one, else silence.
void CopyChannels(float* const* dst, int32_t nDst, float* const* src, int32_t nSrc, int32_t len)
{
    for (int32_t c = 0; c < nDst; ++c)
    {
        if (c >= nSrc)
            DspZero32f(dst[c], len);
        else if (dst[c] != src[c])
            DspCopy32f(src[c], dst[c], len);
    }
}

void FreeTable(float* (&table)[QVR_MAX_CHANNELS])
{
    for (float*& buffer : table)
        QvrFreeFloats(buffer);
}

// Zeroed buffers of len floats for the first count entries of a table.
bool AllocTable(float* (&table)[QVR_MAX_CHANNELS], int32_t count, int32_t len)
{
    bool ok = true;
    for (int32_t c = 0; c < count; ++c)
    {
        table[c] = QvrAllocFloats(len);
        ok = ok && table[c] != nullptr;
    }
    return ok;
}

bool ChannelCountSupported(int32_t count)
{
    return count >= 1 && count <= QVR_MAX_CHANNELS;
}
} // namespace

void CAudioAppBase::AudioAppRunFilter(float* const*, int32_t, float* const*, int32_t, int32_t) {}

void CAudioAppBase::AudioAppReset() {}

CAudioApp::CAudioApp(const float* bank)
    : m_nSampleRate(ENGINE_RATE), m_nRealDataLen(kDataLen), m_nEngineRate(ENGINE_RATE),
      m_nDataLen(kDataLen), m_nInChannels(6), m_nOutChannels(2), m_nFillPos(0), m_pInBlock(),
      m_pOutBlock(), m_nSrcDirection(0), m_nSrcFactor(1), m_pSrc(), m_pEngineIn(), m_pEngineOut(),
      m_bReady(false), m_HeadphoneFir(bank)
{
    AudioAppConfigure(ENGINE_RATE, 6, 2);
}

CAudioApp::~CAudioApp()
{
    AudioAppFree();
}

int32_t CAudioApp::AudioAppConfigure(int32_t sampleRate, int32_t inChannels, int32_t outChannels)
{
    m_nSampleRate = sampleRate;
    m_nInChannels = inChannels;
    m_nOutChannels = outChannels;
    m_nEngineRate = ENGINE_RATE;
    m_nDataLen = kDataLen;
    m_bReady = AudioAppInit();
    AudioAppReset();
    return m_bReady ? 1 : 0;
}

bool CAudioApp::AudioAppInit()
{
    m_nSrcDirection = 0;
    m_nSrcFactor = 1;
    m_nRealDataLen = m_nDataLen;
    if (m_nSampleRate > m_nEngineRate)
    {
        m_nSrcDirection = 1;
        m_nSrcFactor = m_nSampleRate / m_nEngineRate;
        m_nRealDataLen = m_nSrcFactor * m_nDataLen;
    }
    else if (m_nSampleRate < m_nEngineRate && m_nSampleRate > 0)
    {
        m_nSrcDirection = -1;
        m_nSrcFactor = m_nEngineRate / m_nSampleRate;
        m_nRealDataLen = m_nDataLen / m_nSrcFactor;
        QvrCheck(m_nDataLen % m_nSrcFactor == 0, "(m_nDataLen%m_nSrcFactor)==0", kFile, 60);
    }
    const bool lengthOk = QvrCheck(m_nRealDataLen <= EachChannelSampleCntMax,
                                   "m_nRealDataLen<=EachChannelSampleCntMax", kFile, 67);
    AudioAppFree();
    m_nFillPos = 0;
    // Rates whose blocks the conversion filters cannot take, rates without a
    // conversion filter and channel tables the engine does not have are
    // refused here instead of overrunning buffers while streaming.
    if (m_nSampleRate < 1 || !lengthOk || m_nRealDataLen < 1 || m_nSrcFactor > SRC_MAX_FACTOR ||
        !ChannelCountSupported(m_nInChannels) || !ChannelCountSupported(m_nOutChannels))
        return false;
    bool ok = AllocTable(m_pInBlock, m_nInChannels, m_nRealDataLen);
    ok = AllocTable(m_pOutBlock, m_nOutChannels, m_nRealDataLen) && ok;
    // Converter c serves input c and output c, so there is one for every
    // channel of either side; the filter writes two outputs whatever the
    // channel counts.
    const int32_t converted = Max(m_nInChannels, m_nOutChannels);
    for (int32_t c = 0; m_nSrcDirection != 0 && c < converted; ++c)
    {
        m_pSrc[c] = new CSrc(m_nSampleRate, m_nEngineRate);
        ok = ok && m_pSrc[c] != nullptr && m_pSrc[c]->SrcReady();
    }
    ok = AllocTable(m_pEngineIn, m_nInChannels, m_nDataLen) && ok;
    ok = AllocTable(m_pEngineOut, Max(converted, 2), m_nDataLen) && ok;
    return ok && m_HeadphoneFir.HeadphoneFirReady();
}

void CAudioApp::AudioAppFree()
{
    FreeTable(m_pInBlock);
    FreeTable(m_pOutBlock);
    for (CSrc*& src : m_pSrc)
    {
        delete src;
        src = nullptr;
    }
    FreeTable(m_pEngineIn);
    FreeTable(m_pEngineOut);
}

void CAudioApp::AudioAppReset()
{
    m_HeadphoneFir.HeadphoneFirReset();
}

void CAudioApp::AudioAppRunFilter(float* const* out, int32_t nOut, float* const* in, int32_t nIn,
                                  int32_t len)
{
    m_HeadphoneFir.HeadphoneFirProcess(out, nOut, in, nIn, len);
}

int32_t CAudioApp::AudioAppProcess(float* const* out, int32_t nOut, float* const* in, int32_t nIn,
                                   uint32_t frames)
{
    if (!m_bReady)
    {
        // An engine that could not be configured passes its input through.
        CopyChannels(out, nOut, in, nIn,
                     frames > (uint32_t)INT32_MAX ? INT32_MAX : (int32_t)frames);
        return 0;
    }
    nOut = Min(nOut, m_nOutChannels);
    nIn = Min(nIn, m_nInChannels);
    const int64_t blocks = ((int64_t)m_nFillPos + frames) / m_nRealDataLen;
    int64_t left = frames;
    int64_t done = 0;
    int32_t chunk =
        (int32_t)(left < m_nRealDataLen - m_nFillPos ? left : m_nRealDataLen - m_nFillPos);
    while (chunk > 0)
    {
        for (int32_t c = 0; c < nIn; ++c)
            QvrAddConst(kInputOffset, in[c] + done, m_pInBlock[c] + m_nFillPos, chunk);
        for (int32_t c = 0; c < nOut; ++c)
            DspCopy32f(m_pOutBlock[c] + m_nFillPos, out[c] + done, chunk);
        m_nFillPos += chunk;
        done += chunk;
        if (m_nFillPos == m_nRealDataLen)
        {
            AudioAppProcessBlock(nOut, nIn);
            m_nFillPos = 0;
        }
        left -= chunk;
        chunk = (int32_t)(left < m_nRealDataLen ? left : m_nRealDataLen);
    }
    return (int32_t)blocks;
}

void CAudioApp::AudioAppProcessBlock(int32_t nOut, int32_t nIn)
{
    AudioAppInputStage(nIn);
    AudioAppRunFilter(m_pEngineOut, nOut, m_pEngineIn, nIn, m_nDataLen);
    AudioAppOutputStage(nOut);
}

// Converts the first count channels of a table into another, one converter
// per channel; equal rates copy.
void CAudioApp::ConvertChannels(float* const* dst, float* const* src, int32_t count, int32_t len,
                                bool decimate)
{
    if (m_nSrcDirection == 0)
    {
        CopyChannels(dst, count, src, count, len);
        return;
    }
    if (decimate)
        CSrc::SrcDecimateLanes(m_pSrc, count, dst, src, len);
    else
        CSrc::SrcInterpolateLanes(m_pSrc, count, dst, src, len);
}

void CAudioApp::AudioAppInputStage(int32_t nIn)
{
    ConvertChannels(m_pEngineIn, m_pInBlock, nIn, m_nRealDataLen, m_nSrcDirection > 0);
}

void CAudioApp::AudioAppOutputStage(int32_t nOut)
{
    // Equal rates copy a device block; converters take an engine block.
    ConvertChannels(m_pOutBlock, m_pEngineOut, nOut,
                    m_nSrcDirection == 0 ? m_nRealDataLen : m_nDataLen, m_nSrcDirection < 0);
}
