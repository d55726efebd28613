// USB 2.0 descriptors and request codes, and the Audio Device Class 1.0 and
// 2.0 descriptor and request codes, laid out as they travel on the wire
// (packed, little-endian). Shared by the USB stack, the simulated devices and
// the driver.
#pragma once

#include "platform/kernel/nt_types.h"

// ----------------------------------------------------------------------------
// Descriptor types
#define USB_DEVICE_DESCRIPTOR_TYPE 0x01
#define USB_CONFIGURATION_DESCRIPTOR_TYPE 0x02
#define USB_STRING_DESCRIPTOR_TYPE 0x03
#define USB_INTERFACE_DESCRIPTOR_TYPE 0x04
#define USB_ENDPOINT_DESCRIPTOR_TYPE 0x05
#define USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE 0x06
#define USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE 0x07
#define USB_INTERFACE_POWER_DESCRIPTOR_TYPE 0x08
#define USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE 0x0B

#define USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(d, i) ((USHORT)((USHORT)(d) << 8 | (i)))

// Standard requests (bRequest)
#define USB_REQUEST_GET_STATUS 0x00
#define USB_REQUEST_CLEAR_FEATURE 0x01
#define USB_REQUEST_SET_FEATURE 0x03
#define USB_REQUEST_SET_ADDRESS 0x05
#define USB_REQUEST_GET_DESCRIPTOR 0x06
#define USB_REQUEST_SET_DESCRIPTOR 0x07
#define USB_REQUEST_GET_CONFIGURATION 0x08
#define USB_REQUEST_SET_CONFIGURATION 0x09
#define USB_REQUEST_GET_INTERFACE 0x0A
#define USB_REQUEST_SET_INTERFACE 0x0B
#define USB_REQUEST_SYNC_FRAME 0x0C

#define USB_FEATURE_ENDPOINT_STALL 0x0000
#define USB_FEATURE_REMOTE_WAKEUP 0x0001

// bmRequestType fields
#define BMREQUEST_HOST_TO_DEVICE 0
#define BMREQUEST_DEVICE_TO_HOST 1
#define BMREQUEST_STANDARD 0
#define BMREQUEST_CLASS 1
#define BMREQUEST_VENDOR 2
#define BMREQUEST_TO_DEVICE 0
#define BMREQUEST_TO_INTERFACE 1
#define BMREQUEST_TO_ENDPOINT 2
#define BMREQUEST_TO_OTHER 3

#define USB_ENDPOINT_DIRECTION_MASK 0x80
#define USB_ENDPOINT_DIRECTION_IN(a) (((a)&USB_ENDPOINT_DIRECTION_MASK) != 0)
#define USB_ENDPOINT_DIRECTION_OUT(a) (((a)&USB_ENDPOINT_DIRECTION_MASK) == 0)
#define USB_ENDPOINT_TYPE_MASK 0x03
#define USB_ENDPOINT_TYPE_CONTROL 0x00
#define USB_ENDPOINT_TYPE_ISOCHRONOUS 0x01
#define USB_ENDPOINT_TYPE_BULK 0x02
#define USB_ENDPOINT_TYPE_INTERRUPT 0x03
// Isochronous synchronisation type (bits 3..2) and usage type (bits 5..4)
#define USB_ENDPOINT_SYNC_MASK 0x0C
#define USB_ENDPOINT_SYNC_ASYNCHRONOUS 0x04
#define USB_ENDPOINT_SYNC_ADAPTIVE 0x08
#define USB_ENDPOINT_SYNC_SYNCHRONOUS 0x0C
#define USB_ENDPOINT_USAGE_MASK 0x30
#define USB_ENDPOINT_USAGE_DATA 0x00
#define USB_ENDPOINT_USAGE_FEEDBACK 0x10
#define USB_ENDPOINT_USAGE_IMPLICIT_FEEDBACK 0x20

#define USB_CONFIG_BUS_POWERED 0x80
#define USB_CONFIG_SELF_POWERED 0x40
#define USB_CONFIG_REMOTE_WAKEUP 0x20

