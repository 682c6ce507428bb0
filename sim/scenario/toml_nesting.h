// How deeply a TOML text nests, measured before the TOML parser reads it. The
// parser builds, and later destroys, nested tables by recursion: a key of
// 100,000 dotted parts overflows the stack. It limits nested arrays and inline
// tables itself, but not the tables that table headers and dotted keys make.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// Scenario files nest at most this deep.
constexpr size_t kTomlNestingLimit = 64;

struct TomlTooDeep {
  size_t line;      // from 1
  std::string key;  // the key as written, as far as the part that passes the limit
};

// The first place where `text` nests deeper than `limit` levels, or nothing.
// Each part of a key's full name is a level: the parts of the table header
// above it (`[a.b]` and `[[a.b]]` alike), its own dotted parts, those of the
// inline tables it lies in; each array a value lies in is one more. Strings of
// all four kinds and comments are skipped; text the TOML parser would refuse
// is only read far enough to go on, never to miss a level the parser would
// build. One pass over the text, no recursion.
std::optional<TomlTooDeep> FindTomlTooDeep(std::string_view text, size_t limit = kTomlNestingLimit);

}  // namespace sim
