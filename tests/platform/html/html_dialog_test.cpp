// The real dialog under X: pages of the test's own, driven with real pointer
// input (xdotool), read back through the binding's script world.
#include "platform/html/html_dialog.h"

#include <gtest/gtest.h>
// After gtest: X11 headers define names such as None.
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/text/utf.h"
#include "test_support.h"

namespace platform::html {
namespace {

using namespace std::chrono_literals;

// Runs the main context until cond holds or the deadline passes.
template <typename Cond>
bool Pump(Cond cond, std::chrono::milliseconds timeout = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(2000);
  }
  return true;
}

void Xdotool(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"/usr/bin/xdotool"};
  argv.insert(argv.end(), args.begin(), args.end());
  testing_support::Child child(argv);
  ASSERT_EQ(child.Wait(10000), 0);
}

struct Probe {
  std::vector<std::string> completed;
  std::vector<std::vector<std::string>> presentIds;
  std::vector<PageEvent> events;
  std::vector<std::string> external;
  int gone = 0;
};

class HtmlDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs an X display (scripts/rig)";
    setenv("GDK_BACKEND", "x11", 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    static const bool ok = gtk_init_check(nullptr, nullptr);
    if (!ok) GTEST_SKIP() << "no GTK display";
  }

  std::string WritePage(const std::string& name, const std::string& body) {
    const auto path = dir_.path() / name;
    std::ofstream(path) << "<!DOCTYPE html><html><head><meta charset='utf-8'><style>"
                           "body{margin:0;font:16px sans-serif} .box{position:absolute;left:20px;top:20px;"
                           "width:200px;height:60px}</style></head><body>"
                        << body << "</body></html>";
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    std::string result = uri;
    g_free(uri);
    return result;
  }

  std::unique_ptr<HtmlDialog> Make(std::vector<std::string> watched, DialogTemplate t = {}) {
    t.caption = u"Test Window";
    t.widthDlu = 485;
    t.heightDlu = 313;
    t.minimizeBox = true;
    t.watchedIds = std::move(watched);
    DialogHandlers h;
    h.documentComplete = [this, d = &dialog_](const std::string& url) {
      probe_.completed.push_back(url);
      std::vector<std::string> present;
      for (const char* id : {"A", "Inner", "B", "Hidden", "Drag", "Missing", "IsRecording", "Log", "Gauge"})
        if ((*d)->page().HasElement(id)) present.push_back(id);
      probe_.presentIds.push_back(present);
    };
    h.pageEvent = [this](const PageEvent& e) { probe_.events.push_back(e); };
    h.externalLink = [this](const std::string& uri) { probe_.external.push_back(uri); };
    h.webProcessGone = [this] { ++probe_.gone; };
    auto dialog = std::make_unique<HtmlDialog>(std::move(t), std::move(h));
    return dialog;
  }

  void LoadAndShow(const std::string& url) {
    dialog_->Show();
    dialog_->Navigate(url);
    ASSERT_TRUE(Pump([&] { return !probe_.completed.empty(); }, 60s)) << "page never completed";
  }

  std::string Eval(const std::string& script) {
    std::optional<std::string> result;
    dialog_->EvaluateForTest(script, [&](const std::string& r) { result = r; });
    EXPECT_TRUE(Pump([&] { return result.has_value(); }));
    return result.value_or("");
  }

  unsigned long Xid() { return gdk_x11_window_get_xid(gtk_widget_get_window(GTK_WIDGET(dialog_->window()))); }

  void ClickAt(int x, int y) {
    Xdotool({"mousemove", "--window", std::to_string(Xid()), std::to_string(x), std::to_string(y), "click", "1"});
  }

  std::pair<int, int> Origin() {
    int x = 0, y = 0;
    gdk_window_get_origin(gtk_widget_get_window(GTK_WIDGET(dialog_->window())), &x, &y);
    return {x, y};
  }

  testing_support::TempDir dir_;
  Probe probe_;
  std::unique_ptr<HtmlDialog> dialog_;
};

