#include "usbaudio/chip_model/terminals.h"

#include "audioclass/controls/uac_unit_controls.h"

namespace
{
constexpr ULONG c_IdOffset = 3;
constexpr ULONG c_OutputSourceOffset = 7;
} // namespace

NTSTATUS CChipModelOutputTerminal::CreateControls(CAudioHal* device)
{
    PAGED_CODE();
    NTSTATUS status = SetIdentity(c_IdOffset, USB_AUDIO_OUTPUT_TERMINAL, 1, c_OutputSourceOffset);
    if (!NT_SUCCESS(status))
        return status;
    // The control carries its kind itself: the unit lists no types to ask.
    const ULONG kind = OutputTerminalTypeToEndpointKind(TerminalType());
    EndpointCapabilities record = {};
    device->GetEndpointCapabilities(FALSE, kind, &record);
    return MakeRequiredUnitControl<CUacTerminalControl>(
        this, device, PoolTag(),
        [&](CUacTerminalControl* c)
        {
            NTSTATUS init = c->Init(1, &kind, 0, nullptr);
            c->SetCapabilities(record);
            return init;
        },
        CONTROL_KIND_OUTPUT_TERMINAL, 0);
}
