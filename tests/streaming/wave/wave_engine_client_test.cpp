// The wave filter of an audio class 1.0 render stream on a simulated device,
// installed on the adapter device and driven by the audio-engine client as
// the audio engine drives it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <type_traits>

#include "framework/adapter_extension.h"
#include "platform/kernel/emu.h"
#include "sim/clients/audio_engine_client.h"
#include "tests/streaming/usb/usb_audio1_rig.h"
#include "tests/streaming/wave/wave_rig.h"

namespace
{
constexpr UCHAR kPlay = SimRef1::PlayEndpoint;

// A stream's wave subdevice "SPKOut00Wave", its streaming pin opened at 48
// kHz 16-bit: the speaker's render stream (stereo), or the microphone's
// capture stream (mono).
template <class Stream> class WaveFilter
{
  public:
    WaveFilter()
        : m_Rig(SimCreateReferenceDevice(SimReference::Uac1SpeakerMic),
                Render ? SimRef1::PlayInterface : SimRef1::RecInterface,
                Render ? STREAM_DIRECTION_RENDER : STREAM_DIRECTION_CAPTURE,
                Render
                    ? std::vector<std::pair<WAVEFORMATEXTENSIBLE, UCHAR>>{{PcmRecord(2, 48000, 16),
                                                                           1},
                                                                          {PcmRecord(2, 44100, 16),
                                                                           1},
                                                                          {PcmRecord(2, 48000, 24),
                                                                           2}}
                    : std::vector<std::pair<WAVEFORMATEXTENSIBLE, UCHAR>>{
                          {PcmRecord(1, 48000, 16), 1}})
    {
        PDEVICE_OBJECT fdo = m_Rig.Adapter().Fdo();
        KeInitializeMutex(&GetAdapterExtension(fdo)->ExtensionMutex, 0);
        m_Rig.Stream()->SetName(u"SPKOut00");
        m_Adapter = new (NonPagedPool, POOL_TAG("TWav")) AdapterDouble(m_Rig.Stream(), fdo);
        m_Adapter->NonDelegatingAddRef();
        PUNKNOWN miniport = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, PcNewPort(&m_Port, CLSID_PortWaveCyclic));
        EXPECT_EQ(STATUS_SUCCESS, CreateMiniportWaveCyclic(&miniport, CLSID_PortWaveCyclic, nullptr,
                                                           NonPagedPool, 0));
        EXPECT_EQ(STATUS_SUCCESS, m_Port->Init(fdo, nullptr, miniport,
                                               m_Adapter->GetNonDelegatingUnknown(), nullptr));
        miniport->Release();
        EXPECT_EQ(STATUS_SUCCESS, PcRegisterSubdevice(fdo, u"SPKOut00Wave", m_Port));
        m_Client = std::make_unique<AudioEngineClient>(fdo);
        const KSDATARANGE_AUDIO wanted =
            AudioClientRange(KSDATAFORMAT_SUBTYPE_PCM, Render ? 2 : 1, 16, 16, 48000, 48000);
        PFILE_OBJECT filter = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, m_Client->OpenFilter(u"SPKOut00Wave", &filter));
        EXPECT_EQ(STATUS_SUCCESS,
                  m_Client->OpenPinWithRange(filter, 0, &wanted.DataRange, &m_Pin, &Format));
    }
    ~WaveFilter()
    {
        m_Client.reset(); // closes the pin and the filter
        PUNREGISTERSUBDEVICE unregister = nullptr;
        if (NT_SUCCESS(m_Port->QueryInterface(IID_IUnregisterSubdevice, (PVOID*)&unregister)))
        {
            unregister->UnregisterSubdevice(m_Rig.Adapter().Fdo(), m_Port);
            unregister->Release();
        }
        m_Port->Release();
        EXPECT_EQ(0u, m_Adapter->NonDelegatingRelease());
    }
    AudioEngineClient& Client() { return *m_Client; }
    PFILE_OBJECT Pin() const { return m_Pin; }
    SimStreaming& Device() { return m_Rig.Device()->Streaming(); }
    ULONG Position()
    {
        ULONG position = 0;
        EmuPcPinStream(m_Pin)->GetPosition(&position);
        return position;
    }

    std::vector<UCHAR> Format;
    static constexpr bool Render = std::is_same_v<Stream, CUsbAudio1Render>;

  private:
    Audio1Rig<Stream> m_Rig;
    AdapterDouble* m_Adapter = nullptr;
    PPORT m_Port = nullptr;
    std::unique_ptr<AudioEngineClient> m_Client;
    PFILE_OBJECT m_Pin = nullptr;
};

using SpeakerFilter = WaveFilter<CUsbAudio1Render>;

