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
    static const std::wregex s_re(L"\\d{4}-\\d{1,2}-\\d{1,2}_\\d{1,2}-\\d{1,2}-\\d{1,2}");
    return s_re;
}

inline std::wstring StampOf(const SYSTEMTIME& st)
{
    return std::to_wstring(st.wYear) + L"-" + std::to_wstring(st.wMonth) + L"-" + std::to_wstring(st.wDay) + L"_" +
           std::to_wstring(st.wHour) + L"-" + std::to_wstring(st.wMinute) + L"-" + std::to_wstring(st.wSecond);
}

// The local time dwSeconds from now, as a stamp.
inline std::wstring StampInSeconds(const SYSTEMTIME& now, int nSeconds)
{
    FILETIME ft;
    SystemTimeToFileTime(&now, &ft);
    ULARGE_INTEGER u;
    u.LowPart = ft.dwLowDateTime;
    u.HighPart = ft.dwHighDateTime;
    u.QuadPart += static_cast<ULONGLONG>(nSeconds) * 10000000ull;
    ft.dwLowDateTime = u.LowPart;
    ft.dwHighDateTime = u.HighPart;
    SYSTEMTIME st;
    FileTimeToSystemTime(&ft, &st);
    return StampOf(st);
}

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
