// The control selectors that are the devices' own, beside the audio class's
// (the platform's USB_AUDIO_* names): the feature-unit selectors from 128 up,
// pseudo controls that a device describes in its pseudo-control table, and
// the terminals' output-type selector. They are the device protocol, sent as
// they stand. Header only: the simulated devices answer them as well.
#pragma once

#include "platform/kernel/nt_types.h"

// Feature-unit selectors from here up are pseudo controls; class 1.0 sends
// them as vendor requests, and they read their bits from the device's table.
inline constexpr UCHAR UAC_PSEUDO_SELECTOR_BASE = 0x80;
// The class 2.0 soft volume: a device volume that the driver also applies
// as gains in the stream's chain.
inline constexpr UCHAR UAC_PSEUDO_VOLUME_SELECTOR = 130;
// The class 1.0 on/off pseudo controls; on the chip feature unit they stand
// for the driver's delay and headphone effect nodes.
inline constexpr UCHAR UAC_PSEUDO_DELAY_SELECTOR = 139;
inline constexpr UCHAR UAC_PSEUDO_HEADPHONE_SELECTOR = 140;
// The class 2.0 switch.
inline constexpr UCHAR UAC_PSEUDO_SWITCH_SELECTOR = 144;

// An output terminal's type: a vendor request in class 1.0, a class 2.0
// selector that the class leaves undefined for terminals.
inline constexpr ULONG UAC2_OUTPUT_TYPE_SELECTOR = 8;