TEST_F(HtmlDialogTest, CompletionAndClicksCarryIdsAndElementState) {
  const std::string url = WritePage(
      "events.htm",
      "<div id='A' class='box'><span id='Inner'>press here</span></div>"
      "<select id='B' style='position:absolute;top:120px'><option value='x'>X</option>"
      "<option value='y' selected>Y</option></select>"
      "<input id='Hidden' type='checkbox' checked style='display:none'>"
      "<div id='Proxy' style='position:absolute;left:20px;top:200px;width:200px;height:40px'"
      " onclick=\"document.getElementById('Hidden').click()\">proxy</div>");
  DialogTemplate withHelp;
  withHelp.helpKey = true;
  dialog_ = Make({"A", "B", "Hidden", "Missing"}, withHelp);
  LoadAndShow(url);
  EXPECT_EQ(probe_.completed[0], url);
  EXPECT_EQ(probe_.presentIds[0], (std::vector<std::string>{"A", "B", "Hidden"}));
  int w = 0, h = 0;
  gtk_window_get_size(dialog_->window(), &w, &h);
  EXPECT_EQ(w, 728);
  EXPECT_EQ(h, 509);
  // Nothing can be dropped on the page, even once the view is realized.
  EXPECT_EQ(gtk_drag_dest_get_target_list(gtk_bin_get_child(GTK_BIN(dialog_->window()))), nullptr);

  // A click on a child belongs to the watched ancestor.
  ClickAt(60, 50);
  ASSERT_TRUE(Pump([&] { return !probe_.events.empty(); }));
  const PageEvent& click = probe_.events[0];
  EXPECT_EQ(click.kind, PageEvent::Kind::Click);
  EXPECT_EQ(click.id, "A");
  ASSERT_EQ(click.elements.count("B"), 1u);
  EXPECT_EQ(click.elements.at("B").value, u"y");
  EXPECT_EQ(click.elements.at("B").selectedIndex, 1);
  EXPECT_TRUE(click.elements.at("Hidden").checked);
  EXPECT_EQ(click.elements.count("Missing"), 0u);

  // The page's own element.click() counts as a click on that element; the
  // click it makes also toggles the box, and a change follows.
  ClickAt(60, 215);
  ASSERT_TRUE(Pump([&] {
    for (const PageEvent& e : probe_.events)
      if (e.id == "Hidden" && e.kind == PageEvent::Kind::Click) return true;
    return false;
  }));
  for (const PageEvent& e : probe_.events) {
    if (e.id == "Hidden" && e.kind == PageEvent::Kind::Click) {
      EXPECT_FALSE(e.elements.at("Hidden").checked);
    }
  }

  Xdotool({"key", "F1"});  // to the focused page, as a person presses it
  ASSERT_TRUE(Pump([&] { return probe_.events.back().kind == PageEvent::Kind::Help; }));
  EXPECT_EQ(probe_.events.back().id, "");

  // The same document completing again is reported again.
  dialog_->Navigate(url);
  ASSERT_TRUE(Pump([&] { return probe_.completed.size() == 2; }));
  EXPECT_EQ(probe_.completed[1], url);
}

