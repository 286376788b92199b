#include "base/re/atl_re.h"

#include <algorithm>
#include <limits>
#include <new>
#include <string_view>
#include <utility>

#include "base/utf.h"

namespace tobric {

// The compiled program. Jumps name absolute instruction indexes.
enum class AtlRE::Op : uint8_t {
  kChar,          // operand: the (lowered) character
  kAny,           // any one character
  kSet,           // operand: index into sets_
  kBackRef,       // operand: group number
  kEnd,           // the end of the text
  kSaveStart,     // operand: group number; records where the group starts
  kSaveEnd,       // operand: group number; records where the group ends
  kJump,          // operand: target
  kSplitNext,     // go on with the next instruction; on backtracking, the operand
  kSplitJump,     // go to the operand; on backtracking, the next instruction
  kRepeatGreedy,  // operand: minimum count (0 or 1); the next instruction is the
  kRepeatLazy,    //   one-character atom repeated; execution goes on after it
  kNotBegin,      // operand: where to go on when the negated element fails
  kNotEnd,        // the negated element matched, so the negation fails
  kMatch,
};

struct AtlRE::CharSet {
  bool negated = false;
  uint64_t ascii[2] = {0, 0};
  std::vector<std::pair<char16_t, char16_t>> wide_ranges;  // parts above ASCII

  void Add(char16_t first, char16_t last) {
    for (uint32_t c = first; c <= last && c < 0x80; ++c) ascii[c >> 6] |= uint64_t{1} << (c & 63);
    if (last >= 0x80) wide_ranges.emplace_back(std::max<char16_t>(first, 0x80), last);
  }

  bool Contains(char16_t c) const {
    bool in = false;
    if (c < 0x80) {
      in = (ascii[c >> 6] >> (c & 63)) & 1;
    } else {
      for (const auto& [first, last] : wide_ranges) {
        if (c >= first && c <= last) {
          in = true;
          break;
        }
      }
    }
    return in != negated;
  }
};

namespace {

using Op = AtlRE::Op;
using Instruction = AtlRE::Instruction;

// Lowers code unit by code unit so that every position of the copy is the same
// position in the original. Texts are nearly always ASCII, which is lowered here
// without a call per unit.
void LowerInPlace(std::u16string* text) {
  const bool ascii = std::all_of(text->begin(), text->end(), [](char16_t c) { return c < 0x80; });
  if (ascii) {
    for (char16_t& c : *text) {
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + (u'a' - u'A'));
    }
    return;
  }
  for (char16_t& c : *text) c = LowerCaseUnit(c);
}

// What each abbreviation letter stands for, already in the lowered form the
// compiler sees. Tab, CR and LF are the characters themselves.
std::u16string_view Abbreviation(char16_t letter) {
  switch (letter) {
    case u'a':
      return u"([a-z0-9])";
    case u'b':
      return u"([ \t])";
    case u'c':
      return u"([a-z])";
    case u'd':
      return u"([0-9])";
    case u'h':
      return u"([0-9a-f])";
    case u'n':
      return u"(\r|(\r?\n))";
    case u'q':
      return u"(\"[^\"]*\")|('[^']*')";
    case u'w':
      return u"([a-z]+)";
    case u'z':
      return u"([0-9]+)";
    default:
      return {};
  }
}

bool AtomMatches(const Instruction& atom, const std::vector<AtlRE::CharSet>& sets, char16_t c) {
  switch (atom.op) {
    case Op::kChar:
      return c == atom.operand;
    case Op::kAny:
      return true;
    case Op::kSet:
      return sets[static_cast<size_t>(atom.operand)].Contains(c);
    default:
      return false;
  }
}

}  // namespace

// Parses a pattern into a tree, checks it, and emits the program into an AtlRE.
// Lives only for the constructor's call.
class AtlReCompiler {
 public:
  explicit AtlReCompiler(AtlRE* re) : re_(re) {}

  // Returns the parse error (kErrorNone on success). `pattern` is already lowered.
  int Compile(std::u16string_view pattern) {
    text_ = pattern;
    if (!text_.empty() && text_[0] == u'^') {
      re_->anchored_ = true;
      pos_ = 1;
    }
    const int root = ParseAlternation(/*nested=*/false, 0);
    if (root < 0) return error_;
    Emit(root);
    Emit(Op::kMatch, 0);
    FindFirstAtom();
    return AtlRE::kErrorNone;
  }

