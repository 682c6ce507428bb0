// What every scenario table's reader shares: the TOML parser, set up so that its
// internal checks reject a bad file instead of assuming, and Reader, which reads
// typed values and fails with the file, the line and the key.
#pragma once
#include <cstdio>
#include <initializer_list>
#include <set>
#include <sstream>
#include <string>
#include <string_view>

#include "sim/scenario.h"

// The TOML parser's internal assumptions are checked in every build and fail by
// throwing: one of them (a table header whose key starts with a character no key
// may start with, "[`a]]") is reachable from a bad file, and left to the
// optimiser as an assumption, as release builds otherwise do, it would be
// undefined behaviour. A failed check rejects the file like a parse error.
namespace sim {
struct TomlCheckFailed {};
}  // namespace sim
#pragma push_macro("NDEBUG")
#undef NDEBUG
#define TOML_ASSERT(expr) ((expr) ? static_cast<void>(0) : throw ::sim::TomlCheckFailed{})
#include <toml++/toml.h>
#pragma pop_macro("NDEBUG")

namespace sim {

class Reader {
 public:
  explicit Reader(std::string source) : source_(std::move(source)) {}

  [[noreturn]] void Fail(const toml::source_region& where, const std::string& key, const std::string& what) const {
    std::ostringstream m;
    m << source_;
    if (where.begin.line) m << ":" << where.begin.line;
    m << ": key '" << key << "': " << what;
    throw ScenarioError(m.str());
  }

  // Every key of a table must be one this format knows.
  void Keys(const toml::table& t, const std::string& path, std::initializer_list<const char*> known) const {
    std::set<std::string> allowed(known.begin(), known.end());
    for (auto&& [k, v] : t)
      if (!allowed.count(std::string(k.str()))) Fail(k.source(), Join(path, k.str()), "unknown key");
  }

  static std::string Join(const std::string& path, std::string_view key) {
    return path.empty() ? std::string(key) : path + "." + std::string(key);
  }

  uint64_t Unsigned(const toml::node& n, const std::string& key, uint64_t max) const {
    auto v = n.value<int64_t>();
    if (!n.is_integer() || !v) Fail(n.source(), key, "expected an integer");
    if (*v < 0 || uint64_t(*v) > max) {
      std::ostringstream m;
      m << "value " << *v << " is out of range (0 to " << max << ")";
      Fail(n.source(), key, m.str());
    }
    return uint64_t(*v);
  }

  // A 64-bit value: an integer (TOML integers are signed, so the top bit comes
  // from a negative number or a hexadecimal string) or a string "0x...".
  uint64_t Value64(const toml::node& n, const std::string& key) const {
    if (n.is_integer()) return uint64_t(*n.value<int64_t>());
    if (n.is_string()) return KeyNumber(*n.value<std::string>(), n.source(), key, ~0ull);
    Fail(n.source(), key, "expected an integer or a \"0x...\" string");
  }

  // "3A8E17F2-7895-4FB6-A86C-DE82D365631E"
  Guid GuidValue(const toml::node& n, const std::string& key) const {
    const std::string text = String(n, key);
    Guid g{};
    unsigned d[11];
    int used = 0;
    if (text.size() != 36 ||
        std::sscanf(text.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%n", &d[0], &d[1], &d[2], &d[3], &d[4], &d[5],
                    &d[6], &d[7], &d[8], &d[9], &d[10], &used) != 11 ||
        used != 36)
      Fail(n.source(), key, "expected a GUID like \"3A8E17F2-7895-4FB6-A86C-DE82D365631E\"");
    g.Data1 = d[0];
    g.Data2 = uint16_t(d[1]);
    g.Data3 = uint16_t(d[2]);
    for (int i = 0; i < 8; ++i) g.Data4[i] = uint8_t(d[3 + i]);
    return g;
  }

  bool Bool(const toml::node& n, const std::string& key) const {
    if (!n.is_boolean()) Fail(n.source(), key, "expected true or false");
    return *n.value<bool>();
  }

  std::string String(const toml::node& n, const std::string& key) const {
    if (!n.is_string()) Fail(n.source(), key, "expected a string");
    return *n.value<std::string>();
  }

  const toml::table& Table(const toml::node& n, const std::string& key) const {
    if (!n.is_table()) Fail(n.source(), key, "expected a table");
    return *n.as_table();
  }

  const toml::array& Array(const toml::node& n, const std::string& key) const {
    if (!n.is_array()) Fail(n.source(), key, "expected an array");
    return *n.as_array();
  }

  // A number written as a key ("0x50000", "243").
  uint64_t KeyNumber(const std::string& text, const toml::source_region& where, const std::string& key,
                     uint64_t max) const {
    uint64_t v = 0;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    size_t i = hex ? 2 : 0;
    if (i == text.size()) Fail(where, key, "expected a number");
    for (; i < text.size(); ++i) {
      char c = text[i];
      int d = c >= '0' && c <= '9' ? c - '0' : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
              : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10 : c == '_' ? -2 : -1;
      if (d == -2) continue;
      if (d < 0) Fail(where, key, "'" + text + "' is not a number");
      uint64_t base = hex ? 16 : 10;
      if (v > (max - uint64_t(d)) / base) Fail(where, key, "'" + text + "' is out of range");
      v = v * base + uint64_t(d);
    }
    return v;
  }

 private:
  std::string source_;
};

}  // namespace sim

namespace sim {
// [[heap_hob]] and [earlier_driver]: the shared heap buffers before the driver starts.
void ReadHeapTables(const Reader& r, const toml::table& root, Scenario& s);
// A HOB's length field: 0 to 0xFFF8, a multiple of 8.
uint16_t HobLength(const Reader& r, const toml::node& n, const std::string& key);
// A protocol by the name the report gives it (MemInfoProtocol, HeapListProtocol) or by GUID.
Guid ProtocolNamed(const Reader& r, const toml::node& n, const std::string& key);
}  // namespace sim
