// An input terminal of the device models whose chips answer no jack
// queries: the class 1.0 input terminal without its jack list, so that no
// jack request ever goes to the device. Its CreateControls gives the unit
// id bTerminalID, kind 2 and no sources, and makes the one input-terminal
// control: the next control id, the device's capability record for input
// and the endpoint kind TerminalTypeToEndpointKind gives for wTerminalType,
// added to the device and the unit (a control that cannot be allocated
// leaves the terminal without one, as for the class 1.0 terminal). Jack
// queries answer no jacks. The timed family and chip models A and B use it
// as it is or derive from it.
#pragma once

#include "audioclass/units/uac1_terminals.h"

class CPlainInputTerminal : public CUac1InputTerminal
{
  public:
    explicit CPlainInputTerminal(ULONG index) : CUac1InputTerminal(index) {}

  protected:
    bool ReadsJacks() const override { return false; }
};