 private:
  struct Node {
    enum Kind : uint8_t { kChar, kAny, kSet, kBackRef, kEnd, kGroup, kAlt, kConcat, kNot, kRepeat };
    explicit Node(Kind k) : kind(k) {}
    Kind kind;
    int32_t value = 0;  // character, set index, group number (-1: a group without capture)
    bool nullable = false;
    // kRepeat: "?" is min 0 bounded, "*" min 0 unbounded, "+" min 1 unbounded.
    int32_t min = 0;
    bool unbounded = false;
    bool greedy = true;
    std::vector<int32_t> children;
  };

  int Fail(int error) {
    error_ = error;
    return -1;
  }

  int AddNode(Node node) {
    nodes_.push_back(std::move(node));
    return static_cast<int>(nodes_.size() - 1);
  }

  bool AtEnd() const { return pos_ >= text_.size(); }

  // True for a character that ends the current sequence. Closers end it only inside
  // a group; at the top level they are ordinary characters.
  bool EndsSequence(char16_t c, bool nested) const {
    return c == u'|' || (nested && (c == u')' || c == u'}'));
  }

  int ParseAlternation(bool nested, int depth) {
    if (depth > AtlRE::kMaxNesting) return Fail(AtlRE::kErrorOutOfMemory);
    Node alt{Node::kAlt};
    for (;;) {
      const int branch = ParseSequence(nested, depth);
      if (branch < 0) return -1;
      alt.children.push_back(branch);
      alt.nullable = alt.nullable || nodes_[static_cast<size_t>(branch)].nullable;
      if (AtEnd() || text_[pos_] != u'|') break;
      ++pos_;
    }
    if (alt.children.size() == 1) return alt.children[0];
    return AddNode(std::move(alt));
  }

  int ParseSequence(bool nested, int depth) {
    Node sequence{Node::kConcat};
    sequence.nullable = true;
    while (!AtEnd() && !EndsSequence(text_[pos_], nested)) {
      const int piece = ParsePiece(nested, depth);
      if (piece < 0) return -1;
      sequence.children.push_back(piece);
      sequence.nullable = sequence.nullable && nodes_[static_cast<size_t>(piece)].nullable;
    }
    return AddNode(std::move(sequence));
  }

  // An element with its quantifier, or "!" before such an element.
  int ParsePiece(bool nested, int depth) {
    if (depth > AtlRE::kMaxNesting) return Fail(AtlRE::kErrorOutOfMemory);
    if (text_[pos_] == u'!' && pos_ + 1 < text_.size() && !EndsSequence(text_[pos_ + 1], nested)) {
      ++pos_;
      const int element = ParsePiece(nested, depth + 1);
      if (element < 0) return -1;
      Node negation{Node::kNot};
      negation.nullable = true;
      negation.children.push_back(element);
      return AddNode(std::move(negation));
    }
    const int atom = ParseAtom(depth);
    if (atom < 0 || AtEnd()) return atom;
    const char16_t q = text_[pos_];
    if (q != u'*' && q != u'+' && q != u'?') return atom;
    ++pos_;
    Node repeat{Node::kRepeat};
    repeat.min = q == u'+' ? 1 : 0;
    repeat.unbounded = q != u'?';
    if (!AtEnd() && text_[pos_] == u'?') {
      repeat.greedy = false;
      ++pos_;
    }
    const bool atom_nullable = nodes_[static_cast<size_t>(atom)].nullable;
    if (repeat.unbounded && atom_nullable) return Fail(AtlRE::kErrorEmptyRepeat);
    repeat.nullable = repeat.min == 0 || atom_nullable;
    repeat.children.push_back(atom);
    return AddNode(std::move(repeat));
  }