#pragma pack(push, 1)

typedef struct _USB_COMMON_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
} USB_COMMON_DESCRIPTOR, *PUSB_COMMON_DESCRIPTOR;

typedef struct _USB_DEVICE_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;

typedef struct _USB_CONFIGURATION_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_ASSOCIATION_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bFirstInterface;
    UCHAR bInterfaceCount;
    UCHAR bFunctionClass;
    UCHAR bFunctionSubClass;
    UCHAR bFunctionProtocol;
    UCHAR iFunction;
} USB_INTERFACE_ASSOCIATION_DESCRIPTOR, *PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;

typedef struct _USB_ENDPOINT_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize; // bits 12..11: additional transactions per microframe
    UCHAR bInterval;
} USB_ENDPOINT_DESCRIPTOR, *PUSB_ENDPOINT_DESCRIPTOR;

// Audio class 1.0 endpoints append bRefresh and bSynchAddress.
typedef struct _USB_AUDIO_ENDPOINT_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
    UCHAR bRefresh;
    UCHAR bSynchAddress;
} USB_AUDIO_ENDPOINT_DESCRIPTOR, *PUSB_AUDIO_ENDPOINT_DESCRIPTOR;

typedef struct _USB_STRING_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    WCHAR bString[1];
} USB_STRING_DESCRIPTOR, *PUSB_STRING_DESCRIPTOR;

typedef struct _USB_DEVICE_QUALIFIER_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    UCHAR bNumConfigurations;
    UCHAR bReserved;
} USB_DEVICE_QUALIFIER_DESCRIPTOR, *PUSB_DEVICE_QUALIFIER_DESCRIPTOR;

// The eight bytes of a SETUP packet.
typedef struct _USB_DEFAULT_PIPE_SETUP_PACKET
{
    UCHAR bmRequestType;
    UCHAR bRequest;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
} USB_DEFAULT_PIPE_SETUP_PACKET, *PUSB_DEFAULT_PIPE_SETUP_PACKET;

// ----------------------------------------------------------------------------
// Audio class: headers shared by the class-specific descriptors.
typedef struct _USB_AUDIO_CS_DESCRIPTOR_HEADER
{
    UCHAR bLength;
    UCHAR bDescriptorType; // USB_AUDIO_CS_INTERFACE or USB_AUDIO_CS_ENDPOINT
    UCHAR bDescriptorSubtype;
} USB_AUDIO_CS_DESCRIPTOR_HEADER, *PUSB_AUDIO_CS_DESCRIPTOR_HEADER;

// Any unit or terminal: the id follows the header.
typedef struct _USB_AUDIO_ENTITY_HEADER
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bEntityID;
} USB_AUDIO_ENTITY_HEADER, *PUSB_AUDIO_ENTITY_HEADER;

// Audio class 1.0 AudioControl header (baInterfaceNr follows).
typedef struct _USB_AUDIO10_AC_HEADER
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    USHORT bcdADC;
    USHORT wTotalLength;
    UCHAR bInCollection;
} USB_AUDIO10_AC_HEADER, *PUSB_AUDIO10_AC_HEADER;

typedef struct _USB_AUDIO10_INPUT_TERMINAL
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bNrChannels;
    USHORT wChannelConfig;
    UCHAR iChannelNames;
    UCHAR iTerminal;
} USB_AUDIO10_INPUT_TERMINAL, *PUSB_AUDIO10_INPUT_TERMINAL;

typedef struct _USB_AUDIO10_OUTPUT_TERMINAL
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bSourceID;
    UCHAR iTerminal;
} USB_AUDIO10_OUTPUT_TERMINAL, *PUSB_AUDIO10_OUTPUT_TERMINAL;

typedef struct _USB_AUDIO10_AS_GENERAL
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalLink;
    UCHAR bDelay;
    USHORT wFormatTag;
} USB_AUDIO10_AS_GENERAL, *PUSB_AUDIO10_AS_GENERAL;

