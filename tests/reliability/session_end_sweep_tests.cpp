// The session-end query through the real hidden window, with a WIA request
// whose thread must end, a driver lock that times out and a still-image service
// that cannot be created, and then every still-image and WIA call point failed
// in turn: the query is always answered, the thread that ended never owns
// g_csTemplateLock, the next pass takes it, and nothing is left alive.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <iostream>
#include <map>
#include <thread>

#include "common/owners.h"
#include "discovery/state.h"
#include "fault_injection.h"
#include "host/bgtask.h"
#include "sim/stisim/stisim.h"
#include "templates/template_passes.h"
#include "watcher/template_refresh.h"
#include "tests/support/test_support.h"

using faults::Kind;

namespace {

constexpr wchar_t kUserSid[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";
constexpr wchar_t kTwainDesc[] = L"Orbek Marlstone/Pro TWAIN Scanner";
constexpr wchar_t kWiaDesc[] = L"Orbek Chromhold WIA Scanner";
constexpr HRESULT kRpcDisconnected = static_cast<HRESULT>(0x80010108);
constexpr DWORD kAnswerDeadlineMs = 30000;
constexpr DWORD kLockDeadlineMs = 5000;

std::atomic<DWORD> g_dwMajorVersion{5};
std::atomic<int> g_nExitCalls{0};

BOOL WINAPI FakeGetVersionEx(LPOSVERSIONINFOW pInfo)
{
    pInfo->dwMajorVersion = g_dwMajorVersion.load();
    pInfo->dwMinorVersion = 1;
    return TRUE;
}

BOOL WINAPI RecordExitWindows(UINT, DWORD)
{
    ++g_nExitCalls;
    return TRUE;
}

// Wine's ShutdownBlockReasonCreate answers FALSE; these stand in for Windows'.
BOOL WINAPI BlockReasonCreate(HWND, LPCWSTR) { return TRUE; }
BOOL WINAPI BlockReasonDestroy(HWND) { return TRUE; }
FARPROC WINAPI FakeGetProcAddress(HMODULE hModule, LPCSTR pszName)
{
    if (strcmp(pszName, "ShutdownBlockReasonCreate") == 0)
        return reinterpret_cast<FARPROC>(BlockReasonCreate);
    if (strcmp(pszName, "ShutdownBlockReasonDestroy") == 0)
        return reinterpret_cast<FARPROC>(BlockReasonDestroy);
    return GetProcAddress(hModule, pszName);
}

void SetSid()
{
    size_t cb = sizeof(kUserSid);
    auto* pwsz = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, cb));
    memcpy(pwsz, kUserSid, cb);
    SetUserSidText(pwsz);
}

stisim::StiDeviceConfig Device(const std::wstring& wstrName, const wchar_t* pwszDesc)
{
    stisim::StiDeviceConfig config;
    config.wstrInternalName = wstrName;
    config.wstrDescription = pwszDesc;
    return config;
}

size_t CountCallsOf(const std::wstring& wstrCall)
{
    size_t n = 0;
    for (const stisim::JournalEntry& entry : stisim::Journal())
        n += entry.wstrCall == wstrCall ? 1 : 0;
    return n;
}

// Simulated time for a delete pass that outlasts any real one. The pass's
// pauses (the WIA root-item retries) advance a clock instead of sleeping, and
// only while the window procedure waits for the deletion thread; a time limit
// on that wait runs on the same clock: a pause that would carry the clock past
// the limit is held until the wait has given up (or a new wait has begun), as it
// would be in real time.
struct PassClock {
    faults::ImportOverride* pWait = nullptr;
    DWORD dwWindowThreadId = 0;
    SRWLOCK srw = SRWLOCK_INIT;
    CONDITION_VARIABLE cv = CONDITION_VARIABLE_INIT;
    // Under srw:
    ULONGLONG ullMs = 0;
    bool bWaiting = false;       // the window procedure waits for the deletion thread
    unsigned nWaits = 0;         // waits begun so far
    ULONGLONG ullDeadline = 0;   // where its wait's limit runs out on the clock
    bool bLimitReached = false;
    bool bFreeRun = false;
    bool bPausedUnwaited = false; // a pause found nobody waiting for the pass
    bool bWaitHung = false;       // the wait outlived the test's own deadline
};
PassClock g_passClock;
constexpr DWORD kPassHangDeadlineMs = 20000;
constexpr DWORD kPauseGateMs = 3000;

