#include "sim/devices/ReferenceDevices.h"

#include <cstdio>

namespace
{
// ----------------------------------------------------------------------------
// Audio class 1.0 full-speed speaker and microphone
const SimReferenceConfig g_Ref1 = {
    "Uac1SpeakerMic",
    EmuUsbSpeed::Full,
    {
        0x12, 0x01,       // bLength 18, DEVICE
        0x10, 0x01,       // bcdUSB 1.10: a full-speed device
        0x00, 0x00, 0x00, // class, subclass, protocol: given per interface
        0x40,             // bMaxPacketSize0 64
        0x54, 0x4C,       // idVendor 0x4C54
        0x01, 0x10,       // idProduct 0x1001
        0x00, 0x01,       // bcdDevice 1.00
        0x01, 0x02, 0x00, // iManufacturer 1, iProduct 2, no serial number
        0x01,             // bNumConfigurations 1
    },
    {
        0x09, 0x02, // bLength 9, CONFIGURATION
        0xF8, 0x00, // wTotalLength 248
        0x03,       // bNumInterfaces: control, playback, capture
        0x01,       // bConfigurationValue 1
        0x00,       // iConfiguration
        0x80,       // bmAttributes: bus powered
        0x32,       // bMaxPower 100 mA
        // AudioControl interface 0, one interrupt endpoint
        0x09, 0x04, 0x00, 0x00, // INTERFACE 0, alternate setting 0
        0x01,                   // bNumEndpoints 1
        0x01, 0x01, 0x00,       // AUDIO, AUDIOCONTROL, protocol 0 (class 1.0)
        0x00,                   // iInterface
        0x0A, 0x24, 0x01,       // CS_INTERFACE HEADER, 10 bytes
        0x00, 0x01,             // bcdADC 1.00
        0x47, 0x00,             // wTotalLength 71: header and the six entities
        0x02, 0x01, 0x02,       // bInCollection 2: interfaces 1 and 2
        0x0C, 0x24, 0x02, 0x01, // INPUT_TERMINAL 1
        0x01, 0x01,             // wTerminalType USB streaming
        0x00, 0x02,             // bAssocTerminal none, bNrChannels 2
        0x03, 0x00,             // wChannelConfig left front, right front
        0x00, 0x00,             // iChannelNames, iTerminal
        0x0A, 0x24, 0x06, 0x02, // FEATURE_UNIT 2
        0x01, 0x01,             // bSourceID 1, bControlSize 1
        0x01,                   // master: mute
        0x02, 0x02,             // left, right: volume
        0x00,                   // iFeature
        0x09, 0x24, 0x03, 0x03, // OUTPUT_TERMINAL 3
        0x01, 0x03,             // wTerminalType speaker
        0x00, 0x02, 0x00,       // bAssocTerminal none, bSourceID 2, iTerminal
        0x0C, 0x24, 0x02, 0x04, // INPUT_TERMINAL 4
        0x01, 0x02,             // wTerminalType microphone
        0x00, 0x01,             // bAssocTerminal none, bNrChannels 1
        0x00, 0x00,             // wChannelConfig: no spatial position
        0x00, 0x00,             // iChannelNames, iTerminal
        0x09, 0x24, 0x06, 0x05, // FEATURE_UNIT 5
        0x04, 0x01,             // bSourceID 4, bControlSize 1
        0x03,                   // master: mute, volume
        0x00,                   // channel 1: none
        0x00,                   // iFeature
        0x09, 0x24, 0x03, 0x06, // OUTPUT_TERMINAL 6
        0x01, 0x01,             // wTerminalType USB streaming
        0x00, 0x05, 0x00,       // bAssocTerminal none, bSourceID 5, iTerminal
        0x09, 0x05, 0x83, 0x03, // ENDPOINT 3 IN, interrupt
        0x02, 0x00,             // wMaxPacketSize 2: one status message
        0x20,                   // bInterval 32 ms
        0x00, 0x00,             // bRefresh, bSynchAddress
        // AudioStreaming interface 1: playback
        0x09, 0x04, 0x01, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, // alternate 0: no bandwidth
        0x09, 0x04, 0x01, 0x01, 0x01, 0x01, 0x02, 0x00, 0x00, // alternate 1: one endpoint
        0x07, 0x24, 0x01,                                     // AS_GENERAL
        0x01, 0x01,                                           // bTerminalLink 1, bDelay 1 frame
        0x01, 0x00,                                           // wFormatTag PCM
        0x0E, 0x24, 0x02, 0x01,                               // FORMAT_TYPE I
        0x02, 0x02, 0x10,       // 2 channels, 2-byte subframes, 16 bits
        0x02,                   // two discrete rates:
        0x80, 0xBB, 0x00,       // 48000 Hz
        0x44, 0xAC, 0x00,       // 44100 Hz
        0x09, 0x05, 0x01, 0x09, // ENDPOINT 1 OUT, isochronous adaptive
        0xC4, 0x00,             // wMaxPacketSize 196: 49 frames of 4 bytes
        0x01, 0x00, 0x00,       // bInterval 1, bRefresh, bSynchAddress
        0x07, 0x25, 0x01,       // CS_ENDPOINT EP_GENERAL
        0x01,                   // bmAttributes: sampling frequency control
        0x00, 0x00, 0x00,       // bLockDelayUnits, wLockDelay
        0x09, 0x04, 0x01, 0x02, 0x01, 0x01, 0x02, 0x00, 0x00, // alternate 2: one endpoint
        0x07, 0x24, 0x01, 0x01, 0x01, 0x01, 0x00,             // AS_GENERAL: terminal 1, PCM
        0x0B, 0x24, 0x02, 0x01,                               // FORMAT_TYPE I
        0x02, 0x03, 0x18,                         // 2 channels, 3-byte subframes, 24 bits
        0x01,                                     // one rate:
        0x80, 0xBB, 0x00,                         // 48000 Hz
        0x09, 0x05, 0x01, 0x09,                   // ENDPOINT 1 OUT, isochronous adaptive
        0x26, 0x01,                               // wMaxPacketSize 294: 49 frames of 6 bytes
        0x01, 0x00, 0x00,                         // bInterval 1, bRefresh, bSynchAddress
        0x07, 0x25, 0x01, 0x01, 0x00, 0x00, 0x00, // EP_GENERAL: sampling frequency control
        // AudioStreaming interface 2: capture
        0x09, 0x04, 0x02, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, // alternate 0
        0x09, 0x04, 0x02, 0x01, 0x01, 0x01, 0x02, 0x00, 0x00, // alternate 1
        0x07, 0x24, 0x01, 0x06, 0x01, 0x01, 0x00,             // AS_GENERAL: terminal 6, PCM
        0x0B, 0x24, 0x02, 0x01,                               // FORMAT_TYPE I
        0x01, 0x02, 0x10,                         // 1 channel, 2-byte subframes, 16 bits
        0x01,                                     // one rate:
        0x80, 0xBB, 0x00,                         // 48000 Hz
        0x09, 0x05, 0x82, 0x05,                   // ENDPOINT 2 IN, isochronous asynchronous
        0x62, 0x00,                               // wMaxPacketSize 98: 49 frames of 2 bytes
        0x01, 0x00, 0x00,                         // bInterval 1, bRefresh, bSynchAddress
        0x07, 0x25, 0x01, 0x01, 0x00, 0x00, 0x00, // EP_GENERAL: sampling frequency control
    },
    {{1, u"Lintra Audio"}, {2, u"USB Speaker Mic"}, {0x32, u"Speaker Mic"}},
};

// ----------------------------------------------------------------------------
// Audio class 1.0 full-speed 7.1 output with mixer and selector
const SimReferenceConfig g_Ref2 = {
    "Uac1Surround71",
    EmuUsbSpeed::Full,
    {
        0x12, 0x01, 0x10, 0x01, // DEVICE, USB 1.10
        0x00, 0x00, 0x00, 0x40, // class per interface, bMaxPacketSize0 64
        0x54, 0x4C, 0x02, 0x10, // idVendor 0x4C54, idProduct 0x1002
        0x00, 0x01,             // bcdDevice 1.00
        0x01, 0x02, 0x00, 0x01, // strings 1 and 2, no serial, one configuration
    },
    {
        0x09,
        0x02,
        0x2C,
        0x01, // CONFIGURATION, wTotalLength 300
        0x03,
        0x01,
        0x00,
        0x80,
        0xFA, // 3 interfaces, value 1, bus powered, 500 mA
        // AudioControl interface 0, no endpoint
        0x09,
        0x04,
        0x00,
        0x00,
        0x00,
        0x01,
        0x01,
        0x00,
        0x00,
        0x0A,
        0x24,
        0x01,
        0x00,
        0x01, // HEADER, bcdADC 1.00
        0x81,
        0x00, // wTotalLength 129: header and nine entities
        0x02,
        0x01,
        0x02, // interfaces 1 and 2
        0x0C,
        0x24,
        0x02,
        0x01, // INPUT_TERMINAL 1: USB streaming
        0x01,
        0x01,
        0x00, // wTerminalType, bAssocTerminal
        0x08,
        0x3F,
        0x06, // 8 channels: L R C LFE Ls Rs, side left and right
        0x00,
        0x00,
        0x0C,
        0x24,
        0x02,
        0x02, // INPUT_TERMINAL 2: line connector
        0x03,
        0x06,
        0x00, // wTerminalType 0x0603, bAssocTerminal
        0x02,
        0x03,
        0x00, // 2 channels: L R
        0x00,
        0x00,
        0x16,
        0x24,
        0x04,
        0x03, // MIXER_UNIT 3, 22 bytes
        0x02,
        0x01,
        0x02, // two inputs: terminals 1 (8 channels) and 2 (2 channels)
        0x08,
        0x3F,
        0x06,
        0x00, // 8 output channels as terminal 1, iChannelNames
        0xFF,
        0xFF,
        0xFF,
        0xFF,
        0xFF, // bmControls: 10 inputs x 8 outputs, every
        0xFF,
        0xFF,
        0xFF,
        0xFF,
        0xFF, // crossing programmable
        0x00, // iMixer
        0x19,
        0x24,
        0x06,
        0x04, // FEATURE_UNIT 4, 25 bytes
        0x03,
        0x02, // bSourceID 3 (the mixer), bControlSize 2
        0x17,
        0x02, // master: mute, volume, bass, treble, loudness
        0x02,
        0x00,
        0x02,
        0x00,
        0x02,
        0x00,
        0x02,
        0x00, // channels 1-4: volume
        0x02,
        0x00,
        0x02,
        0x00,
        0x02,
        0x00,
        0x02,
        0x00, // channels 5-8: volume
        0x00, // iFeature
        0x09,
        0x24,
        0x03,
        0x05,
        0x01,
        0x03,
        0x00,
        0x04,
        0x00, // OUTPUT_TERMINAL 5: speaker
        0x0C,
        0x24,
        0x02,
        0x06, // INPUT_TERMINAL 6: microphone
        0x01,
        0x02,
        0x00,
        0x02,
        0x03,
        0x00,
        0x00,
        0x00, // 2 channels: L R
        0x08,
        0x24,
        0x05,
        0x07, // SELECTOR_UNIT 7
        0x02,
        0x06,
        0x02, // two inputs: microphone 6, line 2
        0x00, // iSelector
        0x0A,
        0x24,
        0x06,
        0x08, // FEATURE_UNIT 8
        0x07,
        0x01, // bSourceID 7, bControlSize 1
        0x43, // master: mute, volume, automatic gain
        0x00,
        0x00, // channels 1 and 2: none
        0x00,
        0x09,
        0x24,
        0x03,
        0x09,
        0x01,
        0x01,
        0x00,
        0x08,
        0x00, // OUTPUT_TERMINAL 9: USB streaming
        // AudioStreaming interface 1: playback
        0x09,
        0x04,
        0x01,
        0x00,
        0x00,
        0x01,
        0x02,
        0x00,
        0x00, // alternate 0
        0x09,
        0x04,
        0x01,
        0x01,
        0x01,
        0x01,
        0x02,
        0x00,
        0x00, // alternate 1: 7.1
        0x07,
        0x24,
        0x01,
        0x01,
        0x01,
        0x01,
        0x00, // AS_GENERAL: terminal 1, PCM
        0x0E,
        0x24,
        0x02,
        0x01,
        0x08,
        0x02,
        0x10, // FORMAT_TYPE I: 8 channels, 16 bits
        0x02,
        0x80,
        0xBB,
        0x00,
        0x44,
        0xAC,
        0x00, // 48000 and 44100 Hz
        0x09,
        0x05,
        0x01,
        0x09, // ENDPOINT 1 OUT, isochronous adaptive
        0x10,
        0x03,
        0x01,
        0x00,
        0x00, // wMaxPacketSize 784: 49 frames of 16 bytes
        0x07,
        0x25,
        0x01,
        0x01,
        0x00,
        0x00,
        0x00, // EP_GENERAL: sampling frequency control
        0x09,
        0x04,
        0x01,
        0x02,
        0x01,
        0x01,
        0x02,
        0x00,
        0x00, // alternate 2: stereo
        0x07,
        0x24,
        0x01,
        0x01,
        0x01,
        0x01,
        0x00, // AS_GENERAL: terminal 1, PCM
        0x0B,
        0x24,
        0x02,
        0x01,
        0x02,
        0x02,
        0x10, // FORMAT_TYPE I: 2 channels, 16 bits
        0x01,
        0x80,
        0xBB,
        0x00, // 48000 Hz
        0x09,
        0x05,
        0x01,
        0x09,
        0xC4,
        0x00,
        0x01,
        0x00,
        0x00, // ENDPOINT 1 OUT, 196 bytes
        0x07,
        0x25,
        0x01,
        0x01,
        0x00,
        0x00,
        0x00,
        // AudioStreaming interface 2: capture
        0x09,
        0x04,
        0x02,
        0x00,
        0x00,
        0x01,
        0x02,
        0x00,
        0x00, // alternate 0
        0x09,
        0x04,
        0x02,
        0x01,
        0x01,
        0x01,
        0x02,
        0x00,
        0x00, // alternate 1
        0x07,
        0x24,
        0x01,
        0x09,
        0x01,
        0x01,
        0x00, // AS_GENERAL: terminal 9, PCM
        0x0E,
        0x24,
        0x02,
        0x01,
        0x02,
        0x02,
        0x10, // FORMAT_TYPE I: 2 channels, 16 bits
        0x00, // continuous rates:
        0x40,
        0x1F,
        0x00, // from 8000 Hz
        0x80,
        0xBB,
        0x00, // to 48000 Hz
        0x09,
        0x05,
        0x82,
        0x05,
        0xC4,
        0x00,
        0x01,
        0x00,
        0x00, // ENDPOINT 2 IN, asynchronous
        0x07,
        0x25,
        0x01,
        0x01,
        0x00,
        0x00,
        0x00,
    },
    {{1, u"Lintra Audio"}, {2, u"USB 7.1 Surround"}, {0x50, u"Generic 7.1 Sound"}},
};

// ----------------------------------------------------------------------------
// Audio class 2.0 high-speed device with clock source and feedback
const SimReferenceConfig g_Ref3 = {
    "Uac2HighSpeed",
    EmuUsbSpeed::High,
    {
        0x12,
        0x01,
        0x00,
        0x02, // DEVICE, USB 2.00
        0xEF,
        0x02,
        0x01, // miscellaneous class with interface association
        0x40, // bMaxPacketSize0 64
        0x54,
        0x4C,
        0x03,
        0x20, // idVendor 0x4C54, idProduct 0x2003
        0x00,
        0x01,
        0x01,
        0x02,
        0x00,
        0x01,
    },
    {
        0x09,
        0x02,
        0x3A,
        0x01, // CONFIGURATION, wTotalLength 314
        0x03,
        0x01,
        0x00,
        0xC0,
        0x00, // 3 interfaces, value 1, self powered
        0x08,
        0x0B, // INTERFACE_ASSOCIATION
        0x00,
        0x03, // interfaces 0 to 2
        0x01,
        0x00,
        0x20,
        0x00, // AUDIO function, protocol 2.0
        // AudioControl interface 0 with one interrupt endpoint
        0x09,
        0x04,
        0x00,
        0x00,
        0x01,
        0x01,
        0x01,
        0x20,
        0x00,
        0x09,
        0x24,
        0x01, // HEADER
        0x00,
        0x02,
        0x08, // bcdADC 2.00, bCategory I/O box
        0x6F,
        0x00, // wTotalLength 111
        0x00, // bmControls
        0x08,
        0x24,
        0x0A,
        0x10, // CLOCK_SOURCE 0x10
        0x03, // internal programmable clock
        0x07, // frequency read/write, validity read
        0x00,
        0x00, // bAssocTerminal, iClockSource
        0x11,
        0x24,
        0x02,
        0x01, // INPUT_TERMINAL 1
        0x01,
        0x01,
        0x00,
        0x10, // USB streaming, no association, clock 0x10
        0x02,
        0x03,
        0x00,
        0x00,
        0x00, // 2 channels: L R
        0x00,
        0x00,
        0x00,
        0x00, // iChannelNames, bmControls, iTerminal
        0x12,
        0x24,
        0x06,
        0x02,
        0x01, // FEATURE_UNIT 2, source 1
        0x0F,
        0x00,
        0x00,
        0x00, // master: mute and volume, read/write
        0x0C,
        0x00,
        0x00,
        0x00, // left: volume read/write
        0x0C,
        0x00,
        0x00,
        0x00, // right: volume read/write
        0x00,
        0x0C,
        0x24,
        0x03,
        0x03, // OUTPUT_TERMINAL 3
        0x01,
        0x03,
        0x00,
        0x02,
        0x10, // speaker, source 2, clock 0x10
        0x00,
        0x00,
        0x00, // bmControls, iTerminal
        0x11,
        0x24,
        0x02,
        0x04, // INPUT_TERMINAL 4
        0x01,
        0x02,
        0x00,
        0x10, // microphone, clock 0x10
        0x02,
        0x03,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        0x12,
        0x24,
        0x06,
        0x05,
        0x04, // FEATURE_UNIT 5, source 4
        0x0F,
        0x00,
        0x00,
        0x00, // master: mute and volume
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        0x0C,
        0x24,
        0x03,
        0x06, // OUTPUT_TERMINAL 6
        0x01,
        0x01,
        0x00,
        0x05,
        0x10, // USB streaming, source 5, clock 0x10
        0x00,
        0x00,
        0x00,
        0x07,
        0x05,
        0x83,
        0x03, // ENDPOINT 3 IN, interrupt
        0x06,
        0x00,
        0x04, // 6-byte messages, every 8 microframes
        // AudioStreaming interface 1: playback
        0x09,
        0x04,
        0x01,
        0x00,
        0x00,
        0x01,
        0x02,
        0x20,
        0x00, // alternate 0
        0x09,
        0x04,
        0x01,
        0x01,
        0x02,
        0x01,
        0x02,
        0x20,
        0x00, // alternate 1: 16-bit
        0x10,
        0x24,
        0x01,
        0x01, // AS_GENERAL: terminal 1
        0x00,
        0x01, // bmControls, format type I
        0x01,
        0x00,
        0x00,
        0x00, // bmFormats PCM
        0x02,
        0x03,
        0x00,
        0x00,
        0x00,
        0x00, // 2 channels L R, iChannelNames
        0x06,
        0x24,
        0x02,
        0x01,
        0x02,
        0x10, // FORMAT_TYPE I: 2-byte subslot, 16 bits
        0x07,
        0x05,
        0x01,
        0x05, // ENDPOINT 1 OUT, isochronous asynchronous
        0x64,
        0x00,
        0x01, // 100 bytes per microframe, every microframe
        0x08,
        0x25,
        0x01,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00, // EP_GENERAL
        0x07,
        0x05,
        0x81,
        0x11, // ENDPOINT 1 IN, isochronous feedback
        0x04,
        0x00,
        0x04, // 4 bytes (16.16), every 8 microframes
        0x09,
        0x04,
        0x01,
        0x02,
        0x02,
        0x01,
        0x02,
        0x20,
        0x00, // alternate 2: 24-bit
        0x10,
        0x24,
        0x01,
        0x01,
        0x00,
        0x01,
        0x01,
        0x00,
        0x00,
        0x00,
        0x02,
        0x03,
        0x00,
        0x00,
        0x00,
        0x00,
        0x06,
        0x24,
        0x02,
        0x01,
        0x04,
        0x18, // 4-byte subslot, 24 bits
        0x07,
        0x05,
        0x01,
        0x05,
        0xC8,
        0x00,
        0x01, // ENDPOINT 1 OUT, 200 bytes
        0x08,
        0x25,
        0x01,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        0x07,
        0x05,
        0x81,
        0x11,
        0x04,
        0x00,
        0x04, // feedback
        // AudioStreaming interface 2: capture
        0x09,
        0x04,
        0x02,
        0x00,
        0x00,
        0x01,
        0x02,
        0x20,
        0x00,
        0x09,
        0x04,
        0x02,
        0x01,
        0x01,
        0x01,
        0x02,
        0x20,
        0x00,
        0x10,
        0x24,
        0x01,
        0x06,
        0x00,
        0x01,
        0x01,
        0x00,
        0x00,
        0x00, // AS_GENERAL: terminal 6
        0x02,
        0x03,
        0x00,
        0x00,
        0x00,
        0x00,
        0x06,
        0x24,
        0x02,
        0x01,
        0x02,
        0x10,
        0x07,
        0x05,
        0x82,
        0x05,
        0x64,
        0x00,
        0x01, // ENDPOINT 2 IN, asynchronous
        0x08,
        0x25,
        0x01,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
    },
    {{1, u"Lintra Audio"}, {2, u"USB Audio 2.0 HS"}},
};

// ----------------------------------------------------------------------------
// Audio class 2.0 high-speed device with S/PDIF output and jacks
const SimReferenceConfig g_Ref4 = {
    "Uac2Spdif",
    EmuUsbSpeed::High,
    {
        0x12,
        0x01,
        0x00,
        0x02,
        0xEF,
        0x02,
        0x01,
        0x40, // DEVICE, USB 2.00, IAD
        0x54,
        0x4C,
        0x04,
        0x20, // idVendor 0x4C54, idProduct 0x2004
        0x00,
        0x01,
        0x01,
        0x02,
        0x00,
        0x01,
    },
    {
        0x09,
        0x02,
        0xF8,
        0x00, // CONFIGURATION, wTotalLength 248
        0x03,
        0x01,
        0x00,
        0x80,
        0x32,
        0x08,
        0x0B,
        0x00,
        0x03,
        0x01,
        0x00,
        0x20,
        0x00, // INTERFACE_ASSOCIATION
        0x09,
        0x04,
        0x00,
        0x00,
        0x01,
        0x01,
        0x01,
        0x20,
        0x00, // AudioControl
        0x09,
        0x24,
        0x01,
        0x00,
        0x02,
        0x01, // HEADER 2.00, desktop speaker
        0x69,
        0x00,
        0x00, // wTotalLength 105
        0x08,
        0x24,
        0x0A,
        0x20, // CLOCK_SOURCE 0x20
        0x03,
        0x07,
        0x00,
        0x00, // internal programmable; frequency r/w, validity read
        0x11,
        0x24,
        0x02,
        0x01, // INPUT_TERMINAL 1: USB streaming, clock 0x20
        0x01,
        0x01,
        0x00,
        0x20,
        0x02,
        0x03,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        0x12,
        0x24,
        0x06,
        0x02,
        0x01, // FEATURE_UNIT 2, source 1
        0x0F,
        0x00,
        0x00,
        0x00, // master: mute and volume
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        0x0C,
        0x24,
        0x03,
        0x03, // OUTPUT_TERMINAL 3
        0x05,
        0x06,
        0x00,
        0x02,
        0x20, // S/PDIF interface, source 2, clock 0x20
        0x00,
        0x00,
        0x00, // no controls
        0x0C,
        0x24,
        0x03,
        0x05, // OUTPUT_TERMINAL 5
        0x02,
        0x03,
        0x00,
        0x02,
        0x20, // headphones, source 2, clock 0x20
        0x04,
        0x00, // bmControls: connector readable
        0x00,
        0x11,
        0x24,
        0x02,
        0x06, // INPUT_TERMINAL 6
        0x03,
        0x06,
        0x00,
        0x20, // line connector, clock 0x20
        0x02,
        0x03,
        0x00,
        0x00,
        0x00,
        0x00, // 2 channels L R
        0x04,
        0x00, // bmControls: connector readable
        0x00,
        0x0C,
        0x24,
        0x03,
        0x07, // OUTPUT_TERMINAL 7
        0x01,
        0x01,
        0x00,
        0x06,
        0x20, // USB streaming, source 6, clock 0x20
        0x00,
        0x00,
        0x00,
        0x07,
        0x05,
        0x83,
        0x03,
        0x06,
        0x00,
        0x04, // ENDPOINT 3 IN, interrupt, 6 bytes
        // AudioStreaming interface 1: playback, adaptive (S/PDIF follows the host)
        0x09,
        0x04,
        0x01,
        0x00,
        0x00,
        0x01,
        0x02,
        0x20,
        0x00,
        0x09,
        0x04,
        0x01,
        0x01,
        0x01,
        0x01,
        0x02,
        0x20,
        0x00,
        0x10,
        0x24,
        0x01,
        0x01,
        0x00,
        0x01,
        0x01,
        0x00,
        0x00,
        0x00, // terminal 1, PCM
        0x02,
        0x03,
        0x00,
        0x00,
        0x00,
        0x00,
        0x06,
        0x24,
        0x02,
        0x01,
        0x02,
        0x10,
        0x07,
        0x05,
        0x01,
        0x09,
        0x64,
        0x00,
        0x01, // ENDPOINT 1 OUT, adaptive, 100 bytes
        0x08,
        0x25,
        0x01,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
        // AudioStreaming interface 2: capture
        0x09,
        0x04,
        0x02,
        0x00,
        0x00,
        0x01,
        0x02,
        0x20,
        0x00,
        0x09,
        0x04,
        0x02,
        0x01,
        0x01,
        0x01,
        0x02,
        0x20,
        0x00,
        0x10,
        0x24,
        0x01,
        0x07,
        0x00,
        0x01,
        0x01,
        0x00,
        0x00,
        0x00, // terminal 7, PCM
        0x02,
        0x03,
        0x00,
        0x00,
        0x00,
        0x00,
        0x06,
        0x24,
        0x02,
        0x01,
        0x02,
        0x10,
        0x07,
        0x05,
        0x82,
        0x05,
        0x64,
        0x00,
        0x01, // ENDPOINT 2 IN, asynchronous
        0x08,
        0x25,
        0x01,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00,
    },
    {{1, u"Lintra Audio"}, {2, u"USB Digital Audio"}},
};

const SimReferenceConfig* Find(SimReference which)
{
    switch (which)
    {
    case SimReference::Uac1SpeakerMic:
        return &g_Ref1;
    case SimReference::Uac1Surround71:
        return &g_Ref2;
    case SimReference::Uac2HighSpeed:
        return &g_Ref3;
    default:
        return &g_Ref4;
    }
}
} // namespace