// Type I format (tSamFreq entries of 3 bytes follow; bSamFreqType 0 means a
// continuous range of two entries).
typedef struct _USB_AUDIO10_FORMAT_TYPE_I
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bFormatType;
    UCHAR bNrChannels;
    UCHAR bSubframeSize;
    UCHAR bBitResolution;
    UCHAR bSamFreqType;
} USB_AUDIO10_FORMAT_TYPE_I, *PUSB_AUDIO10_FORMAT_TYPE_I;

typedef struct _USB_AUDIO10_CS_ENDPOINT
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bmAttributes; // bit 0 sampling frequency, bit 1 pitch, bit 7 max packets only
    UCHAR bLockDelayUnits;
    USHORT wLockDelay;
} USB_AUDIO10_CS_ENDPOINT, *PUSB_AUDIO10_CS_ENDPOINT;

typedef struct _USB_AUDIO20_AC_HEADER
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    USHORT bcdADC;
    UCHAR bCategory;
    USHORT wTotalLength;
    UCHAR bmControls;
} USB_AUDIO20_AC_HEADER, *PUSB_AUDIO20_AC_HEADER;

typedef struct _USB_AUDIO20_CLOCK_SOURCE
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bClockID;
    UCHAR bmAttributes;
    UCHAR bmControls; // bits 1..0 frequency, bits 3..2 validity
    UCHAR bAssocTerminal;
    UCHAR iClockSource;
} USB_AUDIO20_CLOCK_SOURCE, *PUSB_AUDIO20_CLOCK_SOURCE;

typedef struct _USB_AUDIO20_INPUT_TERMINAL
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bCSourceID;
    UCHAR bNrChannels;
    ULONG bmChannelConfig;
    UCHAR iChannelNames;
    USHORT bmControls;
    UCHAR iTerminal;
} USB_AUDIO20_INPUT_TERMINAL, *PUSB_AUDIO20_INPUT_TERMINAL;

typedef struct _USB_AUDIO20_OUTPUT_TERMINAL
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bSourceID;
    UCHAR bCSourceID;
    USHORT bmControls;
    UCHAR iTerminal;
} USB_AUDIO20_OUTPUT_TERMINAL, *PUSB_AUDIO20_OUTPUT_TERMINAL;

typedef struct _USB_AUDIO20_AS_GENERAL
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalLink;
    UCHAR bmControls;
    UCHAR bFormatType;
    ULONG bmFormats;
    UCHAR bNrChannels;
    ULONG bmChannelConfig;
    UCHAR iChannelNames;
} USB_AUDIO20_AS_GENERAL, *PUSB_AUDIO20_AS_GENERAL;

typedef struct _USB_AUDIO20_FORMAT_TYPE_I
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bFormatType;
    UCHAR bSubslotSize;
    UCHAR bBitResolution;
} USB_AUDIO20_FORMAT_TYPE_I, *PUSB_AUDIO20_FORMAT_TYPE_I;

typedef struct _USB_AUDIO20_CS_ENDPOINT
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bmAttributes;
    UCHAR bmControls;
    UCHAR bLockDelayUnits;
    USHORT wLockDelay;
} USB_AUDIO20_CS_ENDPOINT, *PUSB_AUDIO20_CS_ENDPOINT;

#pragma pack(pop)

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(sizeof(USB_AUDIO_ENDPOINT_DESCRIPTOR) == 9);
static_assert(sizeof(USB_DEFAULT_PIPE_SETUP_PACKET) == 8);
static_assert(sizeof(USB_AUDIO10_INPUT_TERMINAL) == 12);
static_assert(sizeof(USB_AUDIO10_OUTPUT_TERMINAL) == 9);
static_assert(sizeof(USB_AUDIO20_CLOCK_SOURCE) == 8);
static_assert(sizeof(USB_AUDIO20_INPUT_TERMINAL) == 17);
static_assert(sizeof(USB_AUDIO20_OUTPUT_TERMINAL) == 12);
static_assert(sizeof(USB_AUDIO20_AS_GENERAL) == 16);
static_assert(sizeof(USB_AUDIO20_CS_ENDPOINT) == 8);

