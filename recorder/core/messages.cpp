#include "recorder/core/messages.h"

namespace orvweb {
namespace {

struct Entry {
  int id;
  const char16_t* english;
  const char16_t* german;
};

// Page addresses (106, 129-132, 135) are built from the endpoint bases.
constexpr Entry kTexts[] = {
    {101, u"&About OrvWebRecorder...", u"&\u00DCber Orvello..."},
    {102, u"IDS_WMASERT_WARNING", u"IDS_WMASERT_WARNING"},
    {103, u"Programm runs already.", u"Program ist bereits gestartet."},
    {104, u"Orvello Web Edition", u"Orvello"},
    {107, u"Record Level is set to %0.0f%%", u"Record Level is set to %0.0f%%"},
    {108, u"Unable to Stop Recording", u"Aufnahmestopp nicht m\u00F6glich"},
    {109, u"Recording is Stopped", u"Aufnahme ist gestoppt."},
    {110, u"Unable to Start Recording.", u"Aufnahemstart nicht m\u00F6glich."},
    {111, u"Recording is Started.", u"Aufnahme gestartet."},
    {112, u"User interface is loaded.", u"Userinterface geladen."},
    {113, u"Unable To Load User Interface, Check your internet connection.\nOrvweb Will Quit.",
     u"Kann Userinterface nicht laden. \u00DCberpr\u00FCfen Sie bitte ihre Internetverbindung.\nOrvello wird beendet."},
    {114, u"Lame_enc.dll v%d.%d is found.", u"Lame_enc.dll v%d.%d gefunden."},
    {115, u"Lame_enc.dll is not found.", u"Lame_enc.dll nicht gefunden ."},
    {116, u"Windows Media Player Plugin is not detected.", u"Windows Media Player Plugin l\u00E4uft nicht."},
    {117, u"Windows Media Player Plugin is detected.", u"Windows Media Player Plugin l\u00E4uft."},
    {118,
     u"Windows Media Player is detected but OrvWeb plug-in seems not to be activated.\nUse Tools->Plug-ins menu of "
     u"Window Media Player to activate Requested plugin.",
     u"Windows Media Player l\u00E4uft, aber Orvello Plugin ist nicht aktiviert.\nGehen Sie im MediaPlayer "
     u"Tools->Plug-ins und aktivieren Sie den Orvello-Plugin"},
    {120, u"No song is currently playing.", u"Kein Song wird gerade gespielt."},
    {121, u"Windows Media Player is stoped or paused.", u"Windows Media Player gestoppt."},
    {122, u"New song %s - %s is started in %s.", u"Neuer Song %s - %s wird in %s aufgenommen."},
    {123, u"Song Is Too Long. Record is stopped.", u"Song ist zu lang. Aufnahme wurde beendet."},
    {124, u"It is very long Silence. Record is stopped.", u"Zu lange Silence . Aufnahme wurde beendet."},
    {125, u"Record %H:%M:%S", u"Aufnahme %H:%M:%S"},
    {126, u"Last Song is too short and deleted.", u"Letze Aufnahme war zu kurz und wurde daher gel\u00F6scht."},
    {128, u"It is nessesary to set parameters at first to use Orvello.",
     u"Bitte stellen sie die Aufnahemoptionen ein, bevor Sie Orvello zum ersten mal benutzen."},
    {136, u"Recording is going on. Do you want to stop recording and change settings?",
     u"Aufnahme l\u00E4uft! Wollen Sie die Optionen \u00E4ndern und die Aufnahme stoppen?"},
    {137, u"Song is already recorded. Recording is canceled.",
     u"Der Song wurde bereits aufgenommen. Aufnahme abgebrochen."},
    {140, u"The unfinished recording %s was repaired.", u"Die unvollst\u00E4ndige Aufnahme %s wurde repariert."},
    {141, u"The unfinished recording %s could not be repaired.",
     u"Die unvollst\u00E4ndige Aufnahme %s konnte nicht repariert werden."},
    {160, u"The sound server or the recording source went away. Recording is stopped; the song so far is kept.",
     u"Der Soundserver oder die Aufnahmequelle ist weg. Aufnahme wurde beendet; der Song bis hierher ist "
     u"gespeichert."},
    {161, u"The recording source is back. The level gauge runs again.",
     u"Die Aufnahmequelle ist wieder da. Die Pegelanzeige l\u00E4uft wieder."},
    {162, u"The downloaded update could not be verified and was deleted. Nothing was installed.",
     u"Das heruntergeladene Update konnte nicht \u00FCberpr\u00FCft werden und wurde gel\u00F6scht. Nichts wurde installiert."},
    {150, u"%s is kept as it is (not recorded by this program, or its length cannot be read). The new recording is saved as %s.",
     u"%s bleibt unver\u00E4ndert (nicht von diesem Programm aufgenommen oder L\u00E4nge nicht lesbar). Die neue Aufnahme hei\u00DFt %s."},
    {151, u"The songs folder is full or cannot be written: %s. Recording is stopped.",
     u"Der Song-Ordner ist voll oder nicht beschreibbar: %s. Aufnahme wurde beendet."},
    {152, u"The songs folder must be a full path, such as ~/Music or /home/you/Music: %s",
     u"Der Song-Ordner muss ein vollst\u00E4ndiger Pfad sein, etwa ~/Music oder /home/du/Music: %s"},
    {153, u"The songs folder cannot be created: %s", u"Der Song-Ordner kann nicht angelegt werden: %s"},
};

// The development server of the pages 129 and 131 is never used.
constexpr char16_t kDevServer[] = u"http://localhost";

}  // namespace

std::u16string LoadMessage(int id, Language language) {
  const bool german = language == Language::German;
  switch (id) {
    case IDS_HELP_PAGE_UNUSED:
    case IDS_HELP_PAGE:
      return UiBase(language) + u"help.aspx";
    case IDS_UI_PAGE:
      return UiBase(language) + u"orvweb.htm";
    case IDS_OPTIONS_PAGE:
      return UiBase(language) + u"orvwebOptions.htm";
    case IDS_DEV_UI_PAGE:
      return std::u16string(kDevServer) + (german ? u"/orvde/orvweb.htm" : u"/orven/orvweb.htm");
    case IDS_DEV_OPTIONS_PAGE:
      return std::u16string(kDevServer) + (german ? u"/orvde/orvwebOptions.htm" : u"/orven/orvwebOptions.htm");
    default:
      break;
  }
  for (const Entry& e : kTexts) {
    if (e.id == id) return german ? e.german : e.english;
  }
  return u"";
}

std::u16string LoadMessage(int id) { return LoadMessage(id, CurrentLanguage()); }

}  // namespace orvweb