struct PassClockLock {
    PassClockLock() { AcquireSRWLockExclusive(&g_passClock.srw); }
    ~PassClockLock() { ReleaseSRWLockExclusive(&g_passClock.srw); }
    PassClockLock(const PassClockLock&) = delete;
    PassClockLock& operator=(const PassClockLock&) = delete;
    // Waits (bounded) until the predicate holds; answers it.
    template <class Pred>
    bool WaitUntil(Pred pred)
    {
        ULONGLONG ullEnd = GetTickCount64() + kPauseGateMs;
        while (!pred()) {
            ULONGLONG ullNow = GetTickCount64();
            if (ullNow >= ullEnd)
                return pred();
            SleepConditionVariableSRW(&g_passClock.cv, &g_passClock.srw, static_cast<DWORD>(ullEnd - ullNow), 0);
        }
        return true;
    }
};

DWORD WINAPI WaitOnPassClock(HANDLE hHandle, DWORD dwMs)
{
    auto* pfnWait = g_passClock.pWait->Original<decltype(WaitForSingleObject)>();
    if (GetCurrentThreadId() != g_passClock.dwWindowThreadId || hHandle == nullptr || hHandle != g_hDeleteThread)
        return pfnWait(hHandle, dwMs);
    {
        PassClockLock lock;
        g_passClock.bWaiting = true;
        ++g_passClock.nWaits;
        g_passClock.ullDeadline = dwMs == INFINITE ? ~0ull : g_passClock.ullMs + dwMs;
        g_passClock.bLimitReached = false;
    }
    WakeAllConditionVariable(&g_passClock.cv);
    const ULONGLONG ullRealDeadline = GetTickCount64() + kPassHangDeadlineMs;
    DWORD dwResult;
    for (;;) {
        dwResult = pfnWait(hHandle, 5);
        if (dwResult != WAIT_TIMEOUT)
            break;
        PassClockLock lock;
        if (g_passClock.bLimitReached)
            break;
        if (GetTickCount64() > ullRealDeadline) {
            g_passClock.bWaitHung = true;
            dwResult = WAIT_FAILED;
            break;
        }
    }
    {
        PassClockLock lock;
        g_passClock.bWaiting = false;
    }
    WakeAllConditionVariable(&g_passClock.cv);
    return dwResult;
}

void WINAPI PauseOnPassClock(DWORD dwMs)
{
    PassClockLock lock;
    ULONGLONG ullLeft = dwMs;
    for (;;) {
        if (g_passClock.bFreeRun)
            break;
        if (!lock.WaitUntil([] { return g_passClock.bWaiting || g_passClock.bFreeRun; })) {
            g_passClock.bPausedUnwaited = true;
            break;
        }
        ULONGLONG ullRoom = g_passClock.ullDeadline - g_passClock.ullMs;
        if (g_passClock.bFreeRun || ullLeft <= ullRoom)
            break;
        // The wait's limit runs out during this pause: the wait ends first, and
        // the rest of the pause needs a wait of its own.
        g_passClock.ullMs += ullRoom;
        ullLeft -= ullRoom;
        g_passClock.bLimitReached = true;
        WakeAllConditionVariable(&g_passClock.cv);
        const unsigned nWait = g_passClock.nWaits;
        if (!lock.WaitUntil([nWait] { return g_passClock.nWaits != nWait || g_passClock.bFreeRun; })) {
            g_passClock.bPausedUnwaited = true;
            break;
        }
    }
    g_passClock.ullMs += ullLeft;
}

