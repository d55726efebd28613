// Channel-count change of one block of non-interleaved float audio, in place.
// Narrowing folds 4-, 6- and 8-channel material (and stereo to mono) with fixed
// weights; widening moves a 4-channel rear pair to the rear positions of the
// wider layout and fills the new channels with a tiny constant. Stateless, no
// allocation, no failure: a pair it does not know leaves every buffer as is.
#pragma once

#include <cstdint>

// Value of channels created by widening (not 0.0: it keeps later stages clear
// of denormal arithmetic, as the delay node's input bias does).
inline constexpr float ChannelDownmixFill = 1e-12f;

// channels: eight buffers, each holding at least frames samples. plain != 0
// adds the surrounds to their own side; 0 takes them in the matrix weights.
void ChannelDownmix(float* const* channels, uint32_t inputChannels, uint32_t outputChannels,
                    uint32_t frames, uint8_t plain);
