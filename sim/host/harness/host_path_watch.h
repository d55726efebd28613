// What could change the samples of each frame a wave filter's stream moves.
// The driver tells its stream's clients of every transfer it fills (render)
// or empties (capture) on the stream's callback object, its processing
// chain running on the transfer as it does; the watch counts the frames
// there too, and reads before and after every step whether anything on the
// path is on (HostPathProcessing). Frames the driver took in a step were
// the chain's to change if something was on at either read; no other frame
// was, however soon after the change it reaches the device or the client.
#pragma once

#include <algorithm>
#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "sim/host/harness/host_path_processing.h"
#include "sim/host/harness/host_stream.h"

class HostPathWatch
{
  public:
    // The stream behind the wave filter `filter`: one whose engine the host
    // cannot find could have anything on it, every frame. Before the pin
    // runs, so its first frames are counted.
    HostPathWatch(PDEVICE_OBJECT fdo, const std::u16string& filter);
    ~HostPathWatch();
    HostPathWatch(const HostPathWatch&) = delete;
    HostPathWatch& operator=(const HostPathWatch&) = delete;

    // Before the driver runs on: what is on now.
    void Look();
    // After it ran: the frames it took since were processing's where
    // something was on at this read or at the last one.
    void Step();

    // Calls piece(frames, change) for each stretch of the `frames` frames
    // from frame `first` (the stream's, from the pin's start: render, the
    // frames the device receives; capture, those the driver delivers) that
    // processing could change, or could not, in order.
    template <typename Piece> void Split(ULONGLONG first, ULONGLONG frames, Piece piece) const
    {
        // Where the frames cannot be counted, what is on now.
        if (!m_Registered)
            return piece(frames,
                         m_Known ? HostPathChange{m_On, m_Reader.Seen()} : HostPathChange{});
        for (ULONGLONG at = first, end = first + frames; at < end;)
        {
            const auto span = Span(at);
            const bool in = span != m_Spans.end() && span->first <= at;
            const ULONGLONG next =
                std::min(end, span == m_Spans.end() ? end : (in ? span->second : span->first));
            piece(next - at, HostPathChange{in, m_Reader.Seen()});
            at = next;
        }
    }

  private:
    using Spans = std::vector<std::pair<ULONGLONG, ULONGLONG>>;
    // The first span that ends after frame `at`.
    Spans::const_iterator Span(ULONGLONG at) const;
    // On the driver's notifications, at DISPATCH_LEVEL.
    static void Moved(PVOID context, PVOID argument1, PVOID argument2);

    ULONG m_Engine = 0;
    bool m_Known;
    HostPathProcessing m_Reader;
    PVOID m_Registration = nullptr;
    bool m_Registered = false;
    std::atomic<ULONGLONG> m_Moved{0}; // frames the driver took since the pin started
    ULONGLONG m_Stepped = 0;           // ... up to the last step
    bool m_On = false;                 // something was on at the last read
    Spans m_Spans; // frames [first, end) processing could change, in order, apart
};