// The window lives on a thread of its own that pumps its messages, so that the
// test can send it the query with a deadline and see the posted WM_ENDSESSION
// handled.
HANDLE g_hWindowReady = nullptr;
DWORD WINAPI WindowThread(LPVOID)
{
    CBgTask::RegisterBgndWindow(GetModuleHandleW(nullptr));
    SetEvent(g_hWindowReady);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

// What the simulated service and drivers answer in one run.
struct SimConfig {
    std::vector<stisim::StiDeviceConfig> devices;
    std::map<std::wstring, stisim::WiaDeviceConfig> wia;
    HRESULT hrStiCreate = S_OK;
    HRESULT hrDeviceList = S_OK;
    HRESULT hrWiaService = S_OK;
    bool bVista = false;

    void Apply() const
    {
        for (const auto& [wstrId, config] : wia)
            stisim::SetWiaDevice(wstrId, config);
        stisim::SetStiDevices(devices);
        stisim::SetStiCreateResult(hrStiCreate);
        stisim::SetDeviceListResult(hrDeviceList);
        stisim::SetWiaServiceResult(hrWiaService);
    }
};

struct Scenario {
    const char* pszName;
    SimConfig config;
};

class SessionEndSweep : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        InitializeCriticalSection(&g_csTemplateLock);
        g_hWindowReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        s_hWindowThread = CreateThread(nullptr, 0, WindowThread, nullptr, 0, nullptr);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_hWindowReady, 10000));
        ASSERT_NE(nullptr, g_hWnd);
    }

    static void TearDownTestSuite()
    {
        PostMessageW(g_hWnd, WM_CLOSE, 0, 0);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(s_hWindowThread, 10000));
        CloseHandle(s_hWindowThread);
        CloseHandle(g_hWindowReady);
        g_hWnd = nullptr;
    }

    void SetUp() override
    {
        g_hooks.pfnStiCreateInstanceW = stisim::StiCreateInstanceW;
        g_hooks.pfnCoCreateInstance = stisim::CoCreateInstance;
        g_hooks.pfnGetVersionExW = FakeGetVersionEx;
        g_hooks.pfnExitWindowsEx = RecordExitWindows;
        g_hooks.pfnGetProcAddress = FakeGetProcAddress;
    }

    void TearDown() override { DiscardUserSidText(); }

    void Prepare(const SimConfig& config)
    {
        stisim::Reset();
        g_dwMajorVersion = config.bVista ? 6 : 5;
        config.Apply();
        SetSid();
        g_nExitCalls = 0;
        m_trace.Clear();
    }

    void Query()
    {
        DWORD_PTR dwResult = 0;
        m_bAnswered = SendMessageTimeoutW(g_hWnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL,
                                          kAnswerDeadlineMs, &dwResult) != 0;
        m_lAnswer = static_cast<LRESULT>(dwResult);
    }

    // What the system sends once every window has answered: 1, the end goes
    // ahead; 0, it was cancelled.
    static bool Verdict(WPARAM wParam)
    {
        DWORD_PTR dwResult = 0;
        return SendMessageTimeoutW(g_hWnd, WM_ENDSESSION, wParam, ENDSESSION_LOGOFF, SMTO_NORMAL, kAnswerDeadlineMs,
                                   &dwResult) != 0;
    }

    static bool TakeLockBounded()
    {
        ULONGLONG ullDeadline = GetTickCount64() + kLockDeadlineMs;
        while (!TryEnterCriticalSection(&g_csTemplateLock)) {
            if (GetTickCount64() > ullDeadline)
                return false;
            Sleep(2);
        }
        LeaveCriticalSection(&g_csTemplateLock);
        return true;
    }

    // The next template pass, on a thread of its own as a watcher runs it.
    static bool NextPassRuns()
    {
        static DeviceInfo s_device = {};
        s_device.IsWIA = 1;
        bgt::UniqueHandle hThread(CreateThread(
            nullptr, 0,
            [](LPVOID) -> DWORD {
                bool bEndThread = false;
                EnterCriticalSection(&g_csTemplateLock);
                RePublishAllTemplates(&s_device, &bEndThread);
                LeaveCriticalSection(&g_csTemplateLock);
                return 0;
            },
            nullptr, 0, nullptr));
        // A stuck lock leaves the thread blocked; it is given up on, not waited for.
        return hThread && WaitForSingleObject(hThread.get(), 10000) == WAIT_OBJECT_0;
    }

    bool Check(const char* pszWhat, unsigned nFailAt)
    {
        bool bEnded = m_trace.ContainsFragment(L"Killing the Thread");
        bool bAnswered = m_bAnswered && m_lAnswer == 1;
        bool bLockFree = TakeLockBounded();
        // The system's verdict follows the answer: the log-off is relayed once,
        // whether the pass completed (and posted its own WM_ENDSESSION too) or its
        // thread had to end (and posted nothing).
        bool bRelayed = bAnswered && Verdict(1) &&
                        testsupport::WaitFor([] { return g_nExitCalls.load() == 1; }, std::chrono::milliseconds(3000)) &&
                        (Sleep(50), g_nExitCalls.load() == 1);
        bool bNextPass = bLockFree && NextPassRuns();
        bool bGivenBack = stisim::LiveObjects() == 0;
        bool bHolds = bAnswered && bLockFree && bRelayed && bNextPass && bGivenBack;
        EXPECT_TRUE(bHolds) << pszWhat << ", failing call " << nFailAt << ": answered " << bAnswered
                            << ", lock free " << bLockFree << ", relayed " << bRelayed << " (" << g_nExitCalls.load()
                            << "), next pass " << bNextPass << ", objects alive " << stisim::LiveObjects();
        ++m_nRuns;
        m_nThreadsEnded += bEnded ? 1 : 0;
        return bHolds;
    }

    static HANDLE s_hWindowThread;
    testsupport::HangDeadline m_deadline{"the whole test", std::chrono::seconds(120)};
    testsupport::SleepRecorder m_instantSleep; // also restores the hook table
    testsupport::TraceCapture m_trace;
    bool m_bAnswered = false;
    LRESULT m_lAnswer = 0;
    unsigned m_nRuns = 0;
    unsigned m_nThreadsEnded = 0;
};

