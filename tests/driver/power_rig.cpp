#include "tests/driver/power_rig.h"

#include <gtest/gtest.h>

#include "platform/portcls/portcls_emu.h"

namespace
{
IdleScript g_Idle;
PDEVICE_OBJECT g_PassTo = nullptr; // the rig's own lower device
PowerTestAdapter* g_Adapter = nullptr;
KTIMER g_CancelTimer;
KDPC g_CancelDpc;

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void CompleteKept(NTSTATUS status)
{
    PIRP irp = g_Idle.Kept;
    g_Idle.Kept = nullptr;
    if (irp != nullptr)
        Complete(irp, status);
}

void CancelDpc(PKDPC, PVOID, PVOID, PVOID)
{
    CompleteKept(STATUS_CANCELLED);
}

void CancelKept(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (g_Idle.CancelDelayMs == 0)
    {
        CompleteKept(STATUS_CANCELLED);
        return;
    }
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)g_Idle.CancelDelayMs * 10000;
    KeSetTimer(&g_CancelTimer, due, &g_CancelDpc);
}

NTSTATUS FilterInternal(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode ==
        IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION)
    {
        ++g_Idle.Requests;
        g_Idle.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        g_Idle.Info = static_cast<PUSB_IDLE_CALLBACK_INFO>(
            stack->Parameters.DeviceIoControl.Type3InputBuffer);
        switch (g_Idle.Answer)
        {
        case IdleAnswer::PassOn:
            break;
        case IdleAnswer::Refuse:
            return Complete(irp, g_Idle.RefuseStatus);
        case IdleAnswer::Keep:
        case IdleAnswer::KeepDeaf:
            g_Idle.Kept = irp;
            IoMarkIrpPending(irp);
            if (g_Idle.Answer == IdleAnswer::Keep)
                IoSetCancelRoutine(irp, CancelKept);
            return STATUS_PENDING;
        }
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(g_PassTo, irp);
}

NTSTATUS FilterPassOn(PDEVICE_OBJECT, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(g_PassTo, irp);
}

NTSTATUS FilterFile(PDEVICE_OBJECT, PIRP irp)
{
    return Complete(irp, STATUS_SUCCESS);
}

// The dispatcher's part for the stop code: a kept request is not touched.
NTSTATUS FilterDeviceControl(PDEVICE_OBJECT, PIRP irp)
{
    NTSTATUS status =
        g_Adapter->AsioStopStreaming(IoGetCurrentIrpStackLocation(irp)->FileObject, irp);
    if (status == STATUS_PENDING)
        return status;
    return Complete(irp, status);
}
} // namespace

std::vector<std::string>& PowerLog()
{
    static std::vector<std::string> log;
    return log;
}

// ----------------------------------------------------------------------------
PowerAsioHost::PowerAsioHost(PowerTestAdapter* adapter)
    : CAdapterAsioHost(adapter), m_Adapter(adapter)
{
}

