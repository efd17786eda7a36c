// Delivery of a filed job's image to the PC folder its template names.
#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "delivery/send_to_folder.h"
#include "tests/reliability/fault_injection.h"
#include "tests/filing/filing_fixture.h"
#include "tests/support/event_capture.h"

using namespace filingtest;
using testsupport::EventCapture;

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
            for (const std::wstring& staged : StagedAs(name))
                DeleteFileW((m_userTemp + staged).c_str());
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

    // Staging copies of the image in the user's temporary folder: its own name,
    // or the image's name with a delivery's mark ("<name>.<thread>-<n>.tmp").
    std::vector<std::wstring> StagedAs(const std::wstring& name) const
    {
        std::vector<std::wstring> staged;
        for (const std::wstring& entry : ListFolder(m_userTemp))
            if (entry == name || (entry.rfind(name + L".", 0) == 0 && entry.size() > 4 &&
                                  entry.substr(entry.size() - 4) == L".tmp"))
                staged.push_back(entry);
        return staged;
    }
    bool Staged(const std::wstring& name) const { return !StagedAs(name).empty(); }

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

    // A name with several dots keeps its whole stem: only the last dot starts
    // the extension.
    DeleteFileW((m_job + L"\\JOB_p1.jpg").c_str());
    WriteTemplate("");
    PutImage(L"a.b.jpg", "dotted scan");
    WriteFileBytes(m_pc + L"\\a.b.jpg", "earlier dotted scan");
    EXPECT_EQ(1u, Deliver());
    EXPECT_EQ("dotted scan", ReadFileBytes(m_pc + L"\\a.b (2).jpg"));
    EXPECT_EQ("earlier dotted scan", ReadFileBytes(m_pc + L"\\a.b.jpg"));
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

// What the delivery creates, and whether it lets go of its argument.
struct DeliveryCalls {
    decltype(&CreateFileW) pfnCreateFile = nullptr;
    std::vector<std::wstring> created;
    decltype(&HeapFree) pfnHeapFree = nullptr;
    std::atomic<void*> pvWatched{nullptr};
    std::atomic<bool> bWatchedFreed{false};
};
DeliveryCalls g_calls;

HANDLE WINAPI CreateFileRecordingNew(LPCWSTR pwsz, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES pSa,
                                     DWORD dwDisposition, DWORD dwFlags, HANDLE hTemplate)
{
    if (dwDisposition != OPEN_EXISTING)
        g_calls.created.push_back(pwsz);
    return g_calls.pfnCreateFile(pwsz, dwAccess, dwShare, pSa, dwDisposition, dwFlags, hTemplate);
}

BOOL WINAPI HeapFreeWatchingOneBlock(HANDLE hHeap, DWORD dwFlags, LPVOID pv)
{
    if (pv != nullptr && pv == g_calls.pvWatched.load())
        g_calls.bWatchedFreed = true;
    return g_calls.pfnHeapFree(hHeap, dwFlags, pv);
}

template <class Fn>
Fn* SystemFunction(const char* pszName)
{
    return reinterpret_cast<Fn*>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), pszName)));
}

TEST_F(Delivery, TempFolderUnavailable_StagedInTheCurrentFolderUnderItsOwnName)
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
    DWORD dwResult = 2;
    {
        g_calls.pfnCreateFile = SystemFunction<decltype(CreateFileW)>("CreateFileW");
        g_calls.created.clear();
        faults::ImportOverride creates("CreateFileW", reinterpret_cast<void*>(CreateFileRecordingNew));
        ASSERT_TRUE(creates.Patched());
        dwResult = Deliver();
    }
    SetEnvironmentVariableW(L"TMP", cchOldTmp > 0 ? wszOldTmp : nullptr);
    SetCurrentDirectoryW(wszOldDir);

    ASSERT_TRUE(cchProbe == 0 || cchProbe >= MAX_PATH - 1) << "the override must make the temporary folder unusable";
    EXPECT_EQ(1u, dwResult);
    EXPECT_TRUE(m_trace.Contains(L"> Failed to get temp path\r\n"));
    // Staged, not copied straight to the destination: the image's name with the
    // delivery's own mark, in the current folder.
    EXPECT_FALSE(m_trace.Contains(L"> Failed to copy the file to temp folder\r\n"));
    ASSERT_FALSE(g_calls.created.empty());
    EXPECT_TRUE(std::regex_match(g_calls.created.back(), std::wregex(L"JOB_p1\\.jpg\\.\\d+-1\\.tmp")))
        << Narrow(g_calls.created.back());
    EXPECT_EQ(std::vector<std::wstring>{L"Invoice_p1.jpg"}, ListFolder(m_pc));
    EXPECT_EQ("JOB_p1.jpg pixels", ReadFileBytes(m_pc + L"\\Invoice_p1.jpg"));
    EXPECT_TRUE(ListFolder(work).empty()) << "the staging copy in the current folder is removed";
}

