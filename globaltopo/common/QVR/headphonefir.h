// The headphone filter: up to eight loudspeaker channels rendered to two ears
// through fixed head and room responses, then an optional crosstalk
// cancellation for loudspeaker playback. Works on blocks of HEADPHONEFIR_N
// samples at 44100 Hz by uniformly partitioned overlap-save convolution
// (1024-point real FFT, frequency-domain delay lines).
#pragma once

#include <cstdint>

#include "globaltopo/common/QVR/HeadphoneCoefficientBank.h"
#include "globaltopo/common/QVR/QvrCommon.h"

struct DspFftSpecR32f;

inline constexpr int32_t ROOMSIZE_UNDEFINED = -1;
inline constexpr int32_t SPEAKERANGLE_UNDEFINED = -1;
inline constexpr int32_t CTCANGLE_UNDEFINED = -1;

class CHeadphoneFir
{
  public:
    static constexpr int32_t FFT_LEN = 2 * HEADPHONEFIR_N;
    static constexpr int32_t STREAMS = 5;
    static constexpr int32_t HEAD_PARTS_MAX = HEADPHONE_HEAD_LEN / HEADPHONEFIR_N;
    static constexpr int32_t TAIL_PARTS_MAX = HEADPHONE_MAX_TAIL_LEN / HEADPHONEFIR_N;
    static constexpr int32_t CTC_BUF_LEN = HEADPHONEFIR_N + HEADPHONE_CTC_TAPS;

    // bank: the coefficient table in the layout of HeadphoneCoefficientBank
    // (tests hand in their own).
    explicit CHeadphoneFir(const float* bank = HeadphoneCoefficientBank);
    ~CHeadphoneFir();
    CHeadphoneFir(const CHeadphoneFir&) = delete;
    CHeadphoneFir& operator=(const CHeadphoneFir&) = delete;

    // False when the FFT specification could not be created.
    bool HeadphoneFirReady() const { return m_pFftSpec != nullptr; }

    // One block: out[0], out[1] from in[0 .. nInCh); with eight inputs the
    // buffers of channels 4 and 5 receive channels 6 and 7 folded in.
    void HeadphoneFirProcess(float* const* out, int32_t nOutCh, float* const* in, int32_t nInCh,
                             int32_t len);
    void HeadphoneFirReset();
    int32_t HeadphoneFirSetRoomAndAngle(int32_t roomIndex, int32_t angle);
    int32_t HeadphoneFirSelectFilters(int32_t room, int32_t angle);
    void HeadphoneFirLoadFilters(const float* head, int32_t nhead, int32_t headlen,
                                 const float* tail, int32_t ntail, int32_t tailen,
                                 int32_t* headParts, int32_t* tailParts);
    int32_t HeadphoneFirSetCTCAngle(int32_t angle);
    // The crosstalk-cancellation stage alone, on two channels of 512 (the
    // last step of HeadphoneFirProcess); out may name in.
    void HeadphoneFirCtcStage(float* const* out, int32_t nOutCh, float* const* in, int32_t nInCh,
                              int32_t len);

    int32_t HeadphoneFirRoom() const { return m_nRoom; }
    int32_t HeadphoneFirAngle() const { return m_nAngle; }
    int32_t HeadphoneFirCTCAngle() const { return m_nCTCAngle; }
    int32_t HeadphoneFirCTCTaps() const { return m_nCTCTaps; }
    int32_t HeadphoneFirTailParts() const { return m_nTailParts; }

  private:
    void BuildWindows(float* const* in, int32_t nInCh);
    void Accumulate(int32_t nInCh);
    void LoadPartitions(const float* taps, int32_t parts, float* pairs, int32_t output);

    const float* m_pBank;
    int32_t m_nRoom;
    int32_t m_nAngle;
    int32_t m_nHeadParts;
    int32_t m_nTailParts;
    // Every spectrum below is held in chunks of four bins, real parts then
    // imaginary parts, so that the products need no shuffles. The arrays the
    // block runs over start on 16 bytes whatever the owner's layout, so that
    // no vector of theirs straddles two cache lines. The filters'
    // spectra go in pairs, output 0's and output 1's chunks alternating:
    // head filters 2k and 2k + 1 of stream k, tail filters 0 and 1.
    alignas(16) float m_HeadSpectra[STREAMS][HEAD_PARTS_MAX][2 * FFT_LEN];
    alignas(16) float m_TailSpectra[TAIL_PARTS_MAX][2 * FFT_LEN];
    int32_t m_nCTCAngle;
    int32_t m_nCTCTaps;
    float m_CtcSum[HEADPHONE_CTC_TAPS];
    float m_CtcDiff[HEADPHONE_CTC_TAPS];
    // The same taps, each in all four lanes: sum, then difference.
    alignas(16) float m_CtcTapLanes[2][HEADPHONE_CTC_TAPS][4];
    alignas(16) float m_CtcSumBuf[CTC_BUF_LEN];
    alignas(16) float m_CtcDiffBuf[CTC_BUF_LEN];
    DspFftSpecR32f* m_pFftSpec;
    alignas(16) float m_InHistory[QVR_MAX_CHANNELS][HEADPHONEFIR_N];
    alignas(16) float m_HeadFdl[STREAMS][HEAD_PARTS_MAX][FFT_LEN];
    alignas(16) float m_TailFdl[TAIL_PARTS_MAX][FFT_LEN];
    alignas(16) float m_Acc[2][FFT_LEN];
    int32_t m_nHeadPos;
    int32_t m_nTailPos;
};
