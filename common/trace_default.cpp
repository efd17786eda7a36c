#include "common/trace.h"

// The support build (BGTASK_TRACE) sends every trace text to the debugger
// output; the shipped build discards them.
TraceSinkFn DefaultTraceSink() noexcept
{
#ifdef BGTASK_TRACE
    return DebuggerTrace;
#else
    return DiscardTrace;
#endif
}
