#include "usbaudio/chip_model/effect_feature_unit.h"

#include "effects/DelayFxNode.h"
#include "effects/QvrFxNode.h"

namespace
{
// The effect node of each effect selector, made with the device's next id.
struct EffectNodeRow
{
    UCHAR Selector;
    NTSTATUS (*Make)(CChipFeatureUnit* unit, CAudioHal* device, ULONG tag, PDEVICE_OBJECT key);
};

template <typename Node, NTSTATUS (Node::*Init)(CUacUnit*, UCHAR, PDEVICE_OBJECT), UCHAR Selector>
NTSTATUS MakeEffectNode(CChipFeatureUnit* unit, CAudioHal* device, ULONG tag, PDEVICE_OBJECT key)
{
    return MakeUnitControl<Node>(unit, device, tag,
                                 [&](Node* node) { return (node->*Init)(unit, Selector, key); });
}

const EffectNodeRow c_EffectNodes[] = {
    {UAC_PSEUDO_DELAY_SELECTOR,
     MakeEffectNode<CDelayFxNode, &CDelayFxNode::DelayFxNodeInit, UAC_PSEUDO_DELAY_SELECTOR>},
    {UAC_PSEUDO_HEADPHONE_SELECTOR,
     MakeEffectNode<CQvrFxNode, &CQvrFxNode::QvrFxNodeInit, UAC_PSEUDO_HEADPHONE_SELECTOR>},
};
} // namespace

NTSTATUS CChipFeatureUnit::CreatePseudoControl(UCHAR selector, CAudioHal* device)
{
    PAGED_CODE();
    for (const EffectNodeRow& row : c_EffectNodes)
        if (row.Selector == selector)
            return row.Make(this, device, PoolTag(), SettingsKey());
    return STATUS_SUCCESS;
}