  int ParseGroup(char16_t closer, int32_t group, int depth) {
    const int inner = ParseAlternation(/*nested=*/true, depth + 1);
    if (inner < 0) return -1;
    if (AtEnd() || text_[pos_] != closer) return Fail(AtlRE::kErrorUnclosed);
    ++pos_;
    Node node{Node::kGroup};
    node.value = group;
    node.nullable = nodes_[static_cast<size_t>(inner)].nullable;
    node.children.push_back(inner);
    return AddNode(std::move(node));
  }

  int ParseAtom(int depth) {
    const char16_t c = text_[pos_++];
    switch (c) {
      case u'{': {
        const int32_t group = re_->group_count_++;
        closed_groups_.push_back(-1);
        const int node = ParseGroup(u'}', group, depth);
        if (node >= 0) closed_groups_[static_cast<size_t>(group)] = node;
        return node;
      }
      case u'(':
        return ParseGroup(u')', -1, depth);
      case u'[':
        return ParseSet();
      case u'.':
        return AddNode(Node{Node::kAny});
      case u'$':
        if (AtEnd() && !in_abbreviation_) {
          Node end{Node::kEnd};
          end.nullable = true;
          return AddNode(std::move(end));
        }
        break;
      case u'\\':
        if (AtEnd()) break;
        return ParseEscape(depth);
      default:
        break;
    }
    return Literal(c);
  }

  int Literal(char16_t c) {
    Node node{Node::kChar};
    node.value = c;
    return AddNode(std::move(node));
  }

  // After a backslash: a back reference, an abbreviation or a literal character.
  int ParseEscape(int depth) {
    const char16_t c = text_[pos_++];
    if (c >= u'0' && c <= u'9') {
      const size_t group = c - u'0';
      // Only a group already closed has a text to refer to; this also rules out a
      // reference from inside its own group.
      if (group >= closed_groups_.size() || closed_groups_[group] < 0) {
        return Fail(AtlRE::kErrorBadBackReference);
      }
      Node node{Node::kBackRef};
      node.value = static_cast<int32_t>(group);
      node.nullable = nodes_[static_cast<size_t>(closed_groups_[group])].nullable;
      return AddNode(std::move(node));
    }
    const std::u16string_view expansion = Abbreviation(c);
    if (expansion.empty()) return Literal(c);
    // The expansion is compiled as one atom in its own right, so a quantifier
    // after it applies to all of it and its "|" cannot split the outer pattern.
    const std::u16string_view saved_text = text_;
    const size_t saved_pos = pos_;
    text_ = expansion;
    pos_ = 0;
    in_abbreviation_ = true;
    const int node = ParseAlternation(/*nested=*/false, depth + 1);
    in_abbreviation_ = false;
    text_ = saved_text;
    pos_ = saved_pos;
    return node;
  }

  int ParseSet() {
    AtlRE::CharSet set;
    if (!AtEnd() && text_[pos_] == u'^') {
      set.negated = true;
      ++pos_;
    }
    for (;;) {
      if (AtEnd()) return Fail(AtlRE::kErrorUnclosed);
      char16_t first = text_[pos_++];
      if (first == u']') break;
      if (first == u'\\' && !AtEnd()) first = text_[pos_++];
      char16_t last = first;
      if (pos_ + 1 < text_.size() && text_[pos_] == u'-' && text_[pos_ + 1] != u']') {
        ++pos_;
        last = text_[pos_++];
        if (last == u'\\' && !AtEnd()) last = text_[pos_++];
      }
      if (first <= last) set.Add(first, last);  // a reversed range holds nothing
    }
    re_->sets_.push_back(std::move(set));
    Node node{Node::kSet};
    node.value = static_cast<int32_t>(re_->sets_.size() - 1);
    return AddNode(std::move(node));
  }

  size_t Emit(Op op, int32_t operand) {
    re_->program_.push_back({op, operand});
    return re_->program_.size() - 1;
  }

  int32_t Here() const { return static_cast<int32_t>(re_->program_.size()); }

  void Patch(size_t at) { re_->program_[at].operand = Here(); }

