// Audio records and GUIDs of kernel streaming: wave formats, audio data ranges,
// audio properties and events, jack descriptions, node types, categories and
// friendly names.
#pragma once

#include "platform/ks/ks.h"

// ----------------------------------------------------------------------------
// Wave formats (byte-packed, as stored in data formats and the registry)
#define WAVE_FORMAT_UNKNOWN 0x0000
#define WAVE_FORMAT_PCM 0x0001
#define WAVE_FORMAT_IEEE_FLOAT 0x0003
#define WAVE_FORMAT_EXTENSIBLE 0xFFFE

#pragma pack(push, 1)
typedef struct tWAVEFORMATEX
{
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize; // bytes of extension that follow
} WAVEFORMATEX, *PWAVEFORMATEX, *LPWAVEFORMATEX;
typedef const WAVEFORMATEX* LPCWAVEFORMATEX;

typedef struct
{
    WAVEFORMATEX Format;
    union
    {
        WORD wValidBitsPerSample;
        WORD wSamplesPerBlock;
        WORD wReserved;
    } Samples;
    DWORD dwChannelMask;
    GUID SubFormat;
} WAVEFORMATEXTENSIBLE, *PWAVEFORMATEXTENSIBLE;
#pragma pack(pop)

// The extension of WAVEFORMATEXTENSIBLE beyond WAVEFORMATEX.
#define WAVEFORMATEXTENSIBLE_EXTRA 22

typedef struct
{
    KSDATAFORMAT DataFormat;
    WAVEFORMATEX WaveFormatEx;
} KSDATAFORMAT_WAVEFORMATEX, *PKSDATAFORMAT_WAVEFORMATEX;

typedef struct
{
    KSDATAFORMAT DataFormat;
    WAVEFORMATEXTENSIBLE WaveFormatExt;
} KSDATAFORMAT_WAVEFORMATEXTENSIBLE, *PKSDATAFORMAT_WAVEFORMATEXTENSIBLE;

typedef struct
{
    KSDATARANGE DataRange;
    ULONG MaximumChannels;
    ULONG MinimumBitsPerSample;
    ULONG MaximumBitsPerSample;
    ULONG MinimumSampleFrequency;
    ULONG MaximumSampleFrequency;
} KSDATARANGE_AUDIO, *PKSDATARANGE_AUDIO;

typedef struct
{
    KSATTRIBUTE AttributeHeader;
    GUID SignalProcessingMode;
} KSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE, *PKSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE;

// Speaker positions of dwChannelMask.
#define SPEAKER_FRONT_LEFT 0x1u
#define SPEAKER_FRONT_RIGHT 0x2u
#define SPEAKER_FRONT_CENTER 0x4u
#define SPEAKER_LOW_FREQUENCY 0x8u
#define SPEAKER_BACK_LEFT 0x10u
#define SPEAKER_BACK_RIGHT 0x20u
#define SPEAKER_SIDE_LEFT 0x200u
#define SPEAKER_SIDE_RIGHT 0x400u
#define KSAUDIO_SPEAKER_MONO SPEAKER_FRONT_CENTER
#define KSAUDIO_SPEAKER_STEREO (SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT)

// ----------------------------------------------------------------------------
// Jack descriptions
typedef enum
{
    eConnTypeUnknown,
    eConnType3Point5mm,
    eConnTypeQuarter,
    eConnTypeAtapiInternal,
    eConnTypeRCA,
    eConnTypeOptical,
    eConnTypeOtherDigital,
    eConnTypeOtherAnalog,
    eConnTypeMultichannelAnalogDIN,
    eConnTypeXlrProfessional,
    eConnTypeRJ11Modem,
    eConnTypeCombination
} EPcxConnectionType;

typedef enum
{
    eGeoLocRear = 1,
    eGeoLocFront,
    eGeoLocLeft,
    eGeoLocRight,
    eGeoLocTop,
    eGeoLocBottom,
    eGeoLocRearPanel,
    eGeoLocRiser,
    eGeoLocInsideMobileLid,
    eGeoLocDrivebay,
    eGeoLocHDMI,
    eGeoLocOutsideMobileLid,
    eGeoLocATAPI,
    eGeoLocNotApplicable,
    eGeoLocReserved6
} EPcxGeoLocation;

typedef enum
{
    eGenLocPrimaryBox,
    eGenLocInternal,
    eGenLocSeparate,
    eGenLocOther
} EPcxGenLocation;

