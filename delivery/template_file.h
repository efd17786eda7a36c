#pragma once
// Scan templates (".ost"): finding the first one in a folder, reading the
// send-to-folder settings, and keeping the first template's repository address
// equal to the PC's address.
#include <windows.h>

#include "common/owners.h"
#include "delivery/template_bytes.h"  // SendToFolderSettings

struct DeviceInfo;

// Looks for the first "*.ost" in pwszFolder (first match of the directory search,
// no sorting). On success the search stays open in hSearch (its owner closes it
// when the caller's operation ends) and pwszTemplatePath holds folder + "\" +
// name. False when there is none, or when a path would not fit its buffer.
bool FindTemplateFile(const wchar_t* pwszFolder, bgt::UniqueFindHandle& hSearch, wchar_t* pwszTemplatePath,
                      size_t cchTemplatePath);

// Reads the settings of one template; empty settings (delivery off) when it
// cannot be opened.
SendToFolderSettings ReadSendToFolderSettings(const wchar_t* pwszTemplatePath);

// 0: the first template names the PC's address (or there is none); the
// republish may follow. 1: it does not, and could not be brought up to date.
int UpdateTemplateRepository(const DeviceInfo* pDeviceInfo);
