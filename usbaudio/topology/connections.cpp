// The topology miniport's connections, walked from every output terminal back
// along the controls' source links, and its lookups.
#include "usbaudio/topology/miniport.h"

namespace
{
enum : UCHAR
{
    c_Unvisited = 0,
    c_OnPath = 1,
    c_Finished = 2
};
} // namespace

BOOLEAN CTopologyMiniport::FindNodeById(ULONG id, TopologyEntry** entry)
{
    for (ULONG i = 0; i < m_NodeCount; ++i)
        if (m_Nodes[i].Control->GetId() == id)
        {
            if (entry != nullptr)
                *entry = &m_Nodes[i];
            return TRUE;
        }
    return FALSE;
}

TopologyEntry* CTopologyMiniport::NodeAt(ULONG index) const
{
    return index < m_NodeCount ? &m_Nodes[index] : nullptr;
}

TopologyEntry* CTopologyMiniport::PinAt(ULONG index) const
{
    return index < m_PinCount ? &m_Pins[index] : nullptr;
}

TopologyEntry* CTopologyMiniport::PinById(ULONG id) const
{
    for (ULONG i = 0; i < m_PinCount; ++i)
        if (m_Pins[i].Control->GetId() == id)
            return &m_Pins[i];
    return nullptr;
}

// The control's source ids in a block of the caller's to free (null when
// it has none).
NTSTATUS CTopologyMiniport::SourcesOf(PAUDIOCONTROL control, PULONG count, PULONG* sources)
{
    *sources = nullptr;
    *count = control->GetValueCount();
    if (*count == 0)
        return STATUS_SUCCESS;
    *sources = static_cast<PULONG>(
        ExAllocatePoolWithTag(NonPagedPool, *count * sizeof(ULONG), TOPOLOGY_POOL_TAG));
    if (*sources == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    return control->GetValues(count, *sources);
}

// New connections go to the head; one already listed is dropped.
void CTopologyMiniport::AddConnection(ULONG fromNode, ULONG fromPin, ULONG toNode, ULONG toPin)
{
    const PCCONNECTION_DESCRIPTOR wanted = {fromNode, fromPin, toNode, toPin};
    for (ULONG i = 0; i < m_ConnectionCount; ++i)
    {
        const PCCONNECTION_DESCRIPTOR& c = m_Connections[i];
        if (c.FromNode == fromNode && c.FromNodePin == fromPin && c.ToNode == toNode &&
            c.ToNodePin == toPin)
            return;
    }
    if (m_ConnectionCount < m_ConnectionCapacity)
    {
        RtlMoveMemory(&m_Connections[1], &m_Connections[0],
                      m_ConnectionCount * sizeof(PCCONNECTION_DESCRIPTOR));
        m_Connections[0] = wanted;
        ++m_ConnectionCount;
    }
}

// Walks a node's sources first, then connects them to it. A node already
// finished is not walked again (its connections are listed), and one met
// again on the current path is a cycle the device's links must not have.
NTSTATUS CTopologyMiniport::WalkNode(ULONG nodeIndex, PUCHAR state, ULONG depth)
{
    if (state[nodeIndex] == c_Finished)
        return STATUS_SUCCESS;
    if (state[nodeIndex] == c_OnPath || depth > m_NodeCount)
        return STATUS_UNSUCCESSFUL;
    state[nodeIndex] = c_OnPath;
    TopologyEntry& node = m_Nodes[nodeIndex];
    ULONG count = 0;
    PULONG sources = nullptr;
    NTSTATUS status = SourcesOf(node.Control, &count, &sources);
    for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i)
    {
        TopologyEntry* source = nullptr;
        if (FindNodeById(sources[i], &source))
        {
            status = WalkNode(source->Index, state, depth + 1);
            if (NT_SUCCESS(status))
                AddConnection(source->Index, 0, node.Index, i + 1);
        }
        else if (TopologyEntry* pin = PinById(sources[i]))
            AddConnection(PCFILTER_NODE, pin->Index, node.Index, i + 1);
        else
            status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status) && count == 0)
    {
        TopologyEntry* pin = PinById(node.Control->GetId());
        if (pin == nullptr)
            status = STATUS_UNSUCCESSFUL;
        else
            AddConnection(PCFILTER_NODE, pin->Index, node.Index, 1);
    }
    if (sources != nullptr)
        ExFreePoolWithTag(sources, TOPOLOGY_POOL_TAG);
    state[nodeIndex] = c_Finished;
    return status;
}

NTSTATUS CTopologyMiniport::BuildConnections()
{
    // Every node contributes at most one connection per source (one when it
    // has none) and every output pin one.
    m_ConnectionCapacity = m_PinCount;
    for (ULONG i = 0; i < m_NodeCount; ++i)
    {
        const ULONG sources = m_Nodes[i].Control->GetValueCount();
        m_ConnectionCapacity += sources == 0 ? 1 : sources;
    }
    const SIZE_T bytes = (SIZE_T)(m_ConnectionCapacity + 1) * sizeof(PCCONNECTION_DESCRIPTOR);
    m_Connections = static_cast<PPCCONNECTION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, bytes, TOPOLOGY_POOL_TAG));
    PUCHAR state = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, m_NodeCount + 1, TOPOLOGY_POOL_TAG));
    NTSTATUS status = STATUS_SUCCESS;
    if (m_Connections == nullptr || state == nullptr)
        status = STATUS_INSUFFICIENT_RESOURCES;
    else
        RtlZeroMemory(state, m_NodeCount + 1);
    bool anyOutput = false;
    for (ULONG p = 0; p < m_PinCount && NT_SUCCESS(status); ++p)
    {
        TopologyEntry& pin = m_Pins[p];
        if (pin.Control->GetKind() != CONTROL_KIND_OUTPUT_TERMINAL)
            continue;
        anyOutput = true;
        ULONG count = 0;
        PULONG sources = nullptr;
        status = SourcesOf(pin.Control, &count, &sources);
        if (NT_SUCCESS(status) && count > 0)
        {
            TopologyEntry* source = nullptr;
            if (FindNodeById(sources[0], &source))
            {
                status = WalkNode(source->Index, state, 0);
                if (NT_SUCCESS(status))
                    AddConnection(source->Index, 0, PCFILTER_NODE, pin.Index);
            }
            else if (TopologyEntry* from = PinById(sources[0]))
                AddConnection(PCFILTER_NODE, from->Index, PCFILTER_NODE, pin.Index);
            else
                status = STATUS_UNSUCCESSFUL;
        }
        if (sources != nullptr)
            ExFreePoolWithTag(sources, TOPOLOGY_POOL_TAG);
    }
    if (state != nullptr)
        ExFreePoolWithTag(state, TOPOLOGY_POOL_TAG);
    if (NT_SUCCESS(status) && !anyOutput)
        status = STATUS_UNSUCCESSFUL;
    return status;
}
