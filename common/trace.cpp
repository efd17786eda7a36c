#include "common/trace.h"

#include <atomic>
#include <cstdarg>

#include "common/bounded_string.h"

void DiscardTrace(const wchar_t*) {}

void DebuggerTrace(const wchar_t* pszText) { OutputDebugStringW(pszText); }

namespace {

const TraceSinkFn kDefaultSink = DefaultTraceSink();

std::atomic<TraceSinkFn> g_pfnTraceSink{kDefaultSink};

} // namespace

void TraceMsg(const wchar_t* pszFormat, ...)
{
    TraceSinkFn pfnSink = g_pfnTraceSink.load();
    // Null only before this file's globals are set up: nothing to send to yet.
    if (pfnSink == nullptr || pfnSink == DiscardTrace)
        return;
    // A failure's error is read after its trace (for the event log): the trace
    // never changes it.
    const DWORD dwLastError = GetLastError();
    wchar_t wszText[2048];
    va_list args;
    va_start(args, pszFormat);
    bgt::StringCchVPrintfW(wszText, ARRAYSIZE(wszText), pszFormat, args);
    va_end(args);
    pfnSink(wszText);
    SetLastError(dwLastError);
}

TraceSinkFn SetTraceSink(TraceSinkFn pfnSink)
{
    return g_pfnTraceSink.exchange(pfnSink != nullptr ? pfnSink : kDefaultSink);
}

void DebugOut(const wchar_t* pszText)
{
    OutputDebugStringW(pszText);
}
