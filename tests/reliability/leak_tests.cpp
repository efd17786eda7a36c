// Handles held by the process before and after many repetitions of the work
// the task does for hours on end, each counted after a warm-up (Wine makes
// some objects for good on first use): 0 net handles.
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>

#include <winsock2.h>

#include "common/owners.h"
#include "common/trace.h"
#include "delivery/template_file.h"
#include "discovery/identity.h"
#include "discovery/state.h"
#include "host/bgtask.h"
#include "scan_manifest.h"
#include "sim/stisim/stisim.h"
#include "templates/template_passes.h"
#include "tests/support/test_support.h"
#include "watcher/filing.h"
#include "watcher/watcher.h"


using namespace reliability;
using testsupport::CountProcessHandles;

namespace {

constexpr wchar_t kUserSid[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";

void SetSid()
{
    auto* pwsz = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, sizeof(kUserSid)));
    memcpy(pwsz, kUserSid, sizeof(kUserSid));
    SetUserSidText(pwsz);
}

BOOL WINAPI FakeGetVersionEx(LPOSVERSIONINFOW pInfo)
{
    pInfo->dwMajorVersion = 6;
    pInfo->dwMinorVersion = 1;
    return TRUE;
}

// The PC's name resolves to 192.168.1.20, always, without a lock: ten watchers
// ask at once, and a contended std::mutex would make its wait object at no
// predictable round.
struct hostent* WINAPI FixedHostByName(const char*)
{
    static in_addr s_address = [] {
        const unsigned char rgb[4] = {192, 168, 1, 20};
        in_addr addr{};
        memcpy(&addr, rgb, sizeof(rgb));
        return addr;
    }();
    static char* s_rgAddrs[] = {reinterpret_cast<char*>(&s_address), nullptr};
    static char s_szName[] = "scanpc";
    static char* s_rgAliases[] = {nullptr};
    static hostent s_entry = {s_szName, s_rgAliases, AF_INET, sizeof(in_addr), s_rgAddrs};
    return &s_entry;
}

std::atomic<unsigned> g_nWatchesOpen{0};
std::atomic<unsigned> g_nReadsEnded{0};
void CountWatchOpen(const wchar_t* pszText)
{
    if (wcscmp(pszText, L"  >  Got the file handle!! \r\n") == 0)
        ++g_nWatchesOpen;
    else if (wcscmp(pszText, L"    > Wait event was signaled\r\n") == 0)
        ++g_nReadsEnded;
}

void PrintFigures(const char* pszWhat, unsigned nTimes, size_t nBefore, size_t nAfter)
{
    std::cout << "[ leaks ] " << pszWhat << " x" << nTimes << ": handles before " << nBefore << ", after " << nAfter
              << ", net " << static_cast<long long>(nAfter) - static_cast<long long>(nBefore) << std::endl;
}

class Leaks : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(S_OK, InitUserIdentity());
        InitializeCriticalSection(&g_csTemplateLock);
        // The passes post WM_ENDSESSION to the window; it is drained here.
        if (g_hWnd == nullptr)
            CBgTask::RegisterBgndWindow(GetModuleHandleW(nullptr));
    }

    void SetUp() override
    {
        g_hooks.pfnStiCreateInstanceW = stisim::StiCreateInstanceW;
        g_hooks.pfnCoCreateInstance = stisim::CoCreateInstance;
        g_hooks.pfnGetVersionExW = FakeGetVersionEx;
        stisim::Reset();
    }

    static void DrainMessages()
    {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    testsupport::ScratchFolder m_root;
    testsupport::SleepRecorder m_instantSleep; // also restores the hook table
};

