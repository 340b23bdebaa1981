#include "recorder/ui/gtk/html_dialog_host.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "platform/text/utf.h"

#include "recorder/resources/resources.h"

namespace orvweb::ui {
namespace {

std::vector<platform::html::HtmlDialog*>& ModalRuns() {
  static std::vector<platform::html::HtmlDialog*> runs;
  return runs;
}

// ORVWEB_UI_TRACE names a file that gets one line per completed document,
// page event and page write of every dialog: tests read the program's view
// of its pages from it.
class Trace {
 public:
  static Trace& Get() {
    static Trace trace;
    return trace;
  }
  bool on() const { return file_ != nullptr; }
  void Line(const std::string& caption, const std::string& what) {
    if (!file_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    std::string line = caption + "\t" + what;
    for (char& c : line) {
      if (c == '\n') c = ' ';
    }
    std::fprintf(file_, "%s\n", line.c_str());
    std::fflush(file_);
  }

 private:
  Trace() {
    const char* path = std::getenv("ORVWEB_UI_TRACE");
    if (path && *path) file_ = std::fopen(path, "a");
  }
  ~Trace() {
    if (file_) std::fclose(file_);
  }
  std::FILE* file_ = nullptr;
  std::mutex mutex_;
};

class TracingPage : public platform::html::IPage {
 public:
  TracingPage(platform::html::IPage& inner, std::string caption) : inner_(inner), caption_(std::move(caption)) {}
  bool HasElement(std::string_view id) const override { return inner_.HasElement(id); }
  void SetText(std::string_view id, std::u16string_view text) override {
    Write("text", id, platform::ToUtf8(text));
    inner_.SetText(id, text);
  }
  void SetInnerHtml(std::string_view id, std::u16string_view html) override {
    Write("html", id, platform::ToUtf8(html));
    inner_.SetInnerHtml(id, html);
  }
  void SetValue(std::string_view id, std::u16string_view value) override {
    // The log is long: its newest line is what a reader wants.
    std::string v = platform::ToUtf8(value);
    if (id == "Log") v = v.substr(0, v.find('\n'));
    Write("value", id, v);
    inner_.SetValue(id, value);
  }
  void SetChecked(std::string_view id, bool checked) override {
    Write("checked", id, checked ? "1" : "0");
    inner_.SetChecked(id, checked);
  }
  void SetDisabled(std::string_view id, bool disabled) override {
    Write("disabled", id, disabled ? "1" : "0");
    inner_.SetDisabled(id, disabled);
  }
  void SetStyle(std::string_view id, std::string_view property, std::u16string_view value) override {
    // The gauge is written with every buffer: only changes are traced.
    const std::string key = std::string(id) + "." + std::string(property);
    const std::string v = platform::ToUtf8(value);
    if (auto& last = lastStyle_[key]; last != v) {
      last = v;
      Write("style." + std::string(property), id, v);
    }
    inner_.SetStyle(id, property, value);
  }
  void Prepend(std::string_view id, std::u16string_view text, size_t keepLines) override {
    // One line a row, oldest first, as single writes would have come.
    const std::string all = platform::ToUtf8(text);
    std::vector<std::string_view> lines;
    for (size_t start = 0; start < all.size();) {
      size_t end = all.find('\n', start);
      if (end == std::string::npos) end = all.size();
      lines.push_back(std::string_view(all).substr(start, end - start));
      start = end + 1;
    }
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) Write("value", id, std::string(*it));
    inner_.Prepend(id, text, keepLines);
  }
  void BeginBatch() override { inner_.BeginBatch(); }
  void EndBatch() override { inner_.EndBatch(); }
  void SetOptions(std::string_view id, const std::vector<platform::html::SelectOption>& options,
                  int selected) override {
    std::string all = std::to_string(selected);
    for (const auto& o : options) all += "\t" + platform::ToUtf8(o.value) + "=" + platform::ToUtf8(o.text);
    Write("options", id, all);
    inner_.SetOptions(id, options, selected);
  }

