#include "recorder/nowplaying/pattern.h"

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <algorithm>
#include <chrono>

namespace nowplaying {
namespace {

// Nesting of groups and negations; deeper patterns are refused rather than
// risking the parser's stack.
constexpr int kMaxDepth = 100;

// Backtracking budget of one start position, and the memory one search may
// take. Real patterns need a few steps per character of text; exponential
// ones hit the budget and count as "no match".
constexpr uint32_t kMatchLimit = 1'000'000;
constexpr uint32_t kHeapLimitKib = 64 * 1024;

// The step budget bounds each start position, not their sum: a page made of
// thousands of "RLNK('/album/?song=" with no ")" after them makes every start
// rescan the rest of the page (minutes for a few MiB). A callout at the start
// of every attempt ends such a search once its time is up.
int CheckDeadline(pcre2_callout_block*, void* data) {
  const auto* deadline = static_cast<const std::chrono::steady_clock::time_point*>(data);
  return std::chrono::steady_clock::now() < *deadline ? 0 : PCRE2_ERROR_CALLOUT;
}

class Translator {
 public:
  explicit Translator(std::u16string_view src) : src_(src) {}

  std::optional<Translation> Run() {
    if (!src_.empty() && src_[0] == u'^') {
      result_.anchored = true;
      pos_ = 1;
    }
    if (!Alternation(0) || pos_ != src_.size() || maxBackReference_ >= result_.groups) return std::nullopt;
    return std::move(result_);
  }

 private:
  bool AtEnd() const { return pos_ >= src_.size(); }
  char16_t Peek() const { return src_[pos_]; }
  static bool IsQuantifier(char16_t c) { return c == u'*' || c == u'+' || c == u'?'; }
  static bool EndsSequence(char16_t c) { return c == u'|' || c == u')' || c == u'}'; }

  void Emit(std::u16string_view text) { result_.pcre += text; }

  // Every literal is written as \x{...} unless it is an ASCII letter or
  // digit, so no character of the text can mean anything to PCRE2.
  void EmitLiteral(char16_t c) {
    if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')) {
      result_.pcre += c;
      return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    result_.pcre += u"\\x{";
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const int digit = (c >> shift) & 0xF;
      if (digit != 0 || started || shift == 0) {
        result_.pcre += static_cast<char16_t>(kHex[digit]);
        started = true;
      }
    }
    result_.pcre += u'}';
  }

  bool Alternation(int depth) {
    if (!Sequence(depth)) return false;
    while (!AtEnd() && Peek() == u'|') {
      ++pos_;
      Emit(u"|");
      if (!Sequence(depth)) return false;
    }
    return true;
  }

  bool Sequence(int depth) {
    while (!AtEnd() && !EndsSequence(Peek())) {
      if (!Item(depth)) return false;
    }
    return true;
  }

  bool Item(int depth) {
    if (Peek() == u'!') {
      ++pos_;
      if (AtEnd() || EndsSequence(Peek()) || depth >= kMaxDepth) return false;
      Emit(u"(?!");
      if (!Item(depth + 1)) return false;
      Emit(u")");
      return true;
    }
    bool repeatable = true;
    if (!Atom(depth, &repeatable)) return false;
    if (AtEnd() || !IsQuantifier(Peek())) return true;
    if (!repeatable) return false;
    result_.pcre += Peek();
    ++pos_;
    if (!AtEnd() && Peek() == u'?') {
      Emit(u"?");
      ++pos_;
    }
    return true;
  }

  bool Atom(int depth, bool* repeatable) {
    const char16_t c = Peek();
    switch (c) {
      case u'(':
      case u'{': {
        if (depth >= kMaxDepth) return false;
        ++pos_;
        if (c == u'{') {
          ++result_.groups;
          Emit(u"(");
        } else {
          Emit(u"(?:");
        }
        if (!Alternation(depth + 1)) return false;
        if (AtEnd() || Peek() != (c == u'{' ? u'}' : u')')) return false;
        ++pos_;
        Emit(u")");
        return true;
      }
      case u'[':
        return Set();
      case u'.':
        ++pos_;
        Emit(u".");  // compiled with DOTALL: any code unit
        return true;
      case u'\\':
        return Escape();
      case u'*':
      case u'+':
      case u'?':
        return false;  // nothing to repeat
      case u'$':
        // End of text where it ends the pattern, a group or an alternative;
        // a letter anywhere else.
        if (pos_ + 1 == src_.size() || EndsSequence(src_[pos_ + 1])) {
          ++pos_;
          Emit(u"\\z");
          *repeatable = false;
          return true;
        }
        break;
      default:
        break;
    }
    ++pos_;
    EmitLiteral(c);
    return true;
  }