TEST_F(Leaks, ThousandFilings_NoNetHandles)
{
    std::wstring temp = m_root / L"TempImage";
    std::wstring docs = m_root / L"Documents";
    testsupport::MakeFolder(temp);
    DeviceInfo device = {};
    wcscpy_s(device.szTempFolder, temp.c_str());
    wcscpy_s(device.szDocFolder, docs.c_str());
    unsigned nUnique = 0;
    auto FileOne = [&](unsigned i) {
        DropOptions options;
        options.bFolderJob = i % 10 == 0;
        std::wstring stem = L"L" + std::to_wstring(i % 7);
        DropScan(temp, stem, ++nUnique, options);
        std::wstring lock = stem + L".lck";
        FileScanRecord(&device, lock.c_str(), static_cast<DWORD>(lock.size() * sizeof(wchar_t)));
        if (i % 50 == 49)
            testsupport::RemoveTree(docs);
    };
    for (unsigned i = 0; i < 20; ++i)
        FileOne(i);
    size_t nBefore = CountProcessHandles();
    constexpr unsigned kFilings = 1000;
    for (unsigned i = 0; i < kFilings; ++i)
        FileOne(i);
    size_t nAfter = CountProcessHandles();
    PrintFigures("filings", kFilings, nBefore, nAfter);
    EXPECT_EQ(nBefore, nAfter);
    EXPECT_TRUE(testsupport::ListFolder(temp).empty()) << "every scan was filed";
}

TEST_F(Leaks, HundredRepublishAndDeletePasses_NoNetHandles)
{
    stisim::SetWiaDevice(L"wia1", {});
    stisim::StiDeviceConfig twain;
    twain.wstrInternalName = L"twain0";
    twain.wstrDescription = L"Orbek Marlstone/Pro TWAIN Scanner";
    stisim::StiDeviceConfig wia;
    wia.wstrInternalName = L"wia1";
    wia.wstrDescription = L"Orbek Chromhold WIA Scanner";
    stisim::SetStiDevices({twain, wia});
    DeviceInfo twainWatcher = {};
    DeviceInfo wiaWatcher = {};
    wiaWatcher.IsWIA = 1;
    auto Republish = [&] {
        bool bEnd = false;
        EnterCriticalSection(&g_csTemplateLock);
        RePublishAllTemplates(&twainWatcher, &bEnd);
        RePublishAllTemplates(&wiaWatcher, &bEnd);
        LeaveCriticalSection(&g_csTemplateLock);
    };
    auto Delete = [&] {
        SetSid();
        bool bEnd = false;
        EnterCriticalSection(&g_csTemplateLock);
        DeleteAllTemplates(ENDSESSION_LOGOFF, &bEnd);
        LeaveCriticalSection(&g_csTemplateLock);
        DrainMessages();
    };
    SetSid();
    Republish();
    Delete();
    constexpr unsigned kPasses = 100;
    SetSid();
    size_t nBefore = CountProcessHandles();
    for (unsigned i = 0; i < kPasses; ++i)
        Republish();
    size_t nAfterRepublish = CountProcessHandles();
    PrintFigures("republish passes (TWAIN and WIA watcher)", kPasses, nBefore, nAfterRepublish);
    for (unsigned i = 0; i < kPasses; ++i)
        Delete();
    size_t nAfterDelete = CountProcessHandles();
    PrintFigures("delete passes", kPasses, nAfterRepublish, nAfterDelete);
    EXPECT_EQ(nBefore, nAfterRepublish);
    EXPECT_EQ(nAfterRepublish, nAfterDelete);
    EXPECT_EQ(2 * kPasses, stisim::JournalOf(L"twain0", L"Escape").size() - 2) << "every pass reached the driver";
    EXPECT_EQ(0, stisim::LiveObjects());
}