typedef enum
{
    ePortConnJack,
    ePortConnIntegratedDevice,
    ePortConnBothIntegratedAndJack,
    ePortConnUnknown
} EPxcPortConnection;

typedef struct
{
    DWORD ChannelMapping;
    DWORD Color;
    EPcxConnectionType ConnectionType;
    EPcxGeoLocation GeoLocation;
    EPcxGenLocation GenLocation;
    EPxcPortConnection PortConnection;
    BOOL IsConnected;
} KSJACK_DESCRIPTION, *PKSJACK_DESCRIPTION;

#define JACKDESC2_PRESENCE_DETECT_CAPABILITY 0x00000001u
#define JACKDESC2_DYNAMIC_FORMAT_CHANGE_CAPABILITY 0x00000002u

typedef struct
{
    DWORD DeviceStateInfo;
    DWORD JackCapabilities;
} KSJACK_DESCRIPTION2, *PKSJACK_DESCRIPTION2;

// ----------------------------------------------------------------------------
// Audio properties and the control-change event
DEFINE_GUID(KSPROPSETID_Audio, 0x45FFAAA0L, 0x6E1B, 0x11D0, 0xBC, 0xF2, 0x44, 0x45, 0x53, 0x54,
            0x00, 0x00);
typedef enum
{
    KSPROPERTY_AUDIO_LATENCY = 1,
    KSPROPERTY_AUDIO_COPY_PROTECTION,
    KSPROPERTY_AUDIO_CHANNEL_CONFIG,
    KSPROPERTY_AUDIO_VOLUMELEVEL,
    KSPROPERTY_AUDIO_POSITION,
    KSPROPERTY_AUDIO_DYNAMIC_RANGE,
    KSPROPERTY_AUDIO_QUALITY,
    KSPROPERTY_AUDIO_SAMPLING_RATE,
    KSPROPERTY_AUDIO_DYNAMIC_SAMPLING_RATE,
    KSPROPERTY_AUDIO_MIX_LEVEL_TABLE,
    KSPROPERTY_AUDIO_MIX_LEVEL_CAPS,
    KSPROPERTY_AUDIO_MUX_SOURCE,
    KSPROPERTY_AUDIO_MUTE,
    KSPROPERTY_AUDIO_BASS,
    KSPROPERTY_AUDIO_MID,
    KSPROPERTY_AUDIO_TREBLE,
    KSPROPERTY_AUDIO_BASS_BOOST,
    KSPROPERTY_AUDIO_EQ_LEVEL,
    KSPROPERTY_AUDIO_NUM_EQ_BANDS,
    KSPROPERTY_AUDIO_EQ_BANDS,
    KSPROPERTY_AUDIO_AGC,
    KSPROPERTY_AUDIO_DELAY,
    KSPROPERTY_AUDIO_LOUDNESS,
    KSPROPERTY_AUDIO_WIDE_MODE,
    KSPROPERTY_AUDIO_WIDENESS,
    KSPROPERTY_AUDIO_REVERB_LEVEL,
    KSPROPERTY_AUDIO_CHORUS_LEVEL,
    KSPROPERTY_AUDIO_DEV_SPECIFIC
} KSPROPERTY_AUDIO;

DEFINE_GUID(KSPROPSETID_Jack, 0x4509F757L, 0x2D46, 0x4637, 0x8E, 0x62, 0xCE, 0x7D, 0xB9, 0x44, 0xF5,
            0x7B);
typedef enum
{
    KSPROPERTY_JACK_DESCRIPTION = 1,
    KSPROPERTY_JACK_DESCRIPTION2,
    KSPROPERTY_JACK_SINK_INFO,
    KSPROPERTY_JACK_CONTAINERID
} KSPROPERTY_JACK;

// Property sets of this device's own filters.
DEFINE_GUID(KSPROPSETID_DevicePrivate, 0x1B4400F0L, 0x9627, 0x4EE7, 0xA5, 0x93, 0xB3, 0x7C, 0x03,
            0x4E, 0xF0, 0xDE);
DEFINE_GUID(KSPROPSETID_NodeIdentity, 0x00A34C4AL, 0x26E6, 0x4095, 0x98, 0xE9, 0x77, 0xFA, 0xE2,
            0xF1, 0x1F, 0xB6);
DEFINE_GUID(KSPROPSETID_OutputType, 0xED76304DL, 0xB322, 0x4ECB, 0x9B, 0x9E, 0x8E, 0x13, 0xC1, 0x46,
            0x5F, 0x04);