  // Recursion depth is that of the tree, which the parser bounded by kMaxNesting.
  void Emit(int index) {
    const Node& node = nodes_[static_cast<size_t>(index)];
    switch (node.kind) {
      case Node::kChar:
        Emit(Op::kChar, node.value);
        break;
      case Node::kAny:
        Emit(Op::kAny, 0);
        break;
      case Node::kSet:
        Emit(Op::kSet, node.value);
        break;
      case Node::kBackRef:
        Emit(Op::kBackRef, node.value);
        break;
      case Node::kEnd:
        Emit(Op::kEnd, 0);
        break;
      case Node::kGroup:
        if (node.value >= 0) Emit(Op::kSaveStart, node.value);
        Emit(node.children[0]);
        if (node.value >= 0) Emit(Op::kSaveEnd, node.value);
        break;
      case Node::kConcat:
        for (int32_t child : node.children) Emit(child);
        break;
      case Node::kAlt: {
        std::vector<size_t> exits;
        for (size_t i = 0; i + 1 < node.children.size(); ++i) {
          const size_t split = Emit(Op::kSplitNext, 0);
          Emit(node.children[i]);
          exits.push_back(Emit(Op::kJump, 0));
          Patch(split);
        }
        Emit(node.children.back());
        for (size_t exit : exits) Patch(exit);
        break;
      }
      case Node::kNot: {
        const size_t begin = Emit(Op::kNotBegin, 0);
        Emit(node.children[0]);
        Emit(Op::kNotEnd, 0);
        Patch(begin);
        break;
      }
      case Node::kRepeat:
        EmitRepeat(node);
        break;
    }
  }

  void EmitRepeat(const Node& node) {
    const int32_t child = node.children[0];
    const Node::Kind child_kind = nodes_[static_cast<size_t>(child)].kind;
    const bool one_character =
        child_kind == Node::kChar || child_kind == Node::kAny || child_kind == Node::kSet;
    if (node.unbounded && one_character) {
      // A loop over single characters keeps one backtracking entry for the whole
      // run instead of one per character: ".*" over a long text stays cheap.
      Emit(node.greedy ? Op::kRepeatGreedy : Op::kRepeatLazy, node.min);
      Emit(child);
    } else if (!node.unbounded) {
      const size_t split = Emit(node.greedy ? Op::kSplitNext : Op::kSplitJump, 0);
      Emit(child);
      Patch(split);
    } else if (node.min == 0) {
      const int32_t loop = Here();
      const size_t split = Emit(node.greedy ? Op::kSplitNext : Op::kSplitJump, 0);
      Emit(child);
      Emit(Op::kJump, loop);
      Patch(split);
    } else {
      const int32_t loop = Here();
      Emit(child);
      Emit(node.greedy ? Op::kSplitJump : Op::kSplitNext, loop);
    }
  }

  void FindFirstAtom() {
    const std::vector<Instruction>& program = re_->program_;
    size_t pc = 0;
    while (program[pc].op == Op::kSaveStart) ++pc;
    const Op op = program[pc].op;
    if (op == Op::kChar || op == Op::kAny || op == Op::kSet) {
      re_->first_atom_ = static_cast<int>(pc);
    } else if ((op == Op::kRepeatGreedy || op == Op::kRepeatLazy) && program[pc].operand > 0) {
      re_->first_atom_ = static_cast<int>(pc + 1);
    }
  }

  AtlRE* re_;
  std::u16string_view text_;
  size_t pos_ = 0;
  bool in_abbreviation_ = false;
  int error_ = AtlRE::kErrorNone;
  std::vector<Node> nodes_;
  // Per group number: its node once its closing brace is parsed, -1 while open.
  std::vector<int> closed_groups_;
};

// One Match call: the lowered text, the group positions and the backtracking stack.
class AtlReMatcher {
 public:
  AtlReMatcher(const AtlRE& re, std::u16string_view text)
      : re_(re),
        program_(re.program_),
        text_(text),
        length_(static_cast<int32_t>(text.size())),
        captures_(static_cast<size_t>(re.group_count_) * 2, -1) {
    const uint64_t units = (static_cast<uint64_t>(text.size()) + 1) * program_.size();
    steps_left_ = AtlRE::kBaseStepBudget + units * AtlRE::kStepsPerUnit;
  }

