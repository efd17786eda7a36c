#include "common/event_reports.h"

#include <string>

#include "common/bounded_string.h"
#include "common/event_log.h"
#include "common/owners.h"

namespace {

// Describing a fact may set the thread's last error; the caller's is kept, as
// the event log never changes what the task does.
class LastErrorKept {
public:
    LastErrorKept() : m_dwLastError(GetLastError()) {}
    ~LastErrorKept() { SetLastError(m_dwLastError); }
    LastErrorKept(const LastErrorKept&) = delete;
    LastErrorKept& operator=(const LastErrorKept&) = delete;

private:
    DWORD m_dwLastError;
};

// "1.2.3" from the running executable's version resource; "(unknown version)"
// when it has none.
std::wstring ModuleVersionText()
{
    wchar_t wszModule[MAX_PATH + 1] = {};
    DWORD cchModule = GetModuleFileNameW(nullptr, wszModule, ARRAYSIZE(wszModule));
    if (cchModule == 0 || cchModule >= ARRAYSIZE(wszModule))
        return L"(unknown version)";
    DWORD dwIgnored = 0;
    DWORD cbInfo = GetFileVersionInfoSizeW(wszModule, &dwIgnored);
    if (cbInfo == 0)
        return L"(unknown version)";
    bgt::UniqueHeapMem pInfo(HeapAlloc(GetProcessHeap(), 0, cbInfo));
    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT cbFixed = 0;
    if (!pInfo || !GetFileVersionInfoW(wszModule, 0, cbInfo, pInfo.get()) ||
        !VerQueryValueW(pInfo.get(), L"\\", reinterpret_cast<void**>(&pFixed), &cbFixed) || pFixed == nullptr ||
        cbFixed < sizeof(VS_FIXEDFILEINFO))
        return L"(unknown version)";
    wchar_t wszVersion[64] = {};
    bgt::StringCchPrintfW(wszVersion, ARRAYSIZE(wszVersion), L"%u.%u.%u", HIWORD(pFixed->dwFileVersionMS),
                          LOWORD(pFixed->dwFileVersionMS), HIWORD(pFixed->dwFileVersionLS));
    return wszVersion;
}

std::wstring NumberText(DWORD dwNumber)
{
    wchar_t wszNumber[16] = {};
    bgt::StringCchPrintfW(wszNumber, ARRAYSIZE(wszNumber), L"%u", dwNumber);
    return wszNumber;
}

} // namespace

void ReportTaskStarted(DWORD nScanners)
{
    const LastErrorKept kept;
    WriteTaskEvent(BGT_EVENT_TASK_STARTED, EVENTLOG_INFORMATION_TYPE,
                   {ModuleVersionText().c_str(), NumberText(nScanners).c_str()});
}

void ReportDeliveryRefused(const wchar_t* pwszJobFolder, const wchar_t* pwszFolder, const wchar_t* pwszBaseName,
                           const wchar_t* pwszReason)
{
    const LastErrorKept kept;
    WriteTaskEvent(BGT_EVENT_DELIVERY_REFUSED, EVENTLOG_WARNING_TYPE,
                   {pwszJobFolder, pwszFolder, pwszBaseName, pwszReason});
}

void ReportDeliveryFailed(const wchar_t* pwszJobFolder, const wchar_t* pwszDestination, DWORD dwError)
{
    const LastErrorKept kept;
    WriteTaskEvent(BGT_EVENT_DELIVERY_FAILED, EVENTLOG_WARNING_TYPE,
                   {pwszJobFolder, pwszDestination, DescribeSystemError(dwError).c_str()});
}

void ReportFilingFailed(const wchar_t* pwszFiles, DWORD dwError)
{
    const LastErrorKept kept;
    WriteTaskEvent(BGT_EVENT_FILING_FAILED, EVENTLOG_WARNING_TYPE, {pwszFiles, DescribeSystemError(dwError).c_str()});
}

void ReportFiledLater(const wchar_t* pwszFiles, const wchar_t* pwszJobFolder)
{
    const LastErrorKept kept;
    WriteTaskEvent(BGT_EVENT_FILED_LATER, EVENTLOG_INFORMATION_TYPE, {pwszFiles, pwszJobFolder});
}

void ReportTemplatesKept(const wchar_t* pwszScanner, HRESULT hrStatus)
{
    const LastErrorKept kept;
    WriteTaskEvent(BGT_EVENT_TEMPLATES_KEPT, EVENTLOG_ERROR_TYPE, {pwszScanner, DescribeStatus(hrStatus).c_str()});
}

void ReportRepublishFailed(const wchar_t* pwszScanner, HRESULT hrStatus)
{
    const LastErrorKept kept;
    WriteTaskEvent(BGT_EVENT_REPUBLISH_FAILED, EVENTLOG_WARNING_TYPE, {pwszScanner, DescribeStatus(hrStatus).c_str()});
}

void ReportNoUsableAddress(const wchar_t* pwszAddress, HRESULT hrStatus)
{
    const LastErrorKept kept;
    // Only the loopback and link-local answers judged an address; after any other
    // the text may be one an earlier attempt left.
    const bool bJudged = hrStatus == E_ABORT || hrStatus == E_UNEXPECTED;
    const wchar_t* pwszFound = bJudged && pwszAddress != nullptr && pwszAddress[0] != L'\0' ? pwszAddress : L"(none)";
    WriteTaskEvent(BGT_EVENT_NO_USABLE_ADDRESS, EVENTLOG_WARNING_TYPE, {pwszFound, DescribeStatus(hrStatus).c_str()});
}

void ReportWatchEnded(const wchar_t* pwszFolder, DWORD dwError)
{
    const LastErrorKept kept;
    WriteTaskEvent(BGT_EVENT_WATCH_ENDED, EVENTLOG_WARNING_TYPE, {pwszFolder, DescribeSystemError(dwError).c_str()});
}

void ReportDeliveryRedone(const wchar_t* pwszJobFolder)
{
    const LastErrorKept kept;
    WriteTaskEvent(BGT_EVENT_DELIVERY_REDONE, EVENTLOG_INFORMATION_TYPE, {pwszJobFolder});
}

void ReportFolderRefused(const wchar_t* pwszFolder, const wchar_t* pwszOwner, const wchar_t* pwszFailed)
{
    const LastErrorKept kept;
    const wchar_t* pwszShown = pwszOwner != nullptr && pwszOwner[0] != L'\0' ? pwszOwner : L"(not read)";
    WriteTaskEvent(BGT_EVENT_FOLDER_REFUSED, EVENTLOG_ERROR_TYPE, {pwszFolder, pwszShown, pwszFailed});
}

void ReportFolderRightsInherited(const wchar_t* pwszFolder, const wchar_t* pwszRights)
{
    const LastErrorKept kept;
    WriteTaskEvent(BGT_EVENT_FOLDER_RIGHTS_INHERITED, EVENTLOG_WARNING_TYPE, {pwszFolder, pwszRights});
}

void ReportTemplateIgnored(const wchar_t* pwszTemplate, const wchar_t* pwszOwner)
{
    const LastErrorKept kept;
    WriteTaskEvent(BGT_EVENT_TEMPLATE_IGNORED, EVENTLOG_WARNING_TYPE, {pwszTemplate, pwszOwner});
}