HANDLE SessionEndSweep::s_hWindowThread = nullptr;

std::vector<Scenario> Scenarios()
{
    SimConfig lockTimesOut;
    lockTimesOut.devices = {Device(L"twain0", kTwainDesc), Device(L"twain1", kTwainDesc), Device(L"wia2", kWiaDesc)};
    lockTimesOut.devices[0].hrLock = HRESULT_FROM_WIN32(WAIT_TIMEOUT);
    lockTimesOut.wia[L"wia2"] = {};

    SimConfig threadMustEnd;
    threadMustEnd.devices = {Device(L"twain0", kTwainDesc), Device(L"wia1", kWiaDesc), Device(L"wia3", kWiaDesc),
                             Device(L"twain2", kTwainDesc)};
    threadMustEnd.wia[L"wia1"].vecCreateStatuses = {kRpcDisconnected};
    threadMustEnd.wia[L"wia3"] = {};
    SimConfig threadMustEndWia2 = threadMustEnd;
    threadMustEndWia2.bVista = true;

    SimConfig noService;
    noService.devices = {Device(L"twain0", kTwainDesc), Device(L"wia1", kWiaDesc)};
    noService.wia[L"wia1"] = {};
    noService.hrStiCreate = REGDB_E_CLASSNOTREG;

    return {{"driver lock times out", lockTimesOut},
            {"WIA request whose thread must end", threadMustEnd},
            {"WIA 2 request whose thread must end", threadMustEndWia2},
            {"still-image service cannot be created", noService}};
}

