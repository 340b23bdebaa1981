// Which addresses a dialog's view may load itself, and which leave it.
#include "platform/html/navigation.h"

#include <gtest/gtest.h>

namespace platform::html {
namespace {

TEST(NavigationRulesTest, ViewStaysOnBuiltInPagesItsHomeOriginAndItsFolder) {
  struct Case {
    const char* home;
    const char* url;
    bool stays;
  } cases[] = {
      {"", "res://orvweb/LoadingPage", true},
      {"", "RES://orvweb/LoadingPage", true},
      {"", "about:blank", true},
      {"", "http://ui.example/orvweb.htm", false},
      {"http://ui.example/en/orvweb.htm", "http://UI.example:80/de/orvweb.htm", true},
      {"http://ui.example/en/orvweb.htm", "https://ui.example/en/orvweb.htm", false},
      {"http://ui.example/en/orvweb.htm", "http://ui.example:8080/en/orvweb.htm", false},
      {"http://ui.example/en/orvweb.htm", "http://evil.example/", false},
      {"https://ui.example/a", "https://ui.example:443/b", true},
      {"file:///usr/share/orvweb/web/en/orvweb.htm", "file:///usr/share/orvweb/web/en/help.htm", true},
      {"file:///usr/share/orvweb/web/en/orvweb.htm", "file:///usr/share/orvweb/web/en/img/a.png", true},
      {"file:///usr/share/orvweb/web/en/orvweb.htm", "file:///usr/share/orvweb/web/de/orvweb.htm", false},
      {"file:///usr/share/orvweb/web/en/orvweb.htm", "file:///usr/share/orvweb/web/en/../../../../etc/passwd",
       false},
      {"file:///usr/share/orvweb/web/en/orvweb.htm", "file:///etc/passwd", false},
      {"file:///usr/share/orvweb/web/en/orvweb.htm", "data:text/html,<b>x</b>", false},
      {"http://ui.example/en/orvweb.htm", "javascript:alert(1)", false},
      {"http://ui.example/en/orvweb.htm", "file:///etc/passwd", false},
  };
  for (const Case& c : cases) {
    NavigationRules rules;
    if (*c.home) rules.SetHome(c.home);
    EXPECT_EQ(rules.StaysInView(c.url), c.stays) << c.home << " -> " << c.url;
  }
}

TEST(NavigationRulesTest, RedirectsOfTheHomeLoadBecomeHomeUntilTheNextNavigate) {
  NavigationRules rules;
  rules.SetHome("http://ui.example/orvweb.htm");
  rules.AddRedirect("https://www.ui.example/orvweb.htm");
  rules.AddRedirect("file:///etc/passwd");  // only web redirects count
  EXPECT_TRUE(rules.StaysInView("https://www.ui.example/help.htm"));
  EXPECT_TRUE(rules.StaysInView("http://ui.example/x"));
  EXPECT_FALSE(rules.StaysInView("file:///etc/passwd"));
  rules.SetHome("http://other.example/");
  EXPECT_FALSE(rules.StaysInView("https://www.ui.example/help.htm"));
}

}  // namespace
}  // namespace platform::html
