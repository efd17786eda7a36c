#pragma once
// Shared state of the simulator: configuration, journal, live-object count.
#include "sim/stisim/stisim.h"

#include <mutex>
#include <optional>

namespace stisim::detail {

inline constexpr IID kIidStillImageW = {0x641BD880, 0x2DC8, 0x11D0, {0x90, 0xEA, 0x00, 0xAA, 0x00, 0x60, 0xF8, 0x6C}};
inline constexpr IID kIidStiDevice = {0x6CFA5A80, 0x2DC8, 0x11D0, {0x90, 0xEA, 0x00, 0xAA, 0x00, 0x60, 0xF8, 0x6C}};

void Record(JournalEntry entry);
// Runs the process-end handler, then ends the process at once, as a crash would.
[[noreturn]] void EndProcessNow();
void ObjectCreated();
void ObjectDestroyed();

// 1 when the calling thread is in a COM apartment, else 0.
DWORD CallerHasApartment();

std::vector<StiDeviceConfig> StiDevices();
HRESULT DeviceListResult();
size_t DeviceListPadding();
void NoteDeviceList(const void* pvList);
std::optional<StiDeviceConfig> FindStiDevice(const std::wstring& wstrName);

// The status of the next root-item creation for the device, and its config.
HRESULT NextWiaCreateStatus(const std::wstring& wstrDeviceId);
WiaDeviceConfig WiaDevice(const std::wstring& wstrDeviceId);

// Creation of the objects.
IStillImageW* NewStillImage();
IStiDevice* NewStiDevice(const StiDeviceConfig& config);
IUnknown* NewWiaDevMgr(bool bWia2);

} // namespace stisim::detail
