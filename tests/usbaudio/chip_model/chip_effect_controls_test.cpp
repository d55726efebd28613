// The effect pseudo controls of the chip feature unit on a simulated device
// that announces selectors 139 and 140: the two effect nodes made after the
// standard controls with the next ids and the model's pool tag, the switch
// sent to the device, and the topology's pseudo-control requests with their
// bounds (count <= L and start <= L - count, no sum that wraps).
#include <gtest/gtest.h>

#include <cstring>

#include "effects/DelayFxNode.h"
#include "effects/QvrFxNode.h"
#include "platform/kernel/emu.h"
#include "sim/devices/sim_vendor_presets.h"
#include "tests/usbaudio/usbaudio_doubles.h"
#include "usbaudio/topology/properties.h"
#include "usbaudio/chip_model/effect_feature_unit.h"

namespace
{
using Rows = std::vector<std::string>;

// A chip feature unit over the reference speaker's feature unit, its
// pseudo-control table announcing the effect selectors on the master.
class ChipUnitRig
{
  public:
    ChipUnitRig() : m_Rig(SimCreateReferenceDevice(SimReference::Uac1SpeakerMic))
    {
        Walk() = WalkScript();
        UseDeviceClasses(true);
        m_Ok = m_Rig.Ok() && m_Rig.Start() == STATUS_SUCCESS;
        if (!m_Ok)
            return;
        SimControlValue onOff;
        SimPresetPseudoControls(*m_Rig.Device(), SimRef1::FeaturePlay, {0x0C00, 0x0000},
                                {{0x8B, onOff}, {0x8C, onOff}});
        const auto& c = m_Rig.Device()->Descriptors().Configuration();
        for (size_t pos = 0; pos + 3 < c.size() && c[pos] >= 2; pos += c[pos])
            if (c[pos + 1] == USB_AUDIO_CS_INTERFACE && c[pos + 2] == USB_AUDIO_FEATURE_UNIT &&
                c[pos + 3] == SimRef1::FeaturePlay)
                m_Descriptor.assign(c.begin() + pos, c.begin() + pos + c[pos]);
        CUsbAudioDevice* device = DeviceOf(m_Rig);
        m_FirstId = device->GetUnitCount();
        m_Unit = new (NonPagedPool, CHIP_FEATURE_UNIT_POOL_TAG) CChipFeatureUnit(77);
        m_Unit->AddRef();
        m_Status = m_Unit->Init(m_Descriptor.data(), device);
        m_Rig.Device()->ClearLog();
    }
    ~ChipUnitRig()
    {
        if (m_Unit != nullptr)
            m_Unit->Release();
    }
    bool Ok() const { return m_Ok; }
    NTSTATUS Status() const { return m_Status; }
    CChipFeatureUnit* Unit() const { return m_Unit; }
    ULONG FirstId() const { return m_FirstId; }
    Rows Take()
    {
        Rows rows = m_Rig.Device()->LogText();
        m_Rig.Device()->ClearLog();
        return rows;
    }
    // The unit's control of a kind with the given identity; null when none.
    CAudioControl* Effect(const GUID& identity) const
    {
        ULONG count = 0;
        m_Unit->UnitGetControlCount(&count);
        for (ULONG i = 0; i < count; ++i)
        {
            CAudioControl* control = nullptr;
            PEFFECTPSEUDOCONTROL effect = nullptr;
            if (!NT_SUCCESS(m_Unit->UnitGetControl(i, &control)) ||
                !NT_SUCCESS(control->QueryInterface(IID_IEffectPseudoControl, (PVOID*)&effect)))
                continue;
            GUID guid = {};
            effect->GetNodeGuid(&guid);
            effect->Release();
            if (IsEqualGUID(guid, identity))
                return control;
        }
        return nullptr;
    }

