// Delivery of a filed job's image to the PC folder its template names.
#include <gtest/gtest.h>

#include <algorithm>

#include "delivery/send_to_folder.h"
#include "tests/filing/filing_fixture.h"

using namespace filingtest;

namespace {

class Delivery : public FilingFixture {
protected:
    void SetUp() override
    {
        FilingFixture::SetUp();
        m_job = Docs(L"JOB.osm");
        m_pc = m_root / L"PC folder";
        testsupport::MakeFolder(m_job);
        testsupport::MakeFolder(m_pc);
        wchar_t wszTemp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, wszTemp);
        m_userTemp = wszTemp;
    }

    void TearDown() override
    {
        for (const std::wstring& name : m_staged)
            DeleteFileW((m_userTemp + name).c_str());
    }

    void WriteTemplate(const std::string& base, const std::string& extra = {})
    {
        // No base name is a template without a "PCBaseFileName" value.
        std::string baseLine = base.empty() ? std::string() : "PCBaseFileName \"" + base + "\"\n";
        WriteFileBytes(m_job + L"\\JOB.ost",
                       "Name \"scan to PC\"\nPCFolderPath \"" + Narrow(m_pc) + "\"\n" + baseLine + extra);
    }

    void PutImage(const std::wstring& name, const std::string& bytes = {})
    {
        WriteFileBytes(m_job + L"\\" + name, bytes.empty() ? Narrow(name) + " pixels" : bytes);
        m_staged.push_back(name);
    }

    // The delivery owns its argument: a heap copy, as the filing hands it over.
    // A name choice for the copy that never finds a free name fails the deadline.
    DWORD Deliver(const std::wstring& folder)
    {
        testsupport::HangDeadline deadline("the delivery", std::chrono::seconds(30));
        size_t cb = (folder.size() + 1) * sizeof(wchar_t);
        void* pv = HeapAlloc(GetProcessHeap(), 0, cb);
        memcpy(pv, folder.c_str(), cb);
        return SendToFolder(pv);
    }
    DWORD Deliver() { return Deliver(m_job); }

    bool Staged(const std::wstring& name) const { return PathExists(m_userTemp + name); }

    std::wstring m_job;
    std::wstring m_pc;
    std::wstring m_userTemp;
    std::vector<std::wstring> m_staged;
};

TEST_F(Delivery, JpgAndPdf_OnlyJpgUnderBaseNameAndTail_StagingRemoved)
{
    WriteTemplate("Invoice");
    PutImage(L"JOB_p1.jpg");
    PutImage(L"JOB.pdf");
    EXPECT_EQ(1u, Deliver());
    EXPECT_EQ(std::vector<std::wstring>{L"Invoice_p1.jpg"}, ListFolder(m_pc));
    EXPECT_EQ("JOB_p1.jpg pixels", ReadFileBytes(m_pc + L"\\Invoice_p1.jpg"));
    EXPECT_EQ("JOB_p1.jpg pixels", ReadFileBytes(m_job + L"\\JOB_p1.jpg")) << "the source stays";
    EXPECT_FALSE(Staged(L"JOB_p1.jpg")) << "the staging copy is removed after a delivery";
    EXPECT_TRUE(m_trace.Contains(L">  SendToFolder Enter  \r\n"));
    EXPECT_TRUE(m_trace.Contains(L"> Sending image to Destination folder.\r\n"));
    EXPECT_FALSE(m_trace.Contains(L"> Continue to search for other file formats\r\n"));
}

TEST_F(Delivery, SeveralJpgs_OnlyTheFirstTheSearchYields)
{
    WriteTemplate("Scan");
    PutImage(L"JOB_p1.jpg");
    PutImage(L"JOB_p2.jpg");
    PutImage(L"JOB_p3.jpg");
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW((m_job + L"\\*.JPG").c_str(), &fd);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFind);
    FindClose(hFind);
    std::wstring first = fd.cFileName;

    EXPECT_EQ(1u, Deliver());
    std::vector<std::wstring> delivered = ListFolder(m_pc);
    ASSERT_EQ(1u, delivered.size());
    EXPECT_EQ(L"Scan" + first.substr(3), delivered[0]);
    EXPECT_EQ(Narrow(first) + " pixels", ReadFileBytes(m_pc + L"\\" + delivered[0]));
}

TEST_F(Delivery, FormatsInOrder_BmpBeforeTifGifPdfXps)
{
    WriteTemplate("B");
    PutImage(L"JOB.xps");
    PutImage(L"JOB.gif");
    PutImage(L"JOB.tif");
    PutImage(L"JOB.bmp");
    EXPECT_EQ(1u, Deliver());
    EXPECT_EQ(std::vector<std::wstring>{L"B.bmp"}, ListFolder(m_pc));
    EXPECT_EQ(1u, m_trace.Count(L"> Continue to search for other file formats\r\n"));
}

