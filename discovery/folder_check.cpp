#include "discovery/folder_check.h"

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <map>
#include <set>
#include <vector>

#include "common/event_log.h"
#include "common/event_reports.h"
#include "common/owners.h"
#include "common/trace.h"
#include "discovery/state.h"

namespace {

constexpr ULONGLONG kVerdictKeptMs = 60000;
constexpr size_t kTemplatesRemembered = 64;

// Owners that stand above every user of the machine: SYSTEM, the
// administrators and TrustedInstaller.
constexpr const wchar_t* kMachineOwners[] = {
    L"S-1-5-18", L"S-1-5-32-544", L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};
// No ordinary user either: the local and network service accounts, the
// service group (the protected list admits it), and the placeholders for
// whoever creates or owns an entry, whose rights are those of that owner.
constexpr const wchar_t* kServiceIdentities[] = {L"S-1-5-19", L"S-1-5-20", L"S-1-5-6", L"S-1-3-0", L"S-1-3-4"};
constexpr const wchar_t* kTemplateOwners[] = {L"S-1-5-18", L"S-1-5-32-544"};

constexpr DWORD kWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | GENERIC_WRITE | GENERIC_ALL;
constexpr DWORD kDeleteRights = DELETE | FILE_DELETE_CHILD | GENERIC_ALL;
constexpr DWORD kControlRights = WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

constexpr DWORD kUserFolderBit = 1;
constexpr DWORD kTempFolderBit = 2;
constexpr DWORD kDocFolderBit = 4;
constexpr DWORD kTemplateFolderBit = 8;

std::wstring SidText(PSID pSid)
{
    LPWSTR pwszSid = nullptr;
    if (pSid == nullptr || !IsValidSid(pSid) || !ConvertSidToStringSidW(pSid, &pwszSid))
        return L"(no valid SID)";
    bgt::UniqueLocalMem owned(pwszSid);
    return pwszSid;
}

template <size_t N>
bool SidIn(PSID pSid, const wchar_t* const (&rgpwszSids)[N])
{
    const std::wstring wstrSid = SidText(pSid);
    for (const wchar_t* pwszSid : rgpwszSids) {
        if (wstrSid == pwszSid)
            return true;
    }
    return false;
}

bool IsUser(PSID pSid, PSID pUserSid) { return IsValidSid(pSid) && EqualSid(pSid, pUserSid); }

bool OwnerAccepted(PSID pOwner, PSID pUserSid) { return IsUser(pOwner, pUserSid) || SidIn(pOwner, kMachineOwners); }

bool IsOrdinary(PSID pSid, PSID pUserSid) { return !OwnerAccepted(pSid, pUserSid) && !SidIn(pSid, kServiceIdentities); }

// "PC\name (S-1-5-21-...)", or the SID text alone when the account is unknown.
std::wstring AccountText(PSID pSid)
{
    wchar_t wszName[256] = {};
    wchar_t wszDomain[256] = {};
    DWORD cchName = ARRAYSIZE(wszName);
    DWORD cchDomain = ARRAYSIZE(wszDomain);
    SID_NAME_USE use;
    std::wstring wstrSid = SidText(pSid);
    if (!IsValidSid(pSid) || !LookupAccountSidW(nullptr, pSid, wszName, &cchName, wszDomain, &cchDomain, &use))
        return wstrSid;
    std::wstring wstrAccount = wszDomain[0] != L'\0' ? std::wstring(wszDomain) + L"\\" + wszName : wszName;
    return wstrAccount + L" (" + wstrSid + L")";
}

std::wstring RightsText(DWORD dwMask)
{
    std::wstring wstrRights;
    auto add = [&](DWORD dwRights, const wchar_t* pwszText) {
        if ((dwMask & dwRights) == 0)
            return;
        wstrRights += wstrRights.empty() ? L"" : L", ";
        wstrRights += pwszText;
    };
    add(kWriteRights, L"write into it");
    add(kDeleteRights, L"delete from it");
    add(kControlRights, L"change its access list or owner");
    return wstrRights;
}

// The mask and trustee of an entry that grants rights; false for any other.
bool AllowedEntry(const void* pvAce, DWORD& dwMask, PSID& pSid)
{
    const auto* pHeader = static_cast<const ACE_HEADER*>(pvAce);
    if (pHeader->AceType == ACCESS_ALLOWED_ACE_TYPE || pHeader->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
        const auto* pAce = static_cast<const ACCESS_ALLOWED_ACE*>(pvAce);
        dwMask = pAce->Mask;
        pSid = const_cast<DWORD*>(&pAce->SidStart);
        return true;
    }
    if (pHeader->AceType != ACCESS_ALLOWED_OBJECT_ACE_TYPE &&
        pHeader->AceType != ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE)
        return false;
    // The two GUIDs stand before the SID only when their flags say so.
    const auto* pAce = static_cast<const ACCESS_ALLOWED_OBJECT_ACE*>(pvAce);
    const BYTE* pbSid = reinterpret_cast<const BYTE*>(&pAce->ObjectType);
    pbSid += (pAce->Flags & ACE_OBJECT_TYPE_PRESENT) != 0 ? sizeof(GUID) : 0;
    pbSid += (pAce->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0 ? sizeof(GUID) : 0;
    dwMask = pAce->Mask;
    pSid = const_cast<BYTE*>(pbSid);
    return true;
}

FolderVerdict Refused(FolderVerdict verdict, const std::wstring& wstrFailed)
{
    verdict.judgement = FolderJudgement::Refused;
    verdict.wstrFailed = wstrFailed;
    return verdict;
}

// The folder's own or inherited security, read through a handle to the entry
// itself (a link is not followed).
DWORD ReadSecurity(const wchar_t* pwszPath, DWORD dwFlags, SECURITY_INFORMATION si, bgt::UniqueLocalMem& sd,
                   DWORD& dwAttributes)
{
    bgt::UniqueFileHandle hEntry(CreateFileW(pwszPath, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | dwFlags, nullptr));
    if (!hEntry)
        return GetLastError();
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(hEntry.get(), &info))
        return GetLastError();
    dwAttributes = info.dwFileAttributes;
    PSECURITY_DESCRIPTOR pSd = nullptr;
    DWORD dwError = GetSecurityInfo(hEntry.get(), SE_FILE_OBJECT, si, nullptr, nullptr, nullptr, nullptr, &pSd);
    sd.reset(pSd);
    return dwError;
}

// The user whose folders these are: the task runs as that user.
class TaskUser {
public:
    TaskUser()
    {
        HANDLE hToken = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken))
            return;
        bgt::UniqueHandle token(hToken);
        DWORD cbNeeded = 0;
        GetTokenInformation(hToken, TokenUser, nullptr, 0, &cbNeeded);
        m_buffer.resize(cbNeeded);
        if (cbNeeded == 0 || !GetTokenInformation(hToken, TokenUser, m_buffer.data(), cbNeeded, &cbNeeded))
            m_buffer.clear();
    }
    PSID Sid() const
    {
        return m_buffer.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(m_buffer.data())->User.Sid;
    }