// Each configurable answer of the simulated service and drivers failed in turn.
using Mutation = std::pair<std::string, std::function<void(SimConfig&)>>;
std::vector<Mutation> SimulatorFaults(const SimConfig& base)
{
    std::vector<Mutation> mutations = {
        {"service creation", [](SimConfig& c) { c.hrStiCreate = E_OUTOFMEMORY; }},
        {"device list", [](SimConfig& c) { c.hrDeviceList = E_FAIL; }},
        {"WIA manager", [](SimConfig& c) { c.hrWiaService = REGDB_E_CLASSNOTREG; }},
    };
    using StiField = HRESULT stisim::StiDeviceConfig::*;
    const std::pair<const char*, StiField> stiFields[] = {{"CreateDevice", &stisim::StiDeviceConfig::hrCreate},
                                                         {"LockDevice", &stisim::StiDeviceConfig::hrLock},
                                                         {"Escape", &stisim::StiDeviceConfig::hrEscape},
                                                         {"UnLockDevice", &stisim::StiDeviceConfig::hrUnlock}};
    for (size_t i = 0; i < base.devices.size(); ++i) {
        std::wstring wstrName = base.devices[i].wstrInternalName;
        std::string name(wstrName.begin(), wstrName.end());
        for (auto [pszCall, field] : stiFields)
            mutations.push_back({name + " " + pszCall, [i, field](SimConfig& c) { c.devices[i].*field = E_FAIL; }});
        if (base.wia.count(wstrName) == 0)
            continue;
        mutations.push_back({name + " root item", [wstrName](SimConfig& c) { c.wia[wstrName].vecCreateStatuses = {E_FAIL}; }});
        mutations.push_back(
            {name + " root item, fatal", [wstrName](SimConfig& c) { c.wia[wstrName].vecCreateStatuses = {kRpcDisconnected}; }});
        mutations.push_back({name + " lock escape", [wstrName](SimConfig& c) { c.wia[wstrName].hrLockEscape = E_ACCESSDENIED; }});
        mutations.push_back({name + " lock size 0", [wstrName](SimConfig& c) { c.wia[wstrName].dwLockActualSize = 0; }});
        mutations.push_back({name + " property write", [wstrName](SimConfig& c) { c.wia[wstrName].hrWrite = E_FAIL; }});
        mutations.push_back({name + " unlock escape", [wstrName](SimConfig& c) { c.wia[wstrName].hrUnlockEscape = E_FAIL; }});
    }
    return mutations;
}

} // namespace

TEST_F(SessionEndSweep, HandlerReturnsAndTheNextPassTakesTheLock_InEveryScenario)
{
    for (const Scenario& scenario : Scenarios()) {
        Prepare(scenario.config);
        Query();
        EXPECT_TRUE(Check(scenario.pszName, 0));
    }
    EXPECT_EQ(2u, m_nThreadsEnded) << "the two WIA scenarios end their deletion thread";
}

