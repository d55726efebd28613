// The audio function of a simulated device, as its firmware sees control
// requests: the entities of the AudioControl interface (terminals, units,
// clock sources) with their controls, the AudioStreaming interface controls
// and the audio class 1.0 endpoint sampling frequency. Built from the
// descriptor bytes alone; values persist and every request is range-checked
// as a device would, a bad one answered with a stall.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/usb/usbdi.h"
#include "sim/devices/sim_descriptor_set.h"

// One control value of an entity, for one channel. Levels are signed device
// units (1/256 dB for two-byte levels, 1/4 dB for one-byte tone levels).
struct SimControlValue
{
    UCHAR Size = 1; // bytes on the wire
    bool Ranged = false;
    bool Writable = true;
    LONG Current = 0;
    LONG Minimum = 0;
    LONG Maximum = 0;
    LONG Resolution = 0;
};

// Jacks of a terminal: one 8-byte entry each (channel mapping, then the
// configuration word with presence detection, colour, connection type and
// location bits), answered through the device's own connector requests.
struct SimJack
{
    ULONG ChannelMapping = 0;
    ULONG Configuration = 0;
};

// The device's own terminal extensions: jack list, connection state, and for
// output terminals a list of selectable terminal types, each with its jacks.
struct SimTerminalPorts
{
    std::vector<USHORT> Types;               // empty: the descriptor's own type only
    std::vector<std::vector<SimJack>> Jacks; // one list per type (or one list)
    size_t CurrentType = 0;
    ULONG ConnectedChannels = 0; // channel bits of the connection state
};

// The rate an interface's stream runs at, as the device keeps it.
struct SimStreamRate
{
    enum Kind : UCHAR
    {
        None,        // the interface streams nothing: its selected setting has no endpoint
        FollowsData, // the device has no rate of its own: it plays its data as it comes
        Own,         // the device runs the stream at Hz, whatever its data (0 Hz included)
    };
    Kind Is = None;
    ULONG Hz = 0;

    bool operator==(const SimStreamRate&) const = default;
};

class SimAudioControl
{
  public:
    // Builds the function from the selected configuration; the result holds
    // a note for each descriptor the firmware cannot serve (left out, its
    // requests stall) or that is otherwise unusual.
    std::vector<std::string> Build(const SimDescriptorSet* descriptors);

    bool IsAudioClass2() const { return m_Uac2; }
    bool HasAudioFunction() const { return m_HasAc; }
    UCHAR ControlInterface() const { return m_AcInterface; }

    // A class or vendor request addressed to the audio function (to any of
    // its AudioControl interfaces, each with its own entities). false: not
    // one of its requests (the device then stalls). *length: bytes of the IN
    // data stage, or the OUT bytes taken.
    bool Answer(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data, ULONG* length);

    void OnAlternateSetting(UCHAR interfaceNumber, UCHAR alternateSetting);
    void OnBusReset();

    // The rate the isochronous endpoint of an interface runs at: the clock
    // source of the interface's terminal (2.0; 0 Hz without one), or the
    // endpoint's sampling frequency (1.0). A 1.0 OUT endpoint, adaptive or
    // synchronous, that cannot be told its rate (no sampling-frequency
    // control) follows the data it receives and has no rate of its own.
    SimStreamRate StreamRate(UCHAR interfaceNumber) const;
    // Where a device sets an interface's rate another way than by the class
    // requests (a chip register): `rate` says the rate it runs at while the
    // interface streams, 0 where it says none (the class's rate then holds).
    void SetStreamRateSource(UCHAR interfaceNumber, std::function<ULONG()> rate);

    // ---- for tests and presets
    SimControlValue* FindControl(UCHAR entity, UCHAR selector, UCHAR channel);
    // Adds a control the descriptor does not announce (the device's own
    // selectors 128 and above, answered with vendor requests in 1.0).
    void AddControl(UCHAR entity, UCHAR selector, UCHAR channel, const SimControlValue& value);
    // The memory space of an entity, read and written by the MEM requests.
    void SetMemory(UCHAR entity, const std::vector<UCHAR>& bytes);
    SimTerminalPorts* Ports(UCHAR terminal, bool create);
    void SetClockRates(UCHAR clock, const std::vector<ULONG>& rates);
    void SetClockValid(UCHAR clock, bool valid);
    ULONG ClockRate(UCHAR clock) const;
    ULONG EndpointRate(UCHAR endpoint) const;
    UCHAR SelectorInput(UCHAR unit) const;
    // Answer of the valid-alternate-settings control: bControlSize bytes of
    // bitmap (1 to 4); the bitmap defaults to every alternate setting present.
    void SetValidAltSettings(UCHAR interfaceNumber, UCHAR controlSize, ULONG bitmap);

