#pragma once
// A dialog host for binding tests: an in-memory page, the calls the binding
// made, and a modal run that plays a script of documents and events.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/html/memory_page.h"
#include "recorder/ui/dialog_host.h"

namespace ui_test {

class FakeHost : public orvweb::ui::IDialogHost {
 public:
  platform::html::IPage& page() override { return page_; }
  void ShowLoadingPage() override { navigations.push_back(orvweb::ui::kLoadingPageUrl); }
  void Navigate(const std::string& url) override { navigations.push_back(url); }
  void SetPaintingSuspended(bool suspended) override { painting.push_back(suspended); }
  void Hide() override { hidden = true; }
  void Present() override {
    hidden = false;
    ++presents;
  }
  void AddMenuEntry(const std::u16string& label, std::function<void()> activate) override {
    menu.emplace_back(label, std::move(activate));
  }
  int RunModal() override {
    ++runs;
    if (onRun) onRun();
    return ended ? endResult : 2;
  }
  void EndModal(int result) override {
    ended = true;
    endResult = result;
  }

  platform::html::MemoryPage page_;
  platform::html::DialogTemplate dialog;
  platform::html::DialogHandlers handlers;
  IDialogHost* owner = nullptr;
  std::vector<std::string> navigations;
  std::vector<bool> painting;
  std::function<void()> onRun;
  std::vector<std::pair<std::u16string, std::function<void()>>> menu;
  bool hidden = false;
  int presents = 0;
  bool ended = false;
  int endResult = 0;
  int runs = 0;
};

// Forwards to a FakeHost the factory keeps, so a test can look at a run's
// host after the binding has let go of it.
class HostProxy : public orvweb::ui::IDialogHost {
 public:
  explicit HostProxy(FakeHost& host) : host_(host) {}
  platform::html::IPage& page() override { return host_.page(); }
  void ShowLoadingPage() override { host_.ShowLoadingPage(); }
  void Navigate(const std::string& url) override { host_.Navigate(url); }
  void SetPaintingSuspended(bool suspended) override { host_.SetPaintingSuspended(suspended); }
  void Hide() override { host_.Hide(); }
  void Present() override { host_.Present(); }
  void AddMenuEntry(const std::u16string& label, std::function<void()> activate) override {
    host_.AddMenuEntry(label, std::move(activate));
  }
  int RunModal() override { return host_.RunModal(); }
  void EndModal(int result) override { host_.EndModal(result); }

 private:
  FakeHost& host_;
};

struct HostFactory {
  orvweb::ui::DialogHostFactory Make() {
    return [this](platform::html::DialogTemplate dialog, platform::html::DialogHandlers handlers,
                  orvweb::ui::IDialogHost* owner) -> std::unique_ptr<orvweb::ui::IDialogHost> {
      hosts.push_back(std::make_unique<FakeHost>());
      FakeHost& host = *hosts.back();
      host.dialog = std::move(dialog);
      host.handlers = std::move(handlers);
      host.owner = owner;
      if (prepare) prepare(host);
      return std::make_unique<HostProxy>(host);
    };
  }
  FakeHost& last() { return *hosts.back(); }
  std::function<void(FakeHost&)> prepare;
  std::vector<std::unique_ptr<FakeHost>> hosts;
};

}  // namespace ui_test