TEST_F(Delivery, PathsThatDoNotFit_DeliverySkipped)
{
    std::string longFolder = Narrow(m_pc) + "\\" + std::string(240, 'f');
    WriteFileBytes(m_job + L"\\JOB.ost", "PCFolderPath \"" + longFolder + "\"\nPCBaseFileName \"Invoice\"\n");
    PutImage(L"JOB_p1.jpg");
    // A delivery the template asks for and that cannot be made answers 0.
    EXPECT_EQ(0u, Deliver());
    EXPECT_TRUE(m_trace.Contains(L"> The delivery path does not fit, nothing is delivered\r\n"));
    EXPECT_FALSE(Staged(L"JOB_p1.jpg"));
    EXPECT_TRUE(ListFolder(m_pc).empty());

    m_trace.Clear();
    WriteTemplate(std::string(250, 'b'));
    EXPECT_EQ(0u, Deliver());
    EXPECT_TRUE(m_trace.Contains(L"> The delivery path does not fit, nothing is delivered\r\n"));
    EXPECT_FALSE(Staged(L"JOB_p1.jpg"));
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
    g_calls.pfnHeapFree = SystemFunction<decltype(HeapFree)>("HeapFree");
    g_calls.pvWatched = pv;
    g_calls.bWatchedFreed = false;
    faults::ImportOverride frees("HeapFree", reinterpret_cast<void*>(HeapFreeWatchingOneBlock));
    ASSERT_TRUE(frees.Patched());
    bgt::UniqueHandle hThread(CreateThread(nullptr, 2048, SendToFolder, pv, 0, nullptr));
    ASSERT_TRUE(hThread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hThread.get(), 10000));
    EXPECT_TRUE(g_calls.bWatchedFreed.load()) << "the delivery frees the path it was handed";
    g_calls.pvWatched = nullptr;
    DWORD dwExit = 2;
    GetExitCodeThread(hThread.get(), &dwExit);
    hThread.reset();
    EXPECT_EQ(1u, dwExit);
    EXPECT_EQ(std::vector<std::wstring>{L"Invoice.jpg"}, ListFolder(m_pc));
    EXPECT_EQ(nBefore, testsupport::CountProcessHandles()) << "searches and files closed";
}

// ---- templates that would misdirect a delivery ------------------------------

struct OddTemplate {
    const char* pszName;
    std::string text;              // "{PC}" stands for the PC folder
    std::vector<std::wstring> delivered;  // empty: nothing may be delivered anywhere
    const wchar_t* pwszTrace;      // a trace the case must send, or null
};

std::string WithPc(std::string text, const std::string& pc)
{
    for (size_t ib = 0; (ib = text.find("{PC}", ib)) != std::string::npos; ib += pc.size())
        text.replace(ib, 4, pc);
    return text;
}

const wchar_t kNotAFullPath[] = L"> The destination folder is not a full path, nothing is delivered\r\n";
const wchar_t kNotAPlainName[] = L"> The base file name is not a plain name, nothing is delivered\r\n";
const wchar_t kDoesNotFit[] = L"> The delivery path does not fit, nothing is delivered\r\n";

