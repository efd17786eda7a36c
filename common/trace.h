#pragma once
// Trace texts. The shipped build discards them; a build with BGTASK_TRACE sends
// them to the debugger output, which is what a support engineer attaches to.
// Tests install a sink of their own to see which branch ran.
#include <windows.h>

using TraceSinkFn = void (*)(const wchar_t* pszText);

// Formats a wide printf text (Windows conventions: %s is wide) and hands it to
// the sink.
void TraceMsg(const wchar_t* pszFormat, ...);

// Replaces the sink; null restores the build's default. Returns the old sink.
TraceSinkFn SetTraceSink(TraceSinkFn pfnSink);

// The two sinks a build may start with, and the build's choice between them
// (trace_default.cpp, alone in its file so that a support executable can link
// its own choice ahead of the library's).
void DiscardTrace(const wchar_t* pszText);
void DebuggerTrace(const wchar_t* pszText);
TraceSinkFn DefaultTraceSink() noexcept;

// Writes to the debugger output whatever the build: a few watcher texts go
// there as well as to the trace sink.
void DebugOut(const wchar_t* pszText);
