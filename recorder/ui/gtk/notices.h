#pragma once
// The small modal windows around the main window: the notice shown when the
// window goes to the tray, and the About box.
#include <functional>
#include <memory>
#include <string>

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;

namespace orvweb::ui {

class CAnimatedPicture;

// The resource lookup of the program's built-in files (path, bytes, MIME type).
using ResourceLookup = std::function<bool(const std::string& path, std::string& bytes, std::string& mimeType)>;

// "Minimizing": a line of text, a picture of the tray and a check box that
// turns the notice off. The box writes "ShowMinimizeWarning" on every click,
// so the choice holds even if the notice never gets its OK.
class CMinimizeDlg {
 public:
  explicit CMinimizeDlg(ResourceLookup resources);
  ~CMinimizeDlg();
  CMinimizeDlg(const CMinimizeDlg&) = delete;
  CMinimizeDlg& operator=(const CMinimizeDlg&) = delete;

  // Runs without an owner window until OK or the close button.
  int DoModal();

  GtkWidget* window() const { return dialog_; }
  GtkWidget* checkBox() const { return check_; }
  // Whether the tray picture loaded (the notice works without it).
  bool hasPicture() const { return pictureLoaded_; }

 private:
  GtkWidget* dialog_ = nullptr;
  GtkWidget* check_ = nullptr;
  std::unique_ptr<CAnimatedPicture> picture_;
  bool pictureLoaded_ = false;
};

// "About Orvello": the program's icon, its name and version, OK.
void RunAboutBox(GtkWindow* owner);

}  // namespace orvweb::ui
