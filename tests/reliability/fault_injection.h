#pragma once
// Fault injection for the component tests: the Nth call of a chosen kind fails
// with a chosen error, so that a scenario can be run once per call it makes
// with exactly that call failing.
//
// The product code is linked statically into the test executable, so its calls
// into kernel32, advapi32 and shell32 go through this executable's import
// address table. While a FaultInjector lives, those entries point at counting
// stand-ins that forward to the system function unless their call is the one
// to fail; the entries are put back when it goes. The still-image and WIA calls
// are wrapped in the platform hook table the same way, around whatever the test
// installed there (the simulator). The shipped program has no seam for any of
// this.
#include <windows.h>

#include <functional>

namespace faults {

enum class Kind {
    Move,          // MoveFileW, MoveFileExW
    Copy,          // CopyFileW
    CreateFolder,  // SHCreateDirectoryExW, CreateDirectoryW
    RegOpen,       // RegOpenKeyExW, RegCreateKeyExW
    RegWrite,      // RegSetValueExW
    FileOpen,      // CreateFileW
    FileWrite,     // WriteFile, FlushFileBuffers
    FileReplace,   // ReplaceFileW
    StiCreate,     // g_hooks.pfnStiCreateInstanceW
    WiaCreate,     // g_hooks.pfnCoCreateInstance
    ThreadResume,  // ResumeThread
    DirectoryWatch, // ReadDirectoryChangesW
    Count_
};

const char* KindName(Kind kind);

// How a failing call behaves, beyond reporting the error:
//  - a failing MoveFileExW with MOVEFILE_COPY_ALLOWED on a file, and a failing
//    CopyFileW, leave a half-written target behind, as a copy that ran out of
//    disk does;
//  - a failing WriteFile writes the first half of its bytes first.
// Everything else fails without doing anything.

class FaultInjector {
public:
    // Patches the import entries and wraps the hook table entries (the hook
    // table must hold what the scenario uses before this is made).
    FaultInjector();
    ~FaultInjector();
    FaultInjector(const FaultInjector&) = delete;
    FaultInjector& operator=(const FaultInjector&) = delete;

    // From now on calls of this kind are counted; call number nFailAt (1-based)
    // and the nRepeat - 1 calls after it fail with lError (a Win32 error, or an
    // HRESULT for the hook kinds). nFailAt 0: counted only.
    void Arm(Kind kind, unsigned nFailAt, LONG lError, unsigned nRepeat = 1);
    // Stops counting and failing every kind; the counts stay readable.
    void DisarmAll();
    unsigned Calls(Kind kind) const;
    unsigned Failed(Kind kind) const;
    // True when every system function of the kind was found in the import
    // table (a kind the executable does not import cannot be injected).
    static bool Patched(Kind kind);
};

// SQLite-style sweep: runs the scenario once counting calls of the kind, then
// once for every n = 1..count with call n failing, checking after each run.
// The check answers false for an invariant break (it reports its own details).
struct SweepFigures {
    unsigned nCallPoints = 0;   // calls the scenario made with nothing failing
    unsigned nRunsFailed = 0;   // runs in which the chosen call did fail
    unsigned nInvariantBreaks = 0;
    unsigned nCrashes = 0;      // structured exceptions and C++ exceptions caught
};

SweepFigures Sweep(Kind kind, LONG lError, const std::function<void()>& prepare,
                   const std::function<void()>& scenario, const std::function<bool(unsigned nFailAt)>& check);

} // namespace faults
