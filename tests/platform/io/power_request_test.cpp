// Power requests made above PASSIVE_LEVEL: a stack of pageable power
// handlers gets them from a worker thread at PASSIVE_LEVEL, any other stack
// at once in the requester's context.
#include "tests/platform/io/io_fixture.h"

namespace
{
struct Seen
{
    int Calls = 0;
    NTSTATUS Status = 0;
};

void Done(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status)
{
    auto* seen = static_cast<Seen*>(context);
    seen->Calls++;
    seen->Status = status->Status;
}
} // namespace

TEST(PowerRequestTest, FromDispatchLevelAPageableStackIsCalledAtPassiveLevel)
{
    for (bool pageable : {true, false})
    {
        TestStack s(2);
        if (pageable)
            s.Top()->Flags |= DO_POWER_PAGABLE;
        else
            s.Top()->Flags &= ~DO_POWER_PAGABLE;
        std::vector<KIRQL> irqls;
        TestStack::Dispatch = [&](PDEVICE_OBJECT d, PIRP irp) -> NTSTATUS
        {
            irqls.push_back(KeGetCurrentIrql());
            if (TestStack::IndexOf(d) != 0)
            {
                PoStartNextPowerIrp(irp);
                IoSkipCurrentIrpStackLocation(irp);
                return PoCallDriver(TestStack::LowerOf(d), irp);
            }
            return CompleteWith(irp, STATUS_SUCCESS);
        };
        Seen seen;
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        EXPECT_EQ(STATUS_PENDING,
                  PoRequestPowerIrp(s.Bottom(), IRP_MN_SET_POWER, d0, Done, &seen, nullptr));
        KeLowerIrql(old);
        if (pageable)
        {
            EXPECT_EQ(0, seen.Calls);
            EmuRunUntilIdle();
            EXPECT_EQ((std::vector<KIRQL>{PASSIVE_LEVEL, PASSIVE_LEVEL}), irqls);
        }
        else
            EXPECT_EQ((std::vector<KIRQL>{DISPATCH_LEVEL, DISPATCH_LEVEL}), irqls);
        EXPECT_EQ(1, seen.Calls);
        EXPECT_EQ(STATUS_SUCCESS, seen.Status);
        TestStack::Dispatch = nullptr;
    }
}