private:
    std::vector<BYTE> m_buffer;
};

// The verdict on one scanner's folders: which were refused, which did not exist.
struct KeptVerdict {
    ULONGLONG ullCheckedAt = 0;
    DWORD dwRefused = 0;
    DWORD dwMissing = 0;
    DWORD dwUnread = 0;
};

// Verdicts by user folder (scanners that share a filing path share them), and
// what has been reported, so that each refusal is written once.
class VerdictStore {
public:
    bool Find(const std::wstring& wstrUserFolder, KeptVerdict& kept)
    {
        AcquireSRWLockShared(&m_lock);
        auto it = m_verdicts.find(wstrUserFolder);
        bool bFound = it != m_verdicts.end();
        if (bFound)
            kept = it->second;
        ReleaseSRWLockShared(&m_lock);
        return bFound;
    }
    void Keep(const std::wstring& wstrUserFolder, const KeptVerdict& kept)
    {
        AcquireSRWLockExclusive(&m_lock);
        m_verdicts[wstrUserFolder] = kept;
        ReleaseSRWLockExclusive(&m_lock);
    }
    // True when this refusal of the folder has not been reported yet; an
    // accepted folder forgets its refusal, so that a new one is reported again.
    bool FirstNews(const std::wstring& wstrFolder, const FolderVerdict& verdict)
    {
        AcquireSRWLockExclusive(&m_lock);
        bool bNews = false;
        if (verdict.judgement != FolderJudgement::Refused) {
            m_reported.erase(wstrFolder);
        } else {
            std::wstring& wstrLast = m_reported[wstrFolder];
            bNews = wstrLast != verdict.wstrOwner + verdict.wstrFailed;
            wstrLast = verdict.wstrOwner + verdict.wstrFailed;
        }
        ReleaseSRWLockExclusive(&m_lock);
        return bNews;
    }
    bool FirstTemplateNews(const std::wstring& wstrTemplate)
    {
        AcquireSRWLockExclusive(&m_lock);
        bool bNews = m_templates.size() < kTemplatesRemembered && m_templates.insert(wstrTemplate).second;
        ReleaseSRWLockExclusive(&m_lock);
        return bNews;
    }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
    std::map<std::wstring, KeptVerdict> m_verdicts;
    std::map<std::wstring, std::wstring> m_reported;
    std::set<std::wstring> m_templates;
};

