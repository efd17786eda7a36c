#include "watcher/template_refresh.h"

#include <atomic>
#include <string>

#include "common/trace.h"
#include "delivery/template_file.h"
#include "discovery/state.h"
#include "templates/template_passes.h"
#include "watcher/lookupip.h"

namespace {

// Odd while a session end holds. A republish carries the even value it was
// started under and sends nothing once the count has moved on.
std::atomic<LONG> g_lSessionEnds{0};

// The address the templates were last brought up to; the main thread's alone.
std::wstring g_wstrLastWritten;

constexpr ULONG_PTR kTwainKind = 1;
constexpr ULONG_PTR kWiaKind = 2;
constexpr int kKindBits = 2;

ULONG_PTR KindBit(int nIsWia) { return nIsWia == 0 ? kTwainKind : nIsWia == 1 ? kWiaKind : 0; }

DWORD WINAPI RepublishThread(LPVOID pvArgument)
{
    auto ulArgument = reinterpret_cast<ULONG_PTR>(pvArgument);
    ULONG_PTR ulKinds = ulArgument & (kTwainKind | kWiaKind);
    auto lStartedUnder = static_cast<LONG>(ulArgument >> kKindBits);
    DWORD dwExitCode = 0;
    EnterCriticalSection(&g_csTemplateLock);
    if (g_lSessionEnds.load() != lStartedUnder) {
        // A session end began since: its delete pass is what the scanners keep.
        TraceMsg(L"  Republish dropped: a session end began\r\n");
    } else {
        for (int nIsWia : {0, 1}) {
            if ((ulKinds & KindBit(nIsWia)) == 0)
                continue;
            DeviceInfo kind = {};
            kind.IsWIA = nIsWia;
            bool bEndThread = false;
            TraceMsg(L"  Getting the republish thread. IsWIA %d\r\n", nIsWia);
            RePublishAllTemplates(&kind, &bEndThread);
            if (bEndThread) {
                dwExitCode = GetLastError();
                break;
            }
        }
    }
    LeaveCriticalSection(&g_csTemplateLock);
    return dwExitCode;
}

bool StartRepublish(ULONG_PTR ulKinds)
{
    if (ulKinds == 0)
        return true;
    LONG lNow = g_lSessionEnds.load();
    if ((lNow & 1) != 0)
        return true;
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a thread's one argument is pointer-sized
    auto* pvArgument = reinterpret_cast<LPVOID>((static_cast<ULONG_PTR>(lNow) << kKindBits) | ulKinds);
    HANDLE hThread = CreateThread(nullptr, 0, RepublishThread, pvArgument, 0, nullptr);
    if (hThread == nullptr) {
        TraceMsg(L"  Republish thread could not be started: %d\r\n", GetLastError());
        return false;
    }
    // Nobody waits for it: g_csTemplateLock orders it with every other pass.
    CloseHandle(hThread);
    return true;
}

} // namespace

void BeginSessionEnd()
{
    LONG lNow = g_lSessionEnds.load();
    if ((lNow & 1) == 0)
        g_lSessionEnds.store(lNow + 1);
}

void EndSessionEnd()
{
    LONG lNow = g_lSessionEnds.load();
    if ((lNow & 1) != 0)
        g_lSessionEnds.store(lNow + 1);
}

bool SessionEndHolds() { return (g_lSessionEnds.load() & 1) != 0; }

bool StartRepublishForRecords(DeviceInfo* const* ppDevices, DWORD nDevices)
{
    ULONG_PTR ulKinds = 0;
    for (DWORD i = 0; i < nDevices; ++i)
        ulKinds |= ppDevices[i] != nullptr ? KindBit(ppDevices[i]->IsWIA) : 0;
    return StartRepublish(ulKinds);
}

void FollowPcAddress(DeviceInfo* const* ppDevices, DWORD nDevices)
{
    if (SessionEndHolds() || nDevices == 0)
        return;
    if (g_wstrLastWritten.empty()) {
        // The watchers' own check comes first; what it found is where the
        // templates stand.
        g_wstrLastWritten = GetIPAddressText();
        if (g_wstrLastWritten.empty())
            return;
    }
    if (lookupip() != S_OK)
        return;
    std::wstring wstrAddress = GetIPAddressText();
    if (wstrAddress.empty() || wstrAddress == g_wstrLastWritten)
        return;
    TraceMsg(L"  The PC's address moved from %s to %s\r\n", g_wstrLastWritten.c_str(), wstrAddress.c_str());
    g_wstrLastWritten = wstrAddress;
    ULONG_PTR ulKinds = 0;
    for (DWORD i = 0; i < nDevices; ++i) {
        if (ppDevices[i] != nullptr && UpdateTemplateRepository(ppDevices[i]) == 0)
            ulKinds |= KindBit(ppDevices[i]->IsWIA);
    }
    StartRepublish(ulKinds);
}
