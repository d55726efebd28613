#include "tests/usbaudio/walk_doubles.h"

#include "usbaudio/uac1/walkers.h"

namespace
{
constexpr ULONG kTag = POOL_TAG("UaWd");

class TestStream : public CUsbAudioStream
{
  public:
    TestStream(ULONG interfaceNumber, ULONG link) : CUsbAudioStream(nullptr, interfaceNumber, link)
    {
    }
    NTSTATUS ProcessBuffer(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBufferStage1(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS RunStage1(PVOID, ULONG, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBufferStage2(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS RunStage2(ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBufferStage3(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS RunStage3(ULONG) override { return STATUS_SUCCESS; }
    // No wave filter behind it: a reinstall after a change of type succeeds.
    NTSTATUS InstallMiniport(PDEVICE_OBJECT, PIRP, PUNKNOWN) override { return STATUS_SUCCESS; }
    NTSTATUS RemoveMiniport(PDEVICE_OBJECT) override { return STATUS_SUCCESS; }
};

NTSTATUS TestFactory(ULONG, ULONG interfaceNumber, ULONG link, CUsbAudioStream** stream)
{
    auto made = new (NonPagedPool, kTag) TestStream(interfaceNumber, link);
    if (made == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    made->AddRef();
    *stream = made;
    return STATUS_SUCCESS;
}
} // namespace

ScopedTestStreams::ScopedTestStreams() : m_Previous((void*)SetUac1StreamFactory(TestFactory)) {}

ScopedTestStreams::~ScopedTestStreams()
{
    SetUac1StreamFactory((PUAC1_STREAM_FACTORY)m_Previous);
}

CUsbAudioStream* MakeTestStream(ULONG direction, ULONG interfaceNumber, ULONG link, PUNKNOWN owner)
{
    CUsbAudioStream* stream = nullptr;
    TestFactory(direction, interfaceNumber, link, &stream);
    stream->InitStream(direction, owner);
    return stream;
}
