#include "globaltopo/common/QVR/QvrEngine.h"

#include "globaltopo/common/SampleGuards.h"

namespace
{
constexpr int32_t kOutputChannels = 2;

// Angle fields and their codes in the family of flag 0 and of any other flag.
struct AngleCodeRow
{
    int32_t index;
    int32_t code;
    int32_t familyA;
    int32_t familyB;
};
constexpr AngleCodeRow kAngleCodes[] = {
    {0, 25, 24, 25},
    {1, 30, 29, 30},
    {2, 35, 34, 35},
    {3, 40, 39, 40},
};
constexpr int32_t kSingleSetCode = 31;

// Crosstalk-cancellation angle indices 0..4; other values are stored as given.
constexpr int32_t kCtcAngles[] = {5, 10, 15, 20, 30};
} // namespace

int32_t QvrAngleCode(int32_t flag, int32_t angle)
{
    if (angle == kSingleSetCode)
        return kSingleSetCode;
    for (const AngleCodeRow& row : kAngleCodes)
    {
        if (angle == row.index || angle == row.code)
            return flag != 0 ? row.familyB : row.familyA;
    }
    return -1;
}

void PlainMixTo2(float* const* out, int32_t nOut, float* const* in, int32_t nIn, uint32_t frames,
                 float divisor)
{
    (void)nOut;
    (void)nIn;
    const float s = 1.0f / divisor;
    const float centre = 0.707f;
    for (uint32_t i = 0; i < frames; ++i)
    {
        const float x0 = in[0][i], x1 = in[1][i], x2 = in[2][i], x3 = in[3][i];
        const float x4 = in[4][i], x5 = in[5][i], x6 = in[6][i], x7 = in[7][i];
        const float c = x2 * centre;
        float left = (c + x0 + x3 + x4) * s;
        float right = (c + x1 + x3 + x5) * s;
        left = s * x6 + left;
        right = s * x7 + right;
        out[0][i] = left;
        out[1][i] = right;
    }
}

CQvrEngine::CQvrEngine(const float* bank)
    : m_pAudioApp(new CAudioApp(bank)), m_bSpeakerMode(0), m_bEnable(0), m_nSpeakerRoom(1),
      m_nHeadphoneRoom(1), m_nSpeakerAngle(30), m_nHeadphoneAngle(30), m_nCTCAngle(20),
      m_nSpeakerFlag(0), m_nHeadphoneFlag(0)
{
}

CQvrEngine::~CQvrEngine()
{
    delete m_pAudioApp;
    m_pAudioApp = nullptr;
}

int32_t CQvrEngine::QvrConfigure(const WAVEFORMATEX* format)
{
    if (m_pAudioApp == nullptr || format == nullptr)
        return -1;
    return m_pAudioApp->AudioAppConfigure((int32_t)format->nSamplesPerSec, QVR_INPUT_CHANNELS,
                                          format->nChannels);
}

void CQvrEngine::QvrProcess(float* const* buffers, uint32_t frames)
{
    // A non-finite sample enters as silence, whichever path takes it.
    for (int32_t c = 0; c < QVR_INPUT_CHANNELS; ++c)
    {
        float* x = buffers[c];
        uint32_t i = 0;
        for (; i + 4 <= frames; i += 4)
            _mm_storeu_ps(x + i, FiniteOrZero(_mm_loadu_ps(x + i)));
        for (; i < frames; ++i)
            x[i] = FiniteOrZero(x[i]);
    }
    if (m_bEnable != 0 && m_pAudioApp != nullptr && m_pAudioApp->AudioAppIsReady())
        m_pAudioApp->AudioAppProcess(buffers, kOutputChannels, buffers, QVR_INPUT_CHANNELS, frames);
    else
        PlainMixTo2(buffers, kOutputChannels, buffers, QVR_INPUT_CHANNELS, frames, 2.0f);
}

void CQvrEngine::QvrSetEnable(int32_t value)
{
    m_bEnable = value;
}

void CQvrEngine::QvrSetSpeakerMode(int32_t value)
{
    m_bSpeakerMode = value;
    ApplyCtcAngle();
}

void CQvrEngine::QvrSetCtcAngle(int32_t value)
{
    m_nCTCAngle = value >= 0 && value < (int32_t)(sizeof kCtcAngles / sizeof kCtcAngles[0])
                      ? kCtcAngles[value]
                      : value;
    ApplyCtcAngle();
}

void CQvrEngine::ApplyCtcAngle()
{
    if (m_pAudioApp != nullptr)
        m_pAudioApp->HeadphoneFir().HeadphoneFirSetCTCAngle(m_bSpeakerMode != 0 ? m_nCTCAngle : 0);
}

void CQvrEngine::StoreAndApply(int32_t& field, int32_t value, bool speakerField)
{
    field = value;
    if (m_pAudioApp == nullptr || speakerField != (m_bSpeakerMode != 0))
        return;
    const int32_t room = speakerField ? m_nSpeakerRoom : m_nHeadphoneRoom;
    const int32_t code = speakerField ? QvrAngleCode(m_nSpeakerFlag, m_nSpeakerAngle)
                                      : QvrAngleCode(m_nHeadphoneFlag, m_nHeadphoneAngle);
    m_pAudioApp->HeadphoneFir().HeadphoneFirSetRoomAndAngle(room, code);
}

void CQvrEngine::QvrSetHeadphoneRoom(int32_t room)
{
    StoreAndApply(m_nHeadphoneRoom, room, false);
}

void CQvrEngine::QvrSetHeadphoneAngle(int32_t angle)
{
    StoreAndApply(m_nHeadphoneAngle, angle, false);
}

void CQvrEngine::QvrSetHeadphoneFlag(int32_t flag)
{
    StoreAndApply(m_nHeadphoneFlag, flag, false);
}

void CQvrEngine::QvrSetSpeakerRoom(int32_t room)
{
    StoreAndApply(m_nSpeakerRoom, room, true);
}

void CQvrEngine::QvrSetSpeakerAngle(int32_t angle)
{
    StoreAndApply(m_nSpeakerAngle, angle, true);
}

void CQvrEngine::QvrSetSpeakerFlag(int32_t flag)
{
    StoreAndApply(m_nSpeakerFlag, flag, true);
}
