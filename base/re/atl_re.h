// AtlRE: the backtracking engine behind RE.
//
// Syntax, case-insensitive throughout:
//   {x}      match group (numbered 0, 1, ... by opening brace)   (x)  grouping
//   [a-z]    set with ranges; [^...] negated                      .    any character
//   x|y      alternation, left first          x* x+ x?  greedy; x*? x+? x??  non-greedy
//   !x       zero-width: succeeds where x does not match here, consumes nothing
//   \0..\9   back reference to a match group closed earlier in the pattern; it
//            fails when that group took no part in the match
//   \a letter or digit   \b blank (space, tab)   \c letter   \d digit
//   \h hex digit   \n line end (CR, LF or CR LF; CR alone is tried first)
//   \q quoted text ("..." or '...', quotes included)
//   \w word of letters   \z whole number   \x (any other x) the character x itself
//   ^        only as the first character: match at the start of the text only
//   $        only as the last character: the end of the text
// Elsewhere ^ and $ are ordinary characters, and so are ) } at the top level, a
// quantifier with no element before it, a ! with nothing after it and a trailing
// backslash. "!" takes one element with its quantifier: "!ab" is "not a, then b",
// "!a*" never succeeds. An abbreviation is one element. The pattern is
// lowered before it is compiled, escaped letters included ("\D" is "\d"), and a
// reversed range ("[z-a]") holds nothing.
#ifndef BASE_RE_ATL_RE_H_
#define BASE_RE_ATL_RE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/re/re.h"

namespace tobric {

// One compiled pattern. The caller owns it; it is compiled by the constructor and
// never changes afterwards, so Match may run on any number of threads at once with
// no lock (each call keeps its own copy of the text and its own backtracking stack).
//
// Backtracking runs on an explicit heap stack, so a long text never deepens the
// thread's stack (pool threads have 256 KiB). A hostile pattern could still take
// exponential time, so every Match is given a budget of steps, kBaseStepBudget plus
// kStepsPerUnit for each text position times each instruction of the program, and
// a backtracking stack of at most kMaxBacktrackEntries; a match that would need more
// answers false. Texts of the sizes matched here (URIs, preference lines) stay far
// below either bound unless the pattern backtracks exponentially.
class AtlRE : public RE {
 public:
  // Values of parse_error().
  static constexpr int kErrorNone = 0;
  // Out of memory, or a pattern nested deeper than kMaxNesting: the compiler
  // recurses once per level, and a pool thread's stack is its bounded resource.
  static constexpr int kErrorOutOfMemory = 1;
  // A "{", "(" or "[" without its closing partner, or closed by the wrong one.
  // 2 is the lowest code the others leave free.
  static constexpr int kErrorUnclosed = 2;
  // A back reference to a match group not closed before it in the pattern.
  static constexpr int kErrorBadBackReference = 7;
  // "*" or "+" on an element that can match the empty text; such a loop could
  // spin without consuming anything.
  static constexpr int kErrorEmptyRepeat = 9;
  static constexpr int kErrorNullPattern = 10;

  static constexpr int kMaxNesting = 32;
  static constexpr uint64_t kBaseStepBudget = 1'000'000;
  static constexpr uint64_t kStepsPerUnit = 8;
  static constexpr size_t kMaxBacktrackEntries = size_t{1} << 20;

  // Compiles `pattern` (zero-terminated UTF-16); a null pattern is kErrorNullPattern.
  explicit AtlRE(const char16_t* pattern);
  AtlRE(const AtlRE&) = delete;
  AtlRE& operator=(const AtlRE&) = delete;
  ~AtlRE() override;

  // kErrorNone when the pattern compiled; otherwise Match always answers false.
  int parse_error() const { return parse_error_; }
  int group_count() const { return group_count_; }

  using RE::Match;
  bool Match(const char16_t* text, std::u16string* groups, int group_count,
             const char16_t** end = nullptr) const override;

  // Public only so the compiler and the matcher, which live in the .cc, can name them.
  enum class Op : uint8_t;
  struct Instruction {
    Op op;
    int32_t operand;  // a character, a set index, a group number or a jump target
  };
  struct CharSet;

 private:
  friend class AtlReCompiler;
  friend class AtlReMatcher;

  int parse_error_ = kErrorNone;
  bool anchored_ = false;  // the pattern began with "^"
  int group_count_ = 0;
  std::vector<Instruction> program_;
  std::vector<CharSet> sets_;
  // An instruction that must match the first character of any match, or -1: lets
  // the search skip start positions without running the program.
  int first_atom_ = -1;
};

}  // namespace tobric

#endif  // BASE_RE_ATL_RE_H_
