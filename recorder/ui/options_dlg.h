#pragma once
// The options page: a modal HTML dialog in which the user picks the capture
// device and its input, the songs folder, the output format and whether the
// level gauge shows. It writes the settings only on OK. Like the main
// window it shows the loading page first and binds the real page by ids.
#include <functional>
#include <string>
#include <vector>

#include "platform/audio/audio.h"
#include "platform/shell/message_box.h"
#include "recorder/controller/options_page.h"
#include "recorder/ui/dialog_host.h"
#include "recorder/ui/folder_chooser.h"
#include "recorder/ui/main_window.h"

namespace orvweb::ui {

inline constexpr char kAudioSource[] = "AudioSource";
inline constexpr char kAudioInput[] = "AudioInput";
inline constexpr char kSongsFolder[] = "SongsFolder";
inline constexpr char kButtonBrowse[] = "ButtonBrowse";
inline constexpr char kFormatLameEnc[] = "FormatLameEnc";
inline constexpr char kFormatWma[] = "FormatWMA";
inline constexpr char kLameTitle[] = "LameTitle";
inline constexpr char kShowRecordLevel[] = "ShowRecordLevel";
inline constexpr char kButtonOk[] = "ButtonOK";
inline constexpr char kButtonCancel[] = "ButtonCancel";

inline constexpr char16_t kOptionsCaption[] = u"Orvello Options";
inline constexpr char16_t kChooseFolderTitle[] = u"Choose Songs Folder";
inline constexpr char16_t kLameMissingHtml[] = u"<font color=\"Gray\">lame_enc.dll is not found</font>";

struct OptionsServices {
  DialogHostFactory makeHost;
  platform::audio::AudioSystem* audio = nullptr;
  platform::shell::IMessageBox* messageBox = nullptr;
  IFolderChooser* folderChooser = nullptr;
  EncoderProbe probeEncoder;  // empty: ProbeLameEncoder
  // The host of the window a run is modal to; empty or nullptr: none.
  std::function<IDialogHost*(platform::Window* owner)> ownerHost;
  std::function<bool(const std::string& path, std::string& bytes, std::string& mimeType)> resources;
  std::vector<std::string> iconFiles;
  bool debugMode = false;
};

platform::html::DialogTemplate OptionsTemplate(const OptionsServices& services);

class COptionsDlg : public IOptionsPage {
 public:
  explicit COptionsDlg(OptionsServices services);

  // One modal run on a window of its own; kDialogOk or kDialogCancel.
  int RunModal(platform::Window* owner) override;

  // The handlers of the running dialog; public so that tests can play them.
  void OnDocumentComplete(const std::string& url);
  void OnPageEvent(const platform::html::PageEvent& event);

  void FillAudioSources();
  void FillAudioInputs(const std::string& displayName, int selection);
  void OnAudioSourceChange(const platform::html::PageEvent& event);
  void OnBrowseClick(const platform::html::PageEvent& event);
  void OnOptionsOK(const platform::html::PageEvent& event);
  void OnOptionsCancel();

  // The host of the run in progress; nullptr between runs.
  IDialogHost* host() const { return host_; }

 private:
  void End(int result);

  OptionsServices services_;
  std::string optionsPageUrl_;
  IDialogHost* host_ = nullptr;
  // The value the source list shows after the last fill.
  std::u16string shownSource_;
  bool ended_ = false;
};

}  // namespace orvweb::ui
