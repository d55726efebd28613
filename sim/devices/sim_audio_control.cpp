#include "sim/devices/sim_audio_control.h"

#include <cstdio>
#include <cstring>

#include "audioclass/descriptor_rules.h"
#include "audioclass/device_selectors.h"
#include "audioclass/uac1_rates.h"

namespace
{
void PutValue(UCHAR* data, ULONG room, UCHAR size, LONG value, ULONG* written)
{
    ULONG n = size < room ? size : room;
    for (ULONG i = 0; i < n; ++i)
        data[i] = (UCHAR)((ULONG)value >> (8 * i));
    *written = n;
}

LONG ReadValue(const UCHAR* data, UCHAR size)
{
    switch (size)
    {
    case 1:
        return (LONG)(signed char)data[0];
    case 2:
        return (LONG)(SHORT)(data[0] | data[1] << 8);
    case 3:
        return (LONG)(data[0] | data[1] << 8 | data[2] << 16);
    default:
        return (LONG)((ULONG)data[0] | (ULONG)data[1] << 8 | (ULONG)data[2] << 16 |
                      (ULONG)data[3] << 24);
    }
}

USHORT Key(UCHAR selector, UCHAR channel)
{
    return (USHORT)(selector << 8 | channel);
}

// Implicit-feedback endpoints carry audio data like plain data endpoints.
bool IsDataEndpoint(const SimEndpointInfo& ep)
{
    return (ep.Attributes & USB_ENDPOINT_USAGE_MASK) != USB_ENDPOINT_USAGE_FEEDBACK;
}

bool IsIn(const USB_DEFAULT_PIPE_SETUP_PACKET& s)
{
    return (s.bmRequestType & 0x80) != 0;
}

// The default value set of a feature-unit control, as a typical device
// firmware initialises it.
bool FeatureDefaults(bool uac2, UCHAR selector, SimControlValue* v)
{
    *v = SimControlValue();
    switch (selector)
    {
    case USB_AUDIO_FU_MUTE_CONTROL:
    case USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL:
    case USB_AUDIO_FU_BASS_BOOST_CONTROL:
    case USB_AUDIO_FU_LOUDNESS_CONTROL:
        v->Size = 1;
        return true;
    case USB_AUDIO_FU_VOLUME_CONTROL:
        *v = {2, true, true, -0x0A00, -0x3C00, 0x0000, 0x0080};
        return true;
    case USB_AUDIO_FU_BASS_CONTROL:
    case USB_AUDIO_FU_MID_CONTROL:
    case USB_AUDIO_FU_TREBLE_CONTROL:
        *v = {1, true, true, 0, -48, 48, 4};
        return true;
    case USB_AUDIO_FU_DELAY_CONTROL:
        *v = {(UCHAR)(uac2 ? 4 : 2), true, true, 0, 0, 0x0400, 1};
        return true;
    case USB_AUDIO20_FU_INPUT_GAIN_CONTROL:
    case USB_AUDIO20_FU_INPUT_GAIN_PAD_CONTROL:
        if (!uac2)
            return false;
        *v = {2, true, true, 0, -0x0C00, 0x0C00, 0x0100};
        return true;
    case USB_AUDIO20_FU_PHASE_INVERTER_CONTROL:
        if (!uac2)
            return false;
        v->Size = 1;
        return true;
    default:
        return false;
    }
}
} // namespace

