#pragma once
// One function per kind of event the task writes to the Application event log
// (common/event_log.h: the source, the bound, the user). Each caller writes an
// event at most once per scan, or per scanner and pass. The ids and texts are
// in common/event_messages.mc; README.md tells administrators what each means.
#include <windows.h>

// Information: the task's version (from its version resource) and how many
// scanners of the family the first discovery pass found.
void ReportTaskStarted(DWORD nScanners);

// Warning: a template names a destination the task does not deliver to. The
// folder and base name are the template's values as read; the reason says
// which rule refused them.
void ReportDeliveryRefused(const wchar_t* pwszJobFolder, const wchar_t* pwszFolder, const wchar_t* pwszBaseName,
                           const wchar_t* pwszReason);

// Warning: the copy to the destination failed with a Win32 error.
void ReportDeliveryFailed(const wchar_t* pwszJobFolder, const wchar_t* pwszDestination, DWORD dwError);

// Warning: a scan stays in TempImage after its retries. pwszFiles names its
// files (or its folder of pages).
void ReportFilingFailed(const wchar_t* pwszFiles, DWORD dwError);

// Information: a scan that could not be filed before has been filed now.
void ReportFiledLater(const wchar_t* pwszFiles, const wchar_t* pwszJobFolder);

// Error: a scanner's delete request failed at a session end, so it may still
// hold the user's templates. pwszScanner is the scanner's description.
void ReportTemplatesKept(const wchar_t* pwszScanner, HRESULT hrStatus);

// Warning: a scanner's republish request failed.
void ReportRepublishFailed(const wchar_t* pwszScanner, HRESULT hrStatus);

// Warning: the address check found no usable address (after its retries).
// pwszAddress is what it found; hrStatus its answer: E_ABORT (only the loopback
// address), E_UNEXPECTED (only a link-local one), or another failure, after
// which no address is shown.
void ReportNoUsableAddress(const wchar_t* pwszAddress, HRESULT hrStatus);

// Warning: a folder watch ended because its folder is gone.
void ReportWatchEnded(const wchar_t* pwszFolder, DWORD dwError);

// Information: a delivery that the task's end cut off is made again now.
void ReportDeliveryRedone(const wchar_t* pwszJobFolder);

// Error: a user folder is not used: another user owns it, it is a link that
// another user made, or its own access list lets other users in. The owner as
// an account name (or SID text), and what failed.
void ReportFolderRefused(const wchar_t* pwszFolder, const wchar_t* pwszOwner, const wchar_t* pwszFailed);

// Warning: a user folder is used although other users have rights on it that it
// inherits from the folders above the filing path; who may do what.
void ReportFolderRightsInherited(const wchar_t* pwszFolder, const wchar_t* pwszRights);

// Warning: a template of another owner is ignored.
void ReportTemplateIgnored(const wchar_t* pwszTemplate, const wchar_t* pwszOwner);