  private:
    UsbAdapterRig m_Rig;
    bool m_Ok = false;
    NTSTATUS m_Status = STATUS_UNSUCCESSFUL;
    std::vector<UCHAR> m_Descriptor;
    CChipFeatureUnit* m_Unit = nullptr;
    ULONG m_FirstId = 0;
};

// One property request of the pseudo-control node's table.
struct Request
{
    const GUID* Set;
    ULONG Id;
    ULONG Verb;
    std::vector<ULONG> Instance;
    ULONG ValueSize;
    ULONG Value = 0xA5A5A5A5; // the first word of the value buffer
};

NTSTATUS Send(CAudioControl* control, const Request& r, std::vector<UCHAR>* value, ULONG* returned)
{
    const PCPROPERTY_ITEM item = {r.Set, r.Id, r.Verb, nullptr};
    value->assign(r.ValueSize + 4, 0xA5);
    if (r.ValueSize >= 4)
        memcpy(value->data(), &r.Value, 4);
    std::vector<ULONG> instance = r.Instance;
    PCPROPERTY_REQUEST request = {};
    request.PropertyItem = &item;
    request.Verb = r.Verb;
    request.InstanceSize = (ULONG)(instance.size() * 4);
    request.Instance = instance.empty() ? nullptr : instance.data();
    request.ValueSize = r.ValueSize;
    request.Value = r.ValueSize != 0 ? value->data() : nullptr;
    const NTSTATUS status = PseudoControlProperty(&request, control);
    *returned = request.ValueSize;
    EXPECT_EQ(0xA5, (*value)[r.ValueSize]) << "written beyond the value buffer";
    return status;
}

ULONG WordAt(const std::vector<UCHAR>& bytes, size_t index)
{
    ULONG word = 0;
    memcpy(&word, bytes.data() + 4 * index, 4);
    return word;
}

constexpr ULONG G = KSPROPERTY_TYPE_GET, S = KSPROPERTY_TYPE_SET, B = KSPROPERTY_TYPE_BASICSUPPORT;
} // namespace

// The nodes come after the standard controls, 139 then 140, each with the
// device's next id, allocated under the model's tag; the switch goes to the
// device as the pseudo selector's request.
TEST(ChipEffectControls, UnitMakesBothEffectNodes)
{
    ChipUnitRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Status());
    CAudioControl* delay = rig.Effect(DELAY_FX_NODE_GUID);
    CAudioControl* headphone = rig.Effect(QVR_FX_NODE_GUID);
    ASSERT_NE(nullptr, delay);
    ASSERT_NE(nullptr, headphone);
    EXPECT_EQ(headphone->GetId(), delay->GetId() + 1);
    EXPECT_GT(delay->GetId(), rig.FirstId()); // mute and the others first
    ULONG tag = 0;
    ASSERT_TRUE(EmuPoolIsBlock(static_cast<CDelayFxNode*>(static_cast<CPseudoControl*>(delay)),
                               nullptr, &tag));
    EXPECT_EQ(CHIP_FEATURE_UNIT_POOL_TAG, tag);
    PEFFECTPSEUDOCONTROL effect = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, delay->QueryInterface(IID_IEffectPseudoControl, (PVOID*)&effect));
    rig.Take();
    EXPECT_EQ(STATUS_SUCCESS, effect->SetValue(1));
    EXPECT_EQ((Rows{"41 01 8B00 0200 0001 < 01"}), rig.Take());
    effect->Release();
}

