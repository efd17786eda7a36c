#include "delivery/send_to_folder.h"

#include <cwchar>
#include <string>

#include "common/bounded_string.h"
#include "common/event_reports.h"
#include "common/owners.h"
#include "common/status.h"
#include "common/trace.h"
#include "delivery/delivery_parts.h"
#include "delivery/template_file.h"
#include "discovery/folder_check.h"

using namespace delivery;

namespace {

// First match of each, in this order: at most one image leaves a job.
const wchar_t* const s_rgpwszImagePatterns[] = {L"\\*.JPG", L"\\*.BMP", L"\\*.TIF",
                                                L"\\*.GIF", L"\\*.PDF", L"\\*.XPS"};

bool Widen(const char* pszAnsi, wchar_t* pwszWide)
{
    return PathFits(MultiByteToWideChar(CP_ACP, 0, pszAnsi, -1, pwszWide, static_cast<int>(kPathCapacity)) > 0
                        ? S_OK
                        : STRSAFE_E_INSUFFICIENT_BUFFER);
}

// A template's value as it gave it, whole, for the administrator's event.
std::wstring AsGiven(const char* pszAnsi)
{
    int cch = MultiByteToWideChar(CP_ACP, 0, pszAnsi, -1, nullptr, 0);
    if (cch <= 1)
        return std::wstring();
    std::wstring wstrValue(static_cast<size_t>(cch), L'\0');
    MultiByteToWideChar(CP_ACP, 0, pszAnsi, -1, wstrValue.data(), cch);
    wstrValue.resize(static_cast<size_t>(cch) - 1);
    return wstrValue;
}

DWORD Refuse(const Delivery& delivery, const SendToFolderSettings& settings, const wchar_t* pwszReason)
{
    ReportDeliveryRefused(delivery.wszJobFolder, AsGiven(settings.szPCFolderPath).c_str(),
                          AsGiven(settings.szPCBaseFileName).c_str(), pwszReason);
    return 0;
}

// From the image name's first '_' or '.' (but no later than its last
// character) to its end: "JOB_p1.jpg" gives "_p1.jpg", "JOB.pdf" gives ".pdf".
const wchar_t* ImageNameTail(const wchar_t* pwszImageName)
{
    size_t cch = wcslen(pwszImageName);
    size_t i = 0;
    while (i + 1 < cch && pwszImageName[i] != L'_' && pwszImageName[i] != L'.')
        ++i;
    return pwszImageName + i;
}

bool NameDestination(const Delivery& delivery, const wchar_t* pwszImageName, ImagePaths& paths)
{
    if (delivery.wszBaseName[0] == L'\0') {
        TraceMsg(L"> This Template does not have a Base_File_Name\r\n");
        return PathFits(bgt::StringCchCopyW(paths.wszDestName, kPathCapacity, pwszImageName));
    }
    return PathFits(bgt::StringCchPrintfW(paths.wszDestName, kPathCapacity, L"%s%s", delivery.wszBaseName,
                                          ImageNameTail(pwszImageName)));
}

Attempt TryImagePattern(Delivery& delivery, const wchar_t* pwszPattern)
{
    wchar_t wszSearch[kPathChars];
    if (!PathFits(bgt::StringCchPrintfW(wszSearch, kPathCapacity, L"%s%s", delivery.wszJobFolder, pwszPattern)))
        return Attempt::Skipped;
    WIN32_FIND_DATAW fd;
    bgt::UniqueFindHandle hImageSearch(FindFirstFileW(wszSearch, &fd));
    if (!hImageSearch) {
        TraceMsg(L"> Continue to search for other file formats\r\n");
        return Attempt::NoImage;
    }
    ImagePaths paths;
    if (!NameDestination(delivery, fd.cFileName, paths) || !PlanImagePaths(delivery, fd.cFileName, paths))
        return Attempt::Skipped;
    return CopyImage(delivery, paths, fd.cFileName);
}

DWORD Deliver(const wchar_t* pwszJobFolder, HANDLE hMarker)
{
    TraceMsg(L">  SendToFolder Enter  \r\n");
    Delivery delivery = {};
    delivery.dwResult = 1;
    delivery.hMarker = hMarker;
    if (!PathFits(bgt::StringCchCopyW(delivery.wszJobFolder, kPathCapacity, pwszJobFolder)))
        return delivery.dwResult;

    bgt::UniqueFindHandle hTemplateSearch;
    wchar_t wszTemplatePath[kPathChars];
    if (!FindTemplateFile(delivery.wszJobFolder, hTemplateSearch, wszTemplatePath, kPathCapacity) ||
        !TemplateIsUsersOwn(wszTemplatePath)) {
        TraceMsg(L">  SendToFolder Exit  \r\n");
        return delivery.dwResult;
    }
    SendToFolderSettings settings = ReadSendToFolderSettings(wszTemplatePath);
    if (!settings.bSendToFolder) {
        TraceMsg(L"> This image does not have the \"Send image directly to folder\" feature enabled \r\n");
        hTemplateSearch.reset();
        TraceMsg(L">  SendToFolder Exit  \r\n");
        return delivery.dwResult;
    }
    TraceMsg(L"> Sending image to Destination folder.\r\n");
    // A delivery the template asks for that cannot be made answers 0, as one
    // refused for its destination does.
    if (!Widen(settings.szPCFolderPath, delivery.wszPCFolder) || !Widen(settings.szPCBaseFileName, delivery.wszBaseName))
        return Refuse(delivery, settings, kRefusedTooLong);
    if (const wchar_t* pwszReason = DestinationRefusal(settings, delivery)) {
        hTemplateSearch.reset();
        TraceMsg(L">  SendToFolder Exit  \r\n");
        return Refuse(delivery, settings, pwszReason);
    }
    RemoveOwnLeftovers(delivery);

    for (const wchar_t* pwszPattern : s_rgpwszImagePatterns) {
        switch (TryImagePattern(delivery, pwszPattern)) {
        case Attempt::Delivered:
            return delivery.dwResult;
        case Attempt::Skipped:
            return Refuse(delivery, settings, kRefusedTooLong);
        case Attempt::DeliveredDirect:
            return 1;
        case Attempt::NoImage:
        case Attempt::Failed:
            break;
        }
    }
    hTemplateSearch.reset();
    if (delivery.dwCopyError != 0)
        ReportDeliveryFailed(delivery.wszJobFolder, delivery.wszFailedCopy, delivery.dwCopyError);
    TraceMsg(L">  SendToFolder Exit  \r\n");
    return delivery.dwResult;
}

} // namespace

DWORD WINAPI SendToFolder(LPVOID pvJobFolderPath) { return SendToFolderMarked(pvJobFolderPath, nullptr); }

DWORD SendToFolderMarked(LPVOID pvJobFolderPath, HANDLE hMarker)
{
    bgt::UniqueHeapMem jobFolderPath(pvJobFolderPath);
    try {
        return Deliver(static_cast<const wchar_t*>(jobFolderPath.get()), hMarker);
    } catch (...) {
        // The owners have closed the searches and the template file on the way out.
        TraceMsg(L">  Exception Caught in SendToFolder() \r\n");
        return 0;
    }
}
