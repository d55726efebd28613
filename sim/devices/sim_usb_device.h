// A simulated USB audio device: a descriptor set, the standard requests of
// USB 2.0 chapter 9, the audio function's class requests, a scriptable table
// of the device's own (vendor) requests, the streaming endpoints, a log of
// every control request and fault injection. It is the device end of an
// EmuUsbBus port.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/usb/emu_usb_function.h"
#include "sim/devices/sim_audio_control.h"
#include "sim/devices/sim_descriptor_set.h"
#include "sim/devices/sim_descriptor_text.h"
#include "sim/devices/sim_streaming.h"

// Which requests a fault or a scripted answer applies to; -1 matches any.
struct SimRequestMatch
{
    int RequestType = -1;
    int Request = -1;
    int Value = -1;
    int Index = -1;
    bool Matches(const USB_DEFAULT_PIPE_SETUP_PACKET& s) const;
};

// A scripted request handled by code: fills the IN data or takes the OUT
// data (*length: bytes moved); false refuses it with a stall.
using SimRequestHandler =
    std::function<bool(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data, ULONG* length)>;

enum class SimLoadCheck
{
    Notes, // unusual descriptors load and are noted
    Strict // a note refuses the descriptors
};

enum class SimFaultKind
{
    Stall,      // the request is refused with a STALL
    ShortRead,  // the IN data stage ends after ShortLength bytes
    NoResponse, // the device never answers
    Unplug      // the device is pulled out while handling the request
};

struct SimRequestRecord
{
    USB_DEFAULT_PIPE_SETUP_PACKET Setup{};
    std::vector<UCHAR> Data; // OUT data received, or IN data sent
    EmuUsbHandshake Result = EmuUsbHandshake::Ack;
    ULONG Frame = 0;
    // "A1 81 0200 0500 0002 > 00 F6": request type, request, value, index,
    // length, then "<" OUT data received or ">" IN data sent, then " STALL",
    // " NAK" or " GONE" when the device did not acknowledge.
    std::string Text() const;
};

class SimUsbDevice : public EmuUsbFunction
{
  public:
    // Builds a device connected at `speed` from its descriptor bytes; null
    // with *error set only when no device could send those bytes. What is
    // merely unusual is kept as a note; Strict refuses a set with notes (the
    // reference devices are exact).
    static std::unique_ptr<SimUsbDevice> Create(const SimDescriptorSource& source,
                                                EmuUsbSpeed speed, std::string* error,
                                                SimLoadCheck check = SimLoadCheck::Notes);
    static std::unique_ptr<SimUsbDevice> Create(const std::vector<UCHAR>& device,
                                                const std::vector<UCHAR>& configuration,
                                                const std::map<UCHAR, std::u16string>& strings,
                                                EmuUsbSpeed speed, std::string* error,
                                                SimLoadCheck check = SimLoadCheck::Notes);
    // The same from the text form (see SimParseDescriptorText). The speed is
    // `speed` when given, else the text's speed line, else high speed for a
    // bcdUSB of 2.00 or later.
    static std::unique_ptr<SimUsbDevice>
    CreateFromText(const std::string& text, std::optional<EmuUsbSpeed> speed, std::string* error);
    // The same from a file of that text (configurations captured from
    // hardware): a regular file, read within the text's bounds
    // (SimReadDescriptorFile).
    static std::unique_ptr<SimUsbDevice>
    CreateFromFile(const char* path, std::optional<EmuUsbSpeed> speed, std::string* error);

    // What is unusual about the device's descriptors, one line each.
    const std::vector<std::string>& Notes() const { return m_Notes; }

    // ---- EmuUsbFunction
    EmuUsbSpeed Speed() const override { return m_Speed; }
    EmuControlAnswer ControlTransfer(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data,
                                     ULONG frame) override;
    USBD_STATUS IsochOut(UCHAR endpoint, ULONG frame, ULONG microframe, const UCHAR* data,
                         ULONG length) override;
    USBD_STATUS IsochIn(UCHAR endpoint, ULONG frame, ULONG microframe, UCHAR* data, ULONG capacity,
                        ULONG* length) override;
    USBD_STATUS InterruptOrBulkIn(UCHAR endpoint, UCHAR* data, ULONG capacity,
                                  ULONG* length) override;
    USBD_STATUS InterruptOrBulkOut(UCHAR endpoint, const UCHAR* data, ULONG length) override;
    void BusReset() override;

    // ---- state
    const SimDescriptorSet& Descriptors() const { return m_Descriptors; }
    SimAudioControl& Audio() { return m_Audio; }
    SimStreaming& Streaming() { return m_Streaming; }
    UCHAR Configuration() const { return m_Configuration; }
    int AlternateSetting(UCHAR interfaceNumber) const; // -1 when unconfigured or absent
    bool EndpointHalted(UCHAR endpoint) const;

    // ---- the device's own requests
    // Answers matching requests with the given IN bytes, or accepts matching
    // OUT requests (reply ignored); stall: refuses them. Later entries win.
    void ScriptRequest(const SimRequestMatch& match, const std::vector<UCHAR>& reply,
                       bool stall = false);
    void ScriptHandler(const SimRequestMatch& match, SimRequestHandler handler);
    // The OUT data of the last request that matched a scripted entry.
    const std::vector<UCHAR>* LastScriptedOut(const SimRequestMatch& match) const;

    // A control change made on the device itself (a knob, a jack): the value
    // is set and the audio function's status message is queued on the
    // interrupt endpoint. false when there is no such control.
    bool ChangeControlOnDevice(UCHAR entity, UCHAR selector, UCHAR channel, LONG value);

    // ---- log and faults
    const std::vector<SimRequestRecord>& Log() const { return m_Log; }
    std::vector<std::string> LogText() const;
    void ClearLog() { m_Log.clear(); }
    // Applies to the matching requests after `skip` of them, `count` times.
    void InjectControlFault(const SimRequestMatch& match, SimFaultKind kind, ULONG count = 1,
                            ULONG skip = 0, ULONG shortLength = 0);
    void ClearFaults() { m_Faults.clear(); }

  private:
    struct Fault
    {
        SimRequestMatch Match;
        SimFaultKind Kind;
        ULONG Count;
        ULONG Skip;
        ULONG ShortLength;
    };
    struct Scripted
    {
        SimRequestMatch Match;
        std::vector<UCHAR> Reply;
        bool Stall;
        std::vector<UCHAR> LastOut;
        SimRequestHandler Handler;
    };

    SimUsbDevice() = default;
    std::string Init(EmuUsbSpeed speed, SimLoadCheck check);
    void UseConfiguration(size_t index);
    bool Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data, ULONG* length);
    void SelectAlternate(UCHAR interfaceNumber, UCHAR alternateSetting);
    bool EndpointInUse(UCHAR endpoint) const;

    SimDescriptorSet m_Descriptors;
    SimAudioControl m_Audio;
    SimStreaming m_Streaming;
    EmuUsbSpeed m_Speed = EmuUsbSpeed::Full;
    UCHAR m_Configuration = 0;
    std::map<UCHAR, UCHAR> m_Alternate;
    std::map<UCHAR, bool> m_Halted;
    std::vector<SimRequestRecord> m_Log;
    std::vector<Fault> m_Faults;
    std::vector<Scripted> m_Scripted;
    std::vector<std::string> m_Notes;
};