TEST_F(HtmlDialogTest, WritesApplyAsTextInOrderSkipMissingAndStayQuiet) {
  const std::string url = WritePage(
      "writes.htm",
      "<div id='A'>old</div><input id='IsRecording' value='0'>"
      "<textarea id='Log'></textarea><div id='Gauge' style='height:4px'></div>"
      "<select id='Source'><option>stale</option></select><input id='Mp3' type='radio'>"
      "<script>document.getElementById('IsRecording').addEventListener('change',"
      " e => document.body.dataset.seen = e.target.value);</script>");
  dialog_ = Make({"A", "IsRecording", "Log"});
  LoadAndShow(url);
  IPage& page = dialog_->page();

  const std::u16string hostile = u"<img src=x onerror=alert(1)> & \"q\" \u00e9\u2028";
  page.SetText("Missing", u"nothing");
  page.SetText("A", hostile);
  page.SetValue("IsRecording", u"1");
  page.SetValue("Log", u"");
  std::u16string log;
  for (int i = 0; i < 20; ++i) {
    log = u"line " + std::u16string(1, char16_t(u'a' + i)) + u"\n" + log;
    page.SetValue("Log", log);
  }
  page.SetOptions("Source", {{u"A <dev>", u"a"}, {u"C", u"c"}, {u"B", u"b"}}, 2);
  page.SetChecked("Mp3", true);
  page.SetDisabled("Mp3", true);
  const size_t before = dialog_->scriptsSent();
  for (int i = 0; i <= 100; ++i) page.SetStyle("Gauge", "width", i % 2 ? u"1" : u"227");
  EXPECT_LE(dialog_->scriptsSent() - before, 1u);  // held for the frame
  ASSERT_TRUE(Pump([&] { return dialog_->scriptsSent() > before; }));
  EXPECT_EQ(dialog_->scriptsSent() - before, 1u);

  EXPECT_EQ(Eval("document.getElementById('A').textContent"), platform::ToUtf8(hostile));
  EXPECT_EQ(Eval("String(document.getElementById('A').children.length)"), "0");
  EXPECT_EQ(Eval("document.body.dataset.seen"), "1");
  EXPECT_EQ(Eval("document.getElementById('Log').value"), platform::ToUtf8(log));
  EXPECT_EQ(Eval("document.getElementById('Gauge').style.width"), "227px");
  EXPECT_EQ(Eval("String(document.getElementById('Missing'))"), "null");
  EXPECT_EQ(Eval("Array.from(document.getElementById('Source').options, o => o.text + '=' + o.value).join('|')"),
            "A <dev>=a|C=c|B=b");
  EXPECT_EQ(Eval("document.getElementById('Source').value"), "b");
  EXPECT_EQ(Eval("String([document.getElementById('Mp3').checked, document.getElementById('Mp3').disabled])"),
            "true,true");
  // The change fired for the page's script is not the user's change.
  for (const PageEvent& e : probe_.events) EXPECT_NE(e.kind, PageEvent::Kind::Change) << e.id;
}

TEST_F(HtmlDialogTest, PrependedLinesKeepTheirLimitAndInnerHtmlParsesOnlyMarkup) {
  const std::string url = WritePage("lines.htm", "<textarea id='Log'>old\n</textarea><p id='L'></p><p id='M'></p>");
  dialog_ = Make({"Log"});
  LoadAndShow(url);
  IPage& page = dialog_->page();
  for (int i = 0; i < 5; ++i) page.Prepend("Log", u"line " + std::u16string(1, char16_t(u'0' + i)) + u"\n", 3);
  page.SetInnerHtml("L", u"Record 00:01:02 &amp; <b>on</b>");
  page.SetInnerHtml("M", u"Record 00:01:03");
  EXPECT_EQ(Eval("document.getElementById('Log').value"), "line 4\nline 3\nline 2\n");
  EXPECT_EQ(Eval("document.getElementById('L').innerHTML"), "Record 00:01:02 &amp; <b>on</b>");
  EXPECT_EQ(Eval("document.getElementById('M').textContent"), "Record 00:01:03");
}

TEST_F(HtmlDialogTest, DragOnTextMovesTheWindowAndAPressInPlaceStaysAClick) {
  const std::string url = WritePage(
      "drag.htm", "<style>body{-webkit-user-select:none;user-select:none;cursor:default}</style>"
                  "<h1 id='Drag' class='box' style='margin:0'>drag the window by this text</h1>"
                  "<input id='Edit' value='select this text please'"
                  " style='position:absolute;left:20px;top:150px;width:300px;font:16px monospace'>");
  dialog_ = Make({"Drag"});
  LoadAndShow(url);
  const auto start = Origin();
  const std::string wid = std::to_string(Xid());

  ClickAt(80, 45);
  ASSERT_TRUE(Pump([&] { return !probe_.events.empty(); }));
  EXPECT_EQ(probe_.events[0].id, "Drag");
  EXPECT_EQ(Origin(), start);

  Xdotool({"mousemove", "--window", wid, "80", "45", "mousedown", "1"});
  bool moved = false;
  for (int step = 0; step < 40 && !moved; ++step) {
    Xdotool({"mousemove_relative", "--", "6", "4"});
    moved = Pump([&] { return Origin() != start; }, 150ms);
  }
  Xdotool({"mouseup", "1"});
  EXPECT_TRUE(moved) << "the window did not follow the drag";
  // Once the button is up the window stays where it was put.
  Pump([] { return false; }, 200ms);
  const auto dropped = Origin();
  Xdotool({"mousemove_relative", "--", "50", "50"});
  Eval("1");
  Pump([] { return false; }, 200ms);
  EXPECT_EQ(Origin(), dropped);

  // In an edit field the same drag selects text and leaves the window alone.
  Xdotool({"mousemove", "--window", wid, "30", "162", "mousedown", "1"});
  for (int step = 0; step < 10; ++step) {
    Xdotool({"mousemove_relative", "--", "15", "0"});
    Eval("1");
  }
  Xdotool({"mouseup", "1"});
  ASSERT_TRUE(Pump([&] {
    const std::string selected = Eval("String(document.getElementById('Edit').selectionEnd -"
                                      " document.getElementById('Edit').selectionStart)");
    return std::atoi(selected.c_str()) > 0;
  }));
  EXPECT_EQ(Origin(), dropped);
}

