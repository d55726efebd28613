// CreateMiniports: the engines whose output type changed get a new wave
// subdevice under the name of their new kind, never a name another engine
// holds; a failed reinstall brings the previous one back; class 2.0 pauses
// after each on virtual time.
#include <gtest/gtest.h>

#include "framework/adapter_extension.h"
#include "platform/kernel/emu.h"
#include "sim/devices/sim_timed_preset.h"
#include "tests/usbaudio/usbaudio_doubles.h"

namespace
{
class MiniportRig
{
  public:
    MiniportRig(SimReference which, std::vector<RigEngineSpec> engines)
        : m_Rig(SimCreateReferenceDevice(which))
    {
        Walk() = WalkScript();
        Walk().Engines = std::move(engines);
        UseDeviceClasses(true);
        m_Status = m_Rig.Start();
    }
    bool Ok() const { return m_Rig.Ok() && m_Status == STATUS_SUCCESS; }
    CUsbAudioDevice* Device() const { return DeviceOf(m_Rig); }
    UsbAdapterRig& Rig() { return m_Rig; }
    UCHAR* OutputCounters() { return GetAdapterExtension(m_Rig.Fdo())->OutputNameCounters; }
    NTSTATUS Select(ULONG engine, ULONG kind)
    {
        return OutputTypeOf(Device(), engine)->Select(kind);
    }
    NTSTATUS Create(ULONG unitId = 9)
    {
        RigLog().clear();
        return m_Rig.Adapter()->GetDeviceModel()->CreateMiniports(unitId);
    }
    std::vector<std::string> Names()
    {
        std::vector<std::string> names;
        for (ULONG i = 0; i < Device()->GetEngineCount(); ++i)
            names.push_back(EngineName(Device(), i));
        return names;
    }

  private:
    UsbAdapterRig m_Rig;
    NTSTATUS m_Status = STATUS_UNSUCCESSFUL;
};

using Log = std::vector<std::string>;
using Names = std::vector<std::string>;
} // namespace

// Only the engine whose type changed is removed, named from the running
// count of its new kind less one, and installed; its flag is cleared.
TEST(CreateMiniports, RenamesAndReinstallsChangedEngines)
{
    MiniportRig rig(SimReference::Uac1SpeakerMic,
                    {RenderEngine({ENDPOINT_KIND_SPK, ENDPOINT_KIND_HP}, u"SPKOut00"),
                     RenderEngine({ENDPOINT_KIND_SPK, ENDPOINT_KIND_LINE}, u"SPKOut01")});
    ASSERT_TRUE(rig.Ok());
    rig.OutputCounters()[ENDPOINT_KIND_SPK] = 2;
    rig.OutputCounters()[ENDPOINT_KIND_HP] = 1;
    ASSERT_EQ(STATUS_SUCCESS, rig.Select(0, ENDPOINT_KIND_HP));
    EXPECT_TRUE(OutputTypeOf(rig.Device(), 0)->IsChanged());
    EXPECT_EQ(STATUS_SUCCESS, rig.Create());
    EXPECT_EQ((Log{"remove SPKOut00", "install HPOut00"}), RigLog());
    EXPECT_EQ((Names{"HPOut00", "SPKOut01"}), rig.Names());
    EXPECT_FALSE(OutputTypeOf(rig.Device(), 0)->IsChanged());
    // Nothing changed since: nothing happens.
    EXPECT_EQ(STATUS_SUCCESS, rig.Create());
    EXPECT_TRUE(RigLog().empty());
}

// The count of the new kind decides the index: count 0 and 1 both give 00.
TEST(CreateMiniports, IndexFromTheRunningCount)
{
    for (UCHAR count : {0, 1, 3})
    {
        MiniportRig rig(SimReference::Uac1SpeakerMic,
                        {RenderEngine({ENDPOINT_KIND_LINE, ENDPOINT_KIND_SPK}, u"LineOut00")});
        ASSERT_TRUE(rig.Ok());
        rig.OutputCounters()[ENDPOINT_KIND_SPK] = count;
        rig.Select(0, ENDPOINT_KIND_SPK);
        EXPECT_EQ(STATUS_SUCCESS, rig.Create());
        const std::string expected = count == 3 ? "SPKOut02" : "SPKOut00";
        EXPECT_EQ(Names{expected}, rig.Names()) << (int)count;
        EXPECT_EQ(count == 0 ? 1 : count, rig.OutputCounters()[ENDPOINT_KIND_SPK]);
    }
}

