#include <new>

#include "streaming/usb/usb_audio1_capture.h"
#include "streaming/usb/usb_audio_timed_render.h"
#include "audioclass/controls/chain_nodes.h"
#include "usbaudio/timed/device.h"
#include "usbaudio/timed/walkers.h"
#include "usbaudio/uac1/stream_factory.h"

namespace
{
NTSTATUS OnTimedGeneral(CUsbAudioDevice* device, const UCHAR* d, StreamingInterfaceWalk* walk)
{
    return OnUac1General(device, d, walk,
                         CreateUac1FamilyStream<CUsbAudioTimedRender, TIMED_POOL_TAG>);
}

const StreamingWalkClass c_TimedWalker = {AudioDescriptorVersion::Uac1, OnTimedGeneral,
                                          OnUac1FormatType, BuildPathsUac1};

// Every render engine's timed render writes through the device.
void BindRenders(CUsbAudioTimedDevice* device)
{
    for (ULONG i = 0; i < device->GetEngineCount(); ++i)
    {
        CStreamEngine* engine = nullptr;
        PTIMEDRENDER render = nullptr;
        if (!NT_SUCCESS(device->GetEngine(i, &engine)) ||
            !NT_SUCCESS(engine->QueryInterface(IID_ITimedRender, (PVOID*)&render)))
            continue;
        render->SetRegisterWriter(device);
        render->Release();
    }
}

// One plain node from `make` for each render engine; `keep` sees each node
// that the engine took. The engine's buffers are set up for its chain after
// each node step. The first failure of the last engine's steps, or `status`
// when no render engine is there.
template <typename Make, typename Keep>
NTSTATUS AttachToRenders(CUsbAudioTimedDevice* device, NTSTATUS status, Make make, Keep keep)
{
    for (ULONG i = 0; i < device->GetEngineCount(); ++i)
    {
        CStreamEngine* engine = nullptr;
        if (!NT_SUCCESS(device->GetEngine(i, &engine)) ||
            engine->GetDirection() != STREAM_DIRECTION_RENDER)
            continue;
        auto node = make();
        status = STATUS_INSUFFICIENT_RESOURCES;
        if (node != nullptr)
        {
            node->AddRef();
            status = engine->AddProcessingNode(node);
            if (NT_SUCCESS(status))
                keep(node);
            node->Release();
        }
        const NTSTATUS buffers = engine->AllocateStreamBuffers();
        if (NT_SUCCESS(status))
            status = buffers;
    }
    return status;
}
} // namespace

NTSTATUS ParseAudioStreamingTimed(CUsbAudioTimedDevice* device,
                                  PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                  PUSB_INTERFACE_DESCRIPTOR firstInterface, ULONG bytesToEnd)
{
    PAGED_CODE();
    NTSTATUS status =
        WalkAudioStreaming(device, configuration, firstInterface, bytesToEnd, c_TimedWalker);
    if (!NT_SUCCESS(status))
        return status;
    BindRenders(device);
    if (device->GetDeviceRecord().TimedTraits().JackNodeOnRenders)
        status = AttachToRenders(
            device, status,
            [] { return new (NonPagedPool, TIMED_POOL_TAG) CChainNode(JACK_STATE_SENSED); },
            [&](CChainNode* node) { device->SetJackNode(node); });
    if (!device->Switches().Has(Disable8ChOutSupported))
        status = AttachToRenders(
            device, status, [] { return new (NonPagedPool, TIMED_POOL_TAG) CChannelSwapNode(); },
            [](CChannelSwapNode*) {});
    if (!NT_SUCCESS(status))
        DbgPrint("UsbAudio: the render engines' jack and channel-swap nodes could not be "
                 "attached: 0x%08X\n",
                 (unsigned)status);
    return status;
}