  // The leftmost match; false also when the budget or the stack ran out.
  bool Search() {
    const int32_t last_start = re_.anchored_ ? 0 : length_;
    for (int32_t start = 0; start <= last_start; ++start) {
      if (re_.first_atom_ >= 0) {
        if (start == length_) break;
        const Instruction& atom = program_[static_cast<size_t>(re_.first_atom_)];
        if (!AtomMatches(atom, re_.sets_, text_[static_cast<size_t>(start)])) continue;
      }
      if (RunAt(start)) return true;
      if (gave_up_) return false;
    }
    return false;
  }

  int32_t end() const { return end_; }
  int32_t group_start(int group) const { return captures_[static_cast<size_t>(group) * 2]; }
  int32_t group_end(int group) const { return captures_[static_cast<size_t>(group) * 2 + 1]; }

 private:
  enum class Kind : uint8_t {
    kChoice,    // resume at pc, pos
    kUndo,      // restore captures_[pc] to pos
    kBarrier,   // a negation's start; reached by backtracking, the negation holds
    kGiveBack,  // greedy run now ending at pos; may shrink down to aux
    kTakeMore,  // lazy run now ending at pos; may grow by the atom at aux
  };
  struct Entry {
    Kind kind;
    int32_t pc;
    int32_t pos;
    int32_t aux;
  };

  bool Push(Kind kind, int32_t pc, int32_t pos, int32_t aux = 0) {
    if (stack_.size() >= AtlRE::kMaxBacktrackEntries) {
      gave_up_ = true;
      return false;
    }
    stack_.push_back({kind, pc, pos, aux});
    return true;
  }

  bool Spend(uint64_t steps) {
    if (steps_left_ < steps) {
      gave_up_ = true;
      return false;
    }
    steps_left_ -= steps;
    return true;
  }

  bool Matches(int32_t atom_pc, int32_t pos) const {
    return AtomMatches(program_[static_cast<size_t>(atom_pc)], re_.sets_,
                       text_[static_cast<size_t>(pos)]);
  }

  bool SaveCapture(int32_t slot, int32_t pos) {
    if (!Push(Kind::kUndo, slot, captures_[static_cast<size_t>(slot)])) return false;
    captures_[static_cast<size_t>(slot)] = pos;
    return true;
  }

  // Takes up the most recent choice; false when none is left (or the budget ran out).
  bool Backtrack(int32_t* pc, int32_t* pos) {
    while (!stack_.empty()) {
      if (!Spend(1)) return false;
      Entry& top = stack_.back();
      switch (top.kind) {
        case Kind::kUndo:
          captures_[static_cast<size_t>(top.pc)] = top.pos;
          stack_.pop_back();
          break;
        case Kind::kChoice:
        case Kind::kBarrier:
          *pc = top.pc;
          *pos = top.pos;
          stack_.pop_back();
          return true;
        case Kind::kGiveBack:
          *pc = top.pc;
          *pos = --top.pos;
          if (top.pos <= top.aux) stack_.pop_back();
          return true;
        case Kind::kTakeMore:
          if (top.pos < length_ && Matches(top.aux, top.pos)) {
            *pc = top.pc;
            *pos = ++top.pos;
            return true;
          }
          stack_.pop_back();
          break;
      }
    }
    return false;
  }

  // The negated element matched: drop everything it left and the barrier itself.
  void UnwindNegation() {
    while (stack_.back().kind != Kind::kBarrier) {
      const Entry& top = stack_.back();
      if (top.kind == Kind::kUndo) captures_[static_cast<size_t>(top.pc)] = top.pos;
      stack_.pop_back();
    }
    stack_.pop_back();
  }

