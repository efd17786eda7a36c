// Protected folders. Wine keeps no directory DACL as such (it maps it onto Unix
// mode bits), so the access list is proven on the descriptor we build; that this
// descriptor reaches the folder shows on read-back, where a folder made under it
// lacks the Everyone entry that a plain folder gets.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "discovery/identity.h"
#include "discovery/protected_folder.h"
#include "discovery/state.h"
#include "tests/support/test_support.h"

using testsupport::PathExists;
using testsupport::ScratchFolder;
using testsupport::TraceCapture;

namespace {

constexpr wchar_t kUserSidText[] = L"S-1-5-21-1111-2222-3333-1001";

struct OwnedSid {
    explicit OwnedSid(const wchar_t* pwszSid) { EXPECT_TRUE(ConvertStringSidToSidW(pwszSid, &pSid)); }
    ~OwnedSid() { LocalFree(pSid); }
    OwnedSid(const OwnedSid&) = delete;
    OwnedSid& operator=(const OwnedSid&) = delete;
    PSID pSid = nullptr;
};

std::wstring DaclAsSddl(PSECURITY_DESCRIPTOR pSd)
{
    LPWSTR pwsz = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(pSd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &pwsz, nullptr))
        return L"<none>";
    std::wstring text = pwsz;
    LocalFree(pwsz);
    return text;
}

// Entry texts "(type;flags;rights;;;trustee)" of an SDDL DACL, with the rights
// tokens sorted so that the order the converter writes them in does not matter.
std::vector<std::wstring> SddlEntries(const std::wstring& sddl)
{
    std::vector<std::wstring> entries;
    size_t pos = 0;
    while ((pos = sddl.find(L'(', pos)) != std::wstring::npos) {
        size_t end = sddl.find(L')', pos);
        std::wstring entry = sddl.substr(pos + 1, end - pos - 1);
        std::vector<std::wstring> fields;
        size_t start = 0, semi;
        while ((semi = entry.find(L';', start)) != std::wstring::npos) {
            fields.push_back(entry.substr(start, semi - start));
            start = semi + 1;
        }
        fields.push_back(entry.substr(start));
        if (fields.size() == 6 && fields[2].rfind(L"0x", 0) != 0) {
            std::vector<std::wstring> rights;
            for (size_t i = 0; i + 1 < fields[2].size(); i += 2)
                rights.push_back(fields[2].substr(i, 2));
            std::sort(rights.begin(), rights.end());
            fields[2].clear();
            for (const auto& r : rights)
                fields[2] += r;
        }
        std::wstring joined;
        for (size_t i = 0; i < fields.size(); ++i)
            joined += (i ? L";" : L"") + fields[i];
        entries.push_back(joined);
        pos = end;
    }
    return entries;
}

std::wstring ReadBackDacl(const std::wstring& path)
{
    std::vector<BYTE> buffer(8192);
    DWORD cbNeeded = 0;
    if (!GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, buffer.data(),
                          static_cast<DWORD>(buffer.size()), &cbNeeded))
        return L"<unreadable>";
    return DaclAsSddl(buffer.data());
}

bool GrantsEveryone(const std::wstring& path) { return ReadBackDacl(path).find(L";;;WD)") != std::wstring::npos; }

std::vector<BYTE> ExpectedAceBytes(const wchar_t* pwszSid, DWORD dwMask)
{
    OwnedSid sid(pwszSid);
    DWORD cbSid = GetLengthSid(sid.pSid);
    std::vector<BYTE> bytes(8 + cbSid);
    bytes[0] = 0; // access allowed
    bytes[1] = 3; // object and container inherit
    bytes[2] = static_cast<BYTE>(bytes.size() & 0xFF);
    bytes[3] = static_cast<BYTE>(bytes.size() >> 8);
    for (int i = 0; i < 4; ++i)
        bytes[4 + i] = static_cast<BYTE>(dwMask >> (8 * i));
    std::memcpy(bytes.data() + 8, sid.pSid, cbSid);
    return bytes;
}

