#include "sim/host/host_options.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sim/host/harness/host_harness.h"

namespace
{
// Seconds as milliseconds: decimal digits with at most three after the
// point (no sign, exponent or hex), above 0 and at most the longest run.
bool TakeSeconds(const char* name, const char* text, ULONG* ms, std::string* error)
{
    const char* point = strchr(text, '.');
    const size_t whole = point != nullptr ? (size_t)(point - text) : strlen(text);
    const size_t decimals = point != nullptr ? strlen(point + 1) : 0;
    const bool digits = strspn(text, "0123456789") == whole &&
                        (point == nullptr || strspn(point + 1, "0123456789") == decimals);
    ULONGLONG value = 0;
    for (const char* c = text; digits && *c != 0 && value <= (ULONGLONG)kHostMaxSeconds * 1000; ++c)
        if (*c != '.')
            value = value * 10 + (ULONGLONG)(*c - '0');
    for (size_t d = decimals; d < 3; ++d)
        value *= 10;
    if (!digits || whole + decimals == 0 || whole > 4 || decimals > 3 || value < 1 ||
        value > (ULONGLONG)kHostMaxSeconds * 1000)
    {
        *error = std::string(name) + " \"" + text + "\": give seconds from 0.001 to " +
                 std::to_string(kHostMaxSeconds) + ", to the millisecond";
        return false;
    }
    *ms = (ULONG)value;
    return true;
}

bool TakeName(const char* name, const char* text, std::string* to, std::string* error)
{
    if (*text == 0)
    {
        *error = std::string(name) + " needs a file name";
        return false;
    }
    *to = text;
    return true;
}

bool TakeSpeed(const char* text, HostOptions* o, std::string* error)
{
    if (strcmp(text, "full") != 0 && strcmp(text, "high") != 0)
    {
        *error = std::string("--speed \"") + text + "\": give full or high";
        return false;
    }
    o->Speed = strcmp(text, "high") == 0 ? EmuUsbSpeed::High : EmuUsbSpeed::Full;
    return true;
}

using Take = bool (*)(const char* name, const char* value, HostOptions* o, std::string* error);

struct OptionRow
{
    const char* Name;
    bool HasValue;
    Take Apply;
    bool Alone = false; // takes no other option
};

// The options, each with what it does to the record.
const OptionRow kOptions[] = {
    {"--help", false,
     [](const char*, const char*, HostOptions* o, std::string*)
     { return o->Action = HostAction::Help, true; },
     true},
    {"-h", false,
     [](const char*, const char*, HostOptions* o, std::string*)
     { return o->Action = HostAction::Help, true; },
     true},
    {"--list", false,
     [](const char*, const char*, HostOptions* o, std::string*)
     { return o->Action = HostAction::List, true; },
     true},
    {"--self-check", false,
     [](const char*, const char*, HostOptions* o, std::string*)
     { return o->Action = HostAction::SelfCheck, true; },
     true},
    {"--verbose", false,
     [](const char*, const char*, HostOptions* o, std::string*) { return o->Verbose = true; }},
    {"--device", true,
     [](const char*, const char* v, HostOptions* o, std::string*)
     { return o->DeviceNamed = true, o->Device = v, true; }},
    {"--descriptor-file", true,
     [](const char* n, const char* v, HostOptions* o, std::string* e)
     { return o->FromFile = true, TakeName(n, v, &o->Device, e); }},
    {"--speed", true,
     [](const char*, const char* v, HostOptions* o, std::string* e) { return TakeSpeed(v, o, e); }},
    {"--asio", true,
     [](const char* n, const char* v, HostOptions* o, std::string* e)
     { return TakeSeconds(n, v, &o->AsioMs, e); }},
    {"--play", true,
     [](const char* n, const char* v, HostOptions* o, std::string* e)
     { return TakeName(n, v, &o->Stream.Play, e); }},
    {"--device-out", true,
     [](const char* n, const char* v, HostOptions* o, std::string* e)
     { return TakeName(n, v, &o->Stream.DeviceOut, e); }},
    {"--record", true,
     [](const char* n, const char* v, HostOptions* o, std::string* e)
     { return TakeName(n, v, &o->Stream.Record, e); }},
    {"--seconds", true,
     [](const char* n, const char* v, HostOptions* o, std::string* e)
     { return o->Stream.SecondsGiven = true, TakeSeconds(n, v, &o->Stream.RecordMs, e); }},
    {"--unplug-after", true,
     [](const char* n, const char* v, HostOptions* o, std::string* e)
     { return TakeSeconds(n, v, &o->Stream.UnplugAfterMs, e); }},
};

// What is wrong with the options taken together; null when nothing.
const char* Combination(const HostOptions& o)
{
    const StreamRunOptions& s = o.Stream;
    const struct
    {
        bool Wrong;
        const char* Problem;
    } rules[] = {
        {o.DeviceNamed && o.FromFile, "--device and --descriptor-file: give one device"},
        {!s.Play.empty() && !s.Record.empty(), "--play and --record are one run each"},
        {!s.DeviceOut.empty() && s.Play.empty(), "--device-out goes with --play"},
        {s.SecondsGiven && s.Record.empty(), "--seconds goes with --record"},
        {s.UnplugAfterMs != 0 && !s.Wanted(), "--unplug-after goes with --play or --record"},
        {s.UnplugAfterMs != 0 && !s.Record.empty() && s.UnplugAfterMs >= s.RecordMs,
         "--unplug-after must come before the end of the recording (--seconds)"},
    };
    for (const auto& r : rules)
        if (r.Wrong)
            return r.Problem;
    return nullptr;
}
} // namespace