// ----------------------------------------------------------------------------
// Audio class codes
#define USB_DEVICE_CLASS_AUDIO 0x01
#define USB_AUDIO_SUBCLASS_AUDIOCONTROL 0x01
#define USB_AUDIO_SUBCLASS_AUDIOSTREAMING 0x02
#define USB_AUDIO_SUBCLASS_MIDISTREAMING 0x03
#define USB_AUDIO_PROTOCOL_UNDEFINED 0x00 // audio class 1.0
#define USB_AUDIO_PROTOCOL_IP_VERSION_02_00 0x20

#define USB_AUDIO_CS_UNDEFINED 0x20
#define USB_AUDIO_CS_DEVICE 0x21
#define USB_AUDIO_CS_CONFIGURATION 0x22
#define USB_AUDIO_CS_STRING 0x23
#define USB_AUDIO_CS_INTERFACE 0x24
#define USB_AUDIO_CS_ENDPOINT 0x25

// AudioControl descriptor subtypes (1.0 and 2.0)
#define USB_AUDIO_AC_HEADER 0x01
#define USB_AUDIO_INPUT_TERMINAL 0x02
#define USB_AUDIO_OUTPUT_TERMINAL 0x03
#define USB_AUDIO_MIXER_UNIT 0x04
#define USB_AUDIO_SELECTOR_UNIT 0x05
#define USB_AUDIO_FEATURE_UNIT 0x06
#define USB_AUDIO10_PROCESSING_UNIT 0x07
#define USB_AUDIO10_EXTENSION_UNIT 0x08
#define USB_AUDIO20_EFFECT_UNIT 0x07
#define USB_AUDIO20_PROCESSING_UNIT 0x08
#define USB_AUDIO20_EXTENSION_UNIT 0x09
#define USB_AUDIO20_CLOCK_SOURCE_SUBTYPE 0x0A
#define USB_AUDIO20_CLOCK_SELECTOR 0x0B
#define USB_AUDIO20_CLOCK_MULTIPLIER 0x0C
#define USB_AUDIO20_SAMPLE_RATE_CONVERTER 0x0D

// AudioStreaming descriptor subtypes
#define USB_AUDIO_AS_GENERAL 0x01
#define USB_AUDIO_FORMAT_TYPE 0x02
#define USB_AUDIO_FORMAT_SPECIFIC 0x03
#define USB_AUDIO_EP_GENERAL 0x01

#define USB_AUDIO_FORMAT_TYPE_I 0x01
#define USB_AUDIO_FORMAT_TYPE_II 0x02
#define USB_AUDIO_FORMAT_TYPE_III 0x03

// Audio class 1.0 wFormatTag values
#define USB_AUDIO10_FORMAT_PCM 0x0001
#define USB_AUDIO10_FORMAT_PCM8 0x0002
#define USB_AUDIO10_FORMAT_IEEE_FLOAT 0x0003
#define USB_AUDIO10_FORMAT_ALAW 0x0004
#define USB_AUDIO10_FORMAT_MULAW 0x0005
#define USB_AUDIO10_FORMAT_IEC1937_AC3 0x2001
// Audio class 2.0 bmFormats bits (type I)
#define USB_AUDIO20_FORMAT_PCM 0x00000001u
#define USB_AUDIO20_FORMAT_PCM8 0x00000002u
#define USB_AUDIO20_FORMAT_IEEE_FLOAT 0x00000004u
#define USB_AUDIO20_FORMAT_TYPE_I_RAW_DATA 0x80000000u

// Terminal types
#define USB_AUDIO_TERMINAL_USB_STREAMING 0x0101
#define USB_AUDIO_TERMINAL_MICROPHONE 0x0201
#define USB_AUDIO_TERMINAL_SPEAKER 0x0301
#define USB_AUDIO_TERMINAL_HEADPHONES 0x0302
#define USB_AUDIO_TERMINAL_DESKTOP_SPEAKER 0x0304
#define USB_AUDIO_TERMINAL_HANDSET 0x0401
#define USB_AUDIO_TERMINAL_HEADSET 0x0402
#define USB_AUDIO_TERMINAL_ANALOG_CONNECTOR 0x0601
#define USB_AUDIO_TERMINAL_LINE_CONNECTOR 0x0603
#define USB_AUDIO_TERMINAL_SPDIF_INTERFACE 0x0605

