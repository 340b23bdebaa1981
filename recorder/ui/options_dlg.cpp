#include "recorder/ui/options_dlg.h"

#include <optional>
#include <string_view>

#include "platform/shell/folders.h"
#include "platform/text/utf.h"
#include "recorder/core/format.h"
#include "recorder/core/messages.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"

namespace orvweb::ui {

using platform::html::ElementState;
using platform::html::PageEvent;
using platform::html::SelectOption;
using platform::shell::MessageBoxButtons;
using platform::shell::MessageBoxIcon;

namespace {

// The songs folder as typed, made usable: a leading "~" is the home folder
// (as in a shell; a literal folder named "~" would swallow every song), a
// relative folder is refused (it would follow wherever the program was
// started), and the folder is made now so a folder that cannot be is told
// while the page is open. Empty: the default folder. The text of the
// message when refused.
std::optional<std::u16string> CheckSongsFolder(std::u16string& folder) {
  if (folder.empty()) return std::nullopt;
  if (folder == u"~" || folder.rfind(u"~/", 0) == 0) {
    folder = platform::FromUtf8(platform::shell::HomeFolder().string()) + folder.substr(1);
  }
  if (folder.front() != u'/') return FormatText(LoadMessage(IDS_SONGS_FOLDER_RELATIVE), {folder});
  const std::string path = platform::ToUtf8(folder);
  if (!platform::shell::FolderExists(path) && !platform::shell::CreateFolders(path)) {
    return FormatText(LoadMessage(IDS_SONGS_FOLDER_NOT_CREATED), {folder});
  }
  return std::nullopt;
}

const ElementState* Element(const PageEvent& event, std::string_view id) {
  const auto it = event.elements.find(id);
  return it == event.elements.end() ? nullptr : &it->second;
}

}  // namespace

platform::html::DialogTemplate OptionsTemplate(const OptionsServices& services) {
  platform::html::DialogTemplate t;
  t.caption = kOptionsCaption;
  t.widthDlu = 308;
  t.heightDlu = 177;
  t.minimizeBox = false;
  t.helpKey = false;
  t.debugMode = services.debugMode;
  t.watchedIds = {kAudioSource, kAudioInput, kSongsFolder,     kButtonBrowse, kFormatLameEnc,
                  kFormatWma,   kLameTitle,  kShowRecordLevel, kButtonOk,     kButtonCancel};
  t.iconFiles = services.iconFiles;
  t.resources = services.resources;
  t.loadingPageUrl = kLoadingPageUrl;
  return t;
}

COptionsDlg::COptionsDlg(OptionsServices services)
    : services_(std::move(services)), optionsPageUrl_(platform::ToUtf8(LoadMessage(IDS_OPTIONS_PAGE))) {
  if (!services_.probeEncoder) services_.probeEncoder = ProbeLameEncoder;
}

int COptionsDlg::RunModal(platform::Window* owner) {
  if (!services_.makeHost || host_) return kDialogCancel;
  IDialogHost* ownerHost = owner && services_.ownerHost ? services_.ownerHost(owner) : nullptr;
  platform::html::DialogHandlers handlers;
  handlers.documentComplete = [this](const std::string& url) { OnDocumentComplete(url); };
  handlers.pageEvent = [this](const PageEvent& event) { OnPageEvent(event); };
  // Closing the window by its frame counts as Cancel.
  handlers.closeRequested = [this] { OnOptionsCancel(); };
  std::unique_ptr<IDialogHost> host = services_.makeHost(OptionsTemplate(services_), std::move(handlers), ownerHost);
  if (!host) return kDialogCancel;
  host_ = host.get();
  ended_ = false;
  host->ShowLoadingPage();
  const int result = host->RunModal();
  host_ = nullptr;
  return result == kDialogOk ? kDialogOk : kDialogCancel;
}

void COptionsDlg::End(int result) {
  if (ended_ || !host_) return;
  ended_ = true;
  host_->EndModal(result);
}

void COptionsDlg::OnDocumentComplete(const std::string& url) {
  if (!host_ || ended_) return;
  if (IsResourceUrl(url)) {
    host_->SetPaintingSuspended(true);
    host_->Navigate(optionsPageUrl_);
    return;
  }
  if (!IsPageUrl(url, optionsPageUrl_)) return;
  platform::html::IPage& page = host_->page();
  if (!page.HasElement(kAudioSource)) {
    // The caller re-reads the settings it finds unchanged and goes on.
    host_->SetPaintingSuspended(false);
    End(kDialogOk);
    if (services_.messageBox) {
      services_.messageBox->Show(LoadMessage(IDS_UI_LOAD_FAILED), MessageBoxButtons::Ok, MessageBoxIcon::Stop);
    }
    return;
  }
  FillAudioSources();
  if (!shownSource_.empty()) FillAudioInputs(platform::ToUtf8(shownSource_), GetProfileInt(kKeySourceInput, -1));
  page.SetValue(kSongsFolder, GetSongsFolder());

  const auto version = services_.probeEncoder();
  if (version) {
    page.SetText(kLameTitle, FormatText(u"Lame MP3 Encoder v%d.%d",
                                        {int64_t{version->first}, int64_t{version->second}}));
  } else {
    page.SetDisabled(kFormatLameEnc, true);
    page.SetInnerHtml(kLameTitle, kLameMissingHtml);
  }
  const bool loadable = version.has_value();
  switch (GetOutputFormat([loadable] { return loadable; })) {
    case kOutputFormatMp3:
      page.SetChecked(kFormatLameEnc, true);
      page.SetChecked(kFormatWma, false);
      break;
    case kOutputFormatWma:
      page.SetChecked(kFormatWma, true);
      page.SetChecked(kFormatLameEnc, false);
      break;
    default:
      break;
  }
  page.SetChecked(kShowRecordLevel, GetProfileInt(kKeyShowRecLevel, 1) != 0);
  host_->SetPaintingSuspended(false);
}

void COptionsDlg::FillAudioSources() {
  shownSource_.clear();
  if (!host_) return;
  const std::u16string sourceName = GetProfileString(kKeySourceName, u"");
  std::vector<platform::audio::DeviceInfo> devices;
  std::vector<SelectOption> options;
  int selected = -1;
  if (services_.audio && !platform::FAILED(services_.audio->EnumerateDevices(devices))) {
    for (const auto& device : devices) {
      if (device.friendlyName.empty()) continue;
      const std::u16string value = platform::FromUtf8(device.displayName);
      // Each option after the first goes in at position 1, so the list
      // reads first, last, ..., second: that is the order users know.
      const size_t at = options.empty() ? 0 : 1;
      options.insert(options.begin() + static_cast<std::ptrdiff_t>(at), SelectOption{device.friendlyName, value});
      if (selected >= static_cast<int>(at)) ++selected;
      if (!sourceName.empty() && value == sourceName) selected = static_cast<int>(at);
    }
  }
  // A drop-down list always shows one option: without a match the first.
  if (selected < 0 && !options.empty()) selected = 0;
  if (selected >= 0) shownSource_ = options[static_cast<size_t>(selected)].value;
  host_->page().SetOptions(kAudioSource, options, selected);
}

void COptionsDlg::FillAudioInputs(const std::string& displayName, int selection) {
  if (!host_) return;
  std::vector<SelectOption> options;
  std::shared_ptr<platform::audio::CaptureDevice> device;
  if (services_.audio && !platform::FAILED(services_.audio->BindCaptureDevice(displayName, device)) && device) {
    int n = 0;
    for (const auto& pin : device->Pins()) {
      // The value is the pin's place among all pins: that is how the
      // engine finds the line again.
      if (pin.direction == platform::audio::PinDirection::Input) {
        options.push_back(SelectOption{pin.name, platform::FromUtf8(std::to_string(n))});
      }
      ++n;
    }
  }
  // Without a stored line the first one shows chosen, as a drop-down list
  // shows it anyway: an input index of -1 would leave the capture graph
  // without a line, and the program could not start monitoring.
  int shown = selection >= 0 && selection < static_cast<int>(options.size()) ? selection : -1;
  if (shown < 0 && !options.empty()) shown = 0;
  host_->page().SetOptions(kAudioInput, options, shown);
}

void COptionsDlg::OnPageEvent(const PageEvent& event) {
  if (!host_ || ended_) return;
  if (event.kind == PageEvent::Kind::Change && event.id == kAudioSource) {
    OnAudioSourceChange(event);
    return;
  }
  if (event.kind != PageEvent::Kind::Click) return;
  if (event.id == kButtonOk) {
    OnOptionsOK(event);
  } else if (event.id == kButtonCancel) {
    OnOptionsCancel();
  } else if (event.id == kButtonBrowse) {
    OnBrowseClick(event);
  }
}

void COptionsDlg::OnAudioSourceChange(const PageEvent& event) {
  const ElementState* source = Element(event, kAudioSource);
  if (!source) return;
  shownSource_ = source->value;
  FillAudioInputs(platform::ToUtf8(source->value), -1);
}

void COptionsDlg::OnBrowseClick(const PageEvent& event) {
  if (!services_.folderChooser || !host_) return;
  const ElementState* folder = Element(event, kSongsFolder);
  const std::u16string initial = folder ? folder->value : std::u16string();
  const auto chosen = services_.folderChooser->ChooseFolder(kChooseFolderTitle, initial, host_);
  // Shown only; the settings change on OK.
  if (chosen && host_) host_->page().SetValue(kSongsFolder, *chosen);
}

void COptionsDlg::OnOptionsOK(const PageEvent& event) {
  // A folder that cannot hold songs keeps the page open with nothing stored.
  const ElementState* folder = Element(event, kSongsFolder);
  std::u16string songsFolder = folder ? folder->value : std::u16string();
  if (const auto refused = CheckSongsFolder(songsFolder)) {
    if (services_.messageBox) services_.messageBox->Show(*refused, MessageBoxButtons::Ok, MessageBoxIcon::Exclamation);
    return;
  }
  if (const ElementState* source = Element(event, kAudioSource)) WriteProfileString(kKeySourceName, source->value);
  if (const ElementState* input = Element(event, kAudioInput)) WriteProfileInt(kKeySourceInput, input->selectedIndex);
  if (folder) WriteProfileString(kKeySongsFolder, songsFolder);
  const ElementState* lame = Element(event, kFormatLameEnc);
  const ElementState* wma = Element(event, kFormatWma);
  if (lame && lame->checked) {
    SetOutputFormat(kOutputFormatMp3);
  } else if (wma && wma->checked) {
    SetOutputFormat(kOutputFormatWma);
  }
  if (const ElementState* level = Element(event, kShowRecordLevel)) {
    WriteProfileInt(kKeyShowRecLevel, level->checked ? 1 : 0);
  }
  End(kDialogOk);
}

void COptionsDlg::OnOptionsCancel() { End(kDialogCancel); }

}  // namespace orvweb::ui
