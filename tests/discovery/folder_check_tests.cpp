// The user's folders checked before use. Wine keeps no owner or access list of
// another user on a folder (it rebuilds both from the Unix owner and mode), so
// the judgement is proven on descriptors written as SDDL, and on real folders
// only for what Wine shows: a plain folder, a missing one, one that cannot be read.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <string>

#include "common/event_messages.h"
#include "common/owners.h"
#include "discovery/folder_check.h"
#include "discovery/identity.h"
#include "discovery/state.h"
#include "tests/support/event_capture.h"
#include "tests/support/test_support.h"
#include "watcher/filing_parts.h"

using testsupport::EventCapture;
using testsupport::ScratchFolder;

namespace {

#define USER L"S-1-5-21-1111-2222-3333-1001"
#define OTHER L"S-1-5-21-1111-2222-3333-1002"
#define TRUSTED_INSTALLER L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"

struct DescriptorRow {
    const char* pszCase;
    const wchar_t* pwszSddl;
    bool bReparsePoint;
    FolderJudgement expected;
    const wchar_t* pwszFailed; // a fragment of what failed (or, inherited, of who may write)
};

const DescriptorRow kRows[] = {
    // Accepted: the owners that stand above every user, the lists the driver and the task make.
    {"driver's list", L"O:" USER L"D:P(A;OICI;FA;;;" USER L")(A;OICI;FA;;;BA)", false, FolderJudgement::Accepted, L""},
    {"protected list", L"O:" USER L"D:P(A;OICI;0xC0000060;;;" USER L")(A;OICI;0xC0010040;;;BA)(A;OICI;0xC0010040;;;SY)"
                       L"(A;OICI;0xC0010040;;;SU)", false, FolderJudgement::Accepted, L""},
    {"Wine's plain folder", L"O:" USER L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" USER L")(A;OICI;0x1200a9;;;WD)", false,
     FolderJudgement::Accepted, L""},
    {"owned by the administrators", L"O:BAD:(A;OICI;FA;;;BA)", false, FolderJudgement::Accepted, L""},
    {"owned by SYSTEM", L"O:SYD:(A;OICI;FA;;;SY)", false, FolderJudgement::Accepted, L""},
    {"owned by TrustedInstaller", L"O:" TRUSTED_INSTALLER L"D:(A;;FA;;;" TRUSTED_INSTALLER L")", false,
     FolderJudgement::Accepted, L""},
    {"others may read", L"O:" USER L"D:(A;;FA;;;" USER L")(A;;FR;;;" OTHER L")(A;;FRFX;;;BU)", false,
     FolderJudgement::Accepted, L""},
    {"others denied", L"O:" USER L"D:(D;;FA;;;" OTHER L")(A;;FA;;;" USER L")", false, FolderJudgement::Accepted, L""},
    {"creator owner", L"O:" USER L"D:(A;;FA;;;" USER L")(A;OICIIO;GA;;;CO)", false, FolderJudgement::Accepted, L""},
    {"the user's own link", L"O:" USER L"D:(A;;FA;;;" USER L")", true, FolderJudgement::Accepted, L""},
    // Accepted with the warning: rights others only inherit from the folders above.
    {"inherited create", L"O:" USER L"D:AI(A;;FA;;;" USER L")(A;CIID;0x6;;;BU)(A;OICIID;FRFX;;;BU)", false,
     FolderJudgement::InheritedOpen, L"may write into it"},
    // Refused: another owner.
    {"another user's", L"O:" OTHER L"D:P(A;OICI;FA;;;" USER L")", false, FolderJudgement::Refused,
     L"belongs to another user"},
    {"owned by Users", L"O:BUD:(A;;FA;;;" USER L")", false, FolderJudgement::Refused, L"belongs to another user"},
    {"another user's link", L"O:" OTHER L"D:(A;;FA;;;" USER L")", true, FolderJudgement::Refused, L"reparse point"},
    {"no owner", L"D:(A;;FA;;;" USER L")", false, FolderJudgement::Refused, L"no owner"},
    // Refused: an entry of its own lets others in.
    {"others add files", L"O:" USER L"D:(A;;FA;;;" USER L")(A;;0x2;;;" OTHER L")", false, FolderJudgement::Refused,
     L"may write into it"},
    {"Users add folders", L"O:" USER L"D:(A;;0x4;;;BU)", false, FolderJudgement::Refused, L"may write into it"},
    {"generic write", L"O:" USER L"D:(A;;GW;;;" OTHER L")", false, FolderJudgement::Refused, L"may write into it"},
    {"Everyone deletes", L"O:" USER L"D:(A;;SD;;;WD)", false, FolderJudgement::Refused, L"may delete from it"},
    {"delete child", L"O:" USER L"D:(A;;0x40;;;AU)", false, FolderJudgement::Refused, L"may delete from it"},
    {"write the list", L"O:" USER L"D:(A;;WD;;;" OTHER L")", false, FolderJudgement::Refused,
     L"may change its access list or owner"},
    {"take ownership", L"O:" USER L"D:(A;;WO;;;" OTHER L")", false, FolderJudgement::Refused,
     L"may change its access list or owner"},
    {"full control on what it holds", L"O:" USER L"D:(A;OICIIO;GA;;;" OTHER L")", false, FolderJudgement::Refused,
     L"write into it, delete from it, change its access list or owner"},
    {"inherited and explicit", L"O:" USER L"D:(A;CIID;0x6;;;BU)(A;;0x2;;;" OTHER L")", false,
     FolderJudgement::Refused, OTHER L" may write into it"},
    {"no list", L"O:" USER, false, FolderJudgement::Refused, L"no access list"},
};

