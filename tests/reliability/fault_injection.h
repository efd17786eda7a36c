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
#include <utility>
#include <vector>

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
    ShellCopy,     // SHFileOperationW
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
//  - a failing WriteFile writes the first half of its bytes first;
//  - a failing ReplaceFileW leaves the files as Windows documents for its
//    error: ERROR_UNABLE_TO_MOVE_REPLACEMENT (1176) deletes the replaced file
//    when no backup name was given and changes nothing when one was;
//    ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 (1177) moves the replaced file to the
//    backup name (or, without one, to a name of its own) and leaves the
//    replacement where it is.
// Everything else fails without doing anything (a failing SHFileOperationW
// answers the error as its result).

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

// Points every import entry of one system function at a stand-in while it
// lives, to watch or steer the calls the product makes (never together with a
// FaultInjector that patches the same function).
class ImportOverride {
public:
    ImportOverride(const char* pszFunction, void* pvStandIn);
    ~ImportOverride();
    ImportOverride(const ImportOverride&) = delete;
    ImportOverride& operator=(const ImportOverride&) = delete;

    // False when the executable does not import the function.
    bool Patched() const { return !m_restores.empty(); }
    // The system function, for the stand-in to forward to.
    template <class Fn>
    Fn* Original() const
    {
        return reinterpret_cast<Fn*>(m_pvOriginal);
    }

private:
    std::vector<std::pair<void**, void*>> m_restores;
    void* m_pvOriginal = nullptr;
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