// Audio class 1.0 request codes (bRequest)
#define USB_AUDIO10_SET_CUR 0x01
#define USB_AUDIO10_SET_MIN 0x02
#define USB_AUDIO10_SET_MAX 0x03
#define USB_AUDIO10_SET_RES 0x04
#define USB_AUDIO10_SET_MEM 0x05
#define USB_AUDIO10_GET_CUR 0x81
#define USB_AUDIO10_GET_MIN 0x82
#define USB_AUDIO10_GET_MAX 0x83
#define USB_AUDIO10_GET_RES 0x84
#define USB_AUDIO10_GET_MEM 0x85
#define USB_AUDIO10_GET_STAT 0xFF
// Audio class 2.0 request codes (direction from bmRequestType)
#define USB_AUDIO20_CUR 0x01
#define USB_AUDIO20_RANGE 0x02
#define USB_AUDIO20_MEM 0x03

// Feature unit control selectors (1.0 and 2.0 share 1..10)
#define USB_AUDIO_FU_MUTE_CONTROL 0x01
#define USB_AUDIO_FU_VOLUME_CONTROL 0x02
#define USB_AUDIO_FU_BASS_CONTROL 0x03
#define USB_AUDIO_FU_MID_CONTROL 0x04
#define USB_AUDIO_FU_TREBLE_CONTROL 0x05
#define USB_AUDIO_FU_GRAPHIC_EQUALIZER_CONTROL 0x06
#define USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL 0x07
#define USB_AUDIO_FU_DELAY_CONTROL 0x08
#define USB_AUDIO_FU_BASS_BOOST_CONTROL 0x09
#define USB_AUDIO_FU_LOUDNESS_CONTROL 0x0A
#define USB_AUDIO20_FU_INPUT_GAIN_CONTROL 0x0B
#define USB_AUDIO20_FU_INPUT_GAIN_PAD_CONTROL 0x0C
#define USB_AUDIO20_FU_PHASE_INVERTER_CONTROL 0x0D

// Other control selectors
#define USB_AUDIO10_SU_CONTROL 0x00 // selector unit: wValue 0
#define USB_AUDIO20_SU_SELECTOR_CONTROL 0x01
#define USB_AUDIO20_MU_MIXER_CONTROL 0x01
#define USB_AUDIO20_CS_SAM_FREQ_CONTROL 0x01
#define USB_AUDIO20_CS_CLOCK_VALID_CONTROL 0x02
#define USB_AUDIO20_TE_CONNECTOR_CONTROL 0x02
#define USB_AUDIO20_AS_ACT_ALT_SETTING_CONTROL 0x01
#define USB_AUDIO20_AS_VAL_ALT_SETTINGS_CONTROL 0x02
#define USB_AUDIO10_EP_SAMPLING_FREQ_CONTROL 0x01
#define USB_AUDIO10_EP_PITCH_CONTROL 0x02

// Volume value that stands for minus infinity
#define USB_AUDIO_VOLUME_SILENCE ((SHORT)0x8000)

// Interrupt status message: audio class 1.0 bStatusType bits
#define USB_AUDIO10_STATUS_INTERRUPT_PENDING 0x80
#define USB_AUDIO10_STATUS_MEMORY_CHANGED 0x40
#define USB_AUDIO10_STATUS_ORIGIN_MASK 0x0F
#define USB_AUDIO10_STATUS_ORIGIN_AC_INTERFACE 0x00
#define USB_AUDIO10_STATUS_ORIGIN_AS_INTERFACE 0x01
#define USB_AUDIO10_STATUS_ORIGIN_AS_ENDPOINT 0x02
