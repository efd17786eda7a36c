// Simulated installation tool.
//   siminstall scanner [--model M] [--wia] [--usb] [--name N] [--repo A.B.C.D]
//                      [--pcfolder P] [--base B] [--no-template]
//                      [--lock-timeout] [--escape-fails] [--cannot-open] [--service-dies]
//       prints the installed scanner's keys and folders as name=value lines
//   siminstall devicechange twain|wia VALUE
//   siminstall wiaservice register|unregister|refuse|accept
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <stdexcept>
#include <string>

#include "sim_install.h"

namespace {

std::string Narrow(const std::wstring& w)
{
    int n = WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
    return s;
}

int InstallScannerCommand(int argc, wchar_t** argv)
{
    sim::ScannerSpec scanner;
    for (int i = 2; i < argc; ++i) {
        std::wstring a = argv[i];
        auto next = [&]() -> std::wstring { return i + 1 < argc ? argv[++i] : L""; };
        if (a == L"--model") scanner.model = next();
        else if (a == L"--wia") scanner.bWia = true;
        else if (a == L"--usb") scanner.bUsb = true;
        else if (a == L"--name") scanner.name = next();
        else if (a == L"--repo") scanner.repositoryName = Narrow(next());
        else if (a == L"--pcfolder") scanner.pcFolderPath = Narrow(next());
        else if (a == L"--base") scanner.pcBaseFileName = Narrow(next());
        else if (a == L"--no-template") scanner.templateName.clear();
        else if (a == L"--lock-timeout") scanner.bLockTimeout = true;
        else if (a == L"--escape-fails") scanner.bEscapeFails = true;
        else if (a == L"--cannot-open") scanner.bCannotOpen = true;
        else if (a == L"--service-dies") scanner.bServiceDies = true;
        else {
            fwprintf(stderr, L"siminstall: unknown option %ls\n", a.c_str());
            return 2;
        }
    }
    sim::InstalledScanner s = sim::InstallScanner(scanner);
    printf("driverKey=%s\ndescription=%s\nfilingPath=%s\nuserFolder=%s\ntempFolder=%s\ndocFolder=%s\n"
           "templateFolder=%s\nuserRegPath=%s\n",
           Narrow(s.driverKey).c_str(), Narrow(s.description).c_str(), Narrow(s.filingPath).c_str(),
           Narrow(s.userFolder).c_str(), Narrow(s.tempFolder).c_str(), Narrow(s.docFolder).c_str(),
           Narrow(s.templateFolder).c_str(), Narrow(s.userRegPath).c_str());
    return 0;
}

int WiaServiceCommand(const std::wstring& action)
{
    if (action == L"register")
        sim::RegisterWiaService();
    else if (action == L"unregister")
        sim::UnregisterWiaService();
    else if (action == L"refuse" || action == L"accept")
        sim::SetWiaServiceRefuses(action == L"refuse");
    else
        return 2;
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    try {
        if (argc >= 2 && wcscmp(argv[1], L"scanner") == 0)
            return InstallScannerCommand(argc, argv);
        if (argc == 3 && wcscmp(argv[1], L"wiaservice") == 0)
            return WiaServiceCommand(argv[2]);
        if (argc == 4 && wcscmp(argv[1], L"devicechange") == 0) {
            sim::SetDeviceChange(wcscmp(argv[2], L"wia") == 0, static_cast<DWORD>(_wtoi(argv[3])));
            return 0;
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "siminstall: %s\n", e.what());
        return 1;
    }
    fwprintf(stderr, L"usage: siminstall scanner [options] | devicechange twain|wia VALUE | "
                     L"wiaservice register|unregister|refuse|accept\n");
    return 2;
}
