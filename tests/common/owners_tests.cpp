#include <gtest/gtest.h>

#include "common/owners.h"
#include "tests/support/test_support.h"

using namespace bgt;

TEST(Owners, EveryKindGivesItsHandleBackAndKeepsTheLastError)
{
    testsupport::ScratchFolder folder;
    size_t before = testsupport::CountProcessHandles();
    ASSERT_GT(before, 0u) << "the handle counter must see this process";
    {
        UniqueHandle hEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        UniqueFileHandle hFile(CreateFileW((folder / L"f").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                                           nullptr));
        UniqueHKey hKey;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, hKey.put()));
        WIN32_FIND_DATAW fd;
        UniqueFindHandle hFind(FindFirstFileW((folder / L"*").c_str(), &fd));
        ASSERT_TRUE(hEvent && hFile && hKey && hFind);
        EXPECT_GE(testsupport::CountProcessHandles(), before + 3);

        SetLastError(ERROR_FILE_NOT_FOUND);
        hEvent.reset();
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    }
    EXPECT_EQ(before, testsupport::CountProcessHandles());
}

TEST(Owners, MoveTransfersOwnershipOnce)
{
    size_t before = testsupport::CountProcessHandles();
    {
        UniqueHandle a(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        UniqueHandle b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_TRUE(b);
        UniqueHandle c;
        c = std::move(b);
        EXPECT_TRUE(c);
        HANDLE raw = c.release();
        EXPECT_FALSE(c);
        CloseHandle(raw);
    }
    EXPECT_EQ(before, testsupport::CountProcessHandles());
}

namespace {
struct Counted : IUnknown {
    LONG refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
};
} // namespace

TEST(Owners, ComPtrPutReleasesWhatItHeld)
{
    Counted first, second;
    ComPtr<IUnknown> p;
    *p.put() = &first;
    *p.put() = &second;
    EXPECT_EQ(0, first.refs);
    EXPECT_EQ(1, second.refs);
    EXPECT_EQ(0u, p.reset());
    EXPECT_EQ(0, second.refs);
    EXPECT_EQ(0u, p.reset()) << "an empty pointer releases nothing";
}