  bool RunAt(int32_t start) {
    stack_.clear();
    int32_t pc = 0;
    int32_t pos = start;
    for (;;) {
      if (!Spend(1)) return false;
      const Instruction& in = program_[static_cast<size_t>(pc)];
      bool ok = true;
      switch (in.op) {
        case Op::kChar:
        case Op::kAny:
        case Op::kSet:
          ok = pos < length_ && Matches(pc, pos);
          if (ok) ++pos, ++pc;
          break;
        case Op::kBackRef: {
          const int32_t from = group_start(in.operand);
          const int32_t to = group_end(in.operand);
          ok = from >= 0 && to >= from && to - from <= length_ - pos &&
               text_.compare(
                   static_cast<size_t>(pos), static_cast<size_t>(to - from),
                   text_.substr(static_cast<size_t>(from), static_cast<size_t>(to - from))) == 0;
          if (ok) pos += to - from, ++pc;
          break;
        }
        case Op::kEnd:
          ok = pos == length_;
          if (ok) ++pc;
          break;
        case Op::kSaveStart:
        case Op::kSaveEnd: {
          const int32_t slot = in.operand * 2 + (in.op == Op::kSaveEnd ? 1 : 0);
          if (!SaveCapture(slot, pos)) return false;
          ++pc;
          break;
        }
        case Op::kJump:
          pc = in.operand;
          break;
        case Op::kSplitNext:
          if (!Push(Kind::kChoice, in.operand, pos)) return false;
          ++pc;
          break;
        case Op::kSplitJump:
          if (!Push(Kind::kChoice, pc + 1, pos)) return false;
          pc = in.operand;
          break;
        case Op::kRepeatGreedy: {
          int32_t run_end = pos;
          while (run_end < length_ && Matches(pc + 1, run_end)) ++run_end;
          if (!Spend(static_cast<uint64_t>(run_end - pos))) return false;
          ok = run_end - pos >= in.operand;
          if (!ok) break;
          if (run_end - pos > in.operand) {
            if (!Push(Kind::kGiveBack, pc + 2, run_end, pos + in.operand)) return false;
          }
          pos = run_end;
          pc += 2;
          break;
        }
        case Op::kRepeatLazy:
          if (in.operand > 0) {
            ok = pos < length_ && Matches(pc + 1, pos);
            if (!ok) break;
            ++pos;
          }
          if (!Push(Kind::kTakeMore, pc + 2, pos, pc + 1)) return false;
          pc += 2;
          break;
        case Op::kNotBegin:
          if (!Push(Kind::kBarrier, in.operand, pos)) return false;
          ++pc;
          break;
        case Op::kNotEnd:
          UnwindNegation();
          ok = false;
          break;
        case Op::kMatch:
          end_ = pos;
          return true;
      }
      if (!ok && !Backtrack(&pc, &pos)) return false;
    }
  }

  const AtlRE& re_;
  const std::vector<Instruction>& program_;
  std::u16string_view text_;
  int32_t length_;
  std::vector<int32_t> captures_;  // start and end per group, -1 when unset
  std::vector<Entry> stack_;
  uint64_t steps_left_ = 0;
  bool gave_up_ = false;
  int32_t end_ = 0;
};

AtlRE::AtlRE(const char16_t* pattern) {
  if (pattern == nullptr) {
    parse_error_ = kErrorNullPattern;
    return;
  }
  try {
    std::u16string lowered(pattern);
    LowerInPlace(&lowered);
    AtlReCompiler compiler(this);
    parse_error_ = compiler.Compile(lowered);
  } catch (const std::bad_alloc&) {
    parse_error_ = kErrorOutOfMemory;
  }
  if (parse_error_ != kErrorNone) {
    program_.clear();
    sets_.clear();
    group_count_ = 0;
    first_atom_ = -1;
  }
}

AtlRE::~AtlRE() = default;

bool AtlRE::Match(const char16_t* text, std::u16string* groups, int group_count,
                  const char16_t** end) const {
  if (text == nullptr || parse_error_ != kErrorNone) return false;
  if (group_count < 0 || group_count > group_count_ || (group_count > 0 && groups == nullptr)) {
    return false;
  }
  const size_t length = std::char_traits<char16_t>::length(text);
  if (length >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) return false;
  try {
    std::u16string lowered(text, length);
    LowerInPlace(&lowered);
    AtlReMatcher matcher(*this, lowered);
    if (!matcher.Search()) return false;
    if (end != nullptr) {
      *end = static_cast<size_t>(matcher.end()) >= length ? nullptr : text + matcher.end();
    }
    for (int g = 0; g < group_count; ++g) {
      const int32_t from = matcher.group_start(g);
      const int32_t to = matcher.group_end(g);
      if (from >= 0 && to >= from) {
        groups[g].assign(text + from, static_cast<size_t>(to - from));
      } else {
        groups[g].clear();
      }
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace tobric