std::vector<OddTemplate> OddTemplates(size_t cchPc)
{
    const std::string folder = "PCFolderPath=\"{PC}\"\r\n";
    auto base = [&](const std::string& name) { return folder + "PCBaseFileName=\"" + name + "\"\r\n"; };
    // Padding that puts a line's 511-byte piece edge just after (or inside) its value.
    auto pad = [](size_t cbBefore, size_t cbLine) { return std::string(cbLine > cbBefore ? cbLine - cbBefore : 0, ' '); };
    const size_t cbBaseLine = std::strlen("PCBaseFileName=\"Edge\"");
    const size_t cbFolderLine = std::strlen("PCFolderPath=\"\"") + cchPc;
    std::vector<OddTemplate> cases = {
        {"empty quotes: no base name, the image keeps its name", base(""), {L"JOB_p1.jpg"},
         L"> This Template does not have a Base_File_Name\r\n"},
        {"a drive path and a plain base name", base("Invoice"), {L"Invoice_p1.jpg"}, nullptr},
        {"a drive path ending in a backslash", "PCFolderPath=\"{PC}\\\"\r\nPCBaseFileName=\"B\"\r\n", {L"B_p1.jpg"},
         nullptr},
        {"a base name closed at the 511-byte edge", folder + pad(cbBaseLine, 511) + "PCBaseFileName=\"Edge\"\r\n",
         {L"Edge_p1.jpg"}, nullptr},
        {"a folder closed at the 511-byte edge", pad(cbFolderLine, 511) + folder, {L"JOB_p1.jpg"}, nullptr},
        {"a base name cut by the 511-byte edge", folder + pad(cbBaseLine - 2, 511) + "PCBaseFileName=\"Edge\"\r\n",
         {}, kDoesNotFit},
        {"a folder cut by the 511-byte edge", pad(cbFolderLine - 4, 511) + folder, {}, kDoesNotFit},
        {"empty quotes: an empty folder", "PCFolderPath=\"\"\r\n", {}, kNotAFullPath},
        {"the folder key without a value", "PCFolderPath=\r\n", {}, kNotAFullPath},
        {"a relative folder", "PCFolderPath=\"Rel\\Sub\"\r\n", {}, kNotAFullPath},
        {"a drive-relative folder", "PCFolderPath=\"C:Rel\"\r\n", {}, kNotAFullPath},
        {"a folder rooted without a drive", "PCFolderPath=\"\\Rel\"\r\n", {}, kNotAFullPath},
        {"the \\\\?\\ form", "PCFolderPath=\"\\\\?\\{PC}\"\r\n", {}, kNotAFullPath},
        {"the \\\\.\\ form", "PCFolderPath=\"\\\\.\\{PC}\"\r\n", {}, kNotAFullPath},
        {"the \\\\.\\UNC\\ form", "PCFolderPath=\"\\\\.\\UNC\\srv\\share\"\r\n", {}, kNotAFullPath},
        {"the \\\\?\\UNC\\ form", "PCFolderPath=\"\\\\?\\UNC\\srv\\share\"\r\n", {}, kNotAFullPath},
        {"a server without a share", "PCFolderPath=\"\\\\server\"\r\n", {}, kNotAFullPath},
        {"a control character in the folder", "PCFolderPath=\"{PC}\\a\tb\"\r\n", {}, kNotAFullPath},
        {"a wildcard in the folder", "PCFolderPath=\"{PC}\\a*b\"\r\n", {}, kNotAFullPath},
        {"a stream in the folder", "PCFolderPath=\"{PC}\\a:b\"\r\n", {}, kNotAFullPath},
        {"a base name climbing out", base("..\\Escaped"), {}, kNotAPlainName},
        {"a base name naming a stream", base("evil:ads"), {}, kNotAPlainName},
        {"a base name with a slash", base("a/b"), {}, kNotAPlainName},
        {"a base name with a wildcard", base("a?b"), {}, kNotAPlainName},
        {"a base name with an angle bracket", base("a<b"), {}, kNotAPlainName},
        {"a base name with a bar", base("a|b"), {}, kNotAPlainName},
        {"a base name with a control character", base("a\x01" "b"), {}, kNotAPlainName},
        {"a base name of one dot", base("."), {}, kNotAPlainName},
        {"a base name of two dots", base(".."), {}, kNotAPlainName},
        {"a base name with a trailing dot", base("name."), {}, kNotAPlainName},
        {"a base name with a trailing space", base("name "), {}, kNotAPlainName},
        {"the device CON", base("CON"), {}, kNotAPlainName},
        {"the device con with an extension", base("con.txt"), {}, kNotAPlainName},
        {"the device NUL", base("NUL"), {}, kNotAPlainName},
        {"the device aux", base("aux"), {}, kNotAPlainName},
        {"the device PRN", base("PRN"), {}, kNotAPlainName},
        {"the device COM1", base("COM1"), {}, kNotAPlainName},
        {"the device LPT9 with an extension", base("LPT9.x"), {}, kNotAPlainName},
        {"the device COM with a superscript one", base("COM\xB9"), {}, kNotAPlainName},
        {"the device LPT with a superscript three and an extension", base("lpt\xB3.x"), {}, kNotAPlainName},
        {"the device COM0", base("COM0"), {}, kNotAPlainName},
        {"names that only look like devices", base("CONSOLE"), {L"CONSOLE_p1.jpg"}, nullptr},
        {"COM10 is no device", base("COM10"), {L"COM10_p1.jpg"}, nullptr},
        {"the device CON with a space before the dot", base("CON .x"), {}, kNotAPlainName},
        {"the device nul with spaces before the dot", base("nul  .txt"), {}, kNotAPlainName},
    };
    return cases;
}