// The AudioControl interface that drives the streams: the first one whose
// collection (a 1.0 header's list, or the interface association grouping it)
// holds an AudioStreaming interface, else the first one. Another one belongs
// to a second function (MIDI) and answers for its own entities.
const SimAltSetting* SimAudioControl::ChooseControlInterface(std::vector<std::string>* notes) const
{
    const std::vector<UCHAR>& c = *m_Config;
    std::vector<const SimAltSetting*> controls;
    for (const SimAltSetting& a : m_Descriptors->AltSettings())
        if (a.Class == USB_DEVICE_CLASS_AUDIO && a.SubClass == USB_AUDIO_SUBCLASS_AUDIOCONTROL &&
            a.AlternateSetting == 0)
            controls.push_back(&a);
    auto streaming = [&](ULONG number)
    {
        for (const SimAltSetting& s : m_Descriptors->AltSettings())
            if (s.InterfaceNumber == number && s.Class == USB_DEVICE_CLASS_AUDIO &&
                s.SubClass == USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
                return true;
        return false;
    };
    auto namesStreaming = [&](const SimAltSetting& a)
    {
        for (size_t pos : SimClassInterfaceDescriptors(c, a))
        {
            if (c[pos] < 8 || c[pos + 2] != USB_AUDIO_AC_HEADER || a.Protocol != 0)
                continue;
            for (size_t i = 0; i < c[pos + 7] && 8 + i < c[pos]; ++i)
                if (streaming(c[pos + 8 + i]))
                    return true;
        }
        for (size_t pos = c[0]; pos + 8 <= c.size() && c[pos] >= 2; pos += c[pos])
            if (c[pos] >= 8 && c[pos + 1] == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE &&
                a.InterfaceNumber >= c[pos + 2] && a.InterfaceNumber < c[pos + 2] + c[pos + 3])
                for (ULONG n = c[pos + 2]; n < (ULONG)c[pos + 2] + c[pos + 3]; ++n)
                    if (streaming(n))
                        return true;
        return false;
    };
    const SimAltSetting* chosen = controls.empty() ? nullptr : controls[0];
    for (const SimAltSetting* a : controls)
        if (namesStreaming(*a))
        {
            chosen = a;
            break;
        }
    for (const SimAltSetting* a : controls)
        if (a != chosen)
            notes->push_back("AudioControl interface " + std::to_string(a->InterfaceNumber) +
                             (namesStreaming(*a) ? " is a second audio function's"
                                                 : " holds no AudioStreaming interface") +
                             ": it answers for its own entities only");
    return chosen;
}

std::vector<std::string> SimAudioControl::Build(const SimDescriptorSet* descriptors)
{
    m_Descriptors = descriptors;
    m_Config = &descriptors->Configuration();
    m_Functions.clear();
    m_Entities = nullptr;
    m_HasAc = false;
    m_CurrentAlt.clear();
    m_EndpointRate.clear();
    std::vector<std::string> notes;
    const SimAltSetting* control = ChooseControlInterface(&notes);
    if (control == nullptr)
        return notes;
    m_HasAc = true;
    for (const SimAltSetting& a : m_Descriptors->AltSettings())
        if (a.Class == USB_DEVICE_CLASS_AUDIO && a.SubClass == USB_AUDIO_SUBCLASS_AUDIOCONTROL &&
            a.AlternateSetting == 0)
            m_Functions.push_back({&a, a.Protocol == USB_AUDIO_PROTOCOL_IP_VERSION_02_00, {}});
    for (size_t i = 0; i < m_Functions.size(); ++i)
    {
        Function& f = m_Functions[i];
        m_Primary = f.Control == control ? i : m_Primary;
        Use(f);
        ReadEntities(*f.Control, &notes);
        for (Entity& e : f.Entities)
            if (e.Subtype == USB_AUDIO_MIXER_UNIT)
            {
                const UCHAR* d = Descriptor(e);
                ULONG n = 0;
                for (UCHAR k = 0; k < d[4]; ++k)
                    n += ClusterChannels(d[5 + k], 0);
                e.MixerInputs = n;
            }
    }
    Use(m_Functions[m_Primary]);
    NoteFeedbackPairs(&notes);
    return notes;
}

void SimAudioControl::Use(Function& f)
{
    m_Uac2 = f.Uac2;
    m_AcInterface = f.Control->InterfaceNumber;
    m_Entities = &f.Entities;
}

SimAudioControl::Function* SimAudioControl::FunctionOf(UCHAR interfaceNumber)
{
    for (Function& f : m_Functions)
        if (f.Control->InterfaceNumber == interfaceNumber)
            return &f;
    return nullptr;
}

// A setting with an explicit feedback endpoint whose data endpoint is not
// asynchronous: the device still sends feedback, the driver decides.
void SimAudioControl::NoteFeedbackPairs(std::vector<std::string>* notes) const
{
    for (const SimAltSetting& a : m_Descriptors->AltSettings())
    {
        bool feedback = false;
        for (const SimEndpointInfo& ep : a.Endpoints)
            feedback = feedback || !IsDataEndpoint(ep);
        for (const SimEndpointInfo& ep : a.Endpoints)
            if (feedback && IsDataEndpoint(ep) &&
                (ep.Attributes & USB_ENDPOINT_SYNC_MASK) != USB_ENDPOINT_SYNC_ASYNCHRONOUS)
            {
                char text[120];
                snprintf(text, sizeof(text),
                         "interface %u setting %u: data endpoint 0x%02X is not asynchronous yet "
                         "has a feedback endpoint",
                         a.InterfaceNumber, a.AlternateSetting, ep.Address);
                notes->push_back(text);
            }
    }
}

// Takes every entity the firmware can serve; one it cannot (too short for
// its subtype, id 0 or taken) is left out with a note and its requests stall.
void SimAudioControl::ReadEntities(const SimAltSetting& control, std::vector<std::string>* notes)
{
    const std::vector<UCHAR>& c = *m_Config;
    auto note = [&](size_t pos, const char* what)
    { notes->push_back("AudioControl descriptor at offset " + std::to_string(pos) + ": " + what); };
    if (control.Protocol != 0 && control.Protocol != USB_AUDIO_PROTOCOL_IP_VERSION_02_00)
    {
        char text[112];
        snprintf(text, sizeof(text),
                 "AudioControl interface %u has protocol 0x%02X: its entities are not modelled "
                 "and answer nothing",
                 control.InterfaceNumber, control.Protocol);
        notes->push_back(text);
        return;
    }
    size_t headerTotal = 0, sum = 0, headerAt = 0;
    for (size_t pos = control.Body; pos < control.End; pos += c[pos])
    {
        if (c[pos + 1] != USB_AUDIO_CS_INTERFACE)
            continue;
        sum += c[pos];
        if (c[pos] < 3)
        {
            note(pos, "no subtype: ignored");
            continue;
        }
        const UCHAR subtype = c[pos + 2];
        if (c[pos] < MinimumLength(subtype))
        {
            note(pos, "shorter than its subtype: ignored");
            continue;
        }
        // What the firmware serves, a driver may still refuse by its rules
        // of the counts a descriptor states; noted once, after the
        // firmware's own faults.
        const DescriptorVerdict verdict = CheckAudioDescriptor(
            m_Uac2 ? AudioDescriptorVersion::Uac2 : AudioDescriptorVersion::Uac1,
            AudioInterfaceKind::AudioControl, &c[pos], c[pos]);
        auto noteRefusal = [&]
        {
            if (verdict == DescriptorVerdict::TooShort || verdict == DescriptorVerdict::BadContent)
                note(pos, verdict == DescriptorVerdict::TooShort
                              ? "shorter than its counts: a driver refuses it"
                              : "a count of 0 that a driver cannot divide by: a driver refuses it");
        };
        if (subtype == USB_AUDIO_AC_HEADER)
        {
            noteRefusal();
            headerAt = pos;
            headerTotal = m_Uac2 ? (c[pos + 6] | c[pos + 7] << 8) : (c[pos + 5] | c[pos + 6] << 8);
            continue;
        }
        Entity e;
        e.Id = c[pos + 3];
        e.Subtype = subtype;
        e.Offset = pos;
        const char* fault = e.Id == 0                     ? "entity id 0 is reserved: ignored"
                            : FindEntity(e.Id) != nullptr ? "entity id used twice: ignored"
                                                          : BuildEntity(e);
        if (fault != nullptr)
            note(pos, fault);
        else
        {
            noteRefusal();
            m_Entities->push_back(e);
        }
    }
    if (headerTotal != sum)
        note(headerAt, "header wTotalLength differs from its class-specific descriptors");
}

const char* SimAudioControl::BuildEntity(Entity& e)
{
    const UCHAR* d = Descriptor(e);
    switch (e.Subtype)
    {
    case USB_AUDIO_FEATURE_UNIT:
        BuildFeatureUnit(e);
        break;
    case USB_AUDIO_SELECTOR_UNIT:
        if (d[4] == 0 || d[0] < (m_Uac2 ? 7 : 6) + d[4])
            return "selector unit shorter than its inputs: ignored";
        e.Input = 1;
        break;
    case USB_AUDIO_MIXER_UNIT:
        if (d[0] < (m_Uac2 ? 13 : 10) + d[4])
            return "mixer unit shorter than its inputs: ignored";
        e.MixerOutputs = d[5 + d[4]];
        break;
    case USB_AUDIO20_CLOCK_SOURCE_SUBTYPE:
        if (m_Uac2)
        {
            e.Rates = m_Descriptors->ClockRates();
            e.Rate = e.Rates[0];
        }
        break;
    case USB_AUDIO_INPUT_TERMINAL:
    case USB_AUDIO_OUTPUT_TERMINAL:
        if (m_Uac2)
        {
            USHORT controls = e.Subtype == USB_AUDIO_INPUT_TERMINAL ? (USHORT)(d[14] | d[15] << 8)
                                                                    : (USHORT)(d[9] | d[10] << 8);
            e.HasPorts = (controls & 0x0C) != 0;
        }
        break;
    default:
        break;
    }
    return nullptr;
}

// Smallest lengths of the AudioControl descriptors the firmware understands,
// by class version and subtype.
size_t SimAudioControl::MinimumLength(UCHAR subtype) const
{
    const AudioDescriptorRule* rule = FindAudioDescriptorRule(
        m_Uac2 ? AudioDescriptorVersion::Uac2 : AudioDescriptorVersion::Uac1,
        AudioInterfaceKind::AudioControl, subtype);
    return rule != nullptr ? rule->FixedBytes : 4; // every entity carries its id after the subtype
}

void SimAudioControl::BuildFeatureUnit(Entity& e)
{
    const UCHAR* d = Descriptor(e);
    if (!m_Uac2)
    {
        UCHAR n = d[5];
        if (n == 0 || n > 4)
            return;
        int channels = (d[0] - 7) / n - 1;
        for (int ch = 0; ch <= channels; ++ch)
        {
            ULONG bits = 0;
            for (UCHAR b = 0; b < n; ++b)
                bits |= (ULONG)d[6 + ch * n + b] << (8 * b);
            for (UCHAR s = 1; s <= 10; ++s)
            {
                SimControlValue v;
                if ((bits >> (s - 1) & 1) && FeatureDefaults(false, s, &v))
                    e.Controls[Key(s, (UCHAR)ch)] = v;
            }
        }
        return;
    }
    int channels = (d[0] - 6) / 4 - 1;
    for (int ch = 0; ch <= channels; ++ch)
    {
        const UCHAR* p = d + 5 + 4 * ch;
        ULONG bits = (ULONG)p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24;
        for (UCHAR s = 1; s <= 13; ++s)
        {
            ULONG pair = bits >> (2 * (s - 1)) & 3;
            SimControlValue v;
            if (pair != 0 && FeatureDefaults(true, s, &v))
            {
                v.Writable = pair == 3;
                e.Controls[Key(s, (UCHAR)ch)] = v;
            }
        }
    }
}

SimAudioControl::Entity* SimAudioControl::FindEntity(UCHAR id)
{
    if (m_Entities == nullptr)
        return nullptr;
    for (Entity& e : *m_Entities)
        if (e.Id == id)
            return &e;
    return nullptr;
}

const SimAudioControl::Entity* SimAudioControl::FindEntity(UCHAR id) const
{
    return const_cast<SimAudioControl*>(this)->FindEntity(id);
}

ULONG SimAudioControl::ClusterChannels(UCHAR id, int depth) const
{
    const Entity* e = FindEntity(id);
    if (e == nullptr || depth > 32)
        return 0;
    const UCHAR* d = Descriptor(*e);
    switch (e->Subtype)
    {
    case USB_AUDIO_INPUT_TERMINAL:
        return m_Uac2 ? d[8] : d[7];
    case USB_AUDIO_FEATURE_UNIT:
        return ClusterChannels(d[4], depth + 1);
    case USB_AUDIO_SELECTOR_UNIT:
        return ClusterChannels(d[5], depth + 1);
    case USB_AUDIO_MIXER_UNIT:
        return d[5 + d[4]];
    default:
        return 0;
    }
}

SimControlValue* SimAudioControl::FindControl(UCHAR entity, UCHAR selector, UCHAR channel)
{
    Entity* e = FindEntity(entity);
    if (e == nullptr)
        return nullptr;
    auto it = e->Controls.find(Key(selector, channel));
    return it == e->Controls.end() ? nullptr : &it->second;
}

void SimAudioControl::AddControl(UCHAR entity, UCHAR selector, UCHAR channel,
                                 const SimControlValue& value)
{
    if (Entity* e = FindEntity(entity))
        e->Controls[Key(selector, channel)] = value;
}

void SimAudioControl::SetMemory(UCHAR entity, const std::vector<UCHAR>& bytes)
{
    if (Entity* e = FindEntity(entity))
        e->Memory = bytes;
}

SimTerminalPorts* SimAudioControl::Ports(UCHAR terminal, bool create)
{
    Entity* e = FindEntity(terminal);
    if (e == nullptr ||
        (e->Subtype != USB_AUDIO_INPUT_TERMINAL && e->Subtype != USB_AUDIO_OUTPUT_TERMINAL))
        return nullptr;
    if (create)
        e->HasPorts = true;
    return e->HasPorts ? &e->Ports : nullptr;
}

void SimAudioControl::SetClockRates(UCHAR clock, const std::vector<ULONG>& rates)
{
    Entity* e = FindEntity(clock);
    if (e == nullptr || e->Subtype != USB_AUDIO20_CLOCK_SOURCE_SUBTYPE || rates.empty())
        return;
    e->Rates = rates;
    e->Rate = rates[0];
}

void SimAudioControl::SetClockValid(UCHAR clock, bool valid)
{
    if (Entity* e = FindEntity(clock))
        e->Valid = valid;
}

ULONG SimAudioControl::ClockRate(UCHAR clock) const
{
    const Entity* e = FindEntity(clock);
    return e != nullptr && e->Subtype == USB_AUDIO20_CLOCK_SOURCE_SUBTYPE ? e->Rate : 0;
}

ULONG SimAudioControl::EndpointRate(UCHAR endpoint) const
{
    auto it = m_EndpointRate.find(endpoint);
    return it == m_EndpointRate.end() ? 0 : it->second;
}

UCHAR SimAudioControl::SelectorInput(UCHAR unit) const
{
    const Entity* e = FindEntity(unit);
    return e != nullptr ? e->Input : 0;
}

void SimAudioControl::SetValidAltSettings(UCHAR interfaceNumber, UCHAR controlSize, ULONG bitmap)
{
    ValidAlts& v = m_ValidAlts[interfaceNumber];
    v.ControlSize = controlSize < 1 ? 1 : (controlSize > 4 ? 4 : controlSize);
    v.Bitmap = bitmap;
    v.Set = true;
}

const SimAltSetting* SimAudioControl::CurrentAlt(UCHAR interfaceNumber) const
{
    auto it = m_CurrentAlt.find(interfaceNumber);
    return m_Descriptors->FindAlt(interfaceNumber, it == m_CurrentAlt.end() ? 0 : it->second);
}

void SimAudioControl::OnAlternateSetting(UCHAR interfaceNumber, UCHAR alternateSetting)
{
    m_CurrentAlt[interfaceNumber] = alternateSetting;
    if (m_Uac2)
        return;
    // A 1.0 endpoint starts at the first rate its format states, unless the
    // host already set one the new setting supports; one that follows its
    // data keeps none.
    const SimAltSetting* alt = m_Descriptors->FindAlt(interfaceNumber, alternateSetting);
    if (alt == nullptr)
        return;
    const std::vector<UCHAR>& c = *m_Config;
    for (const SimEndpointInfo& ep : alt->Endpoints)
    {
        if ((ep.Attributes & USB_ENDPOINT_TYPE_MASK) != USB_ENDPOINT_TYPE_ISOCHRONOUS ||
            !IsDataEndpoint(ep) || FollowsData(ep))
            continue;
        auto it = m_EndpointRate.find(ep.Address);
        if (it != m_EndpointRate.end() && RateSupported(*alt, it->second))
            continue;
        for (size_t pos : SimClassInterfaceDescriptors(c, *alt))
            if (c[pos + 2] == USB_AUDIO_FORMAT_TYPE && c[pos] >= 11)
                m_EndpointRate[ep.Address] = Uac1ReadRate(&c[pos + 8]);
    }
}

void SimAudioControl::OnBusReset()
{
    m_CurrentAlt.clear();
}

// A rate the format states: one of its list, or one between its range's
// bounds, read in either order, with no tolerance at them.
bool SimAudioControl::RateSupported(const SimAltSetting& alt, ULONG rate) const
{
    const std::vector<UCHAR>& c = *m_Config;
    for (size_t pos : SimClassInterfaceDescriptors(c, alt))
    {
        if (c[pos + 2] != USB_AUDIO_FORMAT_TYPE || c[pos] < 8)
            continue;
        const UCHAR count = c[pos + 7];
        if (count == 0)
        {
            ULONG lower = 0, upper = 0;
            if (c[pos] < 14)
                return false;
            Uac1RangeBounds(&c[pos], &lower, &upper);
            return rate >= lower && rate <= upper && rate != 0;
        }
        for (size_t at = pos + 8; at < pos + 8 + 3 * (size_t)count && at + 3 <= pos + c[pos];
             at += 3)
            if (Uac1ReadRate(&c[at]) == rate)
                return true;
        return false;
    }
    return false;
}

bool SimAudioControl::HasRateControl(const SimEndpointInfo& ep) const
{
    const std::vector<UCHAR>& c = *m_Config;
    return ep.ClassOffset != 0 && c[ep.ClassOffset] >= 4 && (c[ep.ClassOffset + 3] & 1) != 0;
}

const SimEndpointInfo* SimAudioControl::CurrentEndpoint(UCHAR address,
                                                        const SimAltSetting** alt) const
{
    for (const auto& [number, altNumber] : m_CurrentAlt)
        if ((*alt = m_Descriptors->FindAlt(number, altNumber)) != nullptr)
            for (const SimEndpointInfo& ep : (*alt)->Endpoints)
                if (ep.Address == address)
                    return &ep;
    return nullptr;
}

bool SimAudioControl::FollowsData(const SimEndpointInfo& ep) const
{
    const UCHAR sync = ep.Attributes & USB_ENDPOINT_SYNC_MASK;
    return !m_Uac2 && !USB_ENDPOINT_DIRECTION_IN(ep.Address) && IsDataEndpoint(ep) &&
           !HasRateControl(ep) &&
           (ep.Attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS &&
           (sync == USB_ENDPOINT_SYNC_ADAPTIVE || sync == USB_ENDPOINT_SYNC_SYNCHRONOUS);
}

const SimAudioControl::Entity* SimAudioControl::ClockOfSetting(const SimAltSetting& alt) const
{
    const std::vector<UCHAR>& c = *m_Config;
    for (size_t pos : SimClassInterfaceDescriptors(c, alt))
    {
        if (c[pos + 2] != USB_AUDIO_AS_GENERAL || c[pos] < 4)
            continue;
        const Entity* t = FindEntity(c[pos + 3]);
        if (t == nullptr ||
            (t->Subtype != USB_AUDIO_INPUT_TERMINAL && t->Subtype != USB_AUDIO_OUTPUT_TERMINAL))
            return nullptr;
        const UCHAR* d = Descriptor(*t);
        UCHAR clock = t->Subtype == USB_AUDIO_INPUT_TERMINAL ? d[7] : d[8];
        const Entity* k = FindEntity(clock);
        return k != nullptr && k->Subtype == USB_AUDIO20_CLOCK_SOURCE_SUBTYPE ? k : nullptr;
    }
    return nullptr;
}

void SimAudioControl::SetStreamRateSource(UCHAR interfaceNumber, std::function<ULONG()> rate)
{
    m_RateSources[interfaceNumber] = std::move(rate);
}

SimStreamRate SimAudioControl::StreamRate(UCHAR interfaceNumber) const
{
    const SimAltSetting* alt = CurrentAlt(interfaceNumber);
    if (alt == nullptr || alt->Endpoints.empty())
        return {};
    const auto source = m_RateSources.find(interfaceNumber);
    if (source != m_RateSources.end())
        if (const ULONG rate = source->second(); rate != 0)
            return {SimStreamRate::Own, rate};
    if (m_Uac2)
    {
        const Entity* k = ClockOfSetting(*alt);
        return {SimStreamRate::Own, k != nullptr ? k->Rate : 0};
    }
    for (const SimEndpointInfo& ep : alt->Endpoints)
        if (IsDataEndpoint(ep))
            return FollowsData(ep) ? SimStreamRate{SimStreamRate::FollowsData}
                                   : SimStreamRate{SimStreamRate::Own, EndpointRate(ep.Address)};
    return {};
}

// ----------------------------------------------------------------------------
// Requests

bool SimAudioControl::Answer(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data, ULONG* length)
{
    *length = 0;
    if (!m_HasAc)
        return false;
    UCHAR type = (s.bmRequestType >> 5) & 3;
    UCHAR recipient = s.bmRequestType & 0x1F;
    if (type != BMREQUEST_CLASS && type != BMREQUEST_VENDOR)
        return false;
    if (recipient == BMREQUEST_TO_ENDPOINT)
        return type == BMREQUEST_CLASS && EndpointRequest(s, data, length);
    if (recipient != BMREQUEST_TO_INTERFACE)
        return false;
    UCHAR interfaceNumber = (UCHAR)(s.wIndex & 0xFF);
    UCHAR entityId = (UCHAR)(s.wIndex >> 8);
    Function* function = FunctionOf(interfaceNumber);
    if (function == nullptr)
        return type == BMREQUEST_CLASS && entityId == 0 &&
               StreamingInterfaceRequest(interfaceNumber, s, data, length);
    Use(*function);
    Entity* e = FindEntity(entityId);
    const bool answered =
        e != nullptr && EntityRequest(*e, s, type == BMREQUEST_VENDOR, data, length);
    Use(m_Functions[m_Primary]);
    return answered;
}

bool SimAudioControl::ValueRequest(SimControlValue& v, const USB_DEFAULT_PIPE_SETUP_PACKET& s,
                                   UCHAR* data, ULONG* length)
{
    bool in = IsIn(s);
    enum
    {
        Cur,
        Min,
        Max,
        Res,
        Range
    } op;
    if (!m_Uac2)
    {
        switch (s.bRequest)
        {
        case USB_AUDIO10_SET_CUR:
            if (in)
                return false;
            op = Cur;
            break;
        case USB_AUDIO10_GET_CUR:
            op = Cur;
            break;
        case USB_AUDIO10_GET_MIN:
            op = Min;
            break;
        case USB_AUDIO10_GET_MAX:
            op = Max;
            break;
        case USB_AUDIO10_GET_RES:
            op = Res;
            break;
        default:
            return false;
        }
        if (s.bRequest & 0x80 ? !in : in)
            return false;
    }
    else
    {
        if (s.bRequest == USB_AUDIO20_CUR)
            op = Cur;
        else if (s.bRequest == USB_AUDIO20_RANGE && in)
            op = Range;
        else
            return false;
    }
    if (!in)
    {
        if (s.wLength != v.Size || !v.Writable)
            return false;
        LONG value = ReadValue(data, v.Size);
        bool silence = v.Size == 2 && value == USB_AUDIO_VOLUME_SILENCE;
        if (v.Ranged && !silence && (value < v.Minimum || value > v.Maximum))
            return false;
        if (!v.Ranged && v.Size == 1 && value != 0 && value != 1)
            return false;
        v.Current = value;
        *length = v.Size;
        return true;
    }
    if (s.wLength == 0)
        return false;
    if (op != Cur && !v.Ranged)
        return false;
    if (op == Range)
    {
        UCHAR block[2 + 3 * 4];
        block[0] = 1;
        block[1] = 0;
        ULONG w;
        PutValue(block + 2, v.Size, v.Size, v.Minimum, &w);
        PutValue(block + 2 + v.Size, v.Size, v.Size, v.Maximum, &w);
        PutValue(block + 2 + 2 * v.Size, v.Size, v.Size, v.Resolution, &w);
        ULONG total = 2 + 3 * v.Size;
        *length = total < s.wLength ? total : s.wLength;
        memcpy(data, block, *length);
        return true;
    }
    LONG value = op == Cur   ? v.Current
                 : op == Min ? v.Minimum
                 : op == Max ? v.Maximum
                             : v.Resolution;
    PutValue(data, s.wLength, v.Size, value, length);
    return true;
}

bool SimAudioControl::EntityRequest(Entity& e, const USB_DEFAULT_PIPE_SETUP_PACKET& s, bool vendor,
                                    UCHAR* data, ULONG* length)
{
    UCHAR selector = (UCHAR)(s.wValue >> 8), channel = (UCHAR)(s.wValue & 0xFF);
    bool in = IsIn(s);
    // Memory space requests (GET_MEM / SET_MEM in 1.0, MEM in 2.0): wValue is the offset.
    bool memRequest =
        !vendor &&
        (m_Uac2 ? s.bRequest == USB_AUDIO20_MEM
                : (s.bRequest == USB_AUDIO10_GET_MEM || s.bRequest == USB_AUDIO10_SET_MEM));
    if (memRequest)
    {
        if (!m_Uac2 && (s.bRequest == USB_AUDIO10_GET_MEM) != in)
            return false;
        size_t offset = s.wValue;
        if (s.wLength == 0 || offset + s.wLength > e.Memory.size())
            return false;
        if (in)
            memcpy(data, e.Memory.data() + offset, s.wLength);
        else
            memcpy(e.Memory.data() + offset, data, s.wLength);
        *length = s.wLength;
        return true;
    }
    switch (e.Subtype)
    {
    case USB_AUDIO_FEATURE_UNIT:
    {
        // 1.0 carries the device's own selectors (128 and above) in vendor
        // requests; 2.0 carries them in class requests.
        if (!m_Uac2 && vendor != (selector >= UAC_PSEUDO_SELECTOR_BASE))
            return false;
        if (m_Uac2 && vendor)
            return false;
        auto it = e.Controls.find(Key(selector, channel));
        if (it == e.Controls.end())
            return false;
        return ValueRequest(it->second, s, data, length);
    }
    case USB_AUDIO_SELECTOR_UNIT:
    {
        const UCHAR control = m_Uac2 ? USB_AUDIO20_SU_SELECTOR_CONTROL : USB_AUDIO10_SU_CONTROL;
        if (vendor || s.wValue != control << 8)
            return false;
        // 1.0 answers MIN, MAX and RES of the input number; 2.0 has CUR only.
        if (m_Uac2 && s.bRequest != USB_AUDIO20_CUR)
            return false;
        const UCHAR* d = Descriptor(e);
        SimControlValue v{1, true, true, e.Input, 1, d[4], 1};
        if (!ValueRequest(v, s, data, length))
            return false;
        e.Input = (UCHAR)v.Current;
        return true;
    }
    case USB_AUDIO_MIXER_UNIT:
    {
        if (vendor)
            return false;
        const UCHAR* d = Descriptor(e);
        UCHAR p = d[4];
        ULONG number;
        bool programmable = true;
        if (!m_Uac2)
        {
            ULONG icn = selector, ocn = channel;
            if (icn < 1 || icn > e.MixerInputs || ocn < 1 || ocn > e.MixerOutputs)
                return false;
            number = (icn - 1) * e.MixerOutputs + (ocn - 1);
            size_t mapBytes = d[0] - 10 - p;
            programmable =
                number / 8 < mapBytes && (d[9 + p + number / 8] & (0x80 >> (number % 8)));
        }
        else
        {
            if (selector != USB_AUDIO20_MU_MIXER_CONTROL ||
                channel >= e.MixerInputs * e.MixerOutputs)
                return false;
            number = channel;
        }
        USHORT key = (USHORT)number;
        auto it = e.Controls.find(key);
        if (it == e.Controls.end())
            it = e.Controls.emplace(key, SimControlValue{2, true, true, 0, -0x3C00, 0, 0x0100})
                     .first;
        it->second.Writable = programmable;
        return ValueRequest(it->second, s, data, length);
    }
    case USB_AUDIO20_CLOCK_SOURCE_SUBTYPE:
        if (!m_Uac2 || vendor)
            return false;
        return ClockRequest(e, s, data, length);
    case USB_AUDIO_INPUT_TERMINAL:
    case USB_AUDIO_OUTPUT_TERMINAL:
        return TerminalRequest(e, s, vendor, data, length);
    default:
        return false;
    }
}

bool SimAudioControl::ClockRequest(Entity& e, const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data,
                                   ULONG* length)
{
    const UCHAR* d = Descriptor(e);
    UCHAR controls = d[5];
    bool in = IsIn(s);
    if (s.wValue == (USB_AUDIO20_CS_SAM_FREQ_CONTROL << 8))
    {
        if ((controls & 3) == 0)
            return false;
        if (s.bRequest == USB_AUDIO20_CUR && in)
        {
            PutValue(data, s.wLength, 4, (LONG)e.Rate, length);
            return s.wLength != 0;
        }
        if (s.bRequest == USB_AUDIO20_CUR)
        {
            if ((controls & 3) != 3 || s.wLength != 4)
                return false;
            ULONG rate = (ULONG)ReadValue(data, 4);
            bool listed = false;
            for (ULONG r : e.Rates)
                listed = listed || r == rate;
            if (!listed)
                return false;
            e.Rate = rate;
            *length = 4;
            return true;
        }
        if (s.bRequest == USB_AUDIO20_RANGE && in && s.wLength != 0)
        {
            std::vector<UCHAR> block(2 + 12 * e.Rates.size());
            block[0] = (UCHAR)e.Rates.size();
            block[1] = (UCHAR)(e.Rates.size() >> 8);
            for (size_t i = 0; i < e.Rates.size(); ++i)
            {
                ULONG w;
                PutValue(&block[2 + 12 * i], 4, 4, (LONG)e.Rates[i], &w);
                PutValue(&block[6 + 12 * i], 4, 4, (LONG)e.Rates[i], &w);
            }
            *length = block.size() < s.wLength ? (ULONG)block.size() : s.wLength;
            memcpy(data, block.data(), *length);
            return true;
        }
        return false;
    }
    if (s.wValue == (USB_AUDIO20_CS_CLOCK_VALID_CONTROL << 8))
    {
        if ((controls & 0x0C) == 0 || s.bRequest != USB_AUDIO20_CUR || !in || s.wLength == 0)
            return false;
        data[0] = e.Valid ? 1 : 0;
        *length = 1;
        return true;
    }
    return false;
}

bool SimAudioControl::TerminalRequest(Entity& e, const USB_DEFAULT_PIPE_SETUP_PACKET& s,
                                      bool vendor, UCHAR* data, ULONG* length)
{
    // The connector and output-type requests are this device family's own
    // protocol: vendor requests in 1.0, class requests in 2.0.
    if (!e.HasPorts || vendor == m_Uac2)
        return false;
    bool in = IsIn(s);
    const UCHAR* d = Descriptor(e);
    SimTerminalPorts& ports = e.Ports;
    std::vector<USHORT> types = ports.Types;
    if (types.empty())
        types.push_back((USHORT)(d[4] | d[5] << 8));
    size_t current = ports.CurrentType < types.size() ? ports.CurrentType : 0;
    auto reply = [&](const std::vector<UCHAR>& bytes)
    {
        if (s.wLength == 0)
            return false;
        *length = bytes.size() < s.wLength ? (ULONG)bytes.size() : s.wLength;
        memcpy(data, bytes.data(), *length);
        return true;
    };
    UCHAR get = m_Uac2 ? USB_AUDIO20_CUR : USB_AUDIO10_GET_CUR;
    // The jacks answer on channel 0xFF of the connector control.
    const USHORT connector = USB_AUDIO20_TE_CONNECTOR_CONTROL << 8;
    if (s.wValue == (connector | 0xFF) && in && s.bRequest == get)
    {
        static const std::vector<SimJack> none;
        const std::vector<SimJack>& jacks =
            current < ports.Jacks.size() ? ports.Jacks[current] : none;
        std::vector<UCHAR> bytes(1 + 8 * jacks.size());
        bytes[0] = (UCHAR)jacks.size();
        for (size_t i = 0; i < jacks.size(); ++i)
            for (int b = 0; b < 4; ++b)
            {
                bytes[1 + 8 * i + b] = (UCHAR)(jacks[i].ChannelMapping >> (8 * b));
                bytes[5 + 8 * i + b] = (UCHAR)(jacks[i].Configuration >> (8 * b));
            }
        return reply(bytes);
    }
    if (s.wValue == connector && in && s.bRequest == get)
    {
        ULONG c = ports.ConnectedChannels;
        UCHAR count = (UCHAR)__builtin_popcount(c);
        return reply({count, (UCHAR)c, (UCHAR)(c >> 8), (UCHAR)(c >> 16), (UCHAR)(c >> 24), 0});
    }
    if (s.wValue == UAC2_OUTPUT_TYPE_SELECTOR << 8 && e.Subtype == USB_AUDIO_OUTPUT_TERMINAL)
    {
        UCHAR list = m_Uac2 ? USB_AUDIO20_RANGE : 0x86;
        if (in && s.bRequest == list)
        {
            std::vector<UCHAR> bytes(2 + 6 * types.size());
            bytes[0] = (UCHAR)types.size();
            bytes[1] = (UCHAR)(types.size() >> 8);
            for (size_t i = 0; i < types.size(); ++i)
            {
                bytes[2 + 6 * i] = (UCHAR)types[i];
                bytes[3 + 6 * i] = (UCHAR)(types[i] >> 8);
                if (m_Uac2)
                {
                    bytes[4 + 6 * i] = (UCHAR)types[i];
                    bytes[5 + 6 * i] = (UCHAR)(types[i] >> 8);
                }
            }
            return reply(bytes);
        }
        UCHAR cur = m_Uac2 ? USB_AUDIO20_CUR : USB_AUDIO10_GET_CUR;
        if (s.bRequest == cur && in)
            return reply({(UCHAR)types[current], (UCHAR)(types[current] >> 8)});
        if (s.bRequest == cur && !in)
        {
            if (s.wLength != 2)
                return false;
            USHORT wanted = (USHORT)(data[0] | data[1] << 8);
            for (size_t i = 0; i < types.size(); ++i)
                if (types[i] == wanted)
                {
                    ports.CurrentType = i;
                    *length = 2;
                    return true;
                }
            return false;
        }
    }
    return false;
}

bool SimAudioControl::StreamingInterfaceRequest(UCHAR interfaceNumber,
                                                const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data,
                                                ULONG* length)
{
    if (!m_Uac2 || s.bRequest != USB_AUDIO20_CUR || !IsIn(s) || s.wLength == 0)
        return false;
    bool streaming = false;
    ULONG present = 0;
    for (const SimAltSetting& a : m_Descriptors->AltSettings())
        if (a.InterfaceNumber == interfaceNumber && a.Class == USB_DEVICE_CLASS_AUDIO &&
            a.SubClass == USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
        {
            streaming = true;
            if (a.AlternateSetting < 32)
                present |= 1u << a.AlternateSetting;
        }
    if (!streaming)
        return false;
    if (s.wValue == (USB_AUDIO20_AS_ACT_ALT_SETTING_CONTROL << 8))
    {
        auto it = m_CurrentAlt.find(interfaceNumber);
        data[0] = it == m_CurrentAlt.end() ? 0 : it->second;
        *length = 1;
        return true;
    }
    if (s.wValue == (USB_AUDIO20_AS_VAL_ALT_SETTINGS_CONTROL << 8))
    {
        ValidAlts v =
            m_ValidAlts.count(interfaceNumber) ? m_ValidAlts[interfaceNumber] : ValidAlts();
        ULONG bitmap = v.Set ? v.Bitmap : present;
        UCHAR bytes[5] = {v.ControlSize, (UCHAR)bitmap, (UCHAR)(bitmap >> 8), (UCHAR)(bitmap >> 16),
                          (UCHAR)(bitmap >> 24)};
        ULONG total = 1u + v.ControlSize;
        *length = total < s.wLength ? total : s.wLength;
        memcpy(data, bytes, *length);
        return true;
    }
    return false;
}

bool SimAudioControl::EndpointRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data,
                                      ULONG* length)
{
    if (m_Uac2 || s.wValue != (USB_AUDIO10_EP_SAMPLING_FREQ_CONTROL << 8))
        return false;
    UCHAR address = (UCHAR)(s.wIndex & 0xFF);
    const SimAltSetting* alt = nullptr;
    const SimEndpointInfo* ep = CurrentEndpoint(address, &alt);
    if (ep == nullptr || !HasRateControl(*ep))
        return false;
    bool in = IsIn(s);
    if (in && s.bRequest == USB_AUDIO10_GET_CUR && s.wLength != 0)
    {
        PutValue(data, s.wLength, 3, (LONG)EndpointRate(address), length);
        return true;
    }
    if (!in && s.bRequest == USB_AUDIO10_SET_CUR && s.wLength == 3)
    {
        ULONG rate = (ULONG)ReadValue(data, 3);
        if (!RateSupported(*alt, rate))
            return false;
        m_EndpointRate[address] = rate;
        *length = 3;
        return true;
    }
    return false;
}
