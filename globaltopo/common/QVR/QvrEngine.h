// The headphone virtualisation engine as the headphone effect node sees it:
// the user-facing parameters of headphone mode and speaker mode (room, angle,
// angle family, crosstalk-cancellation angle), the enable switch, and the
// processing of eight channels down to two. Takes no lock: its owner
// serialises the setters against QvrProcess.
#pragma once

#include <cstdint>

#include "globaltopo/common/QVR/AudioApp.h"
#include "platform/ks/ksmedia.h"

inline constexpr int32_t QVR_INPUT_CHANNELS = 8;

// Angle code of the filter bank for a mode's family flag and angle field
// (an index 0..3 or a code of the flag's family); -1 when there is none.
int32_t QvrAngleCode(int32_t flag, int32_t angle);
// Eight channels to two without filtering: out0 and out1 take their side's
// front, rear and side channels, the centre at 0.707 and channel 3 in full,
// all scaled by 1 / divisor. Every input of a frame is read before buffers 0
// and 1 of that frame are written, so the lists may name the same buffers.
void PlainMixTo2(float* const* out, int32_t nOut, float* const* in, int32_t nIn, uint32_t frames,
                 float divisor);

class CQvrEngine : public CQvrPoolObject
{
  public:
    explicit CQvrEngine(const float* bank = HeadphoneCoefficientBank);
    virtual ~CQvrEngine();
    CQvrEngine(const CQvrEngine&) = delete;
    CQvrEngine& operator=(const CQvrEngine&) = delete;

    // -1 without an engine state, 0 when the format cannot be processed or an
    // allocation failed (QvrProcess then mixes plainly), 1 when configured.
    int32_t QvrConfigure(const WAVEFORMATEX* format);
    // In place on eight channel buffers; the result lands in buffers 0 and 1.
    void QvrProcess(float* const* buffers, uint32_t frames);

    void QvrSetEnable(int32_t value);
    void QvrSetSpeakerMode(int32_t value);
    void QvrSetCtcAngle(int32_t value);
    void QvrSetHeadphoneRoom(int32_t room);
    void QvrSetHeadphoneAngle(int32_t angle);
    void QvrSetHeadphoneFlag(int32_t flag);
    void QvrSetSpeakerRoom(int32_t room);
    void QvrSetSpeakerAngle(int32_t angle);
    void QvrSetSpeakerFlag(int32_t flag);
    int32_t QvrGetSpeakerMode() const { return m_bSpeakerMode; }
    int32_t QvrGetHeadphoneRoom() const { return m_nHeadphoneRoom; }
    int32_t QvrGetSpeakerRoom() const { return m_nSpeakerRoom; }
    int32_t QvrGetHeadphoneFlag() const { return m_nHeadphoneFlag; }
    int32_t QvrGetSpeakerFlag() const { return m_nSpeakerFlag; }
    int32_t QvrGetCtcAngle() const { return m_nCTCAngle; }

    CAudioApp* AudioApp() { return m_pAudioApp; }

  private:
    // Stores a room, angle or flag field and, when the mode that owns it is
    // active, reselects the filters from that mode's fields.
    void StoreAndApply(int32_t& field, int32_t value, bool speakerField);
    void ApplyCtcAngle();

    CAudioApp* m_pAudioApp;
    int32_t m_bSpeakerMode;
    int32_t m_bEnable;
    int32_t m_nSpeakerRoom;
    int32_t m_nHeadphoneRoom;
    int32_t m_nSpeakerAngle;
    int32_t m_nHeadphoneAngle;
    int32_t m_nCTCAngle;
    int32_t m_nSpeakerFlag;
    int32_t m_nHeadphoneFlag;
};