 private:
  void Write(const std::string& kind, std::string_view id, const std::string& value) {
    Trace::Get().Line(caption_, "write\t" + kind + "\t" + std::string(id) + "\t" + value);
  }
  platform::html::IPage& inner_;
  std::string caption_;
  std::map<std::string, std::string> lastStyle_;
};

// Where the watched elements sit (their centres in window coordinates), so
// that a test can click them as a person would.
// Element centres and sizes in window coordinates: the page's plus the view's origin.
std::string RectsScript(const std::vector<std::string>& ids, int originX, int originY) {
  std::string list;
  for (const auto& id : ids) list += (list.empty() ? "\"" : ",\"") + id + "\"";
  return "(function(){var ids=[" + list +
         "],out=[];for(var i=0;i<ids.length;i++){var e=document.getElementById(ids[i]);if(!e)continue;"
         "var r=e.getBoundingClientRect();out.push(ids[i]+' '+(" + std::to_string(originX) +
         "+Math.round(r.left+r.width/2))+' '+(" + std::to_string(originY) +
         "+Math.round(r.top+r.height/2))+' '+Math.round(r.width)+' '+Math.round(r.height));}"
         "return out.join(';');})()";
}

platform::html::DialogHandlers Traced(platform::html::DialogHandlers handlers, const std::string& caption,
                                      std::function<void()> afterComplete) {
  if (!Trace::Get().on()) return handlers;
  auto complete = std::move(handlers.documentComplete);
  handlers.documentComplete = [complete, caption, afterComplete](const std::string& url) {
    Trace::Get().Line(caption, "complete\t" + url);
    if (complete) complete(url);
    afterComplete();
  };
  auto event = std::move(handlers.pageEvent);
  handlers.pageEvent = [event, caption](const platform::html::PageEvent& e) {
    const char* kind = e.kind == platform::html::PageEvent::Kind::Click    ? "click"
                       : e.kind == platform::html::PageEvent::Kind::Change ? "change"
                                                                            : "help";
    Trace::Get().Line(caption, std::string("event\t") + kind + "\t" + e.id);
    if (event) event(e);
  };
  auto gone = std::move(handlers.webProcessGone);
  handlers.webProcessGone = [gone, caption] {
    Trace::Get().Line(caption, "web-process-gone");
    if (gone) gone();
  };
  return handlers;
}

class HtmlDialogHost : public IDialogHost {
 public:
  HtmlDialogHost(platform::html::DialogTemplate dialog, platform::html::DialogHandlers handlers, IDialogHost* owner,
                 int iconId, bool builtInIcons)
      : caption_(platform::ToUtf8(dialog.caption)),
        watchedIds_(dialog.watchedIds),
        dialog_(std::move(dialog), Traced(std::move(handlers), caption_, [this] { TraceRects(); }),
                owner ? owner->dialog() : nullptr),
        tracing_(dialog_.page(), caption_) {
    if (builtInIcons) SetIcons(iconId);
  }
  ~HtmlDialogHost() override { Forget(); }

  platform::html::IPage& page() override {
    if (Trace::Get().on()) return tracing_;
    return dialog_.page();
  }
  void ShowLoadingPage() override { dialog_.ShowLoadingPage(); }
  void Navigate(const std::string& url) override { dialog_.Navigate(url); }
  void SetPaintingSuspended(bool suspended) override { dialog_.SetPaintingSuspended(suspended); }
  void Hide() override { dialog_.Hide(); }
  void Present() override { dialog_.Present(); }
  void AddMenuEntry(const std::u16string& label, std::function<void()> activate) override {
    dialog_.AddMenuEntry(label, std::move(activate));
  }
  int RunModal() override {
    ModalRuns().push_back(&dialog_);
    const int result = dialog_.RunModal();
    Forget();
    return result;
  }
  void EndModal(int result) override { dialog_.EndModal(result); }
  platform::html::HtmlDialog* dialog() override { return &dialog_; }

 private:
  void TraceRects() {
    const std::string caption = caption_;
    int x = 0, y = 0;
    dialog_.ViewOrigin(x, y);
    dialog_.EvaluateForTest(RectsScript(watchedIds_, x, y), [caption](const std::string& result) {
      Trace::Get().Line(caption, "rects\t" + result);
    });
  }
  void Forget() {
    auto& runs = ModalRuns();
    runs.erase(std::remove(runs.begin(), runs.end(), &dialog_), runs.end());
  }
  void SetIcons(int iconId) {
    GList* icons = nullptr;
    for (const std::string& path : resources::IconPaths(iconId)) {
      if (GdkPixbuf* icon = gdk_pixbuf_new_from_resource(path.c_str(), nullptr)) icons = g_list_append(icons, icon);
    }
    if (!icons) return;
    gtk_window_set_icon_list(dialog_.window(), icons);
    g_list_free_full(icons, g_object_unref);
  }

  std::string caption_;
  std::vector<std::string> watchedIds_;
  platform::html::HtmlDialog dialog_;
  TracingPage tracing_;
};

}  // namespace

DialogHostFactory HtmlDialogHostFactory(int iconId) {
  return [iconId](platform::html::DialogTemplate dialog, platform::html::DialogHandlers handlers,
                  IDialogHost* owner) -> std::unique_ptr<IDialogHost> {
    const bool builtInIcons = dialog.iconFiles.empty();
    return std::make_unique<HtmlDialogHost>(std::move(dialog), std::move(handlers), owner, iconId, builtInIcons);
  };
}

GtkWindow* ActiveDialogWindow() {
  const auto& runs = ModalRuns();
  for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
    GtkWindow* window = (*it)->window();
    if (window && gtk_widget_get_visible(GTK_WIDGET(window))) return window;
  }
  return nullptr;
}

}  // namespace orvweb::ui