// The topology's requests reach the effect controls: identity, on/off,
// value count, items and the value ranges with their bounds.
TEST(ChipEffectControls, TopologyRequests)
{
    ChipUnitRig rig;
    ASSERT_TRUE(rig.Ok());
    CAudioControl* headphone = rig.Effect(QVR_FX_NODE_GUID);
    CAudioControl* delay = rig.Effect(DELAY_FX_NODE_GUID);
    ASSERT_NE(nullptr, headphone);
    ASSERT_NE(nullptr, delay);
    const GUID* A = &KSPROPSETID_Audio;
    const GUID* P = &KSPROPSETID_PseudoControl;
    const ULONG D = KSPROPERTY_AUDIO_DEV_SPECIFIC;
    struct Case
    {
        Request R;
        NTSTATUS Status;
        ULONG Returned;
        std::vector<ULONG> Words; // of the reply, when given
    } cases[] = {
        {{A, D, S, {}, 4, 0x101}, STATUS_SUCCESS, 4, {}}, // the low byte: on
        {{A, D, G, {}, 4}, STATUS_SUCCESS, 4, {1}},
        {{A, D, B, {}, 80}, STATUS_SUCCESS, 80, {0x202, 80}},
        {{P, 1, G, {}, 16}, STATUS_SUCCESS, 16, {0xC7600B33}},
        {{P, 2, G, {}, 4}, STATUS_SUCCESS, 4, {2}},
        {{P, 3, G, {0}, 12}, STATUS_INVALID_PARAMETER, 12, {}},
        {{P, 4, G, {0, 2}, 16}, STATUS_SUCCESS, 16, {16, 2, 1, 0}},
        {{P, 4, G, {2, 0}, 8}, STATUS_SUCCESS, 8, {8, 0}},
        {{P, 4, G, {0, 2}, 0}, STATUS_BUFFER_OVERFLOW, 16, {}},
        {{P, 4, G, {0, 2}, 15}, STATUS_BUFFER_TOO_SMALL, 15, {}},
        {{P, 4, G, {1, 2}, 16}, STATUS_INVALID_PARAMETER, 16, {}},
        {{P, 4, G, {0xFFFFFFFF, 2}, 16}, STATUS_INVALID_PARAMETER, 16, {}},
        {{P, 4, G, {2, 0xFFFFFFFF}, 16}, STATUS_INVALID_PARAMETER, 16, {}},
        {{P, 4, G, {0}, 16}, STATUS_INVALID_PARAMETER, 16, {}},
        {{P, 4, S, {0, 1, 2}, 0}, STATUS_SUCCESS, 0, {}},
        {{P, 4, S, {0, 2, 3, 1}, 0}, STATUS_SUCCESS, 0, {}},
        {{P, 4, S, {0, 1, 3}, 0}, STATUS_INVALID_PARAMETER, 0, {}},
        {{P, 4, S, {0, 2, 1}, 0}, STATUS_INVALID_PARAMETER, 0, {}},
        {{P, 4, S, {1, 2, 1, 1}, 0}, STATUS_INVALID_PARAMETER, 0, {}},
        {{P, 4, G, {0, 2}, 16}, STATUS_SUCCESS, 16, {16, 2, 2, 1}},
        {{P, 5, G, {}, 4}, STATUS_INVALID_DEVICE_REQUEST, 4, {}},
    };
    for (const Case& c : cases)
    {
        std::vector<UCHAR> value;
        ULONG returned = 0;
        const NTSTATUS status = Send(headphone, c.R, &value, &returned);
        const std::string what = std::to_string(c.R.Id) + "/" + std::to_string(c.R.Verb) + "/" +
                                 std::to_string(c.R.Instance.size());
        EXPECT_EQ(c.Status, status) << what;
        EXPECT_EQ(c.Returned, returned) << what;
        for (size_t i = 0; i < c.Words.size(); ++i)
            EXPECT_EQ(c.Words[i], WordAt(value, i)) << what << " word " << i;
    }
    // The delay node has no values: L is 0 and every range but the empty
    // one at 0 is out of bounds.
    std::vector<UCHAR> value;
    ULONG returned = 0;
    EXPECT_EQ(STATUS_SUCCESS, Send(delay, {P, 2, G, {}, 4}, &value, &returned));
    EXPECT_EQ(0u, WordAt(value, 0));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(delay, {P, 4, G, {0, 1}, 12}, &value, &returned));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(delay, {P, 4, G, {0, 0}, 8}, &value, &returned));
}
