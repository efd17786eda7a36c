#include "fault_injection.h"

#include <shellapi.h>
#include <shlobj.h>

#include <array>
#include <atomic>
#include <cstring>
#include <exception>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "common/hooks.h"

namespace faults {
namespace {

constexpr size_t kKinds = static_cast<size_t>(Kind::Count_);

struct KindState {
    std::atomic<bool> bArmed{false};
    std::atomic<unsigned> nCalls{0};
    std::atomic<unsigned> nFailed{0};
    std::atomic<unsigned> nFailAt{0};
    std::atomic<unsigned> nRepeat{1};
    std::atomic<LONG> lError{0};
};

std::array<KindState, kKinds> g_kinds;

KindState& StateOf(Kind kind) { return g_kinds[static_cast<size_t>(kind)]; }

// Counts the call; true when this call is to fail.
bool ShouldFail(Kind kind)
{
    KindState& state = StateOf(kind);
    if (!state.bArmed.load())
        return false;
    unsigned n = ++state.nCalls;
    unsigned nAt = state.nFailAt.load();
    if (nAt == 0 || n < nAt || n >= nAt + state.nRepeat.load())
        return false;
    ++state.nFailed;
    return true;
}

DWORD ErrorOf(Kind kind) { return static_cast<DWORD>(StateOf(kind).lError.load()); }

// ---- the system functions, as they were before patching ---------------------

decltype(&MoveFileW) g_pfnMoveFileW = nullptr;
decltype(&MoveFileExW) g_pfnMoveFileExW = nullptr;
decltype(&CopyFileW) g_pfnCopyFileW = nullptr;
decltype(&SHCreateDirectoryExW) g_pfnSHCreateDirectoryExW = nullptr;
decltype(&CreateDirectoryW) g_pfnCreateDirectoryW = nullptr;
decltype(&RegOpenKeyExW) g_pfnRegOpenKeyExW = nullptr;
decltype(&RegCreateKeyExW) g_pfnRegCreateKeyExW = nullptr;
decltype(&RegSetValueExW) g_pfnRegSetValueExW = nullptr;
decltype(&CreateFileW) g_pfnCreateFileW = nullptr;
decltype(&WriteFile) g_pfnWriteFile = nullptr;
decltype(&FlushFileBuffers) g_pfnFlushFileBuffers = nullptr;
decltype(&ReplaceFileW) g_pfnReplaceFileW = nullptr;
decltype(&SHFileOperationW) g_pfnSHFileOperationW = nullptr;
decltype(&ResumeThread) g_pfnResumeThread = nullptr;
decltype(&ReadDirectoryChangesW) g_pfnReadDirectoryChangesW = nullptr;
decltype(g_hooks.pfnStiCreateInstanceW) g_pfnStiCreate = nullptr;
decltype(g_hooks.pfnCoCreateInstance) g_pfnCoCreate = nullptr;

// Half of the source's bytes written to a new target, as a copy that ran out
// of disk space leaves it.
void LeaveHalfCopy(const wchar_t* pwszFrom, const wchar_t* pwszTo)
{
    HANDLE hFrom = g_pfnCreateFileW(pwszFrom, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (hFrom == INVALID_HANDLE_VALUE)
        return;
    std::vector<char> bytes(GetFileSize(hFrom, nullptr));
    DWORD cbRead = 0;
    if (!bytes.empty())
        ReadFile(hFrom, bytes.data(), static_cast<DWORD>(bytes.size()), &cbRead, nullptr);
    CloseHandle(hFrom);
    HANDLE hTo = g_pfnCreateFileW(pwszTo, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (hTo == INVALID_HANDLE_VALUE)
        return;
    DWORD cbWritten = 0;
    if (cbRead / 2 > 0)
        g_pfnWriteFile(hTo, bytes.data(), cbRead / 2, &cbWritten, nullptr);
    CloseHandle(hTo);
}

bool IsPlainFile(const wchar_t* pwszPath)
{
    DWORD dwAttributes = GetFileAttributesW(pwszPath);
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// ---- the stand-ins -----------------------------------------------------------

BOOL WINAPI FaultMoveFileW(LPCWSTR pwszFrom, LPCWSTR pwszTo)
{
    if (ShouldFail(Kind::Move)) {
        SetLastError(ErrorOf(Kind::Move));
        return FALSE;
    }
    return g_pfnMoveFileW(pwszFrom, pwszTo);
}

BOOL WINAPI FaultMoveFileExW(LPCWSTR pwszFrom, LPCWSTR pwszTo, DWORD dwFlags)
{
    if (ShouldFail(Kind::Move)) {
        if ((dwFlags & MOVEFILE_COPY_ALLOWED) != 0 && pwszTo != nullptr && IsPlainFile(pwszFrom))
            LeaveHalfCopy(pwszFrom, pwszTo);
        SetLastError(ErrorOf(Kind::Move));
        return FALSE;
    }
    return g_pfnMoveFileExW(pwszFrom, pwszTo, dwFlags);
}

BOOL WINAPI FaultCopyFileW(LPCWSTR pwszFrom, LPCWSTR pwszTo, BOOL bFailIfExists)
{
    if (ShouldFail(Kind::Copy)) {
        // A copy allowed to write over its target has opened it anew already.
        if (!bFailIfExists && IsPlainFile(pwszTo))
            DeleteFileW(pwszTo);
        if (!IsPlainFile(pwszTo))
            LeaveHalfCopy(pwszFrom, pwszTo);
        SetLastError(ErrorOf(Kind::Copy));
        return FALSE;
    }
    return g_pfnCopyFileW(pwszFrom, pwszTo, bFailIfExists);
}

int WINAPI FaultSHCreateDirectoryExW(HWND hWnd, LPCWSTR pwszPath, const SECURITY_ATTRIBUTES* pSa)
{
    if (ShouldFail(Kind::CreateFolder)) {
        SetLastError(ErrorOf(Kind::CreateFolder));
        return static_cast<int>(ErrorOf(Kind::CreateFolder));
    }
    return g_pfnSHCreateDirectoryExW(hWnd, pwszPath, pSa);
}

BOOL WINAPI FaultCreateDirectoryW(LPCWSTR pwszPath, LPSECURITY_ATTRIBUTES pSa)
{
    if (ShouldFail(Kind::CreateFolder)) {
        SetLastError(ErrorOf(Kind::CreateFolder));
        return FALSE;
    }
    return g_pfnCreateDirectoryW(pwszPath, pSa);
}

LSTATUS WINAPI FaultRegOpenKeyExW(HKEY hKey, LPCWSTR pwszSubKey, DWORD dwOptions, REGSAM samDesired, PHKEY phResult)
{
    if (ShouldFail(Kind::RegOpen))
        return static_cast<LSTATUS>(ErrorOf(Kind::RegOpen));
    return g_pfnRegOpenKeyExW(hKey, pwszSubKey, dwOptions, samDesired, phResult);
}

LSTATUS WINAPI FaultRegCreateKeyExW(HKEY hKey, LPCWSTR pwszSubKey, DWORD dwReserved, LPWSTR pwszClass,
                                    DWORD dwOptions, REGSAM samDesired, LPSECURITY_ATTRIBUTES pSa,
                                    PHKEY phResult, LPDWORD pdwDisposition)
{
    if (ShouldFail(Kind::RegOpen))
        return static_cast<LSTATUS>(ErrorOf(Kind::RegOpen));
    return g_pfnRegCreateKeyExW(hKey, pwszSubKey, dwReserved, pwszClass, dwOptions, samDesired, pSa, phResult,
                                pdwDisposition);
}

LSTATUS WINAPI FaultRegSetValueExW(HKEY hKey, LPCWSTR pwszName, DWORD dwReserved, DWORD dwType, const BYTE* pbData,
                                   DWORD cbData)
{
    if (ShouldFail(Kind::RegWrite))
        return static_cast<LSTATUS>(ErrorOf(Kind::RegWrite));
    return g_pfnRegSetValueExW(hKey, pwszName, dwReserved, dwType, pbData, cbData);
}

HANDLE WINAPI FaultCreateFileW(LPCWSTR pwszPath, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES pSa,
                               DWORD dwDisposition, DWORD dwFlags, HANDLE hTemplate)
{
    if (ShouldFail(Kind::FileOpen)) {
        SetLastError(ErrorOf(Kind::FileOpen));
        return INVALID_HANDLE_VALUE;
    }
    return g_pfnCreateFileW(pwszPath, dwAccess, dwShare, pSa, dwDisposition, dwFlags, hTemplate);
}

BOOL WINAPI FaultWriteFile(HANDLE hFile, LPCVOID pv, DWORD cb, LPDWORD pcbWritten, LPOVERLAPPED pOverlapped)
{
    if (pOverlapped == nullptr && ShouldFail(Kind::FileWrite)) {
        DWORD cbHalf = 0;
        if (cb / 2 > 0)
            g_pfnWriteFile(hFile, pv, cb / 2, &cbHalf, nullptr);
        if (pcbWritten != nullptr)
            *pcbWritten = 0;
        SetLastError(ErrorOf(Kind::FileWrite));
        return FALSE;
    }
    return g_pfnWriteFile(hFile, pv, cb, pcbWritten, pOverlapped);
}

BOOL WINAPI FaultFlushFileBuffers(HANDLE hFile)
{
    if (ShouldFail(Kind::FileWrite)) {
        SetLastError(ErrorOf(Kind::FileWrite));
        return FALSE;
    }
    return g_pfnFlushFileBuffers(hFile);
}

BOOL WINAPI FaultReplaceFileW(LPCWSTR pwszReplaced, LPCWSTR pwszReplacement, LPCWSTR pwszBackup, DWORD dwFlags,
                              LPVOID pvExclude, LPVOID pvReserved)
{
    if (ShouldFail(Kind::FileReplace)) {
        DWORD dwError = ErrorOf(Kind::FileReplace);
        if (dwError == ERROR_UNABLE_TO_MOVE_REPLACEMENT && pwszBackup == nullptr) {
            DeleteFileW(pwszReplaced);
        } else if (dwError == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
            std::wstring aside = pwszBackup != nullptr ? pwszBackup : std::wstring(pwszReplaced) + L".replaced~";
            g_pfnMoveFileExW(pwszReplaced, aside.c_str(), MOVEFILE_REPLACE_EXISTING);
        }
        SetLastError(dwError);
        return FALSE;
    }
    return g_pfnReplaceFileW(pwszReplaced, pwszReplacement, pwszBackup, dwFlags, pvExclude, pvReserved);
}

int WINAPI FaultSHFileOperationW(LPSHFILEOPSTRUCTW pOp)
{
    if (ShouldFail(Kind::ShellCopy))
        return static_cast<int>(ErrorOf(Kind::ShellCopy));
    return g_pfnSHFileOperationW(pOp);
}

DWORD WINAPI FaultResumeThread(HANDLE hThread)
{
    if (ShouldFail(Kind::ThreadResume)) {
        SetLastError(ErrorOf(Kind::ThreadResume));
        return static_cast<DWORD>(-1);
    }
    return g_pfnResumeThread(hThread);
}

BOOL WINAPI FaultReadDirectoryChangesW(HANDLE hFolder, LPVOID pvBuffer, DWORD cbBuffer, BOOL bSubtree, DWORD dwFilter,
                                       LPDWORD pcbReturned, LPOVERLAPPED pOverlapped,
                                       LPOVERLAPPED_COMPLETION_ROUTINE pfnCompletion)
{
    if (ShouldFail(Kind::DirectoryWatch)) {
        SetLastError(ErrorOf(Kind::DirectoryWatch));
        return FALSE;
    }
    return g_pfnReadDirectoryChangesW(hFolder, pvBuffer, cbBuffer, bSubtree, dwFilter, pcbReturned, pOverlapped,
                                      pfnCompletion);
}

HRESULT WINAPI FaultStiCreate(HINSTANCE hInst, DWORD dwVer, IStillImageW** ppSti, LPUNKNOWN punkOuter)
{
    if (ShouldFail(Kind::StiCreate)) {
        if (ppSti != nullptr)
            *ppSti = nullptr;
        return static_cast<HRESULT>(ErrorOf(Kind::StiCreate));
    }
    return g_pfnStiCreate(hInst, dwVer, ppSti, punkOuter);
}

HRESULT WINAPI FaultCoCreate(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv)
{
    if (ShouldFail(Kind::WiaCreate)) {
        if (ppv != nullptr)
            *ppv = nullptr;
        return static_cast<HRESULT>(ErrorOf(Kind::WiaCreate));
    }
    return g_pfnCoCreate(rclsid, pUnkOuter, dwClsContext, riid, ppv);
}

// ---- the import address table -------------------------------------------------

struct ImportPatch {
    const char* pszName;
    Kind kind;
    void** ppfnSaved;
    void* pvStandIn;
};

template <class Fn>
ImportPatch Patch(const char* pszName, Kind kind, Fn*& pfnSaved, Fn* pfnStandIn)
{
    return {pszName, kind, reinterpret_cast<void**>(&pfnSaved), reinterpret_cast<void*>(pfnStandIn)};
}

std::vector<ImportPatch> AllPatches()
{
    return {
        Patch("MoveFileW", Kind::Move, g_pfnMoveFileW, FaultMoveFileW),
        Patch("MoveFileExW", Kind::Move, g_pfnMoveFileExW, FaultMoveFileExW),
        Patch("CopyFileW", Kind::Copy, g_pfnCopyFileW, FaultCopyFileW),
        Patch("SHCreateDirectoryExW", Kind::CreateFolder, g_pfnSHCreateDirectoryExW, FaultSHCreateDirectoryExW),
        Patch("CreateDirectoryW", Kind::CreateFolder, g_pfnCreateDirectoryW, FaultCreateDirectoryW),
        Patch("RegOpenKeyExW", Kind::RegOpen, g_pfnRegOpenKeyExW, FaultRegOpenKeyExW),
        Patch("RegCreateKeyExW", Kind::RegOpen, g_pfnRegCreateKeyExW, FaultRegCreateKeyExW),
        Patch("RegSetValueExW", Kind::RegWrite, g_pfnRegSetValueExW, FaultRegSetValueExW),
        Patch("CreateFileW", Kind::FileOpen, g_pfnCreateFileW, FaultCreateFileW),
        Patch("WriteFile", Kind::FileWrite, g_pfnWriteFile, FaultWriteFile),
        Patch("FlushFileBuffers", Kind::FileWrite, g_pfnFlushFileBuffers, FaultFlushFileBuffers),
        Patch("ReplaceFileW", Kind::FileReplace, g_pfnReplaceFileW, FaultReplaceFileW),
        Patch("SHFileOperationW", Kind::ShellCopy, g_pfnSHFileOperationW, FaultSHFileOperationW),
        Patch("ResumeThread", Kind::ThreadResume, g_pfnResumeThread, FaultResumeThread),
        Patch("ReadDirectoryChangesW", Kind::DirectoryWatch, g_pfnReadDirectoryChangesW, FaultReadDirectoryChangesW),
    };
}

// Every entry of this executable's import table that names the function.
std::vector<void**> ImportSlots(const char* pszFunction)
{
    std::vector<void**> slots;
    auto* pbBase = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pbBase);
    const auto* pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(pbBase + pDos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return slots;
    for (const auto* pDesc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(pbBase + dir.VirtualAddress);
         pDesc->Name != 0; ++pDesc) {
        DWORD rvaNames = pDesc->OriginalFirstThunk != 0 ? pDesc->OriginalFirstThunk : pDesc->FirstThunk;
        const auto* pName = reinterpret_cast<const IMAGE_THUNK_DATA*>(pbBase + rvaNames);
        auto* pSlot = reinterpret_cast<IMAGE_THUNK_DATA*>(pbBase + pDesc->FirstThunk);
        for (; pName->u1.AddressOfData != 0; ++pName, ++pSlot) {
            if (IMAGE_SNAP_BY_ORDINAL(pName->u1.Ordinal))
                continue;
            const auto* pByName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(pbBase + pName->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(pByName->Name), pszFunction) == 0)
                slots.push_back(reinterpret_cast<void**>(&pSlot->u1.Function));
        }
    }
    return slots;
}

void WriteSlot(void** ppSlot, void* pvValue)
{
    DWORD dwOld = 0;
    VirtualProtect(ppSlot, sizeof(void*), PAGE_READWRITE, &dwOld);
    *ppSlot = pvValue;
    VirtualProtect(ppSlot, sizeof(void*), dwOld, &dwOld);
    FlushInstructionCache(GetCurrentProcess(), ppSlot, sizeof(void*));
}

std::array<bool, kKinds> g_patched{};
std::mutex g_patchMutex;
bool g_bInstalled = false;

struct Restore {
    void** ppSlot;
    void* pvOriginal;
};
std::vector<Restore> g_restores;

void InstallPatches()
{
    std::array<bool, kKinds> found{};
    std::array<bool, kKinds> missing{};
    for (const ImportPatch& patch : AllPatches()) {
        std::vector<void**> slots = ImportSlots(patch.pszName);
        if (slots.empty()) {
            missing[static_cast<size_t>(patch.kind)] = true;
            continue;
        }
        found[static_cast<size_t>(patch.kind)] = true;
        *patch.ppfnSaved = *slots.front();
        for (void** ppSlot : slots) {
            g_restores.push_back({ppSlot, *ppSlot});
            WriteSlot(ppSlot, patch.pvStandIn);
        }
    }
    for (size_t i = 0; i < kKinds; ++i)
        g_patched[i] = found[i] && !missing[i];
}

void RemovePatches()
{
    for (auto it = g_restores.rbegin(); it != g_restores.rend(); ++it)
        WriteSlot(it->ppSlot, it->pvOriginal);
    g_restores.clear();
}

} // namespace

const char* KindName(Kind kind)
{
    static const char* const s_rgpszNames[] = {"move",      "copy",       "folder creation", "registry open",
                                               "registry write", "file open", "file write",      "file replace",
                                               "shell copy", "still-image service", "WIA manager", "thread resume",
                                               "directory watch"};
    static_assert(sizeof(s_rgpszNames) / sizeof(s_rgpszNames[0]) == kKinds);
    return s_rgpszNames[static_cast<size_t>(kind)];
}

FaultInjector::FaultInjector()
{
    std::lock_guard<std::mutex> lock(g_patchMutex);
    DisarmAll();
    for (KindState& state : g_kinds) {
        state.nCalls = 0;
        state.nFailed = 0;
    }
    InstallPatches();
    g_pfnStiCreate = g_hooks.pfnStiCreateInstanceW;
    g_pfnCoCreate = g_hooks.pfnCoCreateInstance;
    g_hooks.pfnStiCreateInstanceW = FaultStiCreate;
    g_hooks.pfnCoCreateInstance = FaultCoCreate;
    g_patched[static_cast<size_t>(Kind::StiCreate)] = g_pfnStiCreate != nullptr;
    g_patched[static_cast<size_t>(Kind::WiaCreate)] = g_pfnCoCreate != nullptr;
    g_bInstalled = true;
}

FaultInjector::~FaultInjector()
{
    std::lock_guard<std::mutex> lock(g_patchMutex);
    DisarmAll();
    RemovePatches();
    g_hooks.pfnStiCreateInstanceW = g_pfnStiCreate;
    g_hooks.pfnCoCreateInstance = g_pfnCoCreate;
    g_patched = {};
    g_bInstalled = false;
}

void FaultInjector::Arm(Kind kind, unsigned nFailAt, LONG lError, unsigned nRepeat)
{
    KindState& state = StateOf(kind);
    state.bArmed = false;
    state.nCalls = 0;
    state.nFailed = 0;
    state.nFailAt = nFailAt;
    state.nRepeat = nRepeat;
    state.lError = lError;
    state.bArmed = true;
}

void FaultInjector::DisarmAll()
{
    for (KindState& state : g_kinds)
        state.bArmed = false;
}

unsigned FaultInjector::Calls(Kind kind) const { return StateOf(kind).nCalls.load(); }
unsigned FaultInjector::Failed(Kind kind) const { return StateOf(kind).nFailed.load(); }
bool FaultInjector::Patched(Kind kind) { return g_patched[static_cast<size_t>(kind)]; }

ImportOverride::ImportOverride(const char* pszFunction, void* pvStandIn)
{
    std::lock_guard<std::mutex> lock(g_patchMutex);
    for (void** ppSlot : ImportSlots(pszFunction)) {
        if (m_pvOriginal == nullptr)
            m_pvOriginal = *ppSlot;
        m_restores.emplace_back(ppSlot, *ppSlot);
        WriteSlot(ppSlot, pvStandIn);
    }
}

ImportOverride::~ImportOverride()
{
    std::lock_guard<std::mutex> lock(g_patchMutex);
    for (auto it = m_restores.rbegin(); it != m_restores.rend(); ++it)
        WriteSlot(it->first, it->second);
}

SweepFigures Sweep(Kind kind, LONG lError, const std::function<void()>& prepare,
                   const std::function<void()>& scenario, const std::function<bool(unsigned nFailAt)>& check)
{
    SweepFigures figures;
    auto RunOnce = [&](FaultInjector& injector, unsigned nFailAt) {
        prepare();
        injector.Arm(kind, nFailAt, lError);
        try {
            scenario();
        } catch (const std::exception& e) {
            ++figures.nCrashes;
            std::cout << "  exception in the scenario: " << e.what() << std::endl;
        } catch (...) {
            ++figures.nCrashes;
        }
        injector.DisarmAll();
        if (nFailAt > 0 && injector.Failed(kind) > 0)
            ++figures.nRunsFailed;
        if (!check(nFailAt))
            ++figures.nInvariantBreaks;
    };
    FaultInjector injector;
    RunOnce(injector, 0);
    figures.nCallPoints = injector.Calls(kind);
    for (unsigned n = 1; n <= figures.nCallPoints; ++n)
        RunOnce(injector, n);
    return figures;
}

} // namespace faults
