#pragma once
// The recorder's per-user profile section "Settings". Every read goes to the
// store with its default at the moment of use; every write goes out at once.
#include <string>
#include <string_view>

namespace orvweb {

inline constexpr std::string_view kRegistryKeyName = "Rived Idadazaz";
inline constexpr std::string_view kApplicationName = "OrvWebRecorder";
inline constexpr std::string_view kProfileSection = "Settings";
inline constexpr std::string_view kProfileKey =
    "HKEY_CURRENT_USER\\Software\\Rived Idadazaz\\OrvWebRecorder\\Settings";

// Keys of the section.
inline constexpr std::string_view kKeySongsFolder = "SongsFolder";
inline constexpr std::string_view kKeyOutputFormat = "OutputFormat";
inline constexpr std::string_view kKeyShowMinimizeWarning = "ShowMinimizeWarning";
inline constexpr std::string_view kKeyFirstRun = "FirstRun";
inline constexpr std::string_view kKeyDebugMode = "DebugMode";
inline constexpr std::string_view kKeySourceName = "SourceName";
inline constexpr std::string_view kKeySourceInput = "SourceInput";
inline constexpr std::string_view kKeyShowRecLevel = "ShowRecLevel";
inline constexpr std::string_view kKeyRecordLevel = "Record Level";
inline constexpr std::string_view kKeyMinSongLength = "MinSongLength";
inline constexpr std::string_view kKeyRecBufferSize = "RecBufferSize";

// An integer is stored as a DWORD; negative values travel as their 32-bit
// pattern (-1 is 0xFFFFFFFF). A value of another type reads as the default.
int GetProfileInt(std::string_view key, int defaultValue);
bool WriteProfileInt(std::string_view key, int value);
std::u16string GetProfileString(std::string_view key, std::u16string_view defaultValue);
bool WriteProfileString(std::string_view key, std::u16string_view value);

}  // namespace orvweb
