// The typed accessors every scenario table's reader uses: each checks a value's
// type and range and names the file, line and key of a wrong one.
#include "sim/common/bounded_file.h"
#include "sim/scenario/scenario_reader.h"

#include <cstdio>
#include <filesystem>
#include <sstream>

namespace sim {

void ScenarioReader::Fail(const toml::source_region& where, const std::string& key, const std::string& what) const {
  std::ostringstream m;
  m << SourceOf(where);
  if (where.begin.line) m << ":" << where.begin.line;
  m << ": key '" << key << "': " << what;
  throw ScenarioError(m.str());
}

const std::string& ScenarioReader::SourceOf(const toml::source_region& where) const {
  return where.path && !where.path->empty() ? *where.path : source_;
}

void ScenarioReader::Keys(const toml::table& t, const std::string& path, const std::set<std::string>& known) const {
  for (auto&& [k, v] : t)
    if (!known.count(std::string(k.str()))) Fail(k.source(), Join(path, k.str()), "unknown key");
}

uint64_t ScenarioReader::Unsigned(const toml::node& n, const std::string& key, uint64_t max) const {
  auto v = n.value<int64_t>();
  if (!n.is_integer() || !v) Fail(n.source(), key, "expected an integer");
  if (*v < 0 || uint64_t(*v) > max) {
    std::ostringstream m;
    m << "value " << *v << " is out of range (0 to " << max << ")";
    Fail(n.source(), key, m.str());
  }
  return uint64_t(*v);
}

uint64_t ScenarioReader::Value64(const toml::node& n, const std::string& key) const {
  if (n.is_integer()) return uint64_t(*n.value<int64_t>());
  if (n.is_string()) return KeyNumber(*n.value<std::string>(), n.source(), key, ~0ull);
  Fail(n.source(), key, "expected an integer or a \"0x...\" string");
}

Guid ScenarioReader::GuidValue(const toml::node& n, const std::string& key) const {
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

bool ScenarioReader::Bool(const toml::node& n, const std::string& key) const {
  if (!n.is_boolean()) Fail(n.source(), key, "expected true or false");
  return *n.value<bool>();
}

uint8_t ScenarioReader::Switch(const toml::node& n, const std::string& key) const {
  if (n.is_boolean()) return Bool(n, key) ? 1 : 0;
  return uint8_t(Unsigned(n, key, 0xFF));
}

std::string ScenarioReader::String(const toml::node& n, const std::string& key) const {
  if (!n.is_string()) Fail(n.source(), key, "expected a string");
  return *n.value<std::string>();
}

const toml::table& ScenarioReader::Table(const toml::node& n, const std::string& key) const {
  if (!n.is_table()) Fail(n.source(), key, "expected a table");
  return *n.as_table();
}

const toml::array& ScenarioReader::Array(const toml::node& n, const std::string& key) const {
  if (!n.is_array()) Fail(n.source(), key, "expected an array");
  return *n.as_array();
}

uint64_t ScenarioReader::KeyNumber(const std::string& text, const toml::source_region& where, const std::string& key,
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

std::vector<uint8_t> ScenarioReader::File(const toml::node& n, const std::string& key, uint64_t limit) const {
  std::filesystem::path path = String(n, key);
  if (path.is_relative()) path = std::filesystem::path(SourceOf(n.source())).parent_path() / path;
  std::vector<uint8_t> bytes;
  if (std::string why = ReadBoundedFile(path.string(), limit, bytes); !why.empty()) Fail(n.source(), key, why);
  return bytes;
}

}  // namespace sim
