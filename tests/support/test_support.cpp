#include "test_support.h"

#include <shlobj.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "common/trace.h"

namespace testsupport {
namespace {

std::mutex g_traceMutex;
std::vector<std::wstring> g_traceTexts;

void CaptureSink(const wchar_t* pszText)
{
    std::lock_guard<std::mutex> lock(g_traceMutex);
    g_traceTexts.emplace_back(pszText);
}

std::mutex g_sleepMutex;
std::vector<DWORD> g_sleeps;

void WINAPI RecordSleep(DWORD dwMilliseconds)
{
    std::lock_guard<std::mutex> lock(g_sleepMutex);
    g_sleeps.push_back(dwMilliseconds);
}

// A pause on an event: recorded as a pause, over at once unless the event is set.
DWORD WINAPI RecordWait(HANDLE hObject, DWORD dwMilliseconds)
{
    RecordSleep(dwMilliseconds);
    return WaitForSingleObject(hObject, 0) == WAIT_OBJECT_0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

std::wstring UniqueName(const wchar_t* pszPrefix)
{
    static std::atomic<unsigned> s_counter{0};
    return std::wstring(pszPrefix) + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(GetTickCount64()) + L"_" + std::to_wstring(++s_counter);
}

} // namespace

TraceCapture::TraceCapture()
{
    Clear();
    SetTraceSink(CaptureSink);
}

TraceCapture::~TraceCapture() { SetTraceSink(nullptr); }

std::vector<std::wstring> TraceCapture::Texts() const
{
    std::lock_guard<std::mutex> lock(g_traceMutex);
    return g_traceTexts;
}

size_t TraceCapture::Count(const std::wstring& text) const
{
    std::lock_guard<std::mutex> lock(g_traceMutex);
    return static_cast<size_t>(std::count(g_traceTexts.begin(), g_traceTexts.end(), text));
}

bool TraceCapture::ContainsFragment(const std::wstring& fragment) const
{
    std::lock_guard<std::mutex> lock(g_traceMutex);
    return std::any_of(g_traceTexts.begin(), g_traceTexts.end(),
                       [&](const std::wstring& t) { return t.find(fragment) != std::wstring::npos; });
}

void TraceCapture::Clear()
{
    std::lock_guard<std::mutex> lock(g_traceMutex);
    g_traceTexts.clear();
}

SleepRecorder::SleepRecorder()
{
    {
        std::lock_guard<std::mutex> lock(g_sleepMutex);
        g_sleeps.clear();
    }
    g_hooks.pfnSleep = RecordSleep;
    g_hooks.pfnWaitForSingleObject = RecordWait;
}

SleepRecorder::~SleepRecorder() = default;

std::vector<DWORD> SleepRecorder::Pauses() const
{
    std::lock_guard<std::mutex> lock(g_sleepMutex);
    return g_sleeps;
}

ScratchRegistry::ScratchRegistry()
{
    m_base = L"Software\\BgTaskTests\\" + UniqueName(L"r");
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, (m_base + L"\\HKLM").c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &m_hMachine, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, (m_base + L"\\HKCU").c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &m_hUser, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_hMachine));
    EXPECT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_CURRENT_USER, m_hUser));
}

ScratchRegistry::~ScratchRegistry()
{
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegCloseKey(m_hMachine);
    RegCloseKey(m_hUser);
    RegDeleteTreeW(HKEY_CURRENT_USER, m_base.c_str());
}

void ScratchRegistry::CreateKey(HKEY hRoot, const std::wstring& subkey)
{
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(hRoot, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr));
    RegCloseKey(hKey);
}

void ScratchRegistry::SetString(HKEY hRoot, const std::wstring& subkey, const std::wstring& name,
                                const std::wstring& value)
{
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(hRoot, subkey.c_str(), name.c_str(), REG_SZ, value.c_str(),
                                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
}

void ScratchRegistry::SetDword(HKEY hRoot, const std::wstring& subkey, const std::wstring& name, DWORD value)
{
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeyValueW(hRoot, subkey.c_str(), name.c_str(), REG_DWORD, &value, sizeof(value)));
}

void ScratchRegistry::SetBinary(HKEY hRoot, const std::wstring& subkey, const std::wstring& name, const void* pv,
                                DWORD cb)
{
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(hRoot, subkey.c_str(), name.c_str(), REG_BINARY, pv, cb));
}

bool ScratchRegistry::ReadDword(HKEY hRoot, const std::wstring& subkey, const std::wstring& name, DWORD& value)
{
    DWORD cb = sizeof(value);
    return RegGetValueW(hRoot, subkey.c_str(), name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &cb) ==
           ERROR_SUCCESS;
}

bool ScratchRegistry::KeyExists(HKEY hRoot, const std::wstring& subkey)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(hRoot, subkey.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

ScratchFolder::ScratchFolder()
{
    wchar_t wszTemp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, wszTemp);
    m_path = std::wstring(wszTemp) + UniqueName(L"bgt");
    MakeFolder(m_path);
}

ScratchFolder::~ScratchFolder() { RemoveTree(m_path); }

void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << "cannot create " << std::string(path.begin(), path.end());
    DWORD cbWritten = 0;
    if (!bytes.empty())
        WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &cbWritten, nullptr);
    CloseHandle(h);
    ASSERT_EQ(bytes.size(), cbWritten);
}

std::string ReadFileBytes(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return {};
    std::string bytes;
    char buf[65536];
    DWORD cb = 0;
    while (ReadFile(h, buf, sizeof(buf), &cb, nullptr) && cb > 0)
        bytes.append(buf, cb);
    CloseHandle(h);
    return bytes;
}

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void MakeFolder(const std::wstring& path) { SHCreateDirectoryExW(nullptr, path.c_str(), nullptr); }