bool HostParseOptions(int argc, char** argv, HostOptions* options, std::string* error)
{
    std::vector<const OptionRow*> given;
    for (int i = 1; i < argc; ++i)
    {
        const OptionRow* row = nullptr;
        for (const OptionRow& r : kOptions)
            if (strcmp(argv[i], r.Name) == 0)
                row = &r;
        if (row == nullptr)
        {
            *error = std::string("unexpected argument \"") + argv[i] + "\"";
            return false;
        }
        if (std::find(given.begin(), given.end(), row) != given.end())
        {
            *error = std::string(row->Name) + " is given twice";
            return false;
        }
        given.push_back(row);
        if (row->HasValue && i + 1 >= argc)
        {
            *error = std::string(row->Name) + " needs a value";
            return false;
        }
        if (!row->Apply(row->Name, row->HasValue ? argv[++i] : nullptr, options, error))
            return false;
    }
    for (const OptionRow* row : given)
        if (row->Alone && given.size() > 1)
        {
            *error = std::string(row->Name) + " takes no other option";
            return false;
        }
    if (const char* problem = Combination(*options))
    {
        *error = problem;
        return false;
    }
    return true;
}

bool HostPrepareRun(const HostOptions& options, HostPrepared* prepared, std::string* error,
                    std::string* warning)
{
    if (options.FromFile)
    {
        if (!HostCheckInput(options.Device, error))
            return false;
        prepared->DeviceFromFile =
            SimUsbDevice::CreateFromFile(options.Device.c_str(), options.Speed, error);
        if (!prepared->DeviceFromFile)
            return false;
    }
    else
    {
        const std::vector<std::string> names = HostHarness::ReferenceNames();
        if (std::find(names.begin(), names.end(), options.Device) == names.end())
        {
            *error = "no reference device is named \"" + options.Device +
                     "\" (lthost --list names them)";
            return false;
        }
        const std::string refusal = HostHarness::SpeedRefusal(options.Device, options.Speed);
        if (!refusal.empty())
        {
            *error = std::string("--speed ") + HostSpeedText(*options.Speed) + ": " + refusal;
            return false;
        }
    }
    const StreamRunOptions& s = options.Stream;
    if (!s.Play.empty())
    {
        prepared->Play = std::make_unique<HostWavReader>(s.Play);
        if (!prepared->Play->Open(error, warning))
            return false;
        if (prepared->Play->Frames() == 0)
        {
            *error = s.Play + ": the file holds no frames";
            return false;
        }
        const ULONG rate = prepared->Play->Format().Rate;
        const ULONGLONG playMs = rate ? prepared->Play->Frames() * 1000 / rate : 0;
        if (s.UnplugAfterMs != 0 && s.UnplugAfterMs >= playMs)
        {
            *error = "--unplug-after must come before the end of the file (" +
                     std::to_string(playMs) + " ms)";
            return false;
        }
    }
    std::vector<HostRunInput> inputs;
    if (options.FromFile)
        inputs.push_back({options.Device, "the descriptor file"});
    if (!s.Play.empty())
        inputs.push_back({s.Play, "the file being played"});
    for (const std::string* out : {&s.DeviceOut, &s.Record})
        if (!out->empty() && !HostCheckOutput(*out, inputs, error))
            return false;
    return true;
}