struct OwnedDescriptor {
    explicit OwnedDescriptor(const wchar_t* pwszSddl)
    {
        PSECURITY_DESCRIPTOR pSd = nullptr;
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(pwszSddl, SDDL_REVISION_1, &pSd, nullptr))
            << GetLastError();
        sd.reset(pSd);
    }
    bgt::UniqueLocalMem sd;
};

PSID SidOf(const wchar_t* pwszSid, bgt::UniqueLocalMem& owner)
{
    PSID pSid = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidW(pwszSid, &pSid));
    owner.reset(pSid);
    return pSid;
}

std::wstring ProcessUserSidText()
{
    HANDLE hToken = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken);
    bgt::UniqueHandle token(hToken);
    BYTE buffer[256] = {};
    DWORD cb = 0;
    LPWSTR pwsz = nullptr;
    if (!GetTokenInformation(hToken, TokenUser, buffer, sizeof(buffer), &cb) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &pwsz))
        return L"";
    bgt::UniqueLocalMem owned(pwsz);
    return pwsz;
}

void SetFolders(DeviceInfo& device, const std::wstring& user, const wchar_t* pwszDocName)
{
    wcscpy_s(device.szUserFolder, user.c_str());
    wcscpy_s(device.szTempFolder, (user + L"\\TempImage").c_str());
    wcscpy_s(device.szDocFolder, (user + L"\\" + pwszDocName).c_str());
    wcscpy_s(device.szTemplateFolder, (user + L"\\Templates").c_str());
}

} // namespace

TEST(FolderCheck, Descriptors_OwnerEntriesAndLinks_EachAcceptedOrRefused)
{
    bgt::UniqueLocalMem userOwner;
    PSID pUser = SidOf(USER, userOwner);
    for (const DescriptorRow& row : kRows) {
        SCOPED_TRACE(row.pszCase);
        OwnedDescriptor desc(row.pwszSddl);
        FolderVerdict verdict = JudgeFolderDescriptor(desc.sd.get(), pUser, row.bReparsePoint);
        EXPECT_EQ(row.expected, verdict.judgement);
        EXPECT_NE(std::wstring::npos, verdict.wstrFailed.find(row.pwszFailed)) << verdict.wstrFailed.c_str();
        EXPECT_EQ(row.expected == FolderJudgement::Accepted, verdict.wstrFailed.empty()) << verdict.wstrFailed.c_str();
    }
    OwnedDescriptor squatted(L"O:" OTHER L"D:(A;;FA;;;" OTHER L")");
    EXPECT_NE(std::wstring::npos, JudgeFolderDescriptor(squatted.sd.get(), pUser, false).wstrOwner.find(OTHER))
        << "the event names the owner";
}

TEST(FolderCheck, TemplateOwners_OnlyTheUserSystemAndTheAdministrators)
{
    bgt::UniqueLocalMem userOwner, otherOwner;
    PSID pUser = SidOf(USER, userOwner);
    for (const wchar_t* pwszOwner : {USER, L"S-1-5-18", L"S-1-5-32-544"}) {
        bgt::UniqueLocalMem owner;
        EXPECT_TRUE(TemplateOwnerAccepted(SidOf(pwszOwner, owner), pUser)) << pwszOwner;
    }
    for (const wchar_t* pwszOwner : {OTHER, TRUSTED_INSTALLER, L"S-1-5-32-545", L"S-1-1-0"}) {
        bgt::UniqueLocalMem owner;
        EXPECT_FALSE(TemplateOwnerAccepted(SidOf(pwszOwner, owner), pUser)) << pwszOwner;
    }
    EXPECT_FALSE(TemplateOwnerAccepted(nullptr, pUser));
}

