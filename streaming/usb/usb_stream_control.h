// What a client of a USB stream sees: the client interface it reaches by
// QueryInterface on the stream, the client record the stream keeps for it,
// and the notification record every callback registered on the stream's
// "\Callback\CyclicControlAddr%p" object receives. The wave-cyclic stream and
// the ASIO interface build on this header alone.
#pragma once

#include "framework/interfaces.h"

DEFINE_GUID(IID_IUsbStreamControl, 0x7C4D1930L, 0x875A, 0x418C, 0xA0, 0xA4, 0x3A, 0x30, 0x45, 0x6A,
            0x89, 0x96);

// The stream's content interface: an IDrmAudioStream table whose SetContentId
// forwards the content to the device below.
DEFINE_GUID(IID_IUsbStreamContent, 0xAA68946DL, 0x7D26, 0x4137, 0x9A, 0x5D, 0x71, 0xE1, 0xED, 0xB6,
            0xC0, 0xCC);

inline constexpr ULONG USB_STREAM_POOL_TAG = POOL_TAG("USBS");

// Client kinds. Opened and started clients are ordered by kind, highest
// first, one client per kind; kinds 1 and 2 may hand a chain node to StartClient.
inline constexpr ULONG STREAM_CLIENT_KIND_NODE_LATE = 1;
inline constexpr ULONG STREAM_CLIENT_KIND_NODE_EARLY = 2;
inline constexpr ULONG STREAM_CLIENT_KIND_WAVE_CYCLIC = 3;
inline constexpr ULONG STREAM_CLIENT_KIND_ASIO = 5;

// Notification types.
inline constexpr ULONG STREAM_NOTIFY_BYTES = 1;        // bytes played or recorded
inline constexpr ULONG STREAM_NOTIFY_START = 2;        // start or format change
inline constexpr ULONG STREAM_NOTIFY_RENDER_DATA = 3;  // fill this zeroed buffer
inline constexpr ULONG STREAM_NOTIFY_CAPTURE_DATA = 4; // take these captured bytes
// In the milliseconds of a start notification: the stream's format changed,
// so the client resynchronises its position.
inline constexpr ULONG STREAM_FORMAT_CHANGED = 0x80000000;

// The stream keeps at most this many URBs in flight, one per transfer context.
inline constexpr ULONG USB_STREAM_MAX_URBS = 10;

// One client of a stream (non-paged, zero-filled).
struct StreamClient
{
    ULONGLONG Kind;
    // The callback registration; the client's key in every client operation.
    PVOID Registration;
    ULONG MsPerUrb;
    ULONG UrbCount;
    WAVEFORMATEXTENSIBLE Format;
    ULONG Direction;
    UCHAR Started;
};
typedef StreamClient* PSTREAMCLIENT;

// The first argument of every notification (the second is null). Client is
// the stream's active client, whichever callback receives the record.
struct StreamNotification
{
    PSTREAMCLIENT Client;
    ULONG Type;
    union
    {
        ULONG Bytes; // STREAM_NOTIFY_BYTES
        struct
        {
            ULONG MsPerUrb; // with STREAM_FORMAT_CHANGED when the format changed
            ULONG UrbCount;
        } Start;
        struct
        {
            PVOID Buffer;
            ULONG Bytes;
        } Data; // STREAM_NOTIFY_RENDER_DATA and STREAM_NOTIFY_CAPTURE_DATA
    };
    // STREAM_NOTIFY_BYTES of a render URB: nonzero when the URB failed or was
    // cancelled, so the device did not take the bytes the client filled.
    ULONG Dropped;
};
static_assert(offsetof(StreamNotification, Type) == 8, "the type follows the client");
static_assert(offsetof(StreamNotification, Bytes) == 16, "the per-type fields follow the type");

// The client operations, each under the stream lock at PASSIVE_LEVEL.
DECLARE_INTERFACE_(IUsbStreamControl, IUnknown)
{
    // The format must be one of the stream's; msPerUrb 0 is refused and the
    // URB count is held to 1..USB_STREAM_MAX_URBS. The record stays the stream's.
    STDMETHOD(RegisterClient)
    (ULONG kind, PWAVEFORMATEX format, ULONG msPerUrb, ULONG urbCount, PCALLBACK_FUNCTION callback,
     PVOID callbackContext, PSTREAMCLIENT * client) PURE;
    STDMETHOD(UnregisterClient)(PVOID key) PURE;
    // Returns the active client's milliseconds per URB.
    STDMETHOD(StartClient)(PVOID key, ULONG startFrame, PULONG msPerUrb, PCHAINNODE node) PURE;
    STDMETHOD(StopClient)(PVOID key, PCHAINNODE node) PURE;
    // Returns the prepared client's milliseconds per URB and a frame number
    // from which the client may name its start frame.
    STDMETHOD(OpenClient)(PVOID key, PULONG msPerUrb, PULONG startFrame) PURE;
    STDMETHOD(CloseClient)(PVOID key) PURE;
};
typedef IUsbStreamControl* PUSBSTREAMCONTROL;
