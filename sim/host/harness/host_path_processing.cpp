#include "sim/host/harness/host_path_processing.h"

#include "framework/adapter_extension.h"
#include "framework/stream_engine.h"

namespace
{
// The adapter of a started device; null before its start and after removal.
PADAPTERCOMMON Adapter(PDEVICE_OBJECT fdo)
{
    AdapterExtension* extension = GetAdapterExtension(fdo);
    return extension != nullptr ? extension->Adapter : nullptr;
}

CStreamEngine* Engine(PADAPTERCOMMON adapter, ULONG index)
{
    CStreamEngine* engine = nullptr;
    return adapter != nullptr && NT_SUCCESS(adapter->GetEngine(index, &engine)) ? engine : nullptr;
}
} // namespace

HostPathProcessing::HostPathProcessing(PDEVICE_OBJECT fdo, ULONG engine)
    : m_Fdo(fdo), m_Engine(engine), m_Now()
{
}

bool HostPathProcessing::Read()
{
    CStreamEngine* engine = Engine(Adapter(m_Fdo), m_Engine);
    // Cut short, the text still says what was on, as far as it goes.
    if (engine == nullptr || NT_ERROR(engine->DescribeProcessing(m_Now, sizeof(m_Now))))
        return false;
    const std::string now = m_Now;
    for (size_t at = 0; at < now.size();)
    {
        const size_t end = std::min(now.find("; ", at), now.size());
        const std::string one = now.substr(at, end - at);
        if (("; " + m_Seen + "; ").find("; " + one + "; ") == std::string::npos)
            m_Seen += (m_Seen.empty() ? "" : "; ") + one;
        at = end + 2;
    }
    return !now.empty();
}

bool HostPathProcessing::AsioRingEngine(PDEVICE_OBJECT fdo, ULONG ring, ULONG* engine)
{
    PADAPTERCOMMON adapter = Adapter(fdo);
    for (ULONG i = 0; adapter != nullptr && i < adapter->GetEngineCount(); ++i)
    {
        EndpointCapabilities caps = {};
        if (!NT_SUCCESS(adapter->GetStreamCapabilities(i, &caps)) ||
            (caps.ThirdValue & ENDPOINT_CAPS_ASIO_STREAM) == 0 || Engine(adapter, i) == nullptr)
            continue;
        if (ring-- != 0)
            continue;
        *engine = i;
        return true;
    }
    return false;
}

bool HostPathProcessing::WaveFilterEngine(PDEVICE_OBJECT fdo, const std::u16string& filter,
                                          ULONG* engine)
{
    PADAPTERCOMMON adapter = Adapter(fdo);
    WCHAR name[STREAM_ENGINE_NAME_OUT_CHARS] = {};
    for (ULONG i = 0; adapter != nullptr && i < adapter->GetEngineCount(); ++i)
    {
        CStreamEngine* e = Engine(adapter, i);
        // The wave miniport names its filter after its engine.
        if (e == nullptr || !NT_SUCCESS(e->GetName(name)) ||
            std::u16string(name) + u"Wave" != filter)
            continue;
        *engine = i;
        return true;
    }
    return false;
}
