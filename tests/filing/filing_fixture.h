#pragma once
// One scanner's folders in a scratch folder, the trace captured, and helpers to
// drop scans and read what the filing made of them.
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "common/owners.h"
#include "common/status.h"
#include "discovery/identity.h"
#include "discovery/state.h"
#include "tests/support/test_support.h"

namespace filingtest {

using testsupport::ListFolder;
using testsupport::PathExists;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

// A stamp as the filing writes it: year-month-day_hour-minute-second.
inline const std::wregex& StampPattern()
{
    // No leading zeros: a field is 0 itself or starts with 1-9 (the hour,
    // minute and second are 0 for a whole hour, minute or second).
    static const std::wregex s_re(L"\\d{4}-[1-9]\\d?-[1-9]\\d?_(0|[1-9]\\d?)-(0|[1-9]\\d?)-(0|[1-9]\\d?)");
    return s_re;
}

inline std::wstring StampOf(const SYSTEMTIME& st)
{
    return std::to_wstring(st.wYear) + L"-" + std::to_wstring(st.wMonth) + L"-" + std::to_wstring(st.wDay) + L"_" +
           std::to_wstring(st.wHour) + L"-" + std::to_wstring(st.wMinute) + L"-" + std::to_wstring(st.wSecond);
}

// The local time nSeconds from now, as a stamp. Counted in UTC and turned
// back into local time by the zone's rules for that moment, so that a
// daylight-saving change between the two is followed as the clock follows it.
inline std::wstring StampInSeconds(const SYSTEMTIME& now, int nSeconds)
{
    SYSTEMTIME utc;
    TzSpecificLocalTimeToSystemTime(nullptr, &now, &utc);
    FILETIME ft;
    SystemTimeToFileTime(&utc, &ft);
    ULARGE_INTEGER u;
    u.LowPart = ft.dwLowDateTime;
    u.HighPart = ft.dwHighDateTime;
    u.QuadPart += static_cast<ULONGLONG>(static_cast<LONGLONG>(nSeconds) * 10000000ll);
    ft.dwLowDateTime = u.LowPart;
    ft.dwHighDateTime = u.HighPart;
    FileTimeToSystemTime(&ft, &utc);
    SYSTEMTIME st;
    SystemTimeToTzSpecificLocalTime(nullptr, &utc, &st);
    return StampOf(st);
}

// A file held open, without delete sharing, by another process (as a virus
// scanner or an indexer holds a file just written): a command interpreter that
// inherits the handle and waits on a pipe until it is let go.
class HeldByAnotherProcess {
public:
    // The holder is a process that never runs (started suspended, inheriting
    // nothing): the file's handle is put into it, so no helper of its own can
    // take a copy and outlive it, and ending it closes the hold at once.
    explicit HeldByAnotherProcess(const std::wstring& path) : m_path(path)
    {
        bgt::UniqueFileHandle hFile(
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!hFile)
            return;
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        wchar_t wszCommand[] = L"cmd.exe /q /k";
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, wszCommand, nullptr, nullptr, FALSE, CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr,
                            nullptr, &si, &pi))
            return;
        CloseHandle(pi.hThread);
        bgt::UniqueHandle hProcess(pi.hProcess);
        HANDLE hInHolder = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), hFile.get(), hProcess.get(), &hInHolder, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
            TerminateProcess(hProcess.get(), 0);
            return;
        }
        m_hProcess = std::move(hProcess);
    }
    ~HeldByAnotherProcess() { Release(); }
    bool Holding() const { return m_hProcess.valid(); }
    void Release()
    {
        if (!m_hProcess)
            return;
        TerminateProcess(m_hProcess.get(), 0);
        WaitForSingleObject(m_hProcess.get(), 10000);
        m_hProcess.reset();
    }

private:
    std::wstring m_path;
    bgt::UniqueHandle m_hProcess;
};

class FilingFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(S_OK, InitUserIdentity()); }

    void SetUp() override
    {
        m_temp = m_root / L"TempImage";
        m_docs = m_root / L"Documents";
        testsupport::MakeFolder(m_temp);
        testsupport::MakeFolder(m_docs);
        ZeroMemory(&m_device, sizeof(m_device));
        wcscpy_s(m_device.szTempFolder, m_temp.c_str());
        wcscpy_s(m_device.szDocFolder, m_docs.c_str());
    }

    std::wstring Temp(const std::wstring& name) const { return m_temp + L"\\" + name; }
    std::wstring Docs(const std::wstring& name) const { return m_docs + L"\\" + name; }

    // The scan's files as the driver leaves them once its lock entry has gone.
    void PutScan(const std::wstring& stem, const std::wstring& ext, const std::string& content = {})
    {
        WriteFileBytes(Temp(stem + ext), content.empty() ? "image of " + Narrow(stem) + Narrow(ext) : content);
    }
    void PutTemplate(const std::wstring& stem, const std::string& text = "Name \"plain\"\n")
    {
        WriteFileBytes(Temp(stem + L".ost"), text);
    }

    static std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

    // Job folders in Documents (lock folders excluded).
    std::vector<std::wstring> JobFolders() const
    {
        std::vector<std::wstring> jobs;
        for (const std::wstring& name : ListFolder(m_docs))
            if (name.size() > 4 && name.substr(name.size() - 4) == L".osm")
                jobs.push_back(name);
        return jobs;
    }

    testsupport::ScratchFolder m_root;
    std::wstring m_temp;
    std::wstring m_docs;
    DeviceInfo m_device;
    testsupport::TraceCapture m_trace;
};

} // namespace filingtest