std::vector<BYTE> AceBytes(PACL pAcl, DWORD index)
{
    void* pAce = nullptr;
    if (!GetAce(pAcl, index, &pAce))
        return {};
    const auto* pb = static_cast<const BYTE*>(pAce);
    WORD cb = static_cast<WORD>(pb[2] | (pb[3] << 8));
    return std::vector<BYTE>(pb, pb + cb);
}

void SetSidText(const wchar_t* pwszSid)
{
    size_t cb = (wcslen(pwszSid) + 1) * sizeof(wchar_t);
    auto* pwszCopy = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, cb));
    std::memcpy(pwszCopy, pwszSid, cb);
    SetUserSidText(pwszCopy);
}

class ProtectedFolder : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, InitUserIdentity()); }
    void TearDown() override { DiscardUserSidText(); }
    ScratchFolder m_scratch;
};

} // namespace

TEST(ProtectedDescriptorTest, Build_FourEntriesInOrder_ProtectedFromParentAndInheritable)
{
    OwnedSid user(kUserSidText);
    ProtectedDescriptor desc;
    ASSERT_EQ(S_OK, BuildProtectedDescriptor(user.pSid, desc));

    std::wstring sddl = DaclAsSddl(&desc.sd);
    EXPECT_EQ(0u, sddl.rfind(L"D:P(", 0)) << "protected DACL: " << std::string(sddl.begin(), sddl.end());
    std::vector<std::wstring> expected = {
        std::wstring(L"A;OICI;DTGRGWWP;;;") + kUserSidText, // read, write, traverse, delete child
        L"A;OICI;DTGRGWSD;;;BA",                             // read, write, delete, delete child
        L"A;OICI;DTGRGWSD;;;SY",
        L"A;OICI;DTGRGWSD;;;SU",
    };
    EXPECT_EQ(expected, SddlEntries(sddl)) << std::string(sddl.begin(), sddl.end());

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD dwRevision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(&desc.sd, &control, &dwRevision));
    EXPECT_EQ(1u, dwRevision);
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    EXPECT_TRUE(control & SE_DACL_PRESENT);
    EXPECT_FALSE(control & SE_DACL_DEFAULTED);
    EXPECT_FALSE(control & SE_SELF_RELATIVE) << "absolute descriptor";

    BOOL bPresent = FALSE, bDefaulted = TRUE;
    PACL pAcl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(&desc.sd, &bPresent, &pAcl, &bDefaulted));
    EXPECT_EQ(desc.pAcl.get(), pAcl);
    EXPECT_EQ(ACL_REVISION_DS, pAcl->AclRevision);
    EXPECT_EQ(2000u, pAcl->AclSize);
    EXPECT_EQ(4u, pAcl->AceCount);
}

TEST(ProtectedDescriptorTest, Build_EntriesAreLaidOutByteForByte)
{
    OwnedSid user(kUserSidText);
    ProtectedDescriptor desc;
    ASSERT_EQ(S_OK, BuildProtectedDescriptor(user.pSid, desc));
    auto* pAcl = static_cast<PACL>(desc.pAcl.get());

    EXPECT_EQ(ExpectedAceBytes(kUserSidText, 0xC0000060), AceBytes(pAcl, 0));
    EXPECT_EQ(ExpectedAceBytes(L"S-1-5-32-544", 0xC0010040), AceBytes(pAcl, 1));
    EXPECT_EQ(ExpectedAceBytes(L"S-1-5-18", 0xC0010040), AceBytes(pAcl, 2));
    EXPECT_EQ(ExpectedAceBytes(L"S-1-5-6", 0xC0010040), AceBytes(pAcl, 3));
    EXPECT_TRUE(AceBytes(pAcl, 4).empty());
}