// Visible popup menus (the view's context menu is one).
int OpenMenus() {
  int n = 0;
  GList* all = gtk_window_list_toplevels();
  for (GList* l = all; l; l = l->next) {
    GtkWidget* w = GTK_WIDGET(l->data);
    if (gtk_widget_get_visible(w) && gtk_window_get_window_type(GTK_WINDOW(w)) == GTK_WINDOW_POPUP &&
        GTK_IS_MENU(gtk_bin_get_child(GTK_BIN(w))))
      ++n;
  }
  g_list_free(all);
  return n;
}

TEST_F(HtmlDialogTest, ContextMenuOnlyInEditFields) {
  const std::string url = WritePage(
      "menu.htm", "<div id='A' class='box'>plain text</div>"
                  "<textarea id='Log' style='position:absolute;left:20px;top:150px;width:200px;height:60px'>"
                  "log</textarea><script>document.addEventListener('contextmenu',"
                  " () => document.body.dataset.menus = (+document.body.dataset.menus || 0) + 1);</script>");
  dialog_ = Make({"A", "Log"});
  LoadAndShow(url);
  const std::string wid = std::to_string(Xid());
  auto pageSaw = [&](const char* n) {
    return Pump([&] { return Eval("String(document.body.dataset.menus)") == n; });
  };
  Xdotool({"mousemove", "--window", wid, "60", "40", "click", "3"});
  ASSERT_TRUE(pageSaw("1"));
  // Had plain text opened a menu, this click would only close it.
  Xdotool({"mousemove", "--window", wid, "60", "170", "click", "3"});
  ASSERT_TRUE(pageSaw("2"));
  ASSERT_TRUE(Pump([] { return OpenMenus() > 0; }));
  EXPECT_EQ(OpenMenus(), 1);
  Xdotool({"key", "Escape"});
  EXPECT_TRUE(Pump([] { return OpenMenus() == 0; }));
}

TEST_F(HtmlDialogTest, LinksToOtherOriginsLeaveTheViewWhereItIs) {
  const std::string other = "http://127.0.0.1:47651/elsewhere.htm";
  const std::string url = WritePage("links.htm", "<a id='A' class='box' href='" + other + "'>away</a>");
  dialog_ = Make({"A"});
  LoadAndShow(url);
  ClickAt(60, 40);
  ASSERT_TRUE(Pump([&] { return !probe_.external.empty(); }));
  EXPECT_EQ(probe_.external[0], other);
  EXPECT_EQ(Eval("location.href"), url);
  EXPECT_EQ(probe_.completed.size(), 1u);

  // A page that cannot be loaded completes without elements, so the owner sees the failure.
  const std::string gone = url.substr(0, url.rfind('/')) + "/missing.htm";
  dialog_->Navigate(gone);
  ASSERT_TRUE(Pump([&] { return probe_.completed.size() == 2; }));
  EXPECT_EQ(probe_.completed[1], gone);
  EXPECT_TRUE(probe_.presentIds[1].empty());
}

