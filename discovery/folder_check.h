#pragma once
// The user's folders below the scanner's filing path, checked before they are
// used. On a shared PC every local user may create folders below the machine's
// common application data folder, so a folder of the user's name may have been
// made, or opened up, by another user first; such a folder is not used, since
// its owner could read, redirect or block the user's scans.
#include <windows.h>

#include <string>

struct DeviceInfo;

enum class FolderJudgement {
    Accepted,
    // Accepted, though other users have rights on it that it only inherits from
    // the machine's folders above (the installation's choice, not an attack).
    InheritedOpen,
    Refused,
};

struct FolderVerdict {
    FolderJudgement judgement = FolderJudgement::Accepted;
    std::wstring wstrOwner;  // the owner's account name, or its SID text
    std::wstring wstrFailed; // what failed (or, for InheritedOpen, who may write)
    // Refused because its security could not be read: held by another program
    // or out of reach for a moment, so looked at again at its next use.
    bool bUnread = false;
};

// Judges one folder's owner and access list for the user. bReparsePoint: the
// descriptor is that of a link to another place, not of a folder.
FolderVerdict JudgeFolderDescriptor(PSECURITY_DESCRIPTOR pSd, PSID pUserSid, bool bReparsePoint);

// Reads and judges one folder as it stands (a link itself, not what it points
// to). A folder that does not exist holds nothing to use: accepted, bExists false.
FolderVerdict CheckFolder(const wchar_t* pwszFolder, PSID pUserSid, bool& bExists);

// What the folders are about to be used for: the filing needs the user folder,
// TempImage and Documents; a template read needs the user folder and Templates.
enum class FolderUse { Filing, Templates };

// True when the folders the use needs were accepted. The verdict of a
// scanner's folders is kept for a minute; a folder that did not exist is looked
// at again at its next use. A refusal is written to the event log once, and
// rights inherited by a folder once per log-on.
bool UserFoldersUsable(const DeviceInfo* pDev, FolderUse use);

// Judges the scanner's folders now, however recent the last verdict (the start
// of its watch).
void CheckUserFoldersNow(const DeviceInfo* pDev);

// A template decides where the user's images go and which address the scanner
// sends them to: only one owned by the user, SYSTEM or the administrators is
// obeyed. Another owner's template is reported once, naming it.
bool TemplateOwnerAccepted(PSID pOwner, PSID pUserSid);
bool TemplateIsUsersOwn(const wchar_t* pwszTemplate);
