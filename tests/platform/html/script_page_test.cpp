// The script writes of the web page: what each IPage call sends, and the two
// savings (styles once per frame, log lines prepended).
#include "platform/html/script_page.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/html/html_dialog.h"

namespace platform::html {
namespace {

struct Recorder {
  std::vector<std::string> sent;
  int frames = 0;
  ScriptPage page{[this](const std::string& s) { sent.push_back(s); }, [this] { ++frames; }};
};

TEST(ScriptPageTest, StringsAreEscapedSoNoTextCanBreakOutOfTheScript) {
  struct Case {
    std::u16string in;
    std::string out;
  } cases[] = {
      {u"plain", "\"plain\""},
      {u"a\"b\\c", "\"a\\\"b\\\\c\""},
      {u"</script><img src=x>", "\"\\u003c/script>\\u003cimg src=x>\""},
      {u"line\nnext\r", "\"line\\u000anext\\u000d\""},
      {u"\u2028\u00e9", "\"\\u2028\\u00e9\""},
      {std::u16string(1, char16_t(0xd800)) + u"x", "\"\\ud800x\""},  // lone surrogate stays valid
  };
  for (const Case& c : cases) EXPECT_EQ(JsString(c.in), c.out);
}

TEST(ScriptPageTest, BareNumbersOfLengthsGetPixels) {
  struct Case {
    const char* property;
    std::u16string value, css;
  } cases[] = {
      {"width", u"227", u"227px"}, {"width", u"0", u"0"},         {"width", u"50%", u"50%"},
      {"height", u"1.5", u"1.5px"}, {"visibility", u"Hidden", u"Hidden"}, {"opacity", u"1", u"1"},
  };
  for (const Case& c : cases) EXPECT_EQ(CssValue(c.property, c.value), c.css) << c.property;
}

TEST(ScriptPageTest, WritesBeforeBindAreDroppedAndHasElementFollowsTheDocument) {
  Recorder r;
  r.page.SetText("NowPlaying", u"x");
  r.page.SetStyle("RecGauge", "width", u"1");
  EXPECT_TRUE(r.sent.empty());
  EXPECT_EQ(r.frames, 0);
  r.page.Bind({"Log"});
  EXPECT_TRUE(r.page.HasElement("Log"));
  EXPECT_FALSE(r.page.HasElement("NowPlaying"));
  r.page.Unbind();
  EXPECT_FALSE(r.page.HasElement("Log"));
}

TEST(ScriptPageTest, StylesAreHeldForTheFrameLastValueWinsAndKeepOrderPerElement) {
  Recorder r;
  r.page.Bind({});
  for (int i = 0; i <= 100; ++i) r.page.SetStyle("RecGauge", "width", std::u16string(u"") + char16_t(u'0' + i % 10));
  r.page.SetStyle("GaugeTable", "visibility", u"Hidden");
  EXPECT_EQ(r.frames, 1);
  EXPECT_TRUE(r.sent.empty());
  r.page.SetText("Other", u"t");  // another element does not wait for the frame
  ASSERT_EQ(r.sent.size(), 1u);
  r.page.SetInnerHtml("GaugeTable", u"");  // held styles of the same element go first
  ASSERT_EQ(r.sent.size(), 3u);
  EXPECT_NE(r.sent[1].find("\"GaugeTable\",\"visibility\",\"Hidden\""), std::string::npos);
  EXPECT_NE(r.sent[2].find("html(\"GaugeTable\""), std::string::npos);
  r.page.Frame();
  ASSERT_EQ(r.sent.size(), 4u);
  EXPECT_NE(r.sent[3].find("\"RecGauge\",\"width\",\"0\""), std::string::npos);
  EXPECT_EQ(r.sent[3].find("GaugeTable"), std::string::npos);
  r.page.Frame();
  EXPECT_EQ(r.sent.size(), 4u);
}

TEST(ScriptPageTest, LogSendsOnlyTheNewLinesAndRebindStartsOver) {
  Recorder r;
  r.page.Bind({"Log"});
  const std::u16string writes[] = {u"", u"one\r\n", u"two\r\none\r\n", u"x\r\n", u"x\r\n"};
  const char* expected[] = {"value(\"Log\",\"\")", "value(\"Log\",\"one\\u000d\\u000a\")",
                            "prepend(\"Log\",\"two\\u000d\\u000a\")", "value(\"Log\",\"x\\u000d\\u000a\")",
                            "value(\"Log\",\"x\\u000d\\u000a\")"};
  for (size_t i = 0; i < std::size(writes); ++i) {
    r.page.SetValue("Log", writes[i]);
    ASSERT_EQ(r.sent.size(), i + 1);
    EXPECT_NE(r.sent[i].find(expected[i]), std::string::npos) << r.sent[i];
  }
  // A new document has never seen the old text: the whole value goes again.
  r.page.Bind({"Log"});
  r.page.SetValue("Log", u"y\r\nx\r\n");
  EXPECT_NE(r.sent.back().find("value(\"Log\""), std::string::npos);
}

TEST(ScriptPageTest, ABatchIsOneScriptInTheOrderOfItsWrites) {
  Recorder r;
  r.page.Bind({"Log", "NowPlaying"});
  r.page.BeginBatch();
  r.page.SetText("NowPlaying", u"A - B");
  r.page.Prepend("Log", u"12:00:00 one\n12:00:01 two\n", 500);
  r.page.SetStyle("RecGauge", "width", u"227");
  r.page.Frame();
  EXPECT_TRUE(r.sent.empty());
  r.page.EndBatch();
  ASSERT_EQ(r.sent.size(), 1u);
  const std::string& s = r.sent[0];
  const size_t text = s.find("text(\"NowPlaying\""), log = s.find("prepend(\"Log\""), gauge = s.find("\"RecGauge\"");
  ASSERT_NE(gauge, std::string::npos) << s;
  EXPECT_LT(text, log);
  EXPECT_LT(log, gauge);
  EXPECT_NE(s.find(",500)"), std::string::npos);
  r.page.SetText("NowPlaying", u"C - D");  // after the batch: sent at once
  EXPECT_EQ(r.sent.size(), 2u);
}

TEST(DialogUnitsTest, EightPointDialogFontAtNinetySixDpi) {
  struct Case {
    int w, h, scale, pw, ph;
  } cases[] = {{485, 313, 1, 728, 509}, {308, 177, 1, 462, 288}, {485, 313, 2, 1456, 1018}, {0, 0, 1, 0, 0}};
  for (const Case& c : cases) {
    const PixelSize size = DialogUnitsToPixels(c.w, c.h, c.scale);
    EXPECT_EQ(size.width, c.pw);
    EXPECT_EQ(size.height, c.ph);
  }
}

}  // namespace
}  // namespace platform::html
