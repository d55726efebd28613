#include "tests/asio/stream_control_double.h"

namespace
{
constexpr ULONG kDoubleTag = POOL_TAG("TAsD");
} // namespace

std::vector<std::string>& ControlLog()
{
    static std::vector<std::string> log;
    return log;
}

StreamControlDouble::StreamControlDouble(const char* name, ULONG direction, ULONG frame)
    : CStreamEngine(nullptr, 0), m_Name(name), m_Direction(direction), m_Frame(frame)
{
}

StreamControlDouble::~StreamControlDouble()
{
    if (m_Client != nullptr)
        ExFreePoolWithTag(m_Client, kDoubleTag);
}

NTSTATUS StreamControlDouble::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (IsEqualGUID(iid, IID_IUsbStreamControl))
    {
        *object = static_cast<IUsbStreamControl*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CStreamEngine::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS StreamControlDouble::GetFormatAt(ULONG index, PWAVEFORMATEXTENSIBLE record)
{
    if (index >= Formats.size())
        return STATUS_INVALID_PARAMETER;
    *record = Formats[index];
    return STATUS_SUCCESS;
}

void StreamControlDouble::Log(const std::string& what)
{
    ControlLog().push_back(m_Name + " " + what);
}

NTSTATUS StreamControlDouble::RegisterClient(ULONG kind, PWAVEFORMATEX format, ULONG msPerUrb,
                                             ULONG urbCount, PCALLBACK_FUNCTION callback,
                                             PVOID context, PSTREAMCLIENT* client)
{
    Log("register " + std::to_string(format->nChannels) + "ch " + std::to_string(msPerUrb) +
        "ms x" + std::to_string(urbCount));
    m_Client = static_cast<PSTREAMCLIENT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(StreamClient), kDoubleTag));
    RtlZeroMemory(m_Client, sizeof(StreamClient));
    m_Client->Kind = kind;
    m_Client->Registration = m_Client;
    m_Client->MsPerUrb = msPerUrb;
    m_Client->UrbCount = urbCount;
    m_Callback = callback;
    m_Context = context;
    *client = m_Client;
    return STATUS_SUCCESS;
}

NTSTATUS StreamControlDouble::UnregisterClient(PVOID key)
{
    Log("unregister");
    if (m_Client == nullptr || key != m_Client)
        return STATUS_INVALID_PARAMETER;
    ExFreePoolWithTag(m_Client, kDoubleTag);
    m_Client = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS StreamControlDouble::StartClient(PVOID, ULONG startFrame, PULONG msPerUrb, PCHAINNODE)
{
    Log("start " + std::to_string(startFrame));
    if (!NT_SUCCESS(StartStatus))
        return StartStatus;
    m_Client->Started = 1;
    *msPerUrb = m_Client->MsPerUrb;
    return STATUS_SUCCESS;
}

NTSTATUS StreamControlDouble::StopClient(PVOID, PCHAINNODE)
{
    Log("stop");
    m_Client->Started = 0;
    if (OnStop)
        OnStop();
    return STATUS_SUCCESS;
}

NTSTATUS StreamControlDouble::OpenClient(PVOID, PULONG msPerUrb, PULONG startFrame)
{
    Log("open");
    if (!NT_SUCCESS(OpenStatus))
        return OpenStatus;
    *msPerUrb = m_Client->MsPerUrb;
    *startFrame = m_Frame;
    return STATUS_SUCCESS;
}

NTSTATUS StreamControlDouble::CloseClient(PVOID)
{
    Log("close");
    return STATUS_SUCCESS;
}

void StreamControlDouble::Notify(ULONG type, PVOID buffer, ULONG bytes, ULONG dropped)
{
    StreamNotification note = {};
    note.Client = m_Client;
    note.Type = type;
    note.Dropped = dropped;
    if (type == STREAM_NOTIFY_BYTES)
        note.Bytes = bytes;
    else
    {
        note.Data.Buffer = buffer;
        note.Data.Bytes = bytes;
    }
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    if (m_Callback != nullptr)
        m_Callback(m_Context, &note, nullptr);
    KeLowerIrql(irql);
}