DEFINE_GUID(KSPROPSETID_PseudoControl, 0x369C31B9L, 0x34E6, 0x4640, 0x99, 0xB6, 0xAD, 0xD1, 0x6C,
            0xF1, 0x19, 0x94);
DEFINE_GUID(KSPROPSETID_EndpointCapabilities, 0xA210D309L, 0x0822, 0x456B, 0xBD, 0x3C, 0x21, 0x96,
            0x56, 0x7C, 0xAD, 0xA7);

DEFINE_GUID(KSEVENTSETID_AudioControlChange, 0xE85E9698L, 0xFA2F, 0x11D1, 0x95, 0xBD, 0x00, 0xC0,
            0x4F, 0xB9, 0x25, 0xD3);
#define KSEVENT_CONTROL_CHANGE 0

// ----------------------------------------------------------------------------
// Data format GUIDs
DEFINE_GUID(KSDATAFORMAT_TYPE_WILDCARD, 0x00000000L, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x00, 0x00, 0x00);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_WILDCARD, 0x00000000L, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00,
            0x00, 0x00, 0x00, 0x00);
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_WILDCARD, 0x00000000L, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00,
            0x00, 0x00, 0x00, 0x00);
DEFINE_GUID(KSDATAFORMAT_TYPE_AUDIO, 0x73647561L, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00,
            0x38, 0x9B, 0x71);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_PCM, 0x00000001L, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00,
            0x38, 0x9B, 0x71);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 0x00000003L, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA,
            0x00, 0x38, 0x9B, 0x71);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_ANALOG, 0x6DBA3190L, 0x67BD, 0x11CF, 0xA0, 0xF7, 0x00, 0x20, 0xAF,
            0xD1, 0x56, 0xE4);
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 0x05589F81L, 0xC356, 0x11CE, 0xBF, 0x01, 0x00,
            0xAA, 0x00, 0x55, 0x59, 0x5A);
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_DSOUND, 0x518590A2L, 0xA184, 0x11D0, 0x85, 0x22, 0x00, 0xC0,
            0x4F, 0xD9, 0xBA, 0xF3);
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_NONE, 0x0F6417D6L, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9,
            0x22, 0x31, 0x96);

DEFINE_GUID(KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE, 0xE1F89EB5L, 0x5F46, 0x419B, 0x96, 0x7B, 0xFF,
            0x67, 0x70, 0xB9, 0x84, 0x01);
DEFINE_GUID(AUDIO_SIGNALPROCESSINGMODE_DEFAULT, 0xC18E2F7EL, 0x933D, 0x4965, 0xB7, 0xD1, 0x1E, 0xEF,
            0x22, 0x8D, 0x2A, 0xF3);
DEFINE_GUID(AUDIO_SIGNALPROCESSINGMODE_RAW, 0x9E90EA20L, 0xB493, 0x4FD1, 0xA1, 0xA8, 0x7E, 0x13,
            0x61, 0xA9, 0x56, 0xCF);

// ----------------------------------------------------------------------------
// Filter categories
DEFINE_GUID(KSCATEGORY_AUDIO, 0x6994AD04L, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31,
            0x96);
DEFINE_GUID(KSCATEGORY_RENDER, 0x65E8773EL, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);
DEFINE_GUID(KSCATEGORY_CAPTURE, 0x65E8773DL, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);
DEFINE_GUID(KSCATEGORY_TOPOLOGY, 0xDDA54A40L, 0x1E4C, 0x11D1, 0xA0, 0x50, 0x40, 0x57, 0x05, 0xC1,
            0x00, 0x00);

// ----------------------------------------------------------------------------
// Node types: processing nodes
DEFINE_GUID(KSNODETYPE_DAC, 0x507AE360L, 0xC554, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A,
            0xC1);
DEFINE_GUID(KSNODETYPE_ADC, 0x4D837FE0L, 0xC555, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A,
            0xC1);
DEFINE_GUID(KSNODETYPE_MUTE, 0x02B223C0L, 0xC557, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A,
            0xC1);
DEFINE_GUID(KSNODETYPE_VOLUME, 0x3A5ACC00L, 0xC557, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25,
            0x5A, 0xC1);
DEFINE_GUID(KSNODETYPE_MUX, 0x2CEAF780L, 0xC556, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A,
            0xC1);