// An engine without an output-type control, or whose control reports no
// change, is left alone; the others are still renamed.
TEST(CreateMiniports, EnginesWithoutChangeAreSkipped)
{
    MiniportRig rig(SimReference::Uac1SpeakerMic,
                    {RenderEngine({}, u"SPKOut00"),
                     RenderEngine({ENDPOINT_KIND_SPK, ENDPOINT_KIND_HP}, u"SPKOut01"),
                     RenderEngine({ENDPOINT_KIND_LINE, ENDPOINT_KIND_HP}, u"LineOut00")});
    ASSERT_TRUE(rig.Ok());
    rig.OutputCounters()[ENDPOINT_KIND_HP] = 0;
    rig.Select(2, ENDPOINT_KIND_HP);
    // Selecting the current item again is no change.
    rig.Select(1, ENDPOINT_KIND_SPK);
    EXPECT_EQ(STATUS_SUCCESS, rig.Create());
    EXPECT_EQ((Log{"remove LineOut00", "install HPOut00"}), RigLog());
    EXPECT_EQ((Names{"SPKOut00", "SPKOut01", "HPOut00"}), rig.Names());
}

// Two engines of one kind in one run, and an engine renamed to a kind whose
// name another engine holds, take the next free index.
TEST(CreateMiniports, NeverTwoFiltersOfOneName)
{
    {
        MiniportRig rig(SimReference::Uac1SpeakerMic,
                        {RenderEngine({ENDPOINT_KIND_SPK, ENDPOINT_KIND_HP}, u"SPKOut00"),
                         RenderEngine({ENDPOINT_KIND_LINE, ENDPOINT_KIND_HP}, u"LineOut00")});
        ASSERT_TRUE(rig.Ok());
        rig.Select(0, ENDPOINT_KIND_HP);
        rig.Select(1, ENDPOINT_KIND_HP);
        EXPECT_EQ(STATUS_SUCCESS, rig.Create());
        EXPECT_EQ((Names{"HPOut00", "HPOut01"}), rig.Names());
        EXPECT_EQ(2, rig.OutputCounters()[ENDPOINT_KIND_HP]);
    }
    {
        MiniportRig rig(SimReference::Uac1SpeakerMic,
                        {RenderEngine({ENDPOINT_KIND_SPK, ENDPOINT_KIND_HP}, u"SPKOut00"),
                         RenderEngine({ENDPOINT_KIND_HP}, u"HPOut00")});
        ASSERT_TRUE(rig.Ok());
        rig.OutputCounters()[ENDPOINT_KIND_HP] = 1;
        rig.Select(0, ENDPOINT_KIND_HP);
        EXPECT_EQ(STATUS_SUCCESS, rig.Create());
        EXPECT_EQ((Log{"remove SPKOut00", "install HPOut01"}), RigLog());
        EXPECT_EQ((Names{"HPOut01", "HPOut00"}), rig.Names());
    }
    {
        // Two engines trading kinds: each name stays unique at every step.
        MiniportRig rig(SimReference::Uac1SpeakerMic,
                        {RenderEngine({ENDPOINT_KIND_HP, ENDPOINT_KIND_SPK}, u"HPOut00"),
                         RenderEngine({ENDPOINT_KIND_SPK, ENDPOINT_KIND_HP}, u"SPKOut00")});
        ASSERT_TRUE(rig.Ok());
        rig.OutputCounters()[ENDPOINT_KIND_HP] = 1;
        rig.OutputCounters()[ENDPOINT_KIND_SPK] = 1;
        rig.Select(0, ENDPOINT_KIND_SPK);
        rig.Select(1, ENDPOINT_KIND_HP);
        EXPECT_EQ(STATUS_SUCCESS, rig.Create());
        EXPECT_EQ((Names{"SPKOut01", "HPOut00"}), rig.Names());
    }
}

// A failed reinstall gives the engine its previous filter back and ends the
// walk with the failure; a later engine keeps its change for the next call.
TEST(CreateMiniports, FailedReinstallRestoresThePreviousFilter)
{
    RigEngineSpec failing = RenderEngine({ENDPOINT_KIND_SPK, ENDPOINT_KIND_HP}, u"SPKOut00");
    failing.InstallStatus = STATUS_DEVICE_NOT_READY;
    failing.FailInstallFor = u"HPOut00";
    MiniportRig rig(SimReference::Uac1SpeakerMic,
                    {failing, RenderEngine({ENDPOINT_KIND_LINE, ENDPOINT_KIND_SPK}, u"LineOut00")});
    ASSERT_TRUE(rig.Ok());
    rig.Select(0, ENDPOINT_KIND_HP);
    rig.Select(1, ENDPOINT_KIND_SPK);
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, rig.Create());
    EXPECT_EQ((Log{"remove SPKOut00", "install HPOut00", "install SPKOut00"}), RigLog());
    EXPECT_EQ((Names{"SPKOut00", "LineOut00"}), rig.Names());
    EXPECT_TRUE(OutputTypeOf(rig.Device(), 1)->IsChanged());
}