// Eight WIA scanners whose root item never comes: each costs its five retry
// pauses of 5000 ms, 200 s in all, far beyond a busy TWAIN scanner's 20000 ms
// lock time-out or one scanner's retries. The session end waits for all of it.
TEST_F(SessionEndSweep, QueryIsHeldForTheWholeDeletePassHoweverLong)
{
    constexpr int kScanners = 8;
    SimConfig slow;
    for (int i = 0; i < kScanners; ++i) {
        std::wstring wstrName = L"wia" + std::to_wstring(i);
        slow.devices.push_back(Device(wstrName, kWiaDesc));
        slow.wia[wstrName].vecCreateStatuses = {E_FAIL};
    }
    g_passClock.dwWindowThreadId = GetThreadId(s_hWindowThread);
    faults::ImportOverride wait("WaitForSingleObject", reinterpret_cast<void*>(WaitOnPassClock));
    ASSERT_TRUE(wait.Patched());
    g_passClock.pWait = &wait;

    for (bool bVista : {false, true}) {
        slow.bVista = bVista;
        Prepare(slow);
        g_hooks.pfnSleep = PauseOnPassClock;
        {
            PassClockLock lock;
            g_passClock.ullMs = 0;
            g_passClock.bWaiting = g_passClock.bLimitReached = g_passClock.bFreeRun = false;
            g_passClock.bPausedUnwaited = g_passClock.bWaitHung = false;
        }
        Query();
        bool bPassEnded = m_trace.Contains(L"  >  DeleteAllTemplates Exit\r\n");
        ULONGLONG ullPassMs = 0;
        bool bPausedUnwaited = false;
        bool bWaitHung = false;
        {
            // Whatever happened, a held pass may finish now.
            PassClockLock lock;
            ullPassMs = g_passClock.ullMs;
            bPausedUnwaited = g_passClock.bPausedUnwaited;
            bWaitHung = g_passClock.bWaitHung;
            g_passClock.bFreeRun = true;
        }
        WakeAllConditionVariable(&g_passClock.cv);
        bool bLockFree = TakeLockBounded();

        const char* pszForm = bVista ? "Vista" : "before Vista";
        EXPECT_TRUE(m_bAnswered && m_lAnswer == 1) << pszForm;
        EXPECT_FALSE(bWaitHung) << pszForm << ": the deletion thread did not end within "
                                << kPassHangDeadlineMs / 1000 << " s";
        EXPECT_TRUE(bPassEnded) << pszForm << ": the session end was let go after " << ullPassMs / 1000
                                << " s of the delete pass's " << kScanners * 25 << " s";
        EXPECT_FALSE(bPausedUnwaited) << pszForm << ": the delete pass ran on while the window procedure was not "
                                                    "waiting for it";
        EXPECT_EQ(kScanners * 5u * 5000u, ullPassMs) << pszForm;
        EXPECT_EQ(kScanners * 6u, CountCallsOf(bVista ? L"CreateWia2Device" : L"CreateWiaDevice")) << pszForm;
        EXPECT_TRUE(bLockFree) << pszForm;
        EXPECT_TRUE(Verdict(1)) << pszForm;
        EXPECT_TRUE(testsupport::WaitFor([] { return g_nExitCalls.load() == 1; }, std::chrono::milliseconds(3000)))
            << pszForm << ": the log-off was relayed " << g_nExitCalls.load() << " times";
    }
}

TEST_F(SessionEndSweep, EveryStillImageAndWiaCallFailedOnce)
{
    unsigned nCallPoints = 0;
    unsigned nFailed = 0;
    unsigned nBreaks = 0;
    unsigned nCrashes = 0;
    for (const Scenario& scenario : Scenarios()) {
        for (auto [kind, hr] : {std::pair{Kind::StiCreate, REGDB_E_CLASSNOTREG}, {Kind::WiaCreate, kRpcDisconnected},
                                {Kind::WiaCreate, E_FAIL}}) {
            faults::SweepFigures figures = faults::Sweep(
                kind, hr, [&] { Prepare(scenario.config); }, [&] { Query(); },
                [&](unsigned n) { return Check(scenario.pszName, n); });
            std::cout << "[ sweep ] session end, " << scenario.pszName << ", " << faults::KindName(kind) << " "
                      << std::hex << hr << std::dec << ": call points " << figures.nCallPoints << ", calls failed "
                      << figures.nRunsFailed << ", invariant breaks " << figures.nInvariantBreaks << ", crashes "
                      << figures.nCrashes << std::endl;
            EXPECT_EQ(figures.nCallPoints, figures.nRunsFailed);
            nCallPoints += figures.nCallPoints;
            nFailed += figures.nRunsFailed;
            nBreaks += figures.nInvariantBreaks;
            nCrashes += figures.nCrashes;
        }
    }
    std::cout << "[ sweep ] session end, hook table: call points " << nCallPoints << ", calls failed " << nFailed
              << ", invariant breaks " << nBreaks << ", crashes " << nCrashes << std::endl;
    EXPECT_GT(nCallPoints, 0u);
    EXPECT_EQ(0u, nBreaks);
    EXPECT_EQ(0u, nCrashes);
}

