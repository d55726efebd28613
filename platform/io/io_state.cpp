// The I/O manager's state, reset with the kernel and checked for leaks with it.
#include "platform/io/io_internal.h"
#include "platform/kernel/emu.h"
#include "platform/kernel/emu_hooks.h"

namespace
{
IoState g_Io;

void IoReset()
{
    g_Io = IoState{};
}

std::string IoLeaks(bool forget)
{
    std::string what;
    if (!g_Io.Requests.empty())
        what += " " + std::to_string(g_Io.Requests.size()) + " request(s) still held by a driver;";
    if (!g_Io.Mappings.empty())
        what += " " + std::to_string(g_Io.Mappings.size()) + " user mapping(s) still mapped;";
    if (forget)
    {
        for (EmuIoRequest* r : g_Io.Requests)
            if (r->Irp() != nullptr)
                r->Irp()->Overlay.AsynchronousParameters.UserApcContext = nullptr;
        g_Io.Requests.clear();
        g_Io.Mappings.clear();
    }
    return what;
}

// The process's address space goes: a mapping still in it is a driver's
// fault (the real kernel stops the machine).
void IoProcessExit(PEPROCESS process)
{
    auto& maps = g_Io.Mappings;
    for (auto it = maps.begin(); it != maps.end();)
        if (it->Process == process)
        {
            EmuReportFailure("user mapping of MDL %p at %p left in process %u as it exits",
                             (void*)it->Mdl, it->UserAddress, EmuProcessId(process));
            it = maps.erase(it);
        }
        else
            ++it;
}

const EmuPlatformHooks g_IoHooks = {"I/O manager", IoReset, IoLeaks, IoProcessExit};
} // namespace

IoState& Io()
{
    static bool registered = false;
    if (!registered)
    {
        registered = true;
        EmuRegisterPlatformHooks(&g_IoHooks);
    }
    return g_Io;
}

std::u16string IoUpper(const std::u16string& s)
{
    std::u16string r = s;
    for (auto& c : r)
        c = RtlUpcaseUnicodeChar(c);
    return r;
}

bool IoValidUnicode(PCUNICODE_STRING s)
{
    if (s == nullptr)
        return false;
    if ((s->Length & 1) != 0 || s->Length > s->MaximumLength)
        return false;
    return s->Length == 0 || s->Buffer != nullptr;
}

std::u16string IoFromUnicode(PCUNICODE_STRING s)
{
    if (s == nullptr || s->Buffer == nullptr)
        return {};
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::string IoNarrow(const std::u16string& s)
{
    std::string r;
    for (char16_t c : s)
        r += c < 0x80 ? (char)c : '?';
    return r;
}

bool IoIsDevice(const void* p)
{
    auto& d = Io().Devices;
    auto it = d.find((PDEVICE_OBJECT)p);
    return it != d.end() && !it->second.Deleted;
}

IoDeviceInfo* IoInfo(PDEVICE_OBJECT device)
{
    auto& d = Io().Devices;
    auto it = d.find(device);
    return it == d.end() ? nullptr : &it->second;
}