void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW((path + L"\\*").c_str(), &fd);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring child = path + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(hFind, &fd));
        FindClose(hFind);
    }
    RemoveDirectoryW(path.c_str());
}

std::vector<std::wstring> ListFolder(const std::wstring& path)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW((path + L"\\*").c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::wstring name = fd.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(hFind, &fd));
    FindClose(hFind);
    std::sort(names.begin(), names.end());
    return names;
}

bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds deadline)
{
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= end)
            return predicate();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

namespace {

struct HangWatch {
    HANDLE hFinished;
    DWORD dwLimitMs;
    std::string strWhat;
};

DWORD WINAPI WatchForHang(LPVOID pv)
{
    std::unique_ptr<HangWatch> pWatch(static_cast<HangWatch*>(pv));
    if (WaitForSingleObject(pWatch->hFinished, pWatch->dwLimitMs) == WAIT_OBJECT_0)
        return 0;
    fprintf(stderr, "\n[  HANG    ] %s did not finish within %lu s; the test binary ends here\n",
            pWatch->strWhat.c_str(), static_cast<unsigned long>(pWatch->dwLimitMs / 1000));
    fflush(stderr);
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
    return 1;
}

} // namespace

HangDeadline::HangDeadline(const char* pszStep, std::chrono::seconds limit)
{
    m_hFinished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const ::testing::TestInfo* pTest = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string strWhat = pTest != nullptr ? std::string(pTest->test_suite_name()) + "." + pTest->name() + ": " : "";
    auto* pWatch = new HangWatch{m_hFinished, static_cast<DWORD>(limit.count() * 1000), strWhat + pszStep};
    m_hWatchdog = m_hFinished != nullptr ? CreateThread(nullptr, 0, WatchForHang, pWatch, 0, nullptr) : nullptr;
    if (m_hWatchdog == nullptr) {
        delete pWatch;
        fprintf(stderr, "HangDeadline: no watchdog for %s\n", pszStep);
        std::abort();
    }
}

HangDeadline::~HangDeadline()
{
    SetEvent(m_hFinished);
    WaitForSingleObject(m_hWatchdog, 5000);
    CloseHandle(m_hWatchdog);
    CloseHandle(m_hFinished);
}

void JoinWithin(std::thread& thread, std::chrono::seconds limit, const char* pszStep)
{
    HangDeadline deadline(pszStep, limit);
    thread.join();
}

namespace {

struct HandleEntry {
    ULONG ProcessId;
    BYTE ObjectTypeNumber;
    BYTE Flags;
    USHORT Handle;
    PVOID Object;
    ACCESS_MASK GrantedAccess;
};

struct HandleTable {
    ULONG Count;
    HandleEntry Handles[1];
};

// Our own rows of the system's handle table.
std::vector<HandleEntry> OwnHandleRows()
{
    constexpr SYSTEM_INFORMATION_CLASS kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
    std::vector<BYTE> buffer(1 << 20);
    for (;;) {
        ULONG cbNeeded = 0;
        NTSTATUS status = NtQuerySystemInformation(kSystemHandleInformation, buffer.data(),
                                                   static_cast<ULONG>(buffer.size()), &cbNeeded);
        if (status == static_cast<NTSTATUS>(0xC0000004L)) { // STATUS_INFO_LENGTH_MISMATCH
            buffer.resize(std::max<size_t>(buffer.size() * 2, cbNeeded + 4096));
            continue;
        }
        if (status < 0) {
            // An empty answer would make every before/after comparison agree, and so
            // every leak check pass without counting anything.
            fprintf(stderr, "handle table query failed: NTSTATUS %#lx\n", static_cast<unsigned long>(status));
            std::abort();
        }
        break;
    }
    const auto* pTable = reinterpret_cast<const HandleTable*>(buffer.data());
    DWORD pid = GetCurrentProcessId();
    std::vector<HandleEntry> rows;
    for (ULONG i = 0; i < pTable->Count; ++i)
        if (pTable->Handles[i].ProcessId == pid)
            rows.push_back(pTable->Handles[i]);
    return rows;
}

std::wstring ObjectTypeName(HANDLE h)
{
    alignas(8) BYTE buffer[1024];
    ULONG cb = 0;
    if (NtQueryObject(h, ObjectTypeInformation, buffer, sizeof(buffer), &cb) < 0)
        return L"?";
    const auto* pName = reinterpret_cast<const UNICODE_STRING*>(buffer);
    return std::wstring(pName->Buffer, pName->Length / sizeof(wchar_t));
}

} // namespace

size_t CountProcessHandles()
{
    // Windows keeps the count for us, exactly and whatever the process id; Wine
    // answers 0 there, so its handle table is walked instead.
    DWORD dwCount = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &dwCount) && dwCount != 0)
        return dwCount;
    return OwnHandleRows().size();
}

std::wstring DescribeProcessHandles()
{
    std::wstring text;
    for (const HandleEntry& row : OwnHandleRows()) {
        wchar_t wszValue[16];
        swprintf(wszValue, 16, L"%#x ", static_cast<unsigned>(row.Handle));
        text += wszValue + ObjectTypeName(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(row.Handle))) + L"; ";
    }
    return text;
}

std::wstring WinPathFromUnix(const std::string& unixPath)
{
    std::wstring w = L"Z:";
    for (char c : unixPath)
        w += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return w;
}

} // namespace testsupport
