#include "tests/usbaudio/uac1/uac1_start_fuzz.h"

#include "tests/usbaudio/usbaudio_doubles.h"
#include "tests/usbaudio/walk_doubles.h"

namespace
{
constexpr UCHAR kEdgeValues[] = {0, 1, 2, 3, 8, 9, 0x7F, 0x80, 0xFE, 0xFF};

void FixTotal(std::vector<UCHAR>& c)
{
    c[2] = (UCHAR)c.size();
    c[3] = (UCHAR)(c.size() >> 8);
}

// Offsets of the descriptors as their lengths chain them.
std::vector<size_t> DescriptorOffsets(const std::vector<UCHAR>& c)
{
    std::vector<size_t> offsets;
    for (size_t pos = c[0]; pos + 1 < c.size() && c[pos] >= 2 && pos + c[pos] <= c.size();
         pos += c[pos])
        offsets.push_back(pos);
    return offsets;
}
} // namespace

bool StartUac1FromConfiguration(const std::vector<UCHAR>& configuration, NTSTATUS* status)
{
    const DeviceBytes bytes = ReferenceBytes(SimReference::Uac1SpeakerMic);
    std::string error;
    std::unique_ptr<SimUsbDevice> device =
        SimUsbDevice::Create(bytes.Device, configuration, bytes.Strings, bytes.Speed, &error);
    if (device == nullptr)
        return false;
    ScopedTestStreams streams;
    UsbAdapterRig rig(std::move(device));
    if (!rig.Ok())
        return false;
    UseDeviceClasses(false);
    *status = rig.Start();
    return true;
}

std::vector<UCHAR> MutateConfiguration(std::vector<UCHAR> c, std::mt19937& random)
{
    const int changes = 1 + (int)(random() % 3);
    for (int i = 0; i < changes && c.size() > 9; ++i)
    {
        const std::vector<size_t> offsets = DescriptorOffsets(c);
        const size_t at = 9 + random() % (c.size() - 9);
        switch (random() % 4)
        {
        case 0:
            c[at] = (UCHAR)random();
            break;
        case 1:
            c[at] = kEdgeValues[random() % sizeof(kEdgeValues)];
            break;
        case 2:
            if (!offsets.empty())
            {
                // A descriptor grows or shrinks by a few bytes that stay in place.
                const size_t d = offsets[random() % offsets.size()];
                const int by = (int)(random() % 7) - 3;
                if (by > 0)
                    c.insert(c.begin() + (ptrdiff_t)(d + c[d]), (size_t)by, (UCHAR)random());
                else if (by < 0 && c[d] + by >= 2)
                    c.erase(c.begin() + (ptrdiff_t)(d + c[d] + by),
                            c.begin() + (ptrdiff_t)(d + c[d]));
                c[d] = (UCHAR)(c[d] + by);
            }
            break;
        default:
            c.resize(9 + random() % (c.size() - 9));
            break;
        }
        FixTotal(c);
    }
    return c;
}
