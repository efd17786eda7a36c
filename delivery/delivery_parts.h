#pragma once
// What the send-to-folder delivery's parts share: the job being delivered,
// the paths of one image's attempt, and the checks of the template's values.
#include <windows.h>

#include "delivery/template_bytes.h"  // SendToFolderSettings
#include "discovery/state.h"

namespace delivery {

enum class Attempt { NoImage, Delivered, DeliveredDirect, Failed, Skipped };

struct Delivery {
    wchar_t wszJobFolder[kPathChars];
    wchar_t wszPCFolder[kPathChars];
    wchar_t wszBaseName[kPathChars];
    DWORD dwResult;
    // The first copy that failed, for the administrator's event: its
    // destination and its error (0 while none failed).
    wchar_t wszFailedCopy[kPathChars];
    DWORD dwCopyError;
    // The job's delivery marker (null when the caller keeps none): it is set
    // to go the moment the copy has its name, so that a task ended right
    // after does not deliver the job again at its next start.
    HANDLE hMarker;
};

struct ImagePaths {
    wchar_t wszSource[kPathChars];
    wchar_t wszDestName[kPathChars];
    wchar_t wszDestination[kPathChars];
    wchar_t wszTempFolder[kPathChars];
    wchar_t wszStaging[kPathChars];
    // The copy is written under this name in the PC folder and renamed to the
    // destination only once whole.
    wchar_t wszPartial[kPathChars];
};

// A path cut short to fit would deliver to (or from) the wrong place; the file
// calls take at most 259 characters.
bool PathFits(HRESULT hr);

// Checked before anything is copied: why the template's destination is
// refused, for the administrator's event, or null when it is usable.
const wchar_t* DestinationRefusal(const SendToFolderSettings& settings, const Delivery& delivery);
constexpr wchar_t kRefusedTooLong[] = L"The destination path is too long.";

// Every path of the attempt is formed, and known to fit, before anything is made.
bool PlanImagePaths(const Delivery& delivery, const wchar_t* pwszImageName, ImagePaths& paths);

// Removes the .partial files in the PC folder, and the staging files in the
// user's temporary folder, that deliveries cut off by the task's end left.
void RemoveOwnLeftovers(const Delivery& delivery);

// Copies the image by way of a staging copy into a file of its own in the PC
// folder, and gives it the first free destination name once it is whole.
Attempt CopyImage(Delivery& delivery, ImagePaths& paths, const wchar_t* pwszImageName);

} // namespace delivery
