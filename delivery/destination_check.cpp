// The checks of where a template sends an image: a template arrives with every
// scan and is not trusted.
#include <cwchar>

#include "common/trace.h"
#include "delivery/delivery_parts.h"

namespace delivery {

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Characters no file or folder name may hold (the separators apart).
bool IsForbiddenInName(wchar_t c) { return c < 0x20 || c == 0x7F || wcschr(L":*?\"<>|", c) != nullptr; }

// A part of a path between separators: a server, a share or a folder.
const wchar_t* SkipPart(const wchar_t* pwsz)
{
    while (*pwsz != L'\0' && !IsSeparator(*pwsz))
        ++pwsz;
    return pwsz;
}

bool IsDotPart(const wchar_t* pwszStart, const wchar_t* pwszEnd)
{
    size_t cch = static_cast<size_t>(pwszEnd - pwszStart);
    return (cch == 1 && pwszStart[0] == L'.') || (cch == 2 && pwszStart[0] == L'.' && pwszStart[1] == L'.');
}

// "\\server\share..." with a real server and share: neither the "\\?\" nor
// the "\\.\" device forms, which reach past the file system's own rules.
bool IsUncShare(const wchar_t* pwszFolder)
{
    if (!IsSeparator(pwszFolder[0]) || !IsSeparator(pwszFolder[1]))
        return false;
    const wchar_t* pwszServer = pwszFolder + 2;
    const wchar_t* pwszServerEnd = SkipPart(pwszServer);
    if (pwszServerEnd == pwszServer || IsDotPart(pwszServer, pwszServerEnd) || *pwszServerEnd == L'\0' ||
        (pwszServerEnd - pwszServer == 1 && pwszServer[0] == L'?'))
        return false;
    const wchar_t* pwszShare = pwszServerEnd + 1;
    const wchar_t* pwszShareEnd = SkipPart(pwszShare);
    return pwszShareEnd != pwszShare && !IsDotPart(pwszShare, pwszShareEnd);
}

bool IsDriveRoot(const wchar_t* pwszFolder)
{
    wchar_t c = pwszFolder[0];
    bool bLetter = (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
    return bLetter && pwszFolder[1] == L':' && IsSeparator(pwszFolder[2]);
}

// The template names where an image goes, and it comes with every scan: only
// a fully qualified folder is taken. A relative one would land wherever the
// task's current folder is, an empty one at the root of the current drive.
bool IsFullyQualifiedFolder(const wchar_t* pwszFolder)
{
    const wchar_t* pwszRest = nullptr;
    if (IsDriveRoot(pwszFolder))
        pwszRest = pwszFolder + 3;
    else if (IsUncShare(pwszFolder))
        pwszRest = pwszFolder + 2;
    else
        return false;
    for (const wchar_t* p = pwszRest; *p != L'\0'; ++p)
        if (IsForbiddenInName(*p))
            return false;
    return true;
}

// COM and LPT take any digit, the superscript ones (as Windows counts them)
// and 0 included.
bool IsDeviceDigit(wchar_t c) { return (c >= L'0' && c <= L'9') || c == 0x00B9 || c == 0x00B2 || c == 0x00B3; }

bool IsReservedDeviceName(const wchar_t* pwszName)
{
    // The device is named by the part before the first dot, trailing spaces aside.
    size_t cch = wcscspn(pwszName, L".");
    while (cch > 0 && pwszName[cch - 1] == L' ')
        --cch;
    static const wchar_t* const s_rgpwszDevices[] = {L"CON", L"PRN", L"AUX", L"NUL"};
    for (const wchar_t* pwszDevice : s_rgpwszDevices)
        if (cch == 3 && _wcsnicmp(pwszName, pwszDevice, 3) == 0)
            return true;
    bool bNumbered = cch == 4 && (_wcsnicmp(pwszName, L"COM", 3) == 0 || _wcsnicmp(pwszName, L"LPT", 3) == 0);
    return bNumbered && IsDeviceDigit(pwszName[3]);
}

// A base name is one part of a file name: no separator, no stream (":"), no
// climbing out of the PC folder ("..\"), nothing the file system would drop
// or turn into a device.
bool IsPlainNamePart(const wchar_t* pwszName)
{
    size_t cch = wcslen(pwszName);
    if (cch == 0 || IsDotPart(pwszName, pwszName + cch) || pwszName[cch - 1] == L'.' || pwszName[cch - 1] == L' ')
        return false;
    for (const wchar_t* p = pwszName; *p != L'\0'; ++p)
        if (IsSeparator(*p) || IsForbiddenInName(*p))
            return false;
    return !IsReservedDeviceName(pwszName);
}

} // namespace

const wchar_t* DestinationRefusal(const SendToFolderSettings& settings, const Delivery& delivery)
{
    if (settings.bFolderCut || settings.bBaseNameCut) {
        // Only the start of the value was read: it names some other place.
        TraceMsg(L"> The delivery path does not fit, nothing is delivered\r\n");
        return kRefusedTooLong;
    }
    if (!IsFullyQualifiedFolder(delivery.wszPCFolder)) {
        TraceMsg(L"> The destination folder is not a full path, nothing is delivered\r\n");
        return L"The destination folder is not a full path (X:\\... or \\\\server\\share\\...).";
    }
    if (delivery.wszBaseName[0] != L'\0' && !IsPlainNamePart(delivery.wszBaseName)) {
        TraceMsg(L"> The base file name is not a plain name, nothing is delivered\r\n");
        return L"The base file name is not a plain file name.";
    }
    return nullptr;
}

} // namespace delivery
