#pragma once
// Accessors of the settings that several parts of the recorder share.
#include <functional>
#include <string>
#include <string_view>

namespace orvweb {

// The songs folder, always ending in "/". When none is stored, the folder
// "Orvello Songs" in the user's music folder is stored and used. A missing
// folder is created with its parents (a failure shows when a file is made).
std::u16string GetSongsFolder();

// The folder of the running program, without a trailing "/".
std::u16string GetProgramFolder();

inline constexpr int kOutputFormatMp3 = 1;
inline constexpr int kOutputFormatWma = 2;

// "OutputFormat" (default WMA); MP3 reads as WMA while the MP3 encoder
// library cannot be loaded, without changing the stored value. Other stored
// values come back unchanged.
int GetOutputFormat();
int GetOutputFormat(const std::function<bool()>& mp3EncoderLoadable);
void SetOutputFormat(int format);
// The probe GetOutputFormat() asks; until one is installed, MP3 counts as
// unavailable.
void SetMp3EncoderProbe(std::function<bool()> probe);
// Looks for the MP3 encoder library now and installs the probe that asks
// for it, so the output format is right from the first read (the options
// page can open before any capture graph exists). The program calls it once,
// early in main. A library found stays bound; a missing one is looked for
// again at each read.
void ProbeMp3EncoderAtStart();

// "SplitSearch": how many milliseconds of audio wait behind the song file so
// that a split can look back for the true song boundary (0: none). A value
// outside 0-10000, or not a number, reads as 3000.
inline constexpr std::string_view kKeySplitSearch = "SplitSearch";
inline constexpr int kDefaultSplitSearch = 3000;
int GetSplitSearchMs();

int GetShowMinimizeWarning();
void SetShowMinimizeWarning(int show);

}  // namespace orvweb
