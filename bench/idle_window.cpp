// The bare minimum a per-user background program needs under Wine: a hidden
// top-level window and its message loop. The idle benchmark measures it beside the
// task, so that what Wine itself costs is not counted against the task.
//   benchidle [SECONDS [DLL ...]]   ends by itself after SECONDS (0: on WM_CLOSE
//                                   only); loads each DLL first, so that what
//                                   Wine's libraries cost can be told apart
//   benchidle SECONDS --tick        also has a 5000 ms timer re-armed on every
//                                   tick, as the task's, and does nothing else
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr UINT_PTR kEndTimer = 1;
constexpr UINT_PTR kTickTimer = 2;
constexpr UINT kTickMs = 5000;

LRESULT CALLBACK IdleWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_TIMER:
        if (wParam == kEndTimer)
            DestroyWindow(hWnd);
        else
            SetTimer(hWnd, kTickTimer, kTickMs, nullptr);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
}

// Split by hand: the shell's splitter would load SHELL32 into the bare program.
std::vector<std::wstring> SplitArguments(const wchar_t* pwszCmdLine)
{
    std::vector<std::wstring> args;
    std::wstring current;
    for (const wchar_t* pwc = pwszCmdLine != nullptr ? pwszCmdLine : L""; *pwc != L'\0'; ++pwc) {
        if (*pwc == L' ' || *pwc == L'\t') {
            if (!current.empty())
                args.push_back(current);
            current.clear();
        } else {
            current += *pwc;
        }
    }
    if (!current.empty())
        args.push_back(current);
    return args;
}

} // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR pwszCmdLine, int)
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = IdleWndProc;
    wc.hInstance = hInstance;
    wc.lpszClassName = L"BenchIdleWindow";
    if (!RegisterClassW(&wc))
        return 1;
    HWND hWnd = CreateWindowExW(0, wc.lpszClassName, L"Bench Idle", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, hInstance, nullptr);
    if (hWnd == nullptr)
        return 1;
    std::vector<std::wstring> args = SplitArguments(pwszCmdLine);
    long lSeconds = args.empty() ? 0 : wcstol(args[0].c_str(), nullptr, 10);
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == L"--tick") {
            SetTimer(hWnd, kTickTimer, kTickMs, nullptr);
            continue;
        }
        // Kept loaded for the life of the process on purpose: that is what is measured.
        if (LoadLibraryW(args[i].c_str()) == nullptr)
            return 2;
    }
    if (lSeconds > 0)
        SetTimer(hWnd, kEndTimer, static_cast<UINT>(lSeconds) * 1000u, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