// The whole watcher: address check, template refresh, republish, per-user
// option, then the watch, ended by taking its folder away. Ten run at a time.
TEST_F(Leaks, HundredWatcherStartAndEndCycles_NoNetHandles)
{
    testsupport::ScratchRegistry registry;
    g_hooks.pfnGetHostByName = FixedHostByName;
    // The shared pause event, signalled: a watcher never waits on it here.
    bgt::UniqueHandle hPause(CreateEventW(nullptr, TRUE, TRUE, L"WaitEvent"));
    wcscpy_s(g_wszUserName, L"tester");
    constexpr unsigned kParallel = 10;
    std::vector<std::unique_ptr<DeviceInfo>> devices;
    for (unsigned i = 0; i < kParallel; ++i) {
        auto pDevice = std::make_unique<DeviceInfo>();
        std::wstring base = m_root / (L"W" + std::to_wstring(i));
        wcscpy_s(pDevice->szTempFolder, (base + L"\\Temp").c_str());
        wcscpy_s(pDevice->szDocFolder, (base + L"\\Docs").c_str());
        wcscpy_s(pDevice->szTemplateFolder, (base + L"\\Templates").c_str());
        pDevice->IsWIA = static_cast<int>(i % 2);
        testsupport::MakeFolder(pDevice->szTemplateFolder);
        testsupport::WriteFileBytes(base + L"\\Templates\\a.ost", "Name \"Scan\"\r\nRepositoryName \"10.0.0.9\"\r\n");
        devices.push_back(std::move(pDevice));
    }
    stisim::SetStiDevices({});
    unsigned nEnded = 0;
    // Counted without a lock: a contended std::mutex of the test's own would
    // make its wait object on first contention, at no predictable round.
    g_nWatchesOpen = 0;
    TraceSinkFn pfnOldSink = SetTraceSink(CountWatchOpen);
    bgt::ScopeExit restoreSink([&] { SetTraceSink(pfnOldSink); });
    auto Round = [&] {
        std::vector<bgt::UniqueHandle> threads;
        unsigned nOpen = g_nWatchesOpen.load() + kParallel;
        for (auto& pDevice : devices) {
            testsupport::MakeFolder(pDevice->szTempFolder);
            threads.emplace_back(CreateThread(nullptr, 0, WatchTempFolder, pDevice.get(), 0, nullptr));
        }
        EXPECT_TRUE(testsupport::WaitFor(
            [&] { return g_nWatchesOpen.load() >= nOpen; }, std::chrono::seconds(20)))
            << "every watcher reached its watch";
        Sleep(200);
        for (auto& pDevice : devices) {
            std::wstring gone = std::wstring(pDevice->szTempFolder) + L".gone";
            MoveFileW(pDevice->szTempFolder, gone.c_str());
        }
        for (auto& hThread : threads)
            nEnded += WaitForSingleObject(hThread.get(), 20000) == WAIT_OBJECT_0 ? 1 : 0;
        for (auto& pDevice : devices)
            testsupport::RemoveTree(std::wstring(pDevice->szTempFolder) + L".gone");
    };
    // Two rounds of warm-up: COM, sockets and Wine's own worker threads make
    // what they keep for good during the first ones.
    Round();
    Round();
    size_t nBefore = CountProcessHandles();
    nEnded = 0;
    constexpr unsigned kRounds = 10;
    for (unsigned i = 0; i < kRounds; ++i)
        Round();
    size_t nAfter = CountProcessHandles();
    PrintFigures("watcher start/end cycles", kRounds * kParallel, nBefore, nAfter);
    std::cout << "[ leaks ] watches opened " << g_nWatchesOpen.load() << ", cancelled reads seen to end "
              << g_nReadsEnded.load() << std::endl;
    EXPECT_EQ(g_nWatchesOpen.load(), g_nReadsEnded.load()) << "no read buffer left in place";
    EXPECT_EQ(kRounds * kParallel, nEnded) << "every watcher ended";
    EXPECT_EQ(nBefore, nAfter);
    EXPECT_EQ(std::string("Name \"Scan\"\r\nRepositoryName \"192.168.1.20\"\r\n"),
              testsupport::ReadFileBytes(std::wstring(devices[0]->szTemplateFolder) + L"\\a.ost"))
        << "the start-up ran in full";
}

} // namespace
