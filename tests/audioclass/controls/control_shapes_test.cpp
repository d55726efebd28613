// The control shapes: channel bounds and the channel count per mode, ranges,
// the selector's and the output type's listeners, terminal kinds and jacks,
// the clock's rate list, pseudo controls, and the registry value names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/callback_object.h"
#include "platform/kernel/emu.h"
#include "audioclass/controls/boolean_control.h"
#include "audioclass/controls/clock_frequency_control.h"
#include "audioclass/controls/control_settings.h"
#include "audioclass/controls/list_control.h"
#include "audioclass/controls/pseudo_control.h"
#include "audioclass/controls/ranged_control.h"
#include "audioclass/controls/selector_control.h"
#include "audioclass/controls/terminal_control.h"

namespace
{
constexpr ULONG kTag = POOL_TAG("UaSh");

// A control made, referenced and released with the scope.
template <typename T> class Made
{
  public:
    template <typename... A>
    explicit Made(A... args) : m_Object(new (NonPagedPool, kTag) T(args...))
    {
        m_Object->AddRef();
    }
    ~Made() { m_Object->Release(); }
    T* operator->() const { return m_Object; }
    T* Get() const { return m_Object; }

  private:
    T* m_Object;
};

// Records what listeners are told; counts its references.
struct Listener : public IChainNodeState, public IControlModeSetup
{
    std::vector<std::string>* Log;
    NTSTATUS Status = STATUS_SUCCESS;
    LONG References = 1;
    explicit Listener(std::vector<std::string>* log) : Log(log) {}
    STDMETHODIMP QueryInterface(REFIID, PVOID*) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(ULONG) AddRef() override { return ++References; }
    STDMETHODIMP_(ULONG) Release() override { return --References; }
    STDMETHODIMP SelectionChanging(ULONG next, ULONG previous) override
    {
        Log->push_back("changing " + std::to_string(next) + " " + std::to_string(previous));
        return Status;
    }
    STDMETHODIMP SetState(ULONG selection) override
    {
        Log->push_back("state " + std::to_string(selection));
        return STATUS_SUCCESS;
    }
    STDMETHODIMP SetIndex(ULONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP SetMode(ULONG mode, PVOID target) override
    {
        Log->push_back("mode " + std::to_string(mode) + (target ? " target" : ""));
        return STATUS_SUCCESS;
    }
};
} // namespace

TEST(ControlShapes, BooleanChannelsAndModes)
{
    Made<CBooleanControl> mute(nullptr, 4u, CONTROL_KIND_MUTE);
    ASSERT_EQ(STATUS_SUCCESS, mute->Init(9, 6));
    ULONG count = 0, source = 0;
    ASSERT_EQ(STATUS_SUCCESS, mute->GetValues(&(count = 1), &source));
    EXPECT_EQ(9u, source);
    EXPECT_EQ(STATUS_SUCCESS, mute->SetValue(5, 1));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, mute->SetValue(6, 1));
    UCHAR value = 0;
    EXPECT_EQ(STATUS_SUCCESS, mute->GetValue(5, &value));
    EXPECT_EQ(1, value);
    EXPECT_EQ(STATUS_SUCCESS, mute->GetValue(0, &value));
    EXPECT_EQ(0, value);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, mute->GetValue(6, &value));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, mute->GetValue(0, nullptr));
    // Six channels in modes 0, 1, 4, 6; two in any other.
    for (ULONG mode = 0; mode < 20; ++mode)
    {
        mute->SetMode(mode, nullptr);
        ASSERT_EQ(STATUS_SUCCESS, mute->GetChannelCount(&count));
        EXPECT_EQ(mode == 0 || mode == 1 || mode == 4 || mode == 6 ? 6u : 2u, count) << mode;
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, mute->GetChannelCount(nullptr));
    EXPECT_EQ(CONTROL_KIND_MUTE, mute->GetKind());
    EXPECT_EQ(4u, mute->GetId());
}

TEST(ControlShapes, RangedChannelsRangeAndModes)
{
    Made<CRangedControl> volume(nullptr, 2u, CONTROL_KIND_VOLUME);
    ASSERT_EQ(STATUS_SUCCESS, volume->Init(1, 2, 0, -60 << 16, 1 << 15));
    // One channel more than the on/off shape: 0 to the count.
    EXPECT_EQ(STATUS_SUCCESS, volume->SetValue(2, -5));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, volume->SetValue(3, -5));
    LONG value = 0;
    EXPECT_EQ(STATUS_SUCCESS, volume->GetValue(2, &value));
    EXPECT_EQ(-5, value);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, volume->GetValue(3, &value));
    LONG maximum = 1, minimum = 1, resolution = 1;
    EXPECT_EQ(STATUS_SUCCESS, volume->GetRange(&maximum, &minimum, &resolution));
    EXPECT_EQ(0, maximum);
    EXPECT_EQ(-60 << 16, minimum);
    EXPECT_EQ(1 << 15, resolution);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, volume->GetRange(&maximum, nullptr, &resolution));
    ULONG count = 0;
    for (ULONG mode : {2u, 7u})
    {
        volume->SetMode(mode, nullptr);
        volume->GetChannelCount(&count);
        EXPECT_EQ(2u, count);
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, volume->Init(1, 1, 0, 0, 0)); // once only
}