TEST_F(SessionEndSweep, EverySimulatedDriverAnswerFailedOnce)
{
    unsigned nRuns = 0;
    unsigned nBreaks = 0;
    for (const Scenario& scenario : Scenarios()) {
        for (const auto& [name, mutate] : SimulatorFaults(scenario.config)) {
            SimConfig config = scenario.config;
            mutate(config);
            Prepare(config);
            Query();
            std::string what = std::string(scenario.pszName) + ", " + name + " failing";
            nBreaks += Check(what.c_str(), 1) ? 0 : 1;
            ++nRuns;
        }
    }
    std::cout << "[ sweep ] session end, simulated driver answers: calls failed " << nRuns << ", invariant breaks "
              << nBreaks << ", crashes 0, deletion threads ended " << m_nThreadsEnded << std::endl;
    EXPECT_EQ(0u, nBreaks);
}

// A deletion thread that cannot be resumed never runs: the query is answered at
// once, as when no thread could be started, instead of waiting for it for ever.
TEST_F(SessionEndSweep, DeletionThreadThatCannotBeResumed_IsNotWaitedFor)
{
    SimConfig config;
    config.devices = {Device(L"twain0", kTwainDesc)};
    for (bool bVista : {false, true}) {
        config.bVista = bVista;
        Prepare(config);
        {
            faults::FaultInjector injector;
            ASSERT_TRUE(faults::FaultInjector::Patched(Kind::ThreadResume));
            injector.Arm(Kind::ThreadResume, 1, ERROR_ACCESS_DENIED);
            Query();
            EXPECT_EQ(1u, injector.Failed(Kind::ThreadResume));
        }
        EXPECT_TRUE(m_bAnswered) << "answered within " << kAnswerDeadlineMs << " ms, vista " << bVista;
        EXPECT_EQ(1, m_lAnswer);
        EXPECT_TRUE(m_trace.Contains(L"resumethread unsuccessful"));
        EXPECT_FALSE(m_trace.Contains(L"Got the Delete Template thread.")) << "the thread never ran";
        EXPECT_TRUE(TakeLockBounded());
        Sleep(100);
        EXPECT_EQ(0, g_nExitCalls.load()) << "no pass ran, so no log-off is relayed";
    }
}