  private:
    struct Entity
    {
        UCHAR Id = 0;
        UCHAR Subtype = 0;
        size_t Offset = 0;
        std::map<USHORT, SimControlValue> Controls; // key: selector << 8 | channel
        std::vector<UCHAR> Memory;
        // clock source
        std::vector<ULONG> Rates;
        ULONG Rate = 0;
        bool Valid = true;
        // selector unit
        UCHAR Input = 1;
        // mixer unit: input and output channel counts
        ULONG MixerInputs = 0, MixerOutputs = 0;
        bool HasPorts = false;
        SimTerminalPorts Ports;
    };
    struct ValidAlts
    {
        UCHAR ControlSize = 4;
        ULONG Bitmap = 0;
        bool Set = false;
    };

    // The entities of one AudioControl interface, in its own class version.
    struct Function
    {
        const SimAltSetting* Control = nullptr;
        bool Uac2 = false;
        std::vector<Entity> Entities;
    };

    const UCHAR* Descriptor(const Entity& e) const { return m_Config->data() + e.Offset; }
    // Makes `f` the function that requests and entity look-ups address.
    void Use(Function& f);
    Function* FunctionOf(UCHAR interfaceNumber);
    Entity* FindEntity(UCHAR id);
    const Entity* FindEntity(UCHAR id) const;
    ULONG ClusterChannels(UCHAR id, int depth) const;
    const SimAltSetting* ChooseControlInterface(std::vector<std::string>* notes) const;
    void ReadEntities(const SimAltSetting& control, std::vector<std::string>* notes);
    const char* BuildEntity(Entity& e);
    size_t MinimumLength(UCHAR subtype) const;
    void NoteFeedbackPairs(std::vector<std::string>* notes) const;
    void BuildFeatureUnit(Entity& e);
    bool EntityRequest(Entity& e, const USB_DEFAULT_PIPE_SETUP_PACKET& s, bool vendor, UCHAR* data,
                       ULONG* length);
    bool ValueRequest(SimControlValue& v, const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data,
                      ULONG* length);
    bool TerminalRequest(Entity& e, const USB_DEFAULT_PIPE_SETUP_PACKET& s, bool vendor,
                         UCHAR* data, ULONG* length);
    bool ClockRequest(Entity& e, const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data,
                      ULONG* length);
    bool StreamingInterfaceRequest(UCHAR interfaceNumber, const USB_DEFAULT_PIPE_SETUP_PACKET& s,
                                   UCHAR* data, ULONG* length);
    bool EndpointRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data, ULONG* length);
    bool RateSupported(const SimAltSetting& alt, ULONG rate) const;
    // Whether the endpoint's class-specific descriptor declares the
    // sampling-frequency control.
    bool HasRateControl(const SimEndpointInfo& ep) const;
    // Whether an endpoint follows its data's rate.
    bool FollowsData(const SimEndpointInfo& ep) const;
    const SimAltSetting* CurrentAlt(UCHAR interfaceNumber) const;
    // The endpoint of that address in a selected setting, and its setting.
    const SimEndpointInfo* CurrentEndpoint(UCHAR address, const SimAltSetting** alt) const;
    // The clock source of the terminal a setting links to.
    const Entity* ClockOfSetting(const SimAltSetting& alt) const;

    const SimDescriptorSet* m_Descriptors = nullptr;
    const std::vector<UCHAR>* m_Config = nullptr;
    bool m_HasAc = false;
    bool m_Uac2 = false;
    UCHAR m_AcInterface = 0;
    // One per AudioControl interface; the primary one drives the streams.
    std::vector<Function> m_Functions;
    size_t m_Primary = 0;
    std::vector<Entity>* m_Entities = nullptr;             // the function in use
    std::map<UCHAR, UCHAR> m_CurrentAlt;                   // interface -> alternate setting
    std::map<UCHAR, ULONG> m_EndpointRate;                 // endpoint address -> Hz (1.0)
    std::map<UCHAR, std::function<ULONG()>> m_RateSources; // by interface number
    std::map<UCHAR, ValidAlts> m_ValidAlts;                // interface -> answer
};