TEST_F(Delivery, OddTemplates_DeliverOnlyIntoTheNamedFolderUnderAPlainName)
{
    PutImage(L"JOB_p1.jpg");
    std::wstring parent = m_root.Path();
    std::wstring work = m_root / L"cwd";
    testsupport::MakeFolder(work);
    wchar_t wszOldDir[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, wszOldDir);
    ASSERT_TRUE(SetCurrentDirectoryW(work.c_str()));
    std::vector<std::wstring> parentBefore = ListFolder(parent);
    ASSERT_EQ(L"C:\\", m_pc.substr(0, 3)) << "the PC folder is a drive path";
    EventCapture events;
    for (const OddTemplate& c : OddTemplates(m_pc.size())) {
        SCOPED_TRACE(c.pszName);
        WriteFileBytes(m_job + L"\\JOB.ost", WithPc(c.text, Narrow(m_pc)));
        m_trace.Clear();
        DWORD dwResult = Deliver();
        EXPECT_EQ(c.delivered, ListFolder(m_pc));
        EXPECT_EQ(c.delivered.empty() ? 0u : 1u, dwResult);
        // Each refusal is told to the administrator once, with the job and a reason
        // (the rows together are more than a minute's bound allows).
        std::vector<testsupport::WrittenEvent> refused = EventCapture::Take();
        ResetEventRateBound();
        ASSERT_EQ(c.delivered.empty() ? 1u : 0u, refused.size());
        if (!refused.empty()) {
            EXPECT_EQ(static_cast<DWORD>(BGT_EVENT_DELIVERY_REFUSED), refused[0].dwEventId);
            EXPECT_EQ(m_job, refused[0].strings.at(0));
            EXPECT_FALSE(refused[0].strings.at(3).empty());
        }
        if (c.pwszTrace != nullptr) {
            EXPECT_TRUE(m_trace.Contains(c.pwszTrace));
        }
        if (c.delivered.empty()) {
            EXPECT_FALSE(m_trace.Contains(L"> Failed to copy the file to temp folder\r\n")) << "nothing copied";
        }
        EXPECT_FALSE(Staged(L"JOB_p1.jpg"));
        EXPECT_TRUE(ListFolder(work).empty()) << "nothing in the current folder";
        EXPECT_EQ(parentBefore, ListFolder(parent)) << "nothing beside the PC folder";
        EXPECT_EQ((std::vector<std::wstring>{L"JOB.ost", L"JOB_p1.jpg"}), ListFolder(m_job)) << "the scan stays filed";
        for (const std::wstring& name : ListFolder(m_pc))
            DeleteFileW((m_pc + L"\\" + name).c_str());
        testsupport::RemoveTree(work);
        testsupport::MakeFolder(work);
    }
    SetCurrentDirectoryW(wszOldDir);
}