// SetCurrent tells every listener before and after, also for the input in
// use; the walk stops at the first listener that fails.
TEST(ControlShapes, SelectorListeners)
{
    std::vector<std::string> log;
    Listener first(&log), second(&log);
    {
        Made<CSelectorControl> selector(nullptr, 7u);
        const ULONG sources[3] = {4, 5, 6};
        ASSERT_EQ(STATUS_SUCCESS, selector->Init(3, sources));
        ULONG count = 0;
        selector->GetSourceCount(&count);
        EXPECT_EQ(3u, count);
        EXPECT_EQ(3u, selector->GetValueCount());
        ASSERT_EQ(STATUS_SUCCESS, selector->AddListener(&first));
        ASSERT_EQ(STATUS_SUCCESS, selector->AddListener(&second));
        EXPECT_EQ(2, first.References);
        EXPECT_EQ(STATUS_SUCCESS, selector->SetCurrent(2));
        EXPECT_EQ(STATUS_SUCCESS, selector->SetCurrent(2));
        EXPECT_EQ((std::vector<std::string>{"changing 2 0", "changing 2 0", "state 2", "state 2",
                                            "changing 2 2", "changing 2 2", "state 2", "state 2"}),
                  log);
        log.clear();
        EXPECT_EQ(STATUS_INVALID_PARAMETER, selector->SetCurrent(4));
        EXPECT_EQ(STATUS_INVALID_PARAMETER, selector->SetCurrent(0));
        first.Status = STATUS_DEVICE_BUSY;
        EXPECT_EQ(STATUS_DEVICE_BUSY, selector->SetCurrent(3));
        EXPECT_EQ(std::vector<std::string>{"changing 3 2"}, log);
        ULONG current = 0;
        selector->GetCurrent(&current);
        EXPECT_EQ(2u, current);
    }
    EXPECT_EQ(1, first.References);
    EXPECT_EQ(1, second.References);
}

// Select marks a change and passes the kind to the listeners as their mode;
// selecting the current item does nothing; only listed kinds are taken.
TEST(ControlShapes, OutputTypeList)
{
    std::vector<std::string> log;
    Listener listener(&log);
    {
        Made<CListControl> list(nullptr, 11u);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, list->Select(ENDPOINT_KIND_SPK)); // empty
        const ULONG six[6] = {1, 2, 3, 4, 6, 7};
        EXPECT_EQ(STATUS_INVALID_PARAMETER, list->Init(3, 6, six));
        EXPECT_EQ(STATUS_INVALID_PARAMETER, list->Init(3, 0, six));
        ASSERT_EQ(STATUS_SUCCESS, list->Init(3, 5, six));
        ULONG current = 0, count = 0, items[5] = {};
        list->GetCurrent(&current);
        EXPECT_EQ(1u, current);
        list->GetCount(&count);
        EXPECT_EQ(5u, count);
        list->GetItems(items);
        EXPECT_EQ(0, memcmp(six, items, sizeof(items)));
        list->AddListener(&listener);
        EXPECT_FALSE(list->IsChanged());
        EXPECT_EQ(STATUS_SUCCESS, list->Select(1));
        EXPECT_FALSE(list->IsChanged());
        EXPECT_TRUE(log.empty());
        EXPECT_EQ(STATUS_INVALID_PARAMETER, list->Select(7));
        EXPECT_EQ(STATUS_SUCCESS, list->Select(6));
        EXPECT_TRUE(list->IsChanged());
        EXPECT_EQ(std::vector<std::string>{"mode 6"}, log);
        list->ClearChanged();
        EXPECT_FALSE(list->IsChanged());
    }
    EXPECT_EQ(1, listener.References);
}

