#pragma once
// Shared helpers of the component tests: trace capture, scratch registry and
// folders, the hook table restored after each test, a handle counter.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/hooks.h"

namespace testsupport {

// Captures every trace text while it lives.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    std::vector<std::wstring> Texts() const;
    size_t Count(const std::wstring& text) const;
    bool Contains(const std::wstring& text) const { return Count(text) > 0; }
    // True when some text contains the fragment.
    bool ContainsFragment(const std::wstring& fragment) const;
    void Clear();
};

// Restores the platform hook table when it goes out of scope.
class HookGuard {
public:
    HookGuard() : m_saved(g_hooks) {}
    ~HookGuard() { g_hooks = m_saved; }

private:
    PlatformHooks m_saved;
};

// Records the pauses asked of the Sleep hook instead of sleeping.
class SleepRecorder {
public:
    SleepRecorder();
    ~SleepRecorder();
    std::vector<DWORD> Pauses() const;

private:
    HookGuard m_guard;
};

// HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER redirected to scratch keys for the
// life of the object (this thread and every other: the override is process-wide).
class ScratchRegistry {
public:
    ScratchRegistry();
    ~ScratchRegistry();
    // Writes helpers relative to the redirected roots.
    static void SetString(HKEY hRoot, const std::wstring& subkey, const std::wstring& name, const std::wstring& value);
    static void SetDword(HKEY hRoot, const std::wstring& subkey, const std::wstring& name, DWORD value);
    static void SetBinary(HKEY hRoot, const std::wstring& subkey, const std::wstring& name, const void* pv, DWORD cb);
    static bool ReadDword(HKEY hRoot, const std::wstring& subkey, const std::wstring& name, DWORD& value);
    static bool KeyExists(HKEY hRoot, const std::wstring& subkey);
    static void CreateKey(HKEY hRoot, const std::wstring& subkey);

private:
    std::wstring m_base;
    HKEY m_hMachine = nullptr;
    HKEY m_hUser = nullptr;
};

// A fresh folder under the temporary folder, removed with its contents at the end.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    const std::wstring& Path() const { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

void WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::string ReadFileBytes(const std::wstring& path);
bool PathExists(const std::wstring& path);
void MakeFolder(const std::wstring& path);
void RemoveTree(const std::wstring& path);
std::vector<std::wstring> ListFolder(const std::wstring& path); // names, sorted, without . and ..

// Waits until the predicate holds or the deadline passes; answers the predicate.
bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds deadline);

// A step that must end within a deadline of seconds (a wait with no bound of
// its own: a join, a message sent to a window of this thread, a pass that could
// hang). When the deadline passes first, the test binary says which step of
// which test hung and ends at once with exit code 3: a hang cannot be unwound,
// and CTest's time-out would only say so minutes later. Destroying the object
// marks the step finished.
class HangDeadline {
public:
    HangDeadline(const char* pszStep, std::chrono::seconds limit);
    ~HangDeadline();
    HangDeadline(const HangDeadline&) = delete;
    HangDeadline& operator=(const HangDeadline&) = delete;

private:
    HANDLE m_hFinished = nullptr;
    HANDLE m_hWatchdog = nullptr;
};

// Joins the thread, within the deadline.
void JoinWithin(std::thread& thread, std::chrono::seconds limit, const char* pszStep);

// Handles that this process holds, counted exactly: GetProcessHandleCount on
// Windows, the system's handle table under Wine (whose GetProcessHandleCount
// answers 0). A table that cannot be read ends the test binary.
size_t CountProcessHandles();
// "value type; " for each of them, to say in a failure which handle came or went.
std::wstring DescribeProcessHandles();

// Windows path of a folder of the Linux file system (through drive Z:).
std::wstring WinPathFromUnix(const std::string& unixPath);

} // namespace testsupport