TEST_F(Delivery, NoImage_EveryFormatTriedNothingCopiedResultOne)
{
    WriteTemplate("Invoice");
    PutImage(L"JOB.png");
    EXPECT_EQ(1u, Deliver());
    EXPECT_TRUE(ListFolder(m_pc).empty());
    EXPECT_EQ(6u, m_trace.Count(L"> Continue to search for other file formats\r\n"));
    EXPECT_TRUE(m_trace.Contains(L">  SendToFolder Exit  \r\n"));
}

TEST_F(Delivery, NoTemplate_OrDeliveryOff_NothingCopied)
{
    PutImage(L"JOB.jpg");
    EXPECT_EQ(1u, Deliver());
    EXPECT_TRUE(m_trace.Contains(L">  SendToFolder Exit  \r\n"));
    EXPECT_FALSE(m_trace.Contains(L"> Sending image to Destination folder.\r\n"));

    m_trace.Clear();
    WriteTemplate("Invoice", "PCPreview \"ON\"\n");
    EXPECT_EQ(1u, Deliver());
    EXPECT_TRUE(m_trace.Contains(
        L"> This image does not have the \"Send image directly to folder\" feature enabled \r\n"));
    EXPECT_TRUE(m_trace.Contains(L">  SendToFolder Exit  \r\n"));
    EXPECT_TRUE(ListFolder(m_pc).empty());
    EXPECT_FALSE(Staged(L"JOB.jpg"));
}

TEST_F(Delivery, EmptyBaseName_ImageKeepsItsName)
{
    WriteTemplate("");
    PutImage(L"JOB_p1_2026-1-2_3-4-5.tif");
    EXPECT_EQ(1u, Deliver());
    EXPECT_EQ(std::vector<std::wstring>{L"JOB_p1_2026-1-2_3-4-5.tif"}, ListFolder(m_pc));
    EXPECT_TRUE(m_trace.Contains(L"> This Template does not have a Base_File_Name\r\n"));
}

TEST_F(Delivery, ExistingDestination_KeptAndTheNewCopyNamedBesideIt)
{
    WriteTemplate("Invoice");
    PutImage(L"JOB_p1.jpg", "new scan");
    WriteFileBytes(m_pc + L"\\Invoice_p1.jpg", "earlier scan");
    WriteFileBytes(m_pc + L"\\Invoice_p1 (2).jpg", "earlier scan 2");
    EXPECT_EQ(1u, Deliver());
    EXPECT_EQ((std::vector<std::wstring>{L"Invoice_p1 (2).jpg", L"Invoice_p1 (3).jpg", L"Invoice_p1.jpg"}),
              ListFolder(m_pc));
    EXPECT_EQ("earlier scan", ReadFileBytes(m_pc + L"\\Invoice_p1.jpg"));
    EXPECT_EQ("earlier scan 2", ReadFileBytes(m_pc + L"\\Invoice_p1 (2).jpg"));
    EXPECT_EQ("new scan", ReadFileBytes(m_pc + L"\\Invoice_p1 (3).jpg"));
    EXPECT_FALSE(Staged(L"JOB_p1.jpg"));
}

