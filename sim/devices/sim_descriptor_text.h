// The text form of a device's descriptors, as captured from hardware.
#pragma once

#include <string>

#include "sim/devices/sim_descriptor_set.h"

// The most a line of descriptor text holds: a descriptor of 255 bytes takes
// 765 characters and a string line about 130; the rest leaves room for a
// comment.
inline constexpr size_t kSimDescriptorLineMost = 4096;
// The most a whole text holds: a configuration is at most 65,535 bytes,
// 196,605 characters of hex, so five of the largest fit with their comments.
inline constexpr size_t kSimDescriptorTextMost = 1 << 20;

// Reads descriptors from text a line at a time: one descriptor a line in hex
// bytes (the device descriptor first, then each configuration descriptor
// followed by what that configuration holds), string descriptors as
// `string <index> "<text>"`, the connection's speed as `speed full` or
// `speed high`, the rates of the class 2.0 clock sources as
// `clock-rates 44100 48000`, and `#` comments. Only what no device could
// send is refused: a line whose bLength differs from its bytes, or a
// configuration whose lines do not add up to its wTotalLength; and a line or
// a text past the bounds above.
class SimDescriptorTextReader
{
  public:
    explicit SimDescriptorTextReader(SimDescriptorSource* source);
    // Takes the next line, without its end: an empty result means it reads,
    // else "line N: " and the fault.
    std::string Line(const std::string& line);
    // After the last line: an empty result when the text describes a device.
    std::string End();

  private:
    // A line of hex bytes: a descriptor.
    std::string Descriptor(const std::string& line);
    // A configuration must end exactly at its wTotalLength.
    std::string CloseConfiguration();
    std::string Fault(int line, const std::string& what) const;

    SimDescriptorSource* m_Source;
    size_t m_Bytes = 0; // of the text so far, line ends included
    int m_Line = 0;
    int m_ConfigLine = 0; // the line of the configuration being read
};

// The whole text at once. An empty result means success, else the line and
// the fault.
std::string SimParseDescriptorText(const std::string& text, SimDescriptorSource* source);
// The text of a regular file, read a block at a time so that memory stays
// flat whatever the file holds; "cannot read PATH" when it does not open,
// with why when it is not a regular file or a read fails.
std::string SimReadDescriptorFile(const char* path, SimDescriptorSource* source);
// The same from a descriptor open on the file, read from its position on
// and left open where reading stopped; `path` names the file in what is said.
std::string SimReadDescriptorFile(int fd, const char* path, SimDescriptorSource* source);
