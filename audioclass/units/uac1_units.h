// The audio class 1.0 feature, mixer and selector units: each keeps its
// descriptor, creates its controls and answers their requests with the
// class 1.0 encodings.
#pragma once

#include "audioclass/requests/feature_unit_requests.h"
#include "audioclass/controls/uac_unit.h"

class CUac1FeatureUnit : public CUacUnit, public IUnitBooleanRequests, public IUnitRangedRequests
{
  public:
    explicit CUac1FeatureUnit(ULONG index, AudioClassVersion version = AudioClassVersion::Uac1)
        : CUacUnit(index), m_Version(version)
    {
    }
    ~CUac1FeatureUnit() override;
    DECLARE_CONTROL_UNKNOWN()

    // Nothing to name: the polling asks the unit's controls instead.
    NTSTATUS GetSingleControlId(ULONG selector, ULONG channel, PULONG id) override;

    STDMETHODIMP GetBoolean(UCHAR selector, ULONG channel, PUCHAR value) override;
    STDMETHODIMP SetBoolean(UCHAR selector, ULONG channel, UCHAR value) override;
    STDMETHODIMP GetBooleanChannels(UCHAR selector, PULONG count) override;
    STDMETHODIMP GetLevel(UCHAR selector, ULONG channel, PLONG level) override;
    STDMETHODIMP SetLevel(UCHAR selector, ULONG channel, LONG level) override;
    STDMETHODIMP GetLevelRange(UCHAR selector, PLONG maximum, PLONG minimum,
                               PLONG resolution) override;
    STDMETHODIMP GetLevelChannels(UCHAR selector, PULONG count) override;

    // Whether any channel (master included) has the control.
    bool FeatureUnitHasControl(UCHAR selector) const;
    bool ChannelWritable(UCHAR selector, ULONG channel) override;
    // The class walks' units build the controls they declare, mute or not;
    // the device models' units keep their rule that a unit has its mute.
    void TakeDeclaredControls() { m_MuteRequired = false; }
    NTSTATUS CreateControls(CAudioHal* device) override;

  protected:
    UCHAR Subtype() const override { return USB_AUDIO_FEATURE_UNIT; }
    // The control of a pseudo selector (139, 140) the device's table
    // announces: the device's own on/off control. A model whose unit makes
    // other objects for these selectors replaces it.
    virtual NTSTATUS CreatePseudoControl(UCHAR selector, CAudioHal* device);
    // The device's pseudo-control table; without one there are no pseudo controls.
    void ReadUnitState() override;
    // The channel count of the selector, then the request for that count.
    template <typename Request> NTSTATUS WithChannels(UCHAR selector, Request request);
    NTSTATUS ChannelCount(UCHAR selector, PULONG count) const;
    NTSTATUS CreateOne(UCHAR selector, CAudioHal* device);
    ULONG PoolTag() const;
    // Either bit of a class 2.0 bitmap pair counts; class 1.0 has one bit.
    bool HasBitmap(UCHAR selector, ULONG channel) const;

    AudioClassVersion m_Version;
    CFeatureUnitRequests* m_Requests = nullptr;
    // A model's own tag for what the unit allocates; 0: the class version's.
    ULONG m_ModelPoolTag = 0;
    bool m_MuteRequired = true;
};

class CUac1MixerUnit : public CUacUnit
{
  public:
    explicit CUac1MixerUnit(ULONG index) : CUacUnit(index) {}
    NTSTATUS CreateControls(CAudioHal* device) override;

  protected:
    UCHAR Subtype() const override { return USB_AUDIO_MIXER_UNIT; }
};

class CUac1SelectorUnit : public CUacUnit, public ISelectorControl
{
  public:
    explicit CUac1SelectorUnit(ULONG index, AudioClassVersion version = AudioClassVersion::Uac1)
        : CUacUnit(index), m_Version(version)
    {
    }
    DECLARE_CONTROL_UNKNOWN()
    STDMETHODIMP GetCurrent(PULONG selection) override;
    STDMETHODIMP SetCurrent(ULONG selection) override;
    STDMETHODIMP GetSourceCount(PULONG count) override;
    STDMETHODIMP AddListener(PCHAINNODESTATE listener) override;
    NTSTATUS CreateControls(CAudioHal* device) override;

  protected:
    UCHAR Subtype() const override { return USB_AUDIO_SELECTOR_UNIT; }

  private:
    bool IsSelector() const;
    AudioClassVersion m_Version;
};

// Sources of a mixer or selector: bNrInPins ids from byte 5.
inline constexpr ULONG UAC1_SOURCES_OFFSET = 5;
inline constexpr ULONG UAC1_INPUT_COUNT_OFFSET = 4;