TEST_F(Delivery, UncShare_IsTakenAsADestination)
{
    // No share is reachable here: the delivery is tried, and fails at the share.
    WriteFileBytes(m_job + L"\\JOB.ost", "PCFolderPath=\"\\\\nosuchserver\\share\\Scans\"\r\nPCBaseFileName=\"I\"\r\n");
    PutImage(L"JOB_p1.jpg");
    EXPECT_EQ(0u, Deliver());
    EXPECT_FALSE(m_trace.Contains(kNotAFullPath));
    EXPECT_FALSE(m_trace.Contains(kNotAPlainName));
    EXPECT_TRUE(m_trace.Contains(L"> Failed to copy the file to destination\r\n"));
    EXPECT_FALSE(Staged(L"JOB_p1.jpg"));
}

TEST_F(Delivery, MissingPcFolder_IsMadeAsTheShellCopyWould)
{
    WriteFileBytes(m_job + L"\\JOB.ost", "PCFolderPath=\"" + Narrow(m_pc) + "\\New\\Sub\"\r\n");
    PutImage(L"JOB_p1.jpg");
    EXPECT_EQ(1u, Deliver());
    EXPECT_EQ(std::vector<std::wstring>{L"JOB_p1.jpg"}, ListFolder(m_pc + L"\\New\\Sub"));
}

// ---- deliveries at the same moment ----------------------------------------------

TEST_F(Delivery, TwoDeliveriesOfOneImageNameAtOnce_TwoIntactFilesNothingOverwritten)
{
    constexpr DWORD kDeadlineSeconds = 60;
    std::wstring jobs[2] = {Docs(L"A.osm"), Docs(L"B.osm")};
    std::string images[2] = {std::string(3 * 1024 * 1024, 'a'), std::string(3 * 1024 * 1024 + 17, 'b')};
    for (int i = 0; i < 2; ++i) {
        testsupport::MakeFolder(jobs[i]);
        WriteFileBytes(jobs[i] + L"\\SCAN.ost", "PCFolderPath=\"" + Narrow(m_pc) + "\"\r\nPCBaseFileName=\"Scan\"\r\n");
        WriteFileBytes(jobs[i] + L"\\SCAN_p1.jpg", images[i]);
    }
    m_staged.push_back(L"SCAN_p1.jpg");
    for (int nRound = 0; nRound < 4; ++nRound) {
        SCOPED_TRACE("round " + std::to_string(nRound));
        bgt::UniqueHandle hGo(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        struct Start {
            HANDLE hGo;
            std::wstring job;
        } starts[2] = {{hGo.get(), jobs[0]}, {hGo.get(), jobs[1]}};
        auto entry = [](LPVOID pv) -> DWORD {
            Start* pStart = static_cast<Start*>(pv);
            size_t cb = (pStart->job.size() + 1) * sizeof(wchar_t);
            void* pvPath = HeapAlloc(GetProcessHeap(), 0, cb);
            memcpy(pvPath, pStart->job.c_str(), cb);
            WaitForSingleObject(pStart->hGo, INFINITE);
            return SendToFolder(pvPath);
        };
        bgt::UniqueHandle hThreads[2];
        for (int i = 0; i < 2; ++i) {
            hThreads[i].reset(CreateThread(nullptr, 0, entry, &starts[i], 0, nullptr));
            ASSERT_TRUE(hThreads[i]);
        }
        SetEvent(hGo.get());
        HANDLE rgh[2] = {hThreads[0].get(), hThreads[1].get()};
        ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, rgh, TRUE, kDeadlineSeconds * 1000))
            << "two deliveries did not end within " << kDeadlineSeconds << " s";
        for (HANDLE h : rgh) {
            DWORD dwExit = 2;
            GetExitCodeThread(h, &dwExit);
            EXPECT_EQ(1u, dwExit);
        }
        std::vector<std::wstring> delivered = ListFolder(m_pc);
        ASSERT_EQ((std::vector<std::wstring>{L"Scan_p1 (2).jpg", L"Scan_p1.jpg"}), delivered);
        std::vector<std::string> contents = {ReadFileBytes(m_pc + L"\\" + delivered[0]),
                                             ReadFileBytes(m_pc + L"\\" + delivered[1])};
        std::sort(contents.begin(), contents.end());
        EXPECT_TRUE(contents[0] == images[0] && contents[1] == images[1]) << "each image delivered whole, once";
        EXPECT_FALSE(Staged(L"SCAN_p1.jpg"));
        for (const std::wstring& name : delivered)
            DeleteFileW((m_pc + L"\\" + name).c_str());
    }
}