TEST_F(Delivery, FirstAttemptFails_LaterFormatDeliveredWithItsOwnTail)
{
    WriteTemplate("Invoice");
    PutImage(L"JOB_p1.jpg");
    PutImage(L"JOB.pdf");
    DWORD dwResult = 2;
    {
        // An image nobody may read: neither the staging copy nor the direct copy works.
        bgt::UniqueFileHandle hHeld(CreateFileW((m_job + L"\\JOB_p1.jpg").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(hHeld);
        dwResult = Deliver();
    }
    EXPECT_EQ(0u, dwResult) << "a copy to the destination failed";
    EXPECT_EQ(std::vector<std::wstring>{L"Invoice.pdf"}, ListFolder(m_pc))
        << "no partial Invoice_p1.jpg left behind";
    EXPECT_EQ("JOB.pdf pixels", ReadFileBytes(m_pc + L"\\Invoice.pdf"));
    EXPECT_TRUE(m_trace.Contains(L"> Failed to copy the file to temp folder\r\n"));
    EXPECT_TRUE(m_trace.Contains(L"> Failed to copy the file to destination\r\n"));
    EXPECT_FALSE(Staged(L"JOB_p1.jpg"));
}

TEST_F(Delivery, StaleStagingFile_IsNeverSentInPlaceOfTheImage)
{
    WriteTemplate("Invoice");
    PutImage(L"JOB_p1.jpg");
    WriteFileBytes(m_userTemp + L"JOB_p1.jpg", "someone else's scan");
    {
        bgt::UniqueFileHandle hHeld(CreateFileW((m_job + L"\\JOB_p1.jpg").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(hHeld);
        EXPECT_EQ(0u, Deliver());
    }
    EXPECT_TRUE(ListFolder(m_pc).empty());
    EXPECT_EQ("someone else's scan", ReadFileBytes(m_userTemp + L"JOB_p1.jpg"));
}

TEST_F(Delivery, TempFolderUnavailable_StagedUnderBareNameInCurrentFolder)
{
    WriteTemplate("Invoice");
    PutImage(L"JOB_p1.jpg");
    std::wstring work = m_root / L"cwd";
    testsupport::MakeFolder(work);
    wchar_t wszOldDir[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, wszOldDir);
    wchar_t wszOldTmp[32767] = {};
    DWORD cchOldTmp = GetEnvironmentVariableW(L"TMP", wszOldTmp, ARRAYSIZE(wszOldTmp));
    ASSERT_TRUE(SetCurrentDirectoryW(work.c_str()));
    // A temporary folder whose path does not fit is as good as none.
    ASSERT_TRUE(SetEnvironmentVariableW(L"TMP", (L"C:\\" + std::wstring(300, L't')).c_str()));
    wchar_t wszProbe[MAX_PATH];
    DWORD cchProbe = GetTempPathW(MAX_PATH - 1, wszProbe);
    DWORD dwResult = Deliver();
    SetEnvironmentVariableW(L"TMP", cchOldTmp > 0 ? wszOldTmp : nullptr);
    SetCurrentDirectoryW(wszOldDir);

    ASSERT_TRUE(cchProbe == 0 || cchProbe >= MAX_PATH - 1) << "the override must make the temporary folder unusable";
    EXPECT_EQ(1u, dwResult);
    EXPECT_TRUE(m_trace.Contains(L"> Failed to get temp path\r\n"));
    EXPECT_EQ(std::vector<std::wstring>{L"Invoice_p1.jpg"}, ListFolder(m_pc));
    EXPECT_TRUE(ListFolder(work).empty()) << "the staging copy in the current folder is removed";
}

TEST_F(Delivery, PathsThatDoNotFit_DeliverySkipped)
{
    std::string longFolder = Narrow(m_pc) + "\\" + std::string(240, 'f');
    WriteFileBytes(m_job + L"\\JOB.ost", "PCFolderPath \"" + longFolder + "\"\nPCBaseFileName \"Invoice\"\n");
    PutImage(L"JOB_p1.jpg");
    Deliver();
    EXPECT_TRUE(m_trace.Contains(L"> The delivery path does not fit, nothing is delivered\r\n"));
    EXPECT_FALSE(Staged(L"JOB_p1.jpg"));
    EXPECT_TRUE(ListFolder(m_pc).empty());

    m_trace.Clear();
    WriteTemplate(std::string(250, 'b'));
    Deliver();
    EXPECT_TRUE(m_trace.Contains(L"> The delivery path does not fit, nothing is delivered\r\n"));
    EXPECT_TRUE(ListFolder(m_pc).empty());
}

TEST_F(Delivery, JobFolderPathTooLong_NothingRead)
{
    WriteTemplate("Invoice");
    PutImage(L"JOB.jpg");
    EXPECT_EQ(1u, Deliver(m_job + L"\\" + std::wstring(300, L'x')));
    EXPECT_TRUE(m_trace.Contains(L"> The delivery path does not fit, nothing is delivered\r\n"));
    EXPECT_TRUE(ListFolder(m_pc).empty());
}

TEST_F(Delivery, OnItsOwnThread_FreesItsArgumentAndGivesHandlesBack)
{
    WriteTemplate("Invoice");
    PutImage(L"JOB.jpg");
    size_t nBefore = testsupport::CountProcessHandles();
    size_t cb = (m_job.size() + 1) * sizeof(wchar_t);
    void* pv = HeapAlloc(GetProcessHeap(), 0, cb);
    memcpy(pv, m_job.c_str(), cb);
    bgt::UniqueHandle hThread(CreateThread(nullptr, 2048, SendToFolder, pv, 0, nullptr));
    ASSERT_TRUE(hThread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hThread.get(), 10000));
    DWORD dwExit = 2;
    GetExitCodeThread(hThread.get(), &dwExit);
    hThread.reset();
    EXPECT_EQ(1u, dwExit);
    EXPECT_EQ(std::vector<std::wstring>{L"Invoice.jpg"}, ListFolder(m_pc));
    EXPECT_EQ(nBefore, testsupport::CountProcessHandles()) << "searches and files closed";
}

} // namespace