const SimReferenceConfig& SimReferenceDescriptors(SimReference which)
{
    return *Find(which);
}

std::unique_ptr<SimUsbDevice> SimCreateReferenceDevice(SimReference which)
{
    const SimReferenceConfig& r = *Find(which);
    std::string error;
    std::unique_ptr<SimUsbDevice> d =
        SimUsbDevice::Create(r.Device, r.Configuration, r.Strings, r.Speed, &error);
    if (!d)
    {
        fprintf(stderr, "reference device %s: %s\n", r.Name, error.c_str());
        return nullptr;
    }
    SimAudioControl& a = d->Audio();
    if (which == SimReference::Uac2HighSpeed)
        a.SetClockRates(SimRef3::Clock, {44100, 48000, 88200, 96000, 176400, 192000});
    if (which == SimReference::Uac2Spdif)
    {
        a.SetClockRates(SimRef4::Clock, {44100, 48000, 96000});
        // A green 3.5 mm headphone jack on the front, plugged in; a blue line
        // jack on the rear, empty.
        SimTerminalPorts* hp = a.Ports(SimRef4::Headphones, true);
        hp->Jacks = {{{0x3, 0x01014000}}};
        hp->ConnectedChannels = 0x3;
        SimTerminalPorts* line = a.Ports(SimRef4::LineIn, true);
        line->Jacks = {{{0x3, 0x02013000}}};
        line->ConnectedChannels = 0;
    }
    return d;
}

std::string SimReferenceText(SimReference which)
{
    const SimReferenceConfig& r = *Find(which);
    std::string text = "# ";
    text += r.Name;
    text += "\n";
    auto line = [&](const UCHAR* p, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
        {
            char hex[4];
            snprintf(hex, sizeof(hex), i ? " %02X" : "%02X", p[i]);
            text += hex;
        }
        text += "\n";
    };
    line(r.Device.data(), r.Device.size());
    for (size_t pos = 0; pos < r.Configuration.size() && r.Configuration[pos] != 0;
         pos += r.Configuration[pos])
        line(&r.Configuration[pos], r.Configuration[pos]);
    for (const auto& [index, value] : r.Strings)
    {
        text += "string " + std::to_string(index) + " \"";
        for (char16_t c : value)
            text += (char)c;
        text += "\"\n";
    }
    return text;
}