// ---- the copy failing ----------------------------------------------------------

TEST_F(Delivery, StagingCopyFails_ImageCopiedStraightFromTheJob)
{
    WriteTemplate("Invoice");
    PutImage(L"JOB_p1.jpg", std::string(100000, 'x'));
    faults::FaultInjector injector;
    injector.Arm(faults::Kind::Copy, 1, ERROR_DISK_FULL);
    injector.Arm(faults::Kind::FileWrite, 0, 0);
    EXPECT_EQ(1u, Deliver());
    EXPECT_EQ(1u, injector.Failed(faults::Kind::Copy)) << "the staging copy";
    EXPECT_EQ(1u, injector.Calls(faults::Kind::FileWrite)) << "then the image written into the PC folder";
    EXPECT_EQ(std::vector<std::wstring>{L"Invoice_p1.jpg"}, ListFolder(m_pc));
    EXPECT_EQ(std::string(100000, 'x'), ReadFileBytes(m_pc + L"\\Invoice_p1.jpg"));
    EXPECT_TRUE(m_trace.Contains(L"> Failed to copy the file to temp folder\r\n"));
    EXPECT_FALSE(Staged(L"JOB_p1.jpg"));
}

TEST_F(Delivery, CopyIntoThePcFolderFails_OnlyTheOwnPartialFileIsRemoved)
{
    WriteTemplate("Invoice");
    PutImage(L"JOB_p1.jpg", std::string(100000, 'x'));
    WriteFileBytes(m_pc + L"\\Invoice_p1.jpg", "an earlier scan");
    faults::FaultInjector injector;
    // The copy into the PC folder runs out of disk half way (the injector
    // writes half the bytes first).
    injector.Arm(faults::Kind::FileWrite, 1, ERROR_DISK_FULL);
    EventCapture events;
    EXPECT_EQ(0u, Deliver());
    EXPECT_EQ(1u, injector.Failed(faults::Kind::FileWrite));
    EXPECT_EQ(std::vector<std::wstring>{L"Invoice_p1.jpg"}, ListFolder(m_pc)) << "the partial file is removed";
    EXPECT_EQ("an earlier scan", ReadFileBytes(m_pc + L"\\Invoice_p1.jpg"));
    std::vector<testsupport::WrittenEvent> failed = EventCapture::Take();
    ASSERT_EQ(1u, failed.size()) << "one event for the failed delivery";
    EXPECT_EQ(static_cast<DWORD>(BGT_EVENT_DELIVERY_FAILED), failed[0].dwEventId);
    EXPECT_EQ(m_pc + L"\\Invoice_p1.jpg", failed[0].strings.at(1));
    EXPECT_TRUE(failed[0].strings.at(2).ends_with(L"(error 112)"));
    EXPECT_TRUE(m_trace.Contains(L"> Failed to copy the file to destination\r\n"));
    EXPECT_FALSE(Staged(L"JOB_p1.jpg")) << "the staging copy is removed too";
    EXPECT_EQ(std::string(100000, 'x'), ReadFileBytes(m_job + L"\\JOB_p1.jpg")) << "the scan stays filed";
}

