// Start-up and the process's life: in-process, then the real executable.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "discovery/state.h"
#include "host/bgtask.h"
#include "tests/support/test_support.h"

using namespace std::chrono_literals;
using testsupport::WaitFor;

namespace {

HWND FindBgndWindow() { return FindWindowW(L"BgndTask", nullptr); }

struct Child {
    PROCESS_INFORMATION pi{};
    bool Start(const std::wstring& args = L"")
    {
        std::wstring exe = testsupport::WinPathFromUnix(BGNDTASK_EXE_DIR) + L"\\BgndTask.exe";
        std::wstring cmd = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args);
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        return CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) !=
               FALSE;
    }
    // Exit code, or STILL_ACTIVE when it did not end within the time.
    DWORD Wait(DWORD ms)
    {
        if (WaitForSingleObject(pi.hProcess, ms) != WAIT_OBJECT_0)
            return STILL_ACTIVE;
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        return code;
    }
    ~Child()
    {
        if (pi.hProcess != nullptr) {
            if (Wait(0) == STILL_ACTIVE)
                TerminateProcess(pi.hProcess, 99);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
    }
};

} // namespace

TEST(Process, FirstDiscoveryWaitsForTheFirstTick_ADriverInstalledLaterGetsItsPassAtTheNextTick)
{
    testsupport::ScratchRegistry registry; // no imaging class: discovery finds nothing
    testsupport::TraceCapture trace;
    auto start = std::chrono::steady_clock::now();
    int exitCode = -1;
    std::thread task([&] { exitCode = CBgTask::Run(GetModuleHandleW(nullptr), ""); });

    ASSERT_TRUE(WaitFor([] { return FindBgndWindow() != nullptr; }, 5s));
    EXPECT_TRUE(trace.Contains(L"Bacground Task Started by the User"));
    std::this_thread::sleep_for(3s);
    EXPECT_FALSE(trace.Contains(L"GetDeviceInfo Enter")) << "discovery ran before the first tick";
    EXPECT_TRUE(WaitFor([&] { return trace.Contains(L"GetDeviceInfo Enter"); }, 8s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 4500ms);

    // The driver's key appears with its change while the task runs: one pass at
    // the next tick, and the value reset; the reset itself asks for no other.
    const std::wstring twainKey = L"SOFTWARE\\Orbek\\MarlstoneProTWAIN";
    trace.Clear();
    testsupport::ScratchRegistry::SetDword(HKEY_LOCAL_MACHINE, twainKey, L"DeviceChange", 1);
    EXPECT_TRUE(WaitFor([&] { return trace.Contains(L"GetDeviceInfo Enter"); }, 8s));
    DWORD dwValue = 1;
    EXPECT_TRUE(testsupport::ScratchRegistry::ReadDword(HKEY_LOCAL_MACHINE, twainKey, L"DeviceChange", dwValue));
    EXPECT_EQ(0u, dwValue);
    std::this_thread::sleep_for(6s);
    EXPECT_EQ(1u, trace.Count(L"GetDeviceInfo Enter"));

    PostMessageW(FindBgndWindow(), WM_CLOSE, 0, 0);
    testsupport::JoinWithin(task, 10s, "the message loop ended at WM_CLOSE");
    EXPECT_EQ(0, exitCode);
    EXPECT_TRUE(trace.ContainsFragment(L"WINMAIN EXIT"));
}

TEST(Process, SecondInstanceLeavesTheFirstAlone)
{
    ASSERT_EQ(nullptr, FindBgndWindow()) << "another task is running in this prefix";
    Child first;
    ASSERT_TRUE(first.Start(L"/registry"));
    ASSERT_TRUE(WaitFor([] { return FindBgndWindow() != nullptr; }, 15s));
    HWND hFirst = FindBgndWindow();

    Child second;
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(0u, second.Wait(15000));
    EXPECT_EQ(STILL_ACTIVE, first.Wait(0));
    EXPECT_EQ(hFirst, FindBgndWindow()) << "the second start created no window of its own";

    PostMessageW(hFirst, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, first.Wait(15000));
}

TEST(Process, DestroyEndsTheLoopWithExitCodeZero)
{
    Child task;
    ASSERT_TRUE(task.Start());
    ASSERT_TRUE(WaitFor([] { return FindBgndWindow() != nullptr; }, 15s));
    PostMessageW(FindBgndWindow(), WM_DESTROY, 0, 0);
    EXPECT_EQ(0u, task.Wait(15000));
}

// What the built executable carries for others: the exported comparators (under
// this compiler's names) and the manifest with the build's version.
TEST(Process, ExecutableExportsTheComparatorsAndCarriesItsManifest)
{
    std::wstring exe = testsupport::WinPathFromUnix(BGNDTASK_EXE_DIR) + L"\\BgndTask.exe";
    HMODULE hExe = LoadLibraryExW(exe.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(nullptr, hExe) << GetLastError();
#if defined(_MSC_VER)
    const char* names[] = {"??0CompareTCHAR@@QEAA@XZ", "??1CompareTCHAR@@QEAA@XZ",
                           "??4CompareTCHAR@@QEAAAEAV0@AEBV0@@Z", "??RCompareTCHAR@@QEBA_NPEB_W0@Z",
                           "??4?$CompareObj@H@@QEAAAEAV0@AEBV0@@Z"};
#else
    const char* names[] = {"_ZN12CompareTCHARC1Ev", "_ZN12CompareTCHARD1Ev", "_ZN12CompareTCHARaSERKS_",
                           "_ZNK12CompareTCHARclEPKwS1_", "_ZN10CompareObjIiEaSERKS0_"};
#endif
    for (const char* pszName : names)
        EXPECT_NE(nullptr, GetProcAddress(hExe, pszName)) << pszName;
    HRSRC hRes = FindResourceW(hExe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(nullptr, hRes);
    const char* pText = static_cast<const char*>(LockResource(LoadResource(hExe, hRes)));
    std::string manifest(pText, SizeofResource(hExe, hRes));
    EXPECT_NE(std::string::npos, manifest.find("name=\"BgndTask\" version=\"" BGNDTASK_VERSION ".0\""));
    EXPECT_NE(std::string::npos, manifest.find("<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">PerMonitorV2,PerMonitor</dpiAwareness>"));
    EXPECT_NE(std::string::npos, manifest.find("<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm</dpiAware>"));
    EXPECT_NE(std::string::npos, manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
    FreeLibrary(hExe);
}
