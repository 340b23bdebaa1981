#pragma once
// The recorder's own pattern dialect, in which the title-cleaning and the
// page-scraping patterns are written, compiled to PCRE2 over 16-bit code
// units.
//
//   {...}      capture group; groups count from 0 in the order of their "{"
//   (...)      grouping without capture
//   ^          as the first character: the match must start at the text's start
//   $          at the end of the pattern, a group or an alternative: end of
//              text (elsewhere the letter "$")
//   .          any one code unit
//   \b \d \z   a blank (space or tab), a digit, one or more digits
//   \a \c \h   a letter or digit, a letter, a hexadecimal digit (ASCII)
//   \w \n \q   one or more letters, a line end, a quoted string ("..." or '...')
//   \0 .. \9   back-reference to that group; an unset group never matches
//   \x         any other x taken literally
//   [..] [^..] set or negated set; inside, "\" quotes the next character, "\t"
//              is a tab, "a-z" a range
//   * + ?      greedy repetition with backtracking; a further "?" makes it lazy
//   !x         x does not match here (zero-width)
//   a|b        alternation
//
// Matching is case-sensitive and the search is leftmost-first. A search that
// runs into the backtracking budget (a pathological pattern) or past its time
// budget (a hostile text; 2 s unless set) gives up and counts as "no match",
// so no pattern or text can stall the caller.
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct pcre2_real_code_16;
struct pcre2_real_match_context_16;

namespace nowplaying {

// The dialect rewritten into PCRE2 syntax; nullopt when it does not parse.
struct Translation {
  std::u16string pcre;
  bool anchored = false;
  int groups = 0;
};
std::optional<Translation> TranslatePattern(std::u16string_view dialect);

class Pattern {
 public:
  struct Span {
    size_t begin = 0;
    size_t length = 0;
    bool operator==(const Span&) const = default;
  };
  enum class Outcome { Found, NotFound, GaveUp };

  // nullopt when the pattern does not parse.
  static std::optional<Pattern> Parse(std::u16string_view dialect);

  // Group 0 of the leftmost match. Found with span nullopt means the pattern
  // matched but group 0 took no part (or the pattern has no group).
  Outcome Search(std::u16string_view text, std::optional<Span>* group0) const;

  // Group 0 of the leftmost match, or nullopt for every other outcome.
  std::optional<Span> FindGroup0(std::u16string_view text) const;

  int groups() const { return groups_; }

  // The longest one search may take.
  void SetTimeBudget(std::chrono::milliseconds budget) { timeBudget_ = budget; }

  Pattern(Pattern&&) noexcept;
  Pattern& operator=(Pattern&&) noexcept;
  ~Pattern();

 private:
  struct CodeDeleter {
    void operator()(pcre2_real_code_16* code) const;
  };
  struct ContextDeleter {
    void operator()(pcre2_real_match_context_16* context) const;
  };
  Pattern() = default;

  std::unique_ptr<pcre2_real_code_16, CodeDeleter> code_;
  std::unique_ptr<pcre2_real_match_context_16, ContextDeleter> context_;
  int groups_ = 0;
  std::chrono::milliseconds timeBudget_{2000};
};

}  // namespace nowplaying
