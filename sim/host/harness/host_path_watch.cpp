#include "sim/host/harness/host_path_watch.h"

#include <algorithm>

#include "framework/adapter_extension.h"
#include "framework/callback_object.h"
#include "streaming/usb/usb_audio_stream.h"

namespace
{
// The stream's callback object, which the driver names after the stream;
// null where there is none.
PCALLBACK_OBJECT StreamCallbacks(PDEVICE_OBJECT fdo, ULONG index)
{
    AdapterExtension* extension = GetAdapterExtension(fdo);
    CStreamEngine* engine = nullptr;
    if (extension == nullptr || extension->Adapter == nullptr ||
        !NT_SUCCESS(extension->Adapter->GetEngine(index, &engine)) || engine == nullptr)
        return nullptr;
    PUSBSTREAMCONTROL control = nullptr;
    if (!NT_SUCCESS(engine->QueryInterface(IID_IUsbStreamControl, (PVOID*)&control)))
        return nullptr;
    PCALLBACK_OBJECT object = nullptr;
    if (!NT_SUCCESS(CreateAddressCallbackObject(u"\\Callback\\CyclicControlAddr",
                                                static_cast<CUsbAudioStream*>(control), &object)))
        object = nullptr;
    control->Release();
    return object;
}
} // namespace

HostPathWatch::HostPathWatch(PDEVICE_OBJECT fdo, const std::u16string& filter)
    : m_Known(HostPathProcessing::WaveFilterEngine(fdo, filter, &m_Engine)), m_Reader(fdo, m_Engine)
{
    PCALLBACK_OBJECT object = m_Known ? StreamCallbacks(fdo, m_Engine) : nullptr;
    if (object == nullptr)
        return;
    m_Registered = NT_SUCCESS(RegisterOnCallbackObject(object, Moved, this, &m_Registration));
    // The registration holds the object.
    ObDereferenceObject(object);
    Look();
}

HostPathWatch::~HostPathWatch()
{
    if (m_Registered)
        UnregisterFromCallbackObject(m_Registration);
}

void HostPathWatch::Moved(PVOID context, PVOID argument1, PVOID)
{
    const auto* note = static_cast<const StreamNotification*>(argument1);
    if (note == nullptr || note->Client == nullptr ||
        (note->Type != STREAM_NOTIFY_RENDER_DATA && note->Type != STREAM_NOTIFY_CAPTURE_DATA))
        return;
    const ULONG frame = note->Client->Format.Format.nBlockAlign;
    if (frame != 0)
        static_cast<HostPathWatch*>(context)->m_Moved += note->Data.Bytes / frame;
}

void HostPathWatch::Look()
{
    m_On = m_Reader.Read();
}

void HostPathWatch::Step()
{
    const bool on = m_Reader.Read();
    const ULONGLONG from = m_Stepped, to = m_Moved;
    m_Stepped = to;
    if ((on || m_On) && from < to)
    {
        if (!m_Spans.empty() && m_Spans.back().second == from)
            m_Spans.back().second = to;
        else
            m_Spans.emplace_back(from, to);
    }
    m_On = on;
}

HostPathWatch::Spans::const_iterator HostPathWatch::Span(ULONGLONG at) const
{
    return std::upper_bound(m_Spans.begin(), m_Spans.end(), at,
                            [](ULONGLONG n, const auto& span) { return n < span.second; });
}
