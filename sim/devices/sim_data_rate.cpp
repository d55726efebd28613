#include "sim/devices/sim_data_rate.h"

#include "audioclass/descriptor_rules.h"
#include "audioclass/uac1_rates.h"

std::vector<ULONG> SimOfferedRates(const std::vector<UCHAR>& config, const SimAltSetting& alt)
{
    for (size_t pos : SimClassInterfaceDescriptors(config, alt))
    {
        if (config[pos + 2] != USB_AUDIO_FORMAT_TYPE)
            continue;
        ULONG rates[256] = {};
        ULONG count = 0;
        if (CheckAudioDescriptor(AudioDescriptorVersion::Uac1, AudioInterfaceKind::AudioStreaming,
                                 &config[pos],
                                 (ULONG)(config.size() - pos)) != DescriptorVerdict::Valid ||
            !NT_SUCCESS(Uac1FormatRates(&config[pos], rates, &count)))
            return {};
        return {rates, rates + count};
    }
    return {};
}

ULONG SimLockedRate(const std::vector<ULONG>& offered, ULONG measured)
{
    auto distance = [measured](ULONG rate)
    { return rate > measured ? rate - measured : measured - rate; };
    ULONG nearest = 0;
    for (ULONG rate : offered)
        nearest = nearest == 0 || distance(rate) < distance(nearest) ? rate : nearest;
    return UAC1_RATE_TOLERANCE_PER * distance(nearest) <= nearest ? nearest : 0;
}