TEST_F(HtmlDialogTest, ModalRunKeepsTheOwnerInsensitiveUntilEndModal) {
  const std::string url = WritePage("owner.htm", "<div id='A' class='box'>owner</div>");
  dialog_ = Make({"A"});
  LoadAndShow(url);
  GtkWidget* owner = GTK_WIDGET(dialog_->window());

  DialogTemplate t;
  t.caption = u"Options";
  t.widthDlu = 308;
  t.heightDlu = 177;
  std::unique_ptr<HtmlDialog> options;
  bool ownerSensitiveDuringRun = true;
  int closes = 0;
  DialogHandlers h;
  h.documentComplete = [&](const std::string&) {
    ownerSensitiveDuringRun = gtk_widget_get_sensitive(owner);
    int w = 0, hgt = 0;
    gtk_window_get_size(options->window(), &w, &hgt);
    EXPECT_EQ(w, 462);
    EXPECT_EQ(hgt, 288);
    // The close button asks the owner, which ends the run with its answer.
    GdkEvent* del = gdk_event_new(GDK_DELETE);
    del->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(options->window()))));
    gtk_main_do_event(del);
    gdk_event_free(del);
  };
  h.closeRequested = [&] {
    ++closes;
    options->EndModal(2);
  };
  options = std::make_unique<HtmlDialog>(std::move(t), std::move(h), dialog_.get());
  EXPECT_EQ(gtk_window_get_transient_for(options->window()), dialog_->window());
  options->Navigate(url);
  EXPECT_EQ(options->RunModal(), 2);
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(ownerSensitiveDuringRun);
  EXPECT_TRUE(gtk_widget_get_sensitive(owner));
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(options->window())));

  // Destroyed while its web process is still loading: nothing may fire into it.
  options->Navigate(url);
  options.reset();
  EXPECT_EQ(Eval("1"), "1");
}

// Our own web processes: children (or deeper descendants) of this process.
std::vector<pid_t> WebProcesses() {
  std::vector<pid_t> found;
  std::set<pid_t> ours{getpid()};
  for (int round = 0; round < 3; ++round) {
    GDir* proc = g_dir_open("/proc", 0, nullptr);
    while (const char* name = g_dir_read_name(proc)) {
      const pid_t pid = static_cast<pid_t>(std::atoi(name));
      if (pid <= 0) continue;
      std::ifstream stat("/proc/" + std::string(name) + "/stat");
      std::string line;
      std::getline(stat, line);
      const auto close = line.rfind(')');
      if (close == std::string::npos) continue;
      const std::string comm = line.substr(line.find('(') + 1, close - line.find('(') - 1);
      int ppid = 0;
      char state = 0;
      std::istringstream(line.substr(close + 2)) >> state >> ppid;
      if (ours.count(ppid)) {
        ours.insert(pid);
        if (comm.rfind("WebKitWebProces", 0) == 0 && round == 2) found.push_back(pid);
      }
    }
    g_dir_close(proc);
  }
  return found;
}

TEST_F(HtmlDialogTest, ResourcePageReloadsAfterTheWebProcessDies) {
  DialogTemplate t;
  t.loadingPageUrl = "res://orvweb/LoadingPage";
  t.resources = [](const std::string& path, std::string& bytes, std::string& mime) {
    if (path == "LoadingPage") {
      bytes = "<html><body id='COrvWebRecorderDlg'><img id='A' src='img/dot.gif'>Loading...</body></html>";
      mime = "text/html";
      return true;
    }
    if (path == "img/dot.gif") {
      static const unsigned char gif[] = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0xff, 0xff, 0xff,
                                          0, 0, 0, '!', 0xf9, 4, 1, 0, 0, 0, 0, ',', 0, 0, 0, 0, 1, 0, 1, 0,
                                          0, 2, 2, 'D', 1, 0, ';'};
      bytes.assign(reinterpret_cast<const char*>(gif), sizeof gif);
      mime = "image/gif";
      return true;
    }
    return false;
  };
  dialog_ = Make({"A"}, t);
  dialog_->Show();
  dialog_->ShowLoadingPage();
  ASSERT_TRUE(Pump([&] { return !probe_.completed.empty(); }, 60s));
  EXPECT_EQ(probe_.completed[0], "res://orvweb/LoadingPage");
  EXPECT_EQ(probe_.presentIds[0], std::vector<std::string>{"A"});
  EXPECT_EQ(Eval("String(document.images[0].naturalWidth)"), "1");

  const std::vector<pid_t> web = WebProcesses();
  ASSERT_FALSE(web.empty()) << "no web process found below this process";
  for (pid_t pid : web) kill(pid, SIGKILL);
  ASSERT_TRUE(Pump([&] { return probe_.gone >= 1 && probe_.completed.size() >= 2; }, 60s));
  EXPECT_EQ(probe_.completed.back(), "res://orvweb/LoadingPage");
  EXPECT_TRUE(dialog_->page().HasElement("A"));
}

}  // namespace
}  // namespace platform::html
