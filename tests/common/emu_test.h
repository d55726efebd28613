// Small helpers shared by the test programs.
#pragma once

#include <string>

#include "platform/kernel/kernel.h"

// A relative time-out in milliseconds, as drivers pass to waits.
inline LARGE_INTEGER RelativeMs(LONGLONG ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

// Narrow copy of a wide string, for readable assertions.
std::string Narrow(const WCHAR* s);
std::string Narrow(const UNICODE_STRING& s);