TEST(ControlShapes, TerminalKindsAndJacks)
{
    Made<CTerminalControl> terminal(nullptr, 3u, CONTROL_KIND_OUTPUT_TERMINAL);
    const ULONG kinds[6] = {ENDPOINT_KIND_SPK, ENDPOINT_KIND_HP, 3, 4, 5, 6};
    JackRecord jacks[2] = {};
    jacks[0].ChannelMapping = 3;
    jacks[1].IsConnected = 1;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, terminal->Init(6, kinds, 2, jacks));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, terminal->Init(0, kinds, 2, jacks));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, terminal->Init(2, kinds, 2, nullptr));
    const ULONG beyond[1] = {ENDPOINT_KIND_COUNT};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, terminal->Init(1, beyond, 0, nullptr));
    ASSERT_EQ(STATUS_SUCCESS, terminal->Init(5, kinds, 2, jacks));
    ULONG value = 0;
    terminal->GetCurrentKind(&value);
    EXPECT_EQ(ENDPOINT_KIND_SPK, value);
    EXPECT_EQ(STATUS_SUCCESS, terminal->SetKind(ENDPOINT_KIND_HP));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, terminal->SetKind(6));
    terminal->GetCurrentKind(&value);
    EXPECT_EQ(ENDPOINT_KIND_HP, value);
    // The jack records, cut to the caller's bytes.
    UCHAR out[80];
    memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(STATUS_SUCCESS, terminal->GetJackInfo(40, out));
    EXPECT_EQ(0, memcmp(jacks, out, 40));
    EXPECT_EQ(0xEE, out[40]);
    memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(STATUS_SUCCESS, terminal->GetJackInfo(80, out));
    EXPECT_EQ(0, memcmp(jacks, out, 72));
    EXPECT_EQ(0xEE, out[72]);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, terminal->GetJackInfo(0, out));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, terminal->GetJackInfo(36, nullptr));
    EndpointCapabilities caps = {};
    caps.CapabilityMask = 0x24;
    terminal->SetCapabilities(caps);
    EndpointCapabilities back = {};
    terminal->GetEndpointCapabilities(&back);
    EXPECT_EQ(0, memcmp(&caps, &back, 32));
    // Without jacks the records cannot be read.
    Made<CTerminalControl> plain(nullptr, 1u, CONTROL_KIND_INPUT_TERMINAL);
    ASSERT_EQ(STATUS_SUCCESS, plain->Init(1, kinds, 0, nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, plain->GetJackInfo(36, out));
}

// Thirty rates are taken, thirty-one refused; the caller's room must hold them.
TEST(ControlShapes, ClockRates)
{
    ULONG rates[31];
    for (ULONG i = 0; i < 31; ++i)
        rates[i] = 8000 + i;
    Made<CClockFrequencyControl> full(nullptr, 5u);
    ASSERT_EQ(STATUS_SUCCESS, full->Init(30, rates));
    ULONG out[31] = {}, count = 29;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, full->GetFrequencies(&count, out));
    count = 31;
    EXPECT_EQ(STATUS_SUCCESS, full->GetFrequencies(&count, out));
    EXPECT_EQ(30u, count);
    EXPECT_EQ(0, memcmp(rates, out, 30 * sizeof(ULONG)));
    Made<CClockFrequencyControl> over(nullptr, 6u);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, over->Init(31, rates));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, over->Init(2, nullptr));
    full->SetFrequency(48000);
    ULONG hz = 0;
    full->GetCurrent(&hz);
    EXPECT_EQ(48000u, hz);
    UCHAR valid = 0;
    full->GetClockValid(&valid);
    EXPECT_EQ(1, valid);
}

// Value names: the mode two wide and space-padded, the channel last.
TEST(ControlShapes, RegistryValueNames)
{
    const struct
    {
        ULONG Id, Mode, Channel;
        const char16_t* Name;
    } channelNames[] = {{3, 2, 1, u"Unit03_ 2_1"},
                        {12, 17, 0, u"Unit12_17_0"},
                        {0, 0, 8, u"Unit00_ 0_8"},
                        {123, 5, 10, u"Unit123_ 5_10"}};
    for (const auto& c : channelNames)
    {
        WCHAR name[CONTROL_VALUE_NAME_CHARS] = {};
        ASSERT_EQ(STATUS_SUCCESS, FormatChannelValueName(name, c.Id, c.Mode, c.Channel));
        EXPECT_EQ(std::u16string(c.Name), std::u16string(name));
    }
    WCHAR name[CONTROL_VALUE_NAME_CHARS] = {};
    ASSERT_EQ(STATUS_SUCCESS, FormatSingleValueName(name, 7));
    EXPECT_EQ(std::u16string(u"Unit07_"), std::u16string(name));
}

namespace
{
void RecordChange(PVOID context, PVOID argument, PVOID)
{
    const auto* record = static_cast<const HalNotification*>(argument);
    static_cast<std::vector<ULONG>*>(context)->insert(
        static_cast<std::vector<ULONG>*>(context)->end(),
        {record->Type, record->SubType, record->UnitId, record->Reserved});
}
} // namespace

// A new mode given with the device's callback object is announced there as
// the control's change; without it nothing is told.
TEST(ControlShapes, ModeChangeIsNotified)
{
    PCALLBACK_OBJECT callback = nullptr;
    static const int anchor = 0;
    ASSERT_EQ(STATUS_SUCCESS,
              CreateAddressCallbackObject(u"\\Callback\\ShapeTest", &anchor, &callback));
    std::vector<ULONG> seen;
    PVOID registration = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              RegisterOnCallbackObject(callback, RecordChange, &seen, &registration));
    Made<CBooleanControl> mute(nullptr, 6u, CONTROL_KIND_MUTE);
    Made<CRangedControl> volume(nullptr, 9u, CONTROL_KIND_VOLUME);
    mute->SetMode(2, nullptr);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(STATUS_SUCCESS, mute->SetMode(3, callback));
    EXPECT_EQ(STATUS_SUCCESS, volume->SetMode(7, callback));
    EXPECT_EQ((std::vector<ULONG>{1, 1, 6, 0, 1, 1, 9, 0}), seen);
    EXPECT_EQ(3u, mute->GetMode());
    UnregisterFromCallbackObject(registration);
    ObDereferenceObject(callback);
}