NTSTATUS PowerAsioHost::AsioStart()
{
    PowerLog().push_back("asio start");
    if (m_Adapter->StartDelayMs != 0)
    {
        LARGE_INTEGER delay;
        delay.QuadPart = -(LONGLONG)m_Adapter->StartDelayMs * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    m_Adapter->GetAsioSession().SetRunning(true);
    return STATUS_SUCCESS;
}

NTSTATUS PowerAsioHost::AsioStop()
{
    PowerLog().push_back("asio stop");
    m_Adapter->GetAsioSession().SetRunning(false);
    return STATUS_SUCCESS;
}

void PowerAsioHost::ResetAsioRings(PKEVENT)
{
    PowerLog().push_back("reset rings");
}

// ----------------------------------------------------------------------------
PowerTestAdapter::PowerTestAdapter() : PowerAsioHostHolder(this), CAdapterCommon(&AsioHost) {}
PowerTestAdapter::~PowerTestAdapter() = default;

NTSTATUS PowerTestAdapter::AsioStopStreaming(PFILE_OBJECT, PIRP request)
{
    GetAsioLock().Lock();
    NTSTATUS status;
    if (GetPowerState() != PowerDeviceD0)
    {
        status = HoldAsioStopRequest(request);
        PowerLog().push_back(status == STATUS_PENDING ? "stop held" : "stop refused");
    }
    else
    {
        PowerLog().push_back("stop streaming");
        if (GetAsioPowerDownMark() != 0)
            SetAsioPowerDownMark(0);
        else if (GetAsioRunning() != 0)
            AsioHost.AsioStop();
        status = StopStatus;
    }
    GetAsioLock().Unlock();
    return status;
}

void PowerTestAdapter::StartStreaming(AsioClientRecord* owner)
{
    SetAsioOwner(owner);
    SetAsioRunning(1);
}

// ----------------------------------------------------------------------------
PowerRig::PowerRig(bool selectiveSuspend)
{
    PowerLog().clear();
    g_Idle = IdleScript();
    KeInitializeTimer(&g_CancelTimer);
    KeInitializeDpc(&g_CancelDpc, CancelDpc, nullptr);
    m_Base = std::make_unique<UsbAdapterRig>();
    if (!m_Base->Ok())
        return;
    g_PassTo = m_Base->Lower();
    if (selectiveSuspend)
        EmuRegistrySetValue(m_Base->EnumKeyPath() + u"\\Device Parameters",
                            u"SelectiveSuspendEnabled", REG_DWORD, "\1\0\0\0", 4);
    if (!m_Filter.Create(u"ltf5filter",
                         {{IRP_MJ_INTERNAL_DEVICE_CONTROL, FilterInternal},
                          {IRP_MJ_PNP, FilterPassOn},
                          {IRP_MJ_CREATE, FilterFile},
                          {IRP_MJ_CLEANUP, FilterFile},
                          {IRP_MJ_CLOSE, FilterFile},
                          {IRP_MJ_DEVICE_CONTROL, FilterDeviceControl}},
                         g_PassTo))
        return;
    // The adapter device sits on top of the filter.
    m_Base->Fdo()->StackSize = (CCHAR)(Filter()->StackSize + 1);

    m_Adapter = new (NonPagedPool, ADAPTER_POOL_TAG) PowerTestAdapter();
    if (m_Adapter == nullptr)
        return;
    g_Adapter = m_Adapter;
    PUNKNOWN unknown = static_cast<IAdapterCommon*>(m_Adapter);
    unknown->AddRef();
    m_InitStatus = m_Adapter->Init(nullptr, m_Base->Fdo(), Filter(), m_Base->Pdo());
    if (NT_SUCCESS(m_InitStatus))
        m_InitStatus = PcRegisterAdapterPowerManagement(unknown, m_Base->Fdo());
}

PowerRig::~PowerRig()
{
    if (m_Adapter != nullptr)
        static_cast<IAdapterCommon*>(m_Adapter)->Release();
    // The removal drops the library's reference, the last one.
    m_Base.reset();
    g_Adapter = nullptr;
    KeCancelTimer(&g_CancelTimer);
    for (PFILE_OBJECT file : m_Files)
        EmuCloseFile(file);
    if (g_Idle.Kept != nullptr)
        ADD_FAILURE() << "the idle request is still kept by the filter";
    m_Filter.Delete();
    g_PassTo = nullptr;
}

IdleScript& PowerRig::Idle()
{
    return g_Idle;
}

DEVICE_POWER_STATE PowerRig::LibraryPowerState() const
{
    return EmuPcPowerState(m_Base->Fdo());
}

NTSTATUS PowerRig::SetDevicePower(DEVICE_POWER_STATE state)
{
    return EmuPoSendDevicePower(m_Base->Pdo(), IRP_MN_SET_POWER, state);
}

void PowerRig::CompleteKeptIdle(NTSTATUS status, bool atDispatch)
{
    PIRP irp = g_Idle.Kept;
    if (irp == nullptr)
        return;
    if (g_Idle.Answer == IdleAnswer::Keep && IoSetCancelRoutine(irp, nullptr) == nullptr)
        return; // being cancelled
    KIRQL irql = PASSIVE_LEVEL;
    if (atDispatch)
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
    CompleteKept(status);
    if (atDispatch)
        KeLowerIrql(irql);
}

void PowerRig::RunKeptIdleCallback()
{
    ASSERT_NE(nullptr, g_Idle.Kept);
    USB_IDLE_CALLBACK_INFO info = *g_Idle.Info;
    info.IdleCallback(info.IdleContext);
}

PFILE_OBJECT PowerRig::OpenFile()
{
    PFILE_OBJECT file = nullptr;
    if (!NT_SUCCESS(EmuOpenFile(Filter(), u"\\Asio", &file)))
        return nullptr;
    m_Files.push_back(file);
    return file;
}

void PowerRig::CloseFile(PFILE_OBJECT file)
{
    for (auto it = m_Files.begin(); it != m_Files.end(); ++it)
        if (*it == file)
        {
            m_Files.erase(it);
            EmuCloseFile(file);
            return;
        }
}