VerdictStore& Store()
{
    static VerdictStore store;
    return store;
}

// One warning per log-on: the installation opened the folders above to every
// user, and saying so at every scan would bury everything else.
std::atomic<bool> g_bInheritedReported{false};

void NoteVerdict(const wchar_t* pwszFolder, const FolderVerdict& verdict)
{
    if (Store().FirstNews(pwszFolder, verdict) && verdict.judgement == FolderJudgement::Refused) {
        TraceMsg(L"  > The folder %s is not used: %s\r\n", pwszFolder, verdict.wstrFailed.c_str());
        ReportFolderRefused(pwszFolder, verdict.wstrOwner.c_str(), verdict.wstrFailed.c_str());
    }
    if (verdict.judgement == FolderJudgement::InheritedOpen && !g_bInheritedReported.exchange(true))
        ReportFolderRightsInherited(pwszFolder, verdict.wstrFailed.c_str());
}

KeptVerdict JudgeUserFolders(const DeviceInfo* pDev)
{
    struct UserFolder {
        DWORD dwBit;
        const wchar_t* pwszPath;
    };
    const UserFolder rgFolders[] = {{kUserFolderBit, pDev->szUserFolder},
                                    {kTempFolderBit, pDev->szTempFolder},
                                    {kDocFolderBit, pDev->szDocFolder},
                                    {kTemplateFolderBit, pDev->szTemplateFolder}};
    KeptVerdict kept;
    kept.ullCheckedAt = GetTickCount64();
    const TaskUser user;
    for (const UserFolder& folder : rgFolders) {
        if (user.Sid() == nullptr) {
            // Without knowing whose task this is, no folder can be called the user's.
            TraceMsg(L"  > The task's user cannot be read: %d\r\n", GetLastError());
            kept.dwRefused |= folder.dwBit;
            continue;
        }
        bool bExists = false;
        FolderVerdict verdict = CheckFolder(folder.pwszPath, user.Sid(), bExists);
        kept.dwMissing |= bExists ? 0 : folder.dwBit;
        kept.dwUnread |= verdict.bUnread ? folder.dwBit : 0;
        kept.dwRefused |= verdict.judgement == FolderJudgement::Refused ? folder.dwBit : 0;
        NoteVerdict(folder.pwszPath, verdict);
    }
    Store().Keep(pDev->szUserFolder, kept);
    return kept;
}

DWORD FoldersFor(FolderUse use)
{
    return use == FolderUse::Filing ? kUserFolderBit | kTempFolderBit | kDocFolderBit
                                    : kUserFolderBit | kTemplateFolderBit;
}

} // namespace