// A log-off the user cancels after the delete pass: the log-on is put back with
// the user's SID found again (one republish per driver kind, nothing relayed, not
// even by the pass's own WM_ENDSESSION once the grace is over), and a second
// query deletes the templates again with the SID. The verdict's bound running
// out after the cancel puts nothing back a second time.
TEST_F(SessionEndSweep, CancelledSessionEnd_RepublishesOnceWithTheSidAndRelaysNothing)
{
    SimConfig config;
    config.devices = {Device(L"twain0", kTwainDesc), Device(L"wia1", kWiaDesc)};
    config.wia[L"wia1"] = {};
    DeviceInfo twain = {};
    DeviceInfo wia = {};
    wia.IsWIA = 1;
    g_pDevices[0] = &twain;
    g_pDevices[1] = &wia;
    g_nDevices = 2;
    bgt::ScopeExit noRecords([] {
        g_pDevices[0] = g_pDevices[1] = nullptr;
        g_nDevices = 0;
    });
    Prepare(config);
    auto requests = [](const wchar_t* pwszCall, DWORD dwCode) {
        std::vector<std::wstring> sids;
        for (const stisim::JournalEntry& entry : stisim::Journal())
            if (entry.wstrCall == pwszCall && entry.dwCode == dwCode)
                sids.push_back(entry.wstrSid);
        return sids;
    };
    const DWORD kTwainDelete = 0x101D, kTwainRepublish = 0x101E, kWiaDelete = 38963, kWiaRepublish = 38964;

    Query();
    ASSERT_TRUE(m_bAnswered);
    EXPECT_EQ(1u, requests(L"Escape", kTwainDelete).size());
    EXPECT_EQ(1u, requests(L"WriteMultiple", kWiaDelete).size());
    std::wstring wstrSid;
    EXPECT_FALSE(CopyUserSidText(wstrSid)) << "the pass gives the SID text back";
    ASSERT_TRUE(Verdict(0));
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return requests(L"Escape", kTwainRepublish).size() == 1 && requests(L"WriteMultiple", kWiaRepublish).size() == 1; },
        std::chrono::milliseconds(10000)))
        << "each scanner is asked once to republish";
    ASSERT_TRUE(CopyUserSidText(wstrSid));
    EXPECT_EQ(std::vector<std::wstring>{wstrSid}, requests(L"Escape", kTwainRepublish));
    EXPECT_EQ(std::vector<std::wstring>{wstrSid}, requests(L"WriteMultiple", kWiaRepublish));
    SendMessageW(g_hWnd, WM_TIMER, kVerdictTimerId, 0);
    Sleep(1000);
    EXPECT_EQ(0, g_nExitCalls.load()) << "a cancelled log-off is not started again";
    EXPECT_EQ(1u, requests(L"Escape", kTwainRepublish).size());

    Query();
    EXPECT_EQ((std::vector<std::wstring>{kUserSid, wstrSid}), requests(L"Escape", kTwainDelete));
    EXPECT_EQ(2u, requests(L"WriteMultiple", kWiaDelete).size());
    ASSERT_TRUE(Verdict(1));
    EXPECT_TRUE(testsupport::WaitFor([] { return g_nExitCalls.load() == 1; }, std::chrono::milliseconds(3000)));
    EXPECT_TRUE(TakeLockBounded());
}

// A republish asked for (an address change) that waits for the template lock
// behind another pass when a query comes: the query's pass begins the session
// end before it waits for the lock too, so whichever gets the lock first, the
// republish sends nothing and says why.
TEST_F(SessionEndSweep, RepublishWaitingForTheLockWhenTheQueryComes_SendsNothing)
{
    SimConfig config;
    config.devices = {Device(L"twain0", kTwainDesc)};
    DeviceInfo twain = {};
    g_pDevices[0] = &twain;
    g_nDevices = 1;
    bgt::ScopeExit noRecords([] {
        g_pDevices[0] = nullptr;
        g_nDevices = 0;
    });
    Prepare(config);
    EndSessionEnd(); // an earlier case's end that went ahead still holds
    EnterCriticalSection(&g_csTemplateLock);
    ASSERT_TRUE(StartRepublishForRecords(g_pDevices, g_nDevices));
    Sleep(300);
    std::thread query([this] { Query(); });
    Sleep(300);
    LeaveCriticalSection(&g_csTemplateLock);
    testsupport::JoinWithin(query, std::chrono::seconds(30), "the query answered");
    ASSERT_TRUE(m_bAnswered);
    EXPECT_TRUE(testsupport::WaitFor([&] { return m_trace.Contains(L"  Republish dropped: a session end began\r\n"); },
                                     std::chrono::milliseconds(5000)));
    size_t nRepublished = 0;
    for (const stisim::JournalEntry& entry : stisim::Journal())
        nRepublished += entry.wstrCall == L"Escape" && entry.dwCode == 0x101E ? 1 : 0;
    EXPECT_EQ(0u, nRepublished) << "no scanner is asked to republish";
    EXPECT_EQ(1u, CountCallsOf(L"Escape")) << "the delete request";
    EXPECT_TRUE(Verdict(1));
    EXPECT_TRUE(TakeLockBounded());
}
