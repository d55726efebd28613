#include "usbaudio/uac1/type_i_coding.h"

namespace
{
struct TagCoding
{
    USHORT Tag;
    TypeICoding Coding;
};
// Class 1.0 Type I tags; a tag not listed (undefined, or another class's)
// says nothing of how its samples are coded, and is not carried.
constexpr TagCoding c_Uac1Tags[] = {{USB_AUDIO10_FORMAT_PCM, TypeICoding::Pcm},
                                    {USB_AUDIO10_FORMAT_PCM8, TypeICoding::Pcm8},
                                    {USB_AUDIO10_FORMAT_IEEE_FLOAT, TypeICoding::NotCarried},
                                    {USB_AUDIO10_FORMAT_ALAW, TypeICoding::NotCarried},
                                    {USB_AUDIO10_FORMAT_MULAW, TypeICoding::NotCarried}};

struct BitCoding
{
    ULONG Bits;
    TypeICoding Coding;
};
// Class 2.0 bitmap bits, the first that is set deciding.
constexpr BitCoding c_Uac2Bits[] = {{USB_AUDIO20_FORMAT_PCM, TypeICoding::Pcm},
                                    {USB_AUDIO20_FORMAT_PCM8, TypeICoding::Pcm8},
                                    {1u << 15 | 1u << 31, TypeICoding::RawData}};

constexpr ULONG c_Uac2FormatTypeOffset = 5;
constexpr ULONG c_Uac2FormatsOffset = 6;
constexpr ULONG c_Uac1TagOffset = 5;
} // namespace

TypeICoding Uac1TypeICoding(USHORT formatTag)
{
    for (const TagCoding& row : c_Uac1Tags)
        if (row.Tag == formatTag)
            return row.Coding;
    return TypeICoding::NotCarried;
}

TypeICoding Uac2TypeICoding(ULONG formats)
{
    for (const BitCoding& row : c_Uac2Bits)
        if ((formats & row.Bits) != 0)
            return row.Coding;
    return TypeICoding::NotCarried;
}

TypeICoding GeneralTypeICoding(AudioDescriptorVersion version, const UCHAR* general)
{
    if (version == AudioDescriptorVersion::Uac1)
        return Uac1TypeICoding(
            (USHORT)(general[c_Uac1TagOffset] | general[c_Uac1TagOffset + 1] << 8));
    if (general[c_Uac2FormatTypeOffset] != USB_AUDIO_FORMAT_TYPE_I)
        return TypeICoding::Pcm;
    const UCHAR* f = general + c_Uac2FormatsOffset;
    return Uac2TypeICoding(f[0] | f[1] << 8 | f[2] << 16 | (ULONG)f[3] << 24);
}

bool TypeICodingCarries(TypeICoding coding, ULONG sampleBytes)
{
    return coding != TypeICoding::NotCarried && (coding != TypeICoding::Pcm8 || sampleBytes == 1);
}

WireSampleSign TypeICodingSign(TypeICoding coding)
{
    return coding == TypeICoding::Pcm8 ? WireSampleSign::Unsigned : WireSampleSign::TwosComplement;
}

bool CheckTypeICoding(TypeICoding coding, ULONG sampleBytes, UCHAR interfaceNumber,
                      UCHAR alternateSetting, const char* source, ULONG bits)
{
    if (TypeICodingCarries(coding, sampleBytes))
        return true;
    DbgPrint("UsbAudio: AudioStreaming interface %u alternate setting %u: Type I %s 0x%X at "
             "%u bytes a sample is not PCM the driver carries: left out\n",
             interfaceNumber, alternateSetting, source, bits, sampleBytes);
    return false;
}
