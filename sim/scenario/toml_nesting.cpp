#include "sim/scenario/toml_nesting.h"

#include <vector>

namespace sim {

namespace {

bool IsBare(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

class NestingScan {
 public:
  NestingScan(std::string_view text, size_t limit) : t_(text), limit_(limit) {}

  std::optional<TomlTooDeep> Run() {
    size_t tableLevel = 0, tableName = 0;  // the last header's parts, and its name's length in name_
    while (SkipBlanks(), !AtEnd()) {
      const char c = t_[i_];
      if (c == '\n') {
        ++line_;
        ++i_;
      } else if (c == '#') {
        SkipToLineEnd();
      } else if (c == '[') {  // [table] or [[array.of.tables]]
        i_ += Peek(1) == '[' ? 2 : 1;
        name_.clear();
        size_t level = 0;
        if (!Key(level)) return Fault();
        tableLevel = level;
        tableName = name_.size();
        SkipToLineEnd();  // the closing brackets, a comment
      } else {  // key = value
        name_.resize(tableName);
        size_t level = tableLevel;
        if (!Key(level)) return Fault();
        SkipBlanks();
        if (Peek() != '=') {  // not a key and its value: the parser says what it is
          SkipToLineEnd();
          continue;
        }
        ++i_;
        if (!Value(level)) return Fault();
      }
    }
    return std::nullopt;
  }

 private:
  bool AtEnd() const { return i_ >= t_.size(); }
  char Peek(size_t ahead = 0) const { return i_ + ahead < t_.size() ? t_[i_ + ahead] : '\0'; }
  void SkipBlanks() {
    while (Peek() == ' ' || Peek() == '\t' || Peek() == '\r') ++i_;
  }
  void SkipToLineEnd() {
    while (!AtEnd() && t_[i_] != '\n') ++i_;
  }
  std::optional<TomlTooDeep> Fault() const { return TomlTooDeep{line_, name_}; }

  // Past the string that starts here, basic or literal, on one line or on
  // several, counting the lines it spans. One left open ends where the parser
  // stops too: a one-line string at its line's end, a multi-line one at the text's.
  void SkipString() {
    const char q = t_[i_];
    if (Peek(1) == q && Peek(2) == q) {
      for (i_ += 3; !AtEnd();) {
        const char c = t_[i_];
        if (c == q && Peek(1) == q && Peek(2) == q) {
          i_ += 3;
          // One or two quotes right before the closing three belong to the string.
          for (int more = 0; more < 2 && Peek() == q; ++more) ++i_;
          return;
        }
        if (c == '\\' && q == '"') {  // an escape, or a backslash that ends a line
          if (Peek(1) == '\n') ++line_;
          i_ += 2;
          continue;
        }
        if (c == '\n') ++line_;
        ++i_;
      }
      return;
    }
    for (++i_; !AtEnd() && t_[i_] != '\n';) {
      const char c = t_[i_++];
      if (c == q) return;
      if (c == '\\' && q == '"' && Peek() != '\n') ++i_;
    }
  }

  // A key's parts from here (bare or quoted, dots and blanks between them),
  // each one level below the one before, added to name_ as written. False
  // once a part passes the limit. Where no key starts, it reads nothing.
  bool Key(size_t& level) {
    for (;;) {
      SkipBlanks();
      const size_t start = i_;
      if (Peek() == '"' || Peek() == '\'') {
        SkipString();
      } else if (IsBare(Peek())) {
        while (IsBare(Peek())) ++i_;
      } else {
        return true;
      }
      if (!name_.empty()) name_ += '.';
      name_.append(t_.substr(start, i_ - start));
      if (++level > limit_) return false;
      SkipBlanks();
      if (Peek() != '.') return true;
      ++i_;
    }
  }

  // The value after a key's '=' (the key at `level`), to the end of its line
  // or, for an array, of the line it closes on. False once an array or a key
  // of an inline table passes the limit.
  bool Value(size_t level) {
    // An array or inline table not closed yet: the level and name of the key
    // or array item it is the value of.
    struct Open {
      bool table;
      size_t level;
      size_t name;
    };
    std::vector<Open> open;
    for (;;) {
      SkipBlanks();
      if (AtEnd()) return true;
      const char c = t_[i_];
      if (c == '\n') {
        if (open.empty()) return true;
        ++line_;
        ++i_;
      } else if (c == '#') {
        SkipToLineEnd();
      } else if (c == '"' || c == '\'') {
        SkipString();
      } else if (c == '[') {
        ++i_;
        open.push_back({false, level, name_.size()});
        if (++level > limit_) return false;
      } else if (c == '{' || (c == ',' && !open.empty() && open.back().table)) {
        ++i_;
        if (c == '{') open.push_back({true, level, name_.size()});
        // The inline table's next key, below the table's own level.
        level = open.back().level;
        name_.resize(open.back().name);
        SkipBlanks();
        if (Peek() == '}') continue;
        if (!Key(level)) return false;
        SkipBlanks();
        if (Peek() != '=') return true;  // the parser stops here
        ++i_;
      } else if (c == ']' || c == '}') {
        ++i_;
        if (open.empty()) continue;
        level = open.back().level;
        name_.resize(open.back().name);
        open.pop_back();
      } else {
        ++i_;  // a number, a date, a boolean, a comma between array items
      }
    }
  }

  std::string_view t_;
  size_t limit_;
  size_t i_ = 0;
  size_t line_ = 1;
  std::string name_;  // the key being read, its parts joined by '.'
};

}  // namespace

std::optional<TomlTooDeep> FindTomlTooDeep(std::string_view text, size_t limit) {
  return NestingScan(text, limit).Run();
}

}  // namespace sim