FolderVerdict JudgeFolderDescriptor(PSECURITY_DESCRIPTOR pSd, PSID pUserSid, bool bReparsePoint)
{
    FolderVerdict verdict;
    PSID pOwner = nullptr;
    BOOL bDefaulted = FALSE;
    if (!GetSecurityDescriptorOwner(pSd, &pOwner, &bDefaulted) || pOwner == nullptr)
        return Refused(verdict, L"it has no owner");
    if (!OwnerAccepted(pOwner, pUserSid)) {
        verdict.wstrOwner = AccountText(pOwner);
        return Refused(verdict, bReparsePoint ? L"it is a link to another place (a reparse point) made by another user"
                                              : L"it belongs to another user");
    }
    BOOL bPresent = FALSE;
    PACL pAcl = nullptr;
    if (!GetSecurityDescriptorDacl(pSd, &bPresent, &pAcl, &bDefaulted) || !bPresent || pAcl == nullptr) {
        verdict.wstrOwner = AccountText(pOwner);
        return Refused(verdict, L"it has no access list, so every user may write into it and change it");
    }
    for (DWORD i = 0; i < pAcl->AceCount; ++i) {
        void* pvAce = nullptr;
        DWORD dwMask = 0;
        PSID pSid = nullptr;
        if (!GetAce(pAcl, i, &pvAce) || !AllowedEntry(pvAce, dwMask, pSid))
            continue;
        if ((dwMask & (kWriteRights | kDeleteRights | kControlRights)) == 0 || !IsOrdinary(pSid, pUserSid))
            continue;
        const std::wstring wstrWho = AccountText(pSid) + L" may " + RightsText(dwMask);
        verdict.wstrOwner = AccountText(pOwner);
        if ((static_cast<const ACE_HEADER*>(pvAce)->AceFlags & INHERITED_ACE) == 0)
            return Refused(verdict, L"an access entry of its own says: " + wstrWho);
        if (verdict.judgement == FolderJudgement::Accepted) {
            verdict.judgement = FolderJudgement::InheritedOpen;
            verdict.wstrFailed = wstrWho;
        }
    }
    return verdict;
}

FolderVerdict CheckFolder(const wchar_t* pwszFolder, PSID pUserSid, bool& bExists)
{
    bExists = false;
    // A path that did not fit is used for nothing.
    if (pwszFolder[0] == L'\0')
        return FolderVerdict{};
    bgt::UniqueLocalMem sd;
    DWORD dwAttributes = 0;
    DWORD dwError = ReadSecurity(pwszFolder, FILE_FLAG_OPEN_REPARSE_POINT,
                                 OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, sd, dwAttributes);
    if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND)
        return FolderVerdict{};
    bExists = true;
    if (dwError != ERROR_SUCCESS) {
        FolderVerdict unread;
        unread.bUnread = true;
        return Refused(unread, L"its owner and access list cannot be read: " + DescribeSystemError(dwError));
    }
    return JudgeFolderDescriptor(sd.get(), pUserSid, (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
}

bool UserFoldersUsable(const DeviceInfo* pDev, FolderUse use)
{
    const DWORD dwNeeded = FoldersFor(use);
    KeptVerdict kept;
    // A folder that was missing may have been made since, by anyone; a refusal
    // stands for its minute all the same, unless only a read failed.
    const bool bFound = Store().Find(pDev->szUserFolder, kept);
    const bool bRefused = (kept.dwRefused & ~kept.dwUnread & dwNeeded) != 0;
    if (!bFound || GetTickCount64() - kept.ullCheckedAt >= kVerdictKeptMs ||
        (!bRefused && ((kept.dwMissing | kept.dwUnread) & dwNeeded) != 0))
        kept = JudgeUserFolders(pDev);
    return (kept.dwRefused & dwNeeded) == 0;
}

void CheckUserFoldersNow(const DeviceInfo* pDev) { JudgeUserFolders(pDev); }

bool TemplateOwnerAccepted(PSID pOwner, PSID pUserSid)
{
    return pOwner != nullptr && (IsUser(pOwner, pUserSid) || SidIn(pOwner, kTemplateOwners));
}

bool TemplateIsUsersOwn(const wchar_t* pwszTemplate)
{
    bgt::UniqueLocalMem sd;
    DWORD dwAttributes = 0;
    DWORD dwError = ReadSecurity(pwszTemplate, 0, OWNER_SECURITY_INFORMATION, sd, dwAttributes);
    PSID pOwner = nullptr;
    BOOL bDefaulted = FALSE;
    if (dwError == ERROR_SUCCESS && !GetSecurityDescriptorOwner(sd.get(), &pOwner, &bDefaulted))
        pOwner = nullptr;
    const TaskUser user;
    if (user.Sid() != nullptr && TemplateOwnerAccepted(pOwner, user.Sid()))
        return true;
    const std::wstring wstrOwner =
        pOwner != nullptr ? AccountText(pOwner) : L"(cannot be read: " + DescribeSystemError(dwError) + L")";
    TraceMsg(L"  > The template %s is not the user's own, it is ignored\r\n", pwszTemplate);
    if (Store().FirstTemplateNews(pwszTemplate))
        ReportTemplateIgnored(pwszTemplate, wstrOwner.c_str());
    return false;
}
