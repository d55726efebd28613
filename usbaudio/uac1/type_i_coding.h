// How a Type I format codes its samples, as the class 1.0 format tag or the
// class 2.0 format bitmap of its general descriptor says, and which codings
// the driver carries: PCM (two's complement at every size) and PCM8
// (unsigned, 8-bit only) reach the audio engine as its PCM; IEEE float,
// A-law, mu-law and a class 1.0 tag the class does not define for Type I do
// not.
#pragma once

#include "streaming/usb/usb_audio_stream.h"
#include "audioclass/descriptor_rules.h"

enum class TypeICoding : UCHAR
{
    Pcm,
    Pcm8,
    RawData, // class 2.0: the chip maker's own subformat
    NotCarried
};

TypeICoding Uac1TypeICoding(USHORT formatTag);
TypeICoding Uac2TypeICoding(ULONG formats);
// The coding a general descriptor (already checked) gives its Type I
// formats; a class 2.0 descriptor of another format type gives PCM.
TypeICoding GeneralTypeICoding(AudioDescriptorVersion version, const UCHAR* general);
// Whether samples of `sampleBytes` bytes in that coding can be carried.
bool TypeICodingCarries(TypeICoding coding, ULONG sampleBytes);
WireSampleSign TypeICodingSign(TypeICoding coding);
// False, with a debug line naming the interface, its alternate setting and
// the coding's source (`bits`: the format tag or bitmap), for a coding the
// driver does not carry at that sample size.
bool CheckTypeICoding(TypeICoding coding, ULONG sampleBytes, UCHAR interfaceNumber,
                      UCHAR alternateSetting, const char* source, ULONG bits);
