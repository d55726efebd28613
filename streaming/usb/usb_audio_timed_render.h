// The render stream of the timed chip family: a class 1.0 render that tells
// the chip its sampling rate and whether the data is PCM through the chip's
// registers when it is prepared, and fits its formats to the kind of
// endpoint its wave subdevice is named for (speakers, headphones, S/PDIF).
#pragma once

#include "streaming/usb/usb_audio1_render.h"

// What the render needs of its device: the chip's masked register writes.
class CTimedRegisterWriter
{
  public:
    virtual NTSTATUS WriteRegister(ULONG reg, USHORT value, USHORT mask) = 0;

  protected:
    ~CTimedRegisterWriter() = default;
};

DEFINE_GUID(IID_ITimedRender, 0x0B7E4C91L, 0x6A2D, 0x4F13, 0xA5, 0x8C, 0x2E, 0x71, 0xD4, 0x39, 0x0F,
            0x66);
// Answered by the timed render: the device whose registers it writes (the
// device outlives its streams; no reference is taken).
DECLARE_INTERFACE_(ITimedRender, IUnknown)
{
    STDMETHOD(SetRegisterWriter)(CTimedRegisterWriter * writer) PURE;
};
typedef ITimedRender* PTIMEDRENDER;

// The chip register of the stream's rate and sample kind.
inline constexpr ULONG TIMED_STREAM_REGISTER = 0;
inline constexpr USHORT TIMED_DOLBY_DIGITAL_TAG = 0x0092;
inline constexpr ULONG TIMED_HIGH_RATE = 96000;
// The settings of the chip's fixed layout the added formats go out on.
inline constexpr UCHAR TIMED_SPDIF_SETTING = 2;
inline constexpr UCHAR TIMED_HIGH_RATE_SETTING = 5;

class CUsbAudioTimedRender : public CUsbAudio1Render, public ITimedRender
{
  public:
    CUsbAudioTimedRender(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalLink)
        : CUsbAudio1Render(outerUnknown, interfaceNumber, terminalLink)
    {
    }
    STDMETHODIMP QueryInterface(REFIID interfaceId, PVOID* object) override
    {
        return GetOuterUnknown()->QueryInterface(interfaceId, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }
    NTSTATUS NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object) override;

    STDMETHODIMP SetRegisterWriter(CTimedRegisterWriter* writer) override;
    // The class 1.0 preparation, then the rate and sample-kind registers;
    // their failures do not fail the preparation. The frame handed back is
    // the one after the writes.
    NTSTATUS PrepareStream(PSTREAMCLIENT client, PULONG frameNumber) override;
    // The name, then the formats of the endpoint kind it names.
    NTSTATUS SetName(PCWSTR name) override;

  private:
    void WriteFormatRegisters(const WAVEFORMATEX& format);
    void EditFormats(ULONG endpointKind);
    // Removes the records `drop` picks from both engine lists and from the
    // alternate-setting list (there by `dropSetting`).
    template <typename Drop, typename DropSetting>
    void RemoveFormats(Drop drop, DropSetting dropSetting);
    // Adds a record to whichever list does not hold it yet.
    NTSTATUS AddFormatOnce(const WAVEFORMATEXTENSIBLE& record, UCHAR alternateSetting);

    CTimedRegisterWriter* m_Writer = nullptr;
};