std::vector<UCHAR> Sine48k(ULONG frames)
{
    std::vector<UCHAR> bytes(frames * 4);
    for (ULONG i = 0; i < frames; ++i)
    {
        const SHORT left = (SHORT)std::lround(20000.0 * std::sin(2 * M_PI * 997.0 * i / 48000.0));
        const SHORT right = (SHORT)-left;
        memcpy(&bytes[4 * i], &left, 2);
        memcpy(&bytes[4 * i + 2], &right, 2);
    }
    return bytes;
}
} // namespace

TEST(WaveEngineClient, SineArrivesBitExactInTheUrbs)
{
    SpeakerFilter speaker;
    ASSERT_EQ(104u, speaker.Format.size());
    const std::vector<UCHAR> sine = Sine48k(48000);
    std::vector<UCHAR> source = sine;
    // Queued before RUN, so that the port fills the whole buffer with it.
    const ULONG queued = speaker.Client().Write(speaker.Pin(), source.data(), (ULONG)source.size());
    source.erase(source.begin(), source.begin() + queued);
    ASSERT_EQ(STATUS_SUCCESS, speaker.Client().SetState(speaker.Pin(), KSSTATE_RUN));
    speaker.Client().Run(speaker.Pin(), 900, &source, nullptr);
    ASSERT_EQ(STATUS_SUCCESS, speaker.Client().SetState(speaker.Pin(), KSSTATE_STOP));
    const PcPinStatistics stats = speaker.Client().Statistics(speaker.Pin());
    EXPECT_EQ(0u, stats.Overruns);

    // The first URBs carry the 15 ms pre-roll as silence; from then on
    // every byte is the sine's, in order, from its first frame.
    const std::vector<UCHAR>& out = speaker.Device().OutRecord(kPlay).Data;
    const size_t preRoll = 2880;
    ASSERT_GT(out.size(), preRoll + 48000 * 4 / 2);
    for (size_t i = 0; i < preRoll; ++i)
        ASSERT_EQ(0, out[i]) << "byte " << i;
    const size_t compared = std::min(out.size() - preRoll, stats.DataBytes);
    EXPECT_GE(compared, (size_t)48000 * 4 * 8 / 10);
    for (size_t i = 0; i < compared; ++i)
        ASSERT_EQ(sine[i], out[preRoll + i]) << "byte " << i;
}

TEST(WaveEngineClient, PositionKeepsWithinAMillisecondOfTheDeviceForTenMinutes)
{
    SpeakerFilter speaker;
    ASSERT_EQ(STATUS_SUCCESS, speaker.Client().SetState(speaker.Pin(), KSSTATE_RUN));
    const ULONG size = speaker.Client().Statistics(speaker.Pin()).BufferSize;
    ULONGLONG received = 0; // bytes the device has received, the pre-roll's silence first
    ULONGLONG position = 0;
    ULONG last = speaker.Position();
    LONGLONG worst = 0;
    // Steps of 7 ms sample every point of the 5 ms URBs.
    for (ULONG ms = 0; ms < 10 * 60 * 1000; ms += 7)
    {
        speaker.Client().Run(speaker.Pin(), 7, nullptr, nullptr, 7);
        const ULONG now = speaker.Position();
        position += (now + size - last) % size;
        last = now;
        received += speaker.Device().OutRecord(kPlay).Data.size();
        speaker.Device().ClearRecords();
        const ULONGLONG played = received > 2880 ? received - 2880 : 0; // of the buffer
        const LONGLONG gap = (LONGLONG)position - (LONGLONG)played;
        worst = std::max<LONGLONG>(worst, gap < 0 ? -gap : gap);
    }
    EXPECT_LE(worst, 192); // 1 ms of 48 kHz 16-bit stereo
    EXPECT_GT(received, 600ull * 192000 - 192000);
    ASSERT_EQ(STATUS_SUCCESS, speaker.Client().SetState(speaker.Pin(), KSSTATE_STOP));
}

TEST(WaveEngineClient, MicrophoneCountArrivesInOrder)
{
    WaveFilter<TestCapture> mic;
    std::vector<UCHAR> sink;
    ASSERT_EQ(STATUS_SUCCESS, mic.Client().SetState(mic.Pin(), KSSTATE_RUN));
    mic.Client().Run(mic.Pin(), 500, nullptr, &sink);
    ASSERT_EQ(STATUS_SUCCESS, mic.Client().SetState(mic.Pin(), KSSTATE_STOP));
    EXPECT_EQ(0u, mic.Client().Statistics(mic.Pin()).Overruns);
    // The device counts its samples; the first the engine reads may be the
    // silent buffer, after that every sample follows the one before.
    std::vector<USHORT> words(sink.size() / 2);
    memcpy(words.data(), sink.data(), words.size() * 2);
    ASSERT_GT(words.size(), 48000u * 4 / 10);
    size_t first = 0;
    while (first < words.size() && words[first] == 0)
        ++first;
    ASSERT_LT(first, words.size() / 4);
    for (size_t i = first + 1; i < words.size(); ++i)
        ASSERT_EQ((USHORT)(words[i - 1] + 1), words[i]) << "sample " << i;
}
