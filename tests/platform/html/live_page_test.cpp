// What a page that is not always seen sends: held writes merged per element
// and sent together when shown, repeats never sent twice.
#include "platform/html/live_page.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/html/memory_page.h"
#include "platform/loop/fake_loop.h"

namespace {

using platform::html::LivePage;
using platform::html::MemoryPage;

TEST(LivePage, HeldWritesMergePerElementAndGoOutOnceWhenShown) {
  struct Case {
    const char* name;
    std::function<void(LivePage&)> hidden;
    size_t writes;  // reaching the page when shown
    std::u16string log, text, style;
  };
  const Case cases[] = {
      {"missed lines in order, newest first, to the limit",
       [](LivePage& p) {
         for (const char16_t* line : {u"a\n", u"b\n", u"c\n", u"d\n"}) p.Prepend("Log", line, 3);
       },
       1, u"d\nc\nb\n", u"", u""},
      {"a whole value replaces the lines before it, later lines stay",
       [](LivePage& p) {
         p.Prepend("Log", u"a\n", 3);
         p.SetValue("Log", u"");
         p.Prepend("Log", u"b\n", 3);
       },
       2, u"b\n", u"", u""},
      {"text and inner HTML share one slot, the last wins",
       [](LivePage& p) {
         p.SetText("Now", u"first");
         p.SetInnerHtml("Now", u"<b>second</b>");
         p.SetText("Now", u"third");
       },
       1, u"old\n", u"third", u""},
      {"the latest style only",
       [](LivePage& p) {
         for (const char16_t* width : {u"1", u"2", u"3"}) p.SetStyle("Gauge", "width", width);
       },
       1, u"old\n", u"", u"3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::FakeLoop loop;
    MemoryPage page;
    page.AddElement("Log", "textarea").value = u"old\n";
    page.AddElement("Now");
    page.AddElement("Gauge");
    LivePage live(loop, page, 67);
    live.SetSeen(false);
    c.hidden(live);
    EXPECT_EQ(page.appliedWrites(), 0u);
    live.SetSeen(true);
    EXPECT_EQ(page.appliedWrites(), c.writes);
    EXPECT_EQ(page.Find("Log")->value, c.log);
    EXPECT_EQ(page.Find("Now")->text, c.text);
    const auto& style = page.Find("Gauge")->style;
    EXPECT_EQ(style.count("width") ? style.at("width") : u"", c.style);
  }
}

TEST(LivePage, RepeatsAreNotSentUntilANewDocument) {
  platform::FakeLoop loop;
  MemoryPage page;
  page.AddElement("Label");
  page.AddElement("Flag", "input");
  LivePage live(loop, page, 67);
  live.SetInnerHtml("Label", u"Record 00:00:01");
  live.SetInnerHtml("Label", u"Record 00:00:01");
  live.SetStyle("Label", "visibility", u"Hidden");
  loop.Advance(100);
  live.SetStyle("Label", "visibility", u"Hidden");
  EXPECT_EQ(page.appliedWrites(), 2u);
  // Values may have been changed on the page: they always go.
  live.SetValue("Flag", u"1");
  live.SetValue("Flag", u"1");
  EXPECT_EQ(page.appliedWrites(), 4u);
  // A reloaded document has none of it.
  live.Reset();
  live.SetInnerHtml("Label", u"Record 00:00:01");
  live.SetStyle("Label", "visibility", u"Hidden");
  EXPECT_EQ(page.appliedWrites(), 6u);
}

}  // namespace