DEFINE_GUID(KSNODETYPE_SUM, 0xDA441A60L, 0xC556, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A,
            0xC1);
DEFINE_GUID(KSNODETYPE_AGC, 0xE88C9BA0L, 0xC557, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A,
            0xC1);
DEFINE_GUID(KSNODETYPE_LOUDNESS, 0x41887440L, 0xC558, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25,
            0x5A, 0xC1);
DEFINE_GUID(KSNODETYPE_TONE, 0x7607E580L, 0xC557, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A,
            0xC1);
DEFINE_GUID(KSNODETYPE_DEV_SPECIFIC, 0x941C7AC0L, 0xC559, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9,
            0x25, 0x5A, 0xC1);

// Node types of USB terminal types: 0xDFF219E0 plus the terminal type.
DEFINE_GUID(KSNODETYPE_SPEAKER, 0xDFF21CE1L, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);
DEFINE_GUID(KSNODETYPE_HEADPHONES, 0xDFF21CE2L, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);
DEFINE_GUID(KSNODETYPE_MICROPHONE, 0xDFF21BE1L, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);
DEFINE_GUID(KSNODETYPE_DESKTOP_MICROPHONE, 0xDFF21BE2L, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0,
            0xC9, 0x22, 0x31, 0x96);
DEFINE_GUID(KSNODETYPE_HANDSET, 0xDFF21DE1L, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);
DEFINE_GUID(KSNODETYPE_HEADSET, 0xDFF21DE2L, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);
DEFINE_GUID(KSNODETYPE_SPEAKERPHONE_NO_ECHO_REDUCTION, 0xDFF21DE3L, 0xF70F, 0x11D0, 0xB9, 0x17,
            0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
DEFINE_GUID(KSNODETYPE_PHONE_LINE, 0xDFF21EE2L, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);
DEFINE_GUID(KSNODETYPE_ANALOG_CONNECTOR, 0xDFF21FE1L, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9,
            0x22, 0x31, 0x96);
DEFINE_GUID(KSNODETYPE_LINE_CONNECTOR, 0xDFF21FE3L, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9,
            0x22, 0x31, 0x96);
DEFINE_GUID(KSNODETYPE_SPDIF_INTERFACE, 0xDFF21FE5L, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9,
            0x22, 0x31, 0x96);
DEFINE_GUID(KSNODETYPE_CD_PLAYER, 0xDFF220E3L, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);
DEFINE_GUID(KSNODETYPE_VCR_AUDIO, 0xDFF220EAL, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);
DEFINE_GUID(KSNODETYPE_HDMI_INTERFACE, 0xD1B9CC2AL, 0xF519, 0x417F, 0x91, 0xC9, 0x55, 0xFA, 0x65,
            0x48, 0x10, 0x01);
DEFINE_GUID(KSNODETYPE_DISPLAYPORT_INTERFACE, 0xE47E4031L, 0x3EA6, 0x418D, 0x8F, 0x9B, 0xB7, 0x38,
            0x43, 0xCC, 0xBA, 0x97);
DEFINE_GUID(KSNODETYPE_STEREO_MIX_LEGACY, 0x00DFF077L, 0x96E3, 0x11D2, 0xAC, 0x4C, 0x00, 0xC0, 0x4F,
            0x8E, 0xFB, 0x68);

// ----------------------------------------------------------------------------
// Friendly names of tone nodes
DEFINE_GUID(KSAUDFNAME_BASS, 0x185FEDE0L, 0x9905, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25,
            0xD3);
DEFINE_GUID(KSAUDFNAME_TREBLE, 0x185FEDE1L, 0x9905, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9,
            0x25, 0xD3);
DEFINE_GUID(KSAUDFNAME_MIDRANGE, 0xA2CBE478L, 0xAE84, 0x49A1, 0x8B, 0x72, 0x4A, 0xD0, 0x9B, 0x78,
            0xED, 0x34);

// ----------------------------------------------------------------------------
// Layout checks
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX) == WAVEFORMATEXTENSIBLE_EXTRA);
static_assert(offsetof(KSDATAFORMAT_WAVEFORMATEX, WaveFormatEx) == 64);
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) == 104);
static_assert(sizeof(KSDATARANGE_AUDIO) == 88);
static_assert(sizeof(KSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE) == 40);
static_assert(sizeof(KSJACK_DESCRIPTION) == 28);
static_assert(sizeof(KSJACK_DESCRIPTION2) == 8);