TEST(FolderCheck, RealFolders_PlainAcceptedSilently_UnreadableRefusedAndReportedOnce)
{
    ScratchFolder scratch;
    EventCapture events;
    bgt::UniqueLocalMem userOwner;
    PSID pUser = SidOf(ProcessUserSidText().c_str(), userOwner);
    bool bExists = false;
    EXPECT_EQ(FolderJudgement::Accepted, CheckFolder(scratch.Path().c_str(), pUser, bExists).judgement);
    EXPECT_TRUE(bExists);
    EXPECT_EQ(FolderJudgement::Accepted, CheckFolder((scratch / L"missing").c_str(), pUser, bExists).judgement);
    EXPECT_FALSE(bExists);

    DeviceInfo plain = {};
    SetFolders(plain, scratch / L"plain", L"Documents");
    for (const wchar_t* pwszFolder : {plain.szUserFolder, plain.szTempFolder, plain.szDocFolder})
        testsupport::MakeFolder(pwszFolder);
    CheckUserFoldersNow(&plain);
    EXPECT_TRUE(UserFoldersUsable(&plain, FolderUse::Filing));
    EXPECT_TRUE(UserFoldersUsable(&plain, FolderUse::Templates)) << "Templates is missing: nothing to refuse";

    // A Documents folder whose security cannot be read (here: a name no file
    // system takes) is not used for filing; the templates are still read.
    DeviceInfo unreadable = {};
    SetFolders(unreadable, scratch / L"unreadable", L"Doc|uments");
    testsupport::MakeFolder(unreadable.szUserFolder);
    CheckUserFoldersNow(&unreadable);
    EXPECT_FALSE(UserFoldersUsable(&unreadable, FolderUse::Filing));
    EXPECT_TRUE(UserFoldersUsable(&unreadable, FolderUse::Templates));
    CheckUserFoldersNow(&unreadable);
    auto refused = EventCapture::Of(BGT_EVENT_FOLDER_REFUSED);
    ASSERT_EQ(1u, refused.size()) << "the same refusal is written once";
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, refused[0].wType);
    EXPECT_EQ(unreadable.szDocFolder, refused[0].strings[0]);
    EXPECT_NE(std::wstring::npos, refused[0].strings[2].find(L"cannot be read"));
    EXPECT_EQ(1u, EventCapture::Take().size()) << "the plain folders wrote nothing";
    // A folder that could not be read is looked at again at its next use.
    wcscpy_s(unreadable.szDocFolder, plain.szDocFolder);
    EXPECT_TRUE(UserFoldersUsable(&unreadable, FolderUse::Filing));

    // The ordinary template is the user's; one whose owner cannot be read is
    // ignored, and named once.
    testsupport::WriteFileBytes(scratch / L"mine.ost", "RepositoryName=\"1.2.3.4\"");
    EXPECT_TRUE(TemplateIsUsersOwn((scratch / L"mine.ost").c_str()));
    EXPECT_FALSE(TemplateIsUsersOwn((scratch / L"gone.ost").c_str()));
    EXPECT_FALSE(TemplateIsUsersOwn((scratch / L"gone.ost").c_str()));
    auto ignored = EventCapture::Of(BGT_EVENT_TEMPLATE_IGNORED);
    ASSERT_EQ(1u, ignored.size());
    EXPECT_EQ(scratch / L"gone.ost", ignored[0].strings[0]);
}

TEST(FolderCheck, JobAndLockFolders_NewOrNotAtAll)
{
    ScratchFolder scratch;
    ASSERT_EQ(S_OK, InitUserIdentity());
    std::wstring job = scratch / L"A.osm";
    std::wstring lock = scratch / L"A.lck";
    EXPECT_TRUE(filing::CreateJobFolder(job.c_str()));
    EXPECT_TRUE(filing::CreateLockFolder(lock.c_str()));
    SetLastError(0);
    EXPECT_FALSE(filing::CreateJobFolder(job.c_str())) << "a name that exists is never taken for a new job";
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_FALSE(filing::CreateLockFolder(lock.c_str()));
    DiscardUserSidText();
}
