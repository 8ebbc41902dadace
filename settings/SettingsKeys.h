#pragma once
// Where the service's settings live and what their values are called. Both
// keys are below HKEY_LOCAL_MACHINE; the settings themselves are written by the
// desktop program, the service only reads them (and normalises DefragMemory at
// start-up).

namespace nimbora {

inline constexpr wchar_t SettingsKey[] = L"\\Software\\Korvex\\Nimbora\\";
// Group Policy's copy of the settings: a value there overrides the settings
// key's (read in the 64-bit view, where Group Policy writes).
inline constexpr wchar_t PolicyKeyPath[] = L"\\Software\\Policies\\Korvex\\Nimbora\\";
inline constexpr wchar_t ServiceKey[] = L"\\SYSTEM\\CurrentControlSet\\Services\\Nimbora\\";

// Values under SettingsKey, in the order the maintenance tick reads them.
inline constexpr wchar_t kMemoryMaintain[] = L"MemoryMaintain";
inline constexpr wchar_t kMemoryFree[] = L"MemoryFree";
inline constexpr wchar_t kProcessorLimit[] = L"ProcessorLimit";
inline constexpr wchar_t kProcessorTrigger[] = L"ProcessorTrigger";
inline constexpr wchar_t kBatteryCheck[] = L"BatteryCheck";
inline constexpr wchar_t kFullScreen[] = L"FullScreen";
inline constexpr wchar_t kFullScreenCheck[] = L"FullScreenCheck";
inline constexpr wchar_t kExecutePeriod[] = L"ExecutePeriod";
inline constexpr wchar_t kLoadNimbora[] = L"LoadNimbora";
inline constexpr wchar_t kDefragMemory[] = L"DefragMemory";
// The caption table's name, read only during installation.
inline constexpr wchar_t kLanguage[] = L"Language";
inline constexpr wchar_t kDefaultLanguage[] = L"english";

// Under ServiceKey: written once after installation, never read.
inline constexpr wchar_t kDescription[] = L"Description";

}  // namespace nimbora