  bool Escape() {
    ++pos_;
    if (AtEnd()) return false;
    const char16_t c = Peek();
    ++pos_;
    switch (c) {
      case u'b': Emit(u"[\\x{20}\\x{9}]"); return true;
      case u'd': Emit(u"[0-9]"); return true;
      case u'z': Emit(u"(?:[0-9]+)"); return true;
      case u'a': Emit(u"[a-zA-Z0-9]"); return true;
      case u'c': Emit(u"[a-zA-Z]"); return true;
      case u'h': Emit(u"[0-9a-fA-F]"); return true;
      case u'w': Emit(u"(?:[a-zA-Z]+)"); return true;
      case u'n': Emit(u"(?:\\x{d}|\\x{d}?\\x{a})"); return true;
      case u'q': Emit(u"(?:\\x{22}[^\\x{22}]*\\x{22}|\\x{27}[^\\x{27}]*\\x{27})"); return true;
      default: break;
    }
    if (c >= u'0' && c <= u'9') {
      const int group = c - u'0';
      maxBackReference_ = std::max(maxBackReference_, group);
      // PCRE2 counts groups from 1.
      Emit(u"(?:\\g{");
      for (const char digit : std::to_string(group + 1)) result_.pcre += static_cast<char16_t>(digit);
      Emit(u"})");
      return true;
    }
    EmitLiteral(c);
    return true;
  }

  // One member of a set: "\" quotes the next character, "\t" is a tab.
  bool SetChar(char16_t* out) {
    if (AtEnd()) return false;
    char16_t c = Peek();
    ++pos_;
    if (c == u'\\') {
      if (AtEnd()) return false;
      c = Peek();
      ++pos_;
      if (c == u't') c = u'\t';
    }
    *out = c;
    return true;
  }

  bool Set() {
    ++pos_;
    Emit(u"[");
    if (!AtEnd() && Peek() == u'^') {
      ++pos_;
      Emit(u"^");
    }
    bool empty = true;
    while (true) {
      if (AtEnd()) return false;
      if (Peek() == u']') break;
      char16_t low = 0;
      if (!SetChar(&low)) return false;
      char16_t high = low;
      if (pos_ + 1 < src_.size() && Peek() == u'-' && src_[pos_ + 1] != u']') {
        ++pos_;
        if (!SetChar(&high) || high < low) return false;
      }
      EmitLiteral(low);
      if (high != low) {
        Emit(u"-");
        EmitLiteral(high);
      }
      empty = false;
    }
    ++pos_;
    Emit(u"]");
    return !empty;
  }

  std::u16string_view src_;
  size_t pos_ = 0;
  int maxBackReference_ = -1;
  Translation result_;
};

struct MatchDataDeleter {
  void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};

}  // namespace

std::optional<Translation> TranslatePattern(std::u16string_view dialect) {
  return Translator(dialect).Run();
}

void Pattern::CodeDeleter::operator()(pcre2_real_code_16* code) const { pcre2_code_free(code); }
void Pattern::ContextDeleter::operator()(pcre2_real_match_context_16* context) const {
  pcre2_match_context_free(context);
}

Pattern::Pattern(Pattern&&) noexcept = default;
Pattern& Pattern::operator=(Pattern&&) noexcept = default;
Pattern::~Pattern() = default;

std::optional<Pattern> Pattern::Parse(std::u16string_view dialect) {
  std::optional<Translation> translation = TranslatePattern(dialect);
  if (!translation) return std::nullopt;

  // Code units, not UTF-16 characters: the texts may hold lone surrogates,
  // and "." or a set must take exactly one unit.
  const uint32_t options = PCRE2_DOTALL | PCRE2_NEVER_UTF | PCRE2_NEVER_UCP | PCRE2_NEVER_BACKSLASH_C |
                           (translation->anchored ? PCRE2_ANCHORED : 0);
  int error = 0;
  PCRE2_SIZE offset = 0;
  const std::u16string pcre = u"(?C1)" + translation->pcre;
  Pattern pattern;
  pattern.code_.reset(
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pcre.data()), pcre.size(), options, &error, &offset, nullptr));
  pattern.context_.reset(pcre2_match_context_create(nullptr));
  if (!pattern.code_ || !pattern.context_) return std::nullopt;
  pcre2_set_match_limit(pattern.context_.get(), kMatchLimit);
  pcre2_set_heap_limit(pattern.context_.get(), kHeapLimitKib);
  pattern.groups_ = translation->groups;
  return pattern;
}

Pattern::Outcome Pattern::Search(std::u16string_view text, std::optional<Span>* group0) const {
  group0->reset();
  std::unique_ptr<pcre2_match_data, MatchDataDeleter> data(pcre2_match_data_create_from_pattern(code_.get(), nullptr));
  std::unique_ptr<pcre2_match_context, ContextDeleter> context(pcre2_match_context_copy(context_.get()));
  if (!data || !context) return Outcome::GaveUp;
  const auto deadline = std::chrono::steady_clock::now() + timeBudget_;
  pcre2_set_callout(context.get(), &CheckDeadline, const_cast<std::chrono::steady_clock::time_point*>(&deadline));
  static const char16_t kEmpty = 0;
  const char16_t* subject = text.empty() ? &kEmpty : text.data();
  const int rc = pcre2_match(code_.get(), reinterpret_cast<PCRE2_SPTR>(subject), text.size(), 0, 0, data.get(),
                             context.get());
  if (rc == PCRE2_ERROR_NOMATCH) return Outcome::NotFound;
  if (rc < 0) return Outcome::GaveUp;
  if (groups_ > 0) {
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
    if (ovector[2] != PCRE2_UNSET) *group0 = Span{ovector[2], ovector[3] - ovector[2]};
  }
  return Outcome::Found;
}

std::optional<Pattern::Span> Pattern::FindGroup0(std::u16string_view text) const {
  std::optional<Span> span;
  Search(text, &span);
  return span;
}

}  // namespace nowplaying