// ---- one handle, renames held, names past the last counter, leftovers -------------

namespace {
struct RenameCalls {
    decltype(&SetFileInformationByHandle) pfnSetInfo = nullptr;
    unsigned nHeld = 0;       // renames answered with a sharing violation first
    bool bCountersTaken = false;  // every "(n)" name answered as taken
    bool bFinalNameDuringCopy = false;
    std::wstring wstrFinalName;
};
RenameCalls g_renames;

BOOL WINAPI SetInfoSteeringRenames(HANDLE h, FILE_INFO_BY_HANDLE_CLASS cls, LPVOID pv, DWORD cb)
{
    if (cls == FileRenameInfo) {
        g_renames.bFinalNameDuringCopy = g_renames.bFinalNameDuringCopy || PathExists(g_renames.wstrFinalName);
        std::wstring path(static_cast<FILE_RENAME_INFO*>(pv)->FileName);
        std::wstring name = path.substr(path.rfind(L'\\') + 1);
        if (g_renames.nHeld > 0) {
            --g_renames.nHeld;
            SetLastError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
        if (g_renames.bCountersTaken && name.find(L'-') == std::wstring::npos) {
            SetLastError(ERROR_FILE_EXISTS);
            return FALSE;
        }
    }
    return g_renames.pfnSetInfo(h, cls, pv, cb);
}
} // namespace

TEST_F(Delivery, PcFolderFileClaimedWrittenAndNamedThroughOneHandle)
{
    // A drop box lets its users create files and nothing more: the file is
    // opened once, by its creation, and never again by name.
    WriteTemplate("Invoice");
    PutImage(L"JOB_p1.jpg", std::string(3000000, 'd'));
    g_calls.pfnCreateFile = SystemFunction<decltype(CreateFileW)>("CreateFileW");
    g_calls.created.clear();
    {
        faults::ImportOverride creates("CreateFileW", reinterpret_cast<void*>(CreateFileRecordingNew));
        ASSERT_TRUE(creates.Patched());
        EXPECT_EQ(1u, Deliver());
    }
    size_t nInPc = std::count_if(g_calls.created.begin(), g_calls.created.end(),
                                 [&](const std::wstring& path) { return path.rfind(m_pc, 0) == 0; });
    EXPECT_EQ(1u, nInPc);
    EXPECT_EQ(std::vector<std::wstring>{L"Invoice_p1.jpg"}, ListFolder(m_pc));
    EXPECT_EQ(std::string(3000000, 'd'), ReadFileBytes(m_pc + L"\\Invoice_p1.jpg"));
}

TEST_F(Delivery, RenameHeldForAMoment_TriedAgain_PastTheLastCounterAUniqueName)
{
    WriteTemplate("Invoice");
    PutImage(L"JOB_p1.jpg");
    testsupport::SleepRecorder sleeps;
    g_renames = {};
    g_renames.pfnSetInfo = SystemFunction<decltype(SetFileInformationByHandle)>("SetFileInformationByHandle");
    g_renames.wstrFinalName = m_pc + L"\\Invoice_p1.jpg";
    faults::ImportOverride renames("SetFileInformationByHandle", reinterpret_cast<void*>(SetInfoSteeringRenames));
    ASSERT_TRUE(renames.Patched());
    g_renames.nHeld = 3;
    EXPECT_EQ(1u, Deliver());
    EXPECT_EQ(std::vector<std::wstring>{L"Invoice_p1.jpg"}, ListFolder(m_pc));
    EXPECT_EQ((std::vector<DWORD>{100, 100, 100}), sleeps.Pauses());
    EXPECT_FALSE(g_renames.bFinalNameDuringCopy) << "the name appears only once the copy is whole";

    // Every "(n)" up to 9999 taken: the copy still arrives, under a name of its own.
    g_renames.bCountersTaken = true;
    EXPECT_EQ(1u, Deliver());
    std::vector<std::wstring> delivered = ListFolder(m_pc);
    ASSERT_EQ(2u, delivered.size());
    EXPECT_TRUE(std::regex_match(delivered[0], std::wregex(L"Invoice_p1 \\(\\d+-\\d+\\)\\.jpg"))) << Narrow(delivered[0]);
    EXPECT_EQ("JOB_p1.jpg pixels", ReadFileBytes(m_pc + L"\\" + delivered[0]));
}

TEST_F(Delivery, LeftoversOfCutOffDeliveries_RemovedAtTheNextDeliveryThere)
{
    WriteTemplate("Invoice");
    PutImage(L"JOB_p1.jpg");
    const std::wstring left[] = {m_pc + L"\\Invoice_p1.jpg.560-1.partial", m_pc + L"\\Big.TIF.7-12.partial",
                                 m_userTemp + L"JOB_p1.jpg.560-1.tmp"};
    // Not of the task's naming, or held by a delivery under way.
    const std::wstring kept[] = {m_pc + L"\\notes.txt.1-1.partial", m_pc + L"\\Scan.jpg.partial",
                                 m_pc + L"\\Live.jpg.9-1.partial", m_userTemp + L"report.doc.3-4.tmp"};
    for (const std::wstring& path : left)
        WriteFileBytes(path, "left over");
    for (const std::wstring& path : kept)
        WriteFileBytes(path, "not ours to remove");
    bgt::UniqueFileHandle hLive(
        CreateFileW(kept[2].c_str(), GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(hLive);
    EXPECT_EQ(1u, Deliver());
    for (const std::wstring& path : left)
        EXPECT_FALSE(PathExists(path)) << Narrow(path);
    for (const std::wstring& path : kept)
        EXPECT_TRUE(PathExists(path)) << Narrow(path);
    EXPECT_TRUE(PathExists(m_pc + L"\\Invoice_p1.jpg"));
    DeleteFileW(kept[3].c_str());
}

// The marker must be on its way out from the moment the copy has its name:
// a task ended then closes its handles, and a marker left would have the job
// delivered again. A delivery that made no copy leaves it to the thread's end.
TEST_F(Delivery, Marker_SetToGoOnceTheCopyHasItsName_NotWhenNoCopyWasMade)
{
    WriteTemplate("Invoice");
    for (bool bDelivers : {true, false}) {
        if (bDelivers)
            PutImage(L"JOB_p1.jpg");
        else
            DeleteFileW((m_job + L"\\JOB_p1.jpg").c_str());
        std::wstring marker = Docs(L"JOB.delivering");
        bgt::UniqueFileHandle hMarker(
            CreateFileW(marker.c_str(), GENERIC_READ | DELETE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(hMarker);
        size_t cb = (m_job.size() + 1) * sizeof(wchar_t);
        void* pv = HeapAlloc(GetProcessHeap(), 0, cb);
        memcpy(pv, m_job.c_str(), cb);
        EXPECT_EQ(1u, SendToFolderMarked(pv, hMarker.get()));
        // Closing the holder's handle, as the end of the task does, removes it.
        hMarker.reset();
        EXPECT_EQ(!bDelivers, PathExists(marker)) << "delivered " << bDelivers;
        DeleteFileW(marker.c_str());
    }
}

TEST_F(Delivery, ReadOnlyImage_ItsStagingCopyIsRemovedToo)
{
    WriteTemplate("Invoice");
    PutImage(L"JOB_p1.jpg");
    ASSERT_TRUE(SetFileAttributesW((m_job + L"\\JOB_p1.jpg").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(1u, Deliver());
    EXPECT_EQ(std::vector<std::wstring>{L"Invoice_p1.jpg"}, ListFolder(m_pc));
    EXPECT_FALSE(Staged(L"JOB_p1.jpg"));
    SetFileAttributesW((m_job + L"\\JOB_p1.jpg").c_str(), FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesW((m_pc + L"\\Invoice_p1.jpg").c_str(), FILE_ATTRIBUTE_NORMAL);
}

} // namespace
