// The terminals of chip models A and B, whose chips answer no jack and no
// output-type queries: an input terminal without a jack list, and an output
// terminal with one output-terminal control for the endpoint kind of its
// wTerminalType and nothing else (no output-type control, no kept kind, no
// type list: its own kind count and current kind stay 0 and its jack
// queries are refused).
#pragma once

#include "audioclass/units/plain_input_terminal.h"

class CChipModelInputTerminal : public CPlainInputTerminal
{
  public:
    explicit CChipModelInputTerminal(ULONG index) : CPlainInputTerminal(index) {}
};

class CChipModelOutputTerminal : public CUac1OutputTerminal
{
  public:
    explicit CChipModelOutputTerminal(ULONG index) : CUac1OutputTerminal(index) {}

    // Unit id bTerminalID, kind 3, source bSourceID; one output-terminal
    // control (next control id, index 0) of the kind
    // OutputTerminalTypeToEndpointKind gives, with the device's capability
    // record for that kind as an output.
    NTSTATUS CreateControls(CAudioHal* device) override;
};