// A refused removal ends the walk with its status: no new name, no install.
TEST(CreateMiniports, FailedRemovalEndsTheWalk)
{
    RigEngineSpec stuck = RenderEngine({ENDPOINT_KIND_SPK, ENDPOINT_KIND_HP}, u"SPKOut00");
    stuck.RemoveStatus = STATUS_DEVICE_BUSY;
    MiniportRig rig(SimReference::Uac1SpeakerMic, {stuck});
    ASSERT_TRUE(rig.Ok());
    rig.Select(0, ENDPOINT_KIND_HP);
    EXPECT_EQ(STATUS_DEVICE_BUSY, rig.Create());
    EXPECT_EQ(Log{"remove SPKOut00"}, RigLog());
    EXPECT_EQ(Names{"SPKOut00"}, rig.Names());
}

TEST(CreateMiniports, NameBufferAllocationFailure)
{
    MiniportRig rig(SimReference::Uac1SpeakerMic,
                    {RenderEngine({ENDPOINT_KIND_SPK, ENDPOINT_KIND_HP}, u"SPKOut00")});
    ASSERT_TRUE(rig.Ok());
    rig.Select(0, ENDPOINT_KIND_HP);
    EmuPoolInjectFailure(POOL_TAG("Temp"), 0);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Create());
    EXPECT_TRUE(RigLog().empty());
}

// Class 2.0 waits "UpdateMiniportDelay" ms after each engine so taken
// (whether its naming worked or not), computed in 64 bits; without the value
// or with 0 it does not wait, and class 1.0 never does.
TEST(CreateMiniports, UpdateMiniportDelayOnVirtualTime)
{
    struct Case
    {
        SimReference Device;
        int Delay; // -1: no value
        bool RemovalFails;
        ULONGLONG ExpectedMs;
    } cases[] = {
        {SimReference::Uac2HighSpeed, 250, false, 500},
        {SimReference::Uac2HighSpeed, 0, false, 0},
        {SimReference::Uac2HighSpeed, -1, false, 0},
        {SimReference::Uac2HighSpeed, 500000, false, 1000000},
        {SimReference::Uac2HighSpeed, 250, true, 500},
        {SimReference::Uac1SpeakerMic, 250, false, 0},
    };
    for (const Case& c : cases)
    {
        RigEngineSpec second = RenderEngine({ENDPOINT_KIND_LINE, ENDPOINT_KIND_HP}, u"LineOut00");
        if (c.RemovalFails)
            second.RemoveStatus = STATUS_DEVICE_BUSY;
        MiniportRig rig(c.Device, {RenderEngine({ENDPOINT_KIND_SPK, ENDPOINT_KIND_HP}, u"SPKOut00"),
                                   second, RenderEngine({ENDPOINT_KIND_SPK}, u"SPKOut01")});
        ASSERT_TRUE(rig.Ok());
        if (c.Delay >= 0)
            rig.Rig().SetSetting(u"UpdateMiniportDelay", (ULONG)c.Delay);
        rig.Select(0, ENDPOINT_KIND_HP);
        rig.Select(1, ENDPOINT_KIND_HP);
        const ULONGLONG before = KeQueryInterruptTime();
        const NTSTATUS status = rig.Create();
        const ULONGLONG waited = (KeQueryInterruptTime() - before) / 10000;
        EXPECT_EQ(c.RemovalFails ? STATUS_DEVICE_BUSY : STATUS_SUCCESS, status) << c.Delay;
        EXPECT_EQ(c.ExpectedMs, waited) << c.Delay;
    }
}

// The timed class names as the others and leaves the installation to the
// control change of the unit; a unit the device does not have fails it, and
// the engine keeps its previous name.
TEST(CreateMiniports, TimedClassHandsOverToTheControlChange)
{
    UsbAdapterRig rig(SimCreateTimedDevice().Device);
    ASSERT_TRUE(rig.Ok());
    Walk() = WalkScript();
    Walk().Engines = {RenderEngine({ENDPOINT_KIND_SPK, ENDPOINT_KIND_HP}, u"SPKOut00")};
    UseDeviceClasses(true);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start());
    EXPECT_EQ("PostParse", RigLog().back());
    OutputTypeOf(DeviceOf(rig), 0)->Select(ENDPOINT_KIND_HP);
    RigLog().clear();
    EmuDbgClear();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Adapter()->GetDeviceModel()->CreateMiniports(3));
    EXPECT_EQ(Log{"remove SPKOut00"}, RigLog());
    EXPECT_EQ("SPKOut00", EngineName(DeviceOf(rig), 0));
}
