#include "recorder/core/settings.h"

#include <mutex>

#include "platform/lame/lame.h"
#include "platform/shell/folders.h"
#include "platform/text/utf.h"
#include "recorder/core/profile.h"

namespace orvweb {
namespace {

constexpr std::u16string_view kSongsSubfolder = u"Orvello Songs";

std::mutex probeMutex;
std::function<bool()>& Probe() {
  static std::function<bool()> probe;
  return probe;
}

}  // namespace

std::u16string GetSongsFolder() {
  std::u16string folder = GetProfileString(kKeySongsFolder, u"");
  if (folder.empty()) {
    // The music folder always resolves on this platform (XDG default), so the
    // songs never land in the file-system root or the program's folder.
    const std::u16string music = platform::FromUtf8(platform::shell::MusicFolder().string());
    if (!music.empty()) {
      folder = music;
      if (folder.back() != u'/') folder += u'/';
      folder += kSongsSubfolder;
      folder += u'/';
      WriteProfileString(kKeySongsFolder, folder);
    }
  }
  if (folder.empty() || folder.back() != u'/') folder += u'/';
  // Missing parents are made too: a fresh account may have no music folder
  // yet, and a songs folder that cannot be made would lose every recording.
  const std::string path = platform::ToUtf8(folder);
  if (!platform::shell::FolderExists(path)) platform::shell::CreateFolders(path);
  return folder;
}

std::u16string GetProgramFolder() { return platform::FromUtf8(platform::shell::ProgramFolder().string()); }

int GetOutputFormat(const std::function<bool()>& mp3EncoderLoadable) {
  const int format = GetProfileInt(kKeyOutputFormat, kOutputFormatWma);
  const bool loadable = mp3EncoderLoadable && mp3EncoderLoadable();
  if (format == kOutputFormatMp3 && !loadable) return kOutputFormatWma;
  return format;
}

int GetOutputFormat() {
  std::function<bool()> probe;
  {
    std::lock_guard lock(probeMutex);
    probe = Probe();
  }
  return GetOutputFormat(probe);
}

void SetMp3EncoderProbe(std::function<bool()> probe) {
  std::lock_guard lock(probeMutex);
  Probe() = std::move(probe);
}

void ProbeMp3EncoderAtStart() {
  // The same question the engine's encoder asks: every entry point bound.
  SetMp3EncoderProbe([] { return platform::lame::LameEncoderTable().Complete(); });
  platform::lame::LameEncoderTable();  // binds the library now, not at the first read
}

void SetOutputFormat(int format) { WriteProfileInt(kKeyOutputFormat, format); }

int GetSplitSearchMs() {
  const int ms = GetProfileInt(kKeySplitSearch, kDefaultSplitSearch);
  return ms < 0 || ms > 10000 ? kDefaultSplitSearch : ms;
}

int GetShowMinimizeWarning() { return GetProfileInt(kKeyShowMinimizeWarning, 1); }

void SetShowMinimizeWarning(int show) { WriteProfileInt(kKeyShowMinimizeWarning, show); }

}  // namespace orvweb