TEST(ProtectedDescriptorTest, AppendAllowAce_AppendsAtEndAndFailsWhenFullOrInvalid)
{
    alignas(DWORD) BYTE aclBuffer[64] = {};
    auto* pAcl = reinterpret_cast<PACL>(aclBuffer);
    ASSERT_TRUE(InitializeAcl(pAcl, sizeof(aclBuffer), ACL_REVISION_DS));
    OwnedSid first(L"S-1-5-18");
    OwnedSid second(L"S-1-5-6");
    OwnedSid big(kUserSidText);

    EXPECT_EQ(S_OK, AppendAllowAce(pAcl, first.pSid, 0x11));
    EXPECT_EQ(S_OK, AppendAllowAce(pAcl, second.pSid, 0x22));
    EXPECT_EQ(ExpectedAceBytes(L"S-1-5-18", 0x11), AceBytes(pAcl, 0));
    EXPECT_EQ(ExpectedAceBytes(L"S-1-5-6", 0x22), AceBytes(pAcl, 1));

    TraceCapture trace;
    EXPECT_EQ(E_FAIL, AppendAllowAce(pAcl, big.pSid, 0x33)) << "does not fit in 64 bytes";
    EXPECT_TRUE(trace.ContainsFragment(L"AddAce failed: ")) << "the failing call is traced";
    EXPECT_EQ(2u, pAcl->AceCount);

    BYTE notASid[16] = {9, 9, 9};
    EXPECT_EQ(E_FAIL, AppendAllowAce(pAcl, notASid, 0x44));
    EXPECT_EQ(E_FAIL, AppendAllowAce(pAcl, nullptr, 0x44));
    EXPECT_EQ(2u, pAcl->AceCount);
}

TEST_F(ProtectedFolder, MissingParents_AllCreatedInOneCallUnderTheDescriptor)
{
    TraceCapture trace;
    std::wstring deep = m_scratch / L"a\\b\\c";
    ASSERT_EQ(S_OK, CreateProtectedFolder(deep.c_str()));
    EXPECT_TRUE(PathExists(deep));
    EXPECT_TRUE(GetFileAttributesW(deep.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(1u, trace.Count(L"Value of WinServiceSid:  12"));

    std::wstring plain = m_scratch / L"plain";
    testsupport::MakeFolder(plain);
    ASSERT_TRUE(GrantsEveryone(plain)) << "baseline: a folder made without a descriptor";
    EXPECT_FALSE(GrantsEveryone(deep)) << std::string(ReadBackDacl(deep).begin(), ReadBackDacl(deep).end());
    EXPECT_FALSE(GrantsEveryone(m_scratch / L"a")) << "a parent it made has the list from its creation too";
}

TEST_F(ProtectedFolder, ExistingFolder_RefusedAndLeftAsItIs)
{
    std::wstring existing = m_scratch / L"existing";
    testsupport::MakeFolder(existing);
    ASSERT_TRUE(GrantsEveryone(existing));
    testsupport::WriteFileBytes(existing + L"\\keep.bin", "data");

    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS), CreateProtectedFolder(existing.c_str()));
    EXPECT_TRUE(GrantsEveryone(existing)) << "a folder someone else made is not taken over";
    EXPECT_EQ("data", testsupport::ReadFileBytes(existing + L"\\keep.bin"));
}

TEST_F(ProtectedFolder, NoSidText_InvalidParameterAndNothingCreated)
{
    DiscardUserSidText();
    std::wstring path = m_scratch / L"never";
    EXPECT_EQ(static_cast<HRESULT>(0x80070057), CreateProtectedFolder(path.c_str()));
    EXPECT_FALSE(PathExists(path));
}

TEST_F(ProtectedFolder, UnconvertibleSidText_Win32ErrorAndNothingCreated)
{
    SetSidText(L"not a sid");
    std::wstring path = m_scratch / L"never";
    HRESULT hr = CreateProtectedFolder(path.c_str());
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(FACILITY_WIN32, HRESULT_FACILITY(hr)) << std::hex << hr;
    EXPECT_FALSE(PathExists(path));
}

TEST_F(ProtectedFolder, ParentIsAFile_FailsAsATakenName)
{
    std::wstring file = m_scratch / L"file.bin";
    testsupport::WriteFileBytes(file, "x");
    std::wstring path = file + L"\\sub";
    TraceCapture trace;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS), CreateProtectedFolder(path.c_str()));
    EXPECT_FALSE(GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(trace.ContainsFragment(L"CreateDirectoryW failed: "));
}
