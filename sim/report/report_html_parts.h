// What the HTML page's parts share: escaping, sizes as text, reading the JSON
// report without trusting its shape, and the address-map drawing that the run
// page and the flash page both use.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/images/flash_listing.h"

namespace sim::html {

// Text for HTML content and attribute values: the five special characters as
// entities, control characters and bytes that are not UTF-8 as U+FFFD.
std::string Escape(const std::string& text);
// "40 B", "4 KiB", "2.9 GiB".
std::string SizeText(uint64_t bytes);

// The member at `keys` of nested objects, or null when any is missing.
inline const nlohmann::json& At(const nlohmann::json& j, std::initializer_list<const char*> keys) {
  static const nlohmann::json kNull;
  const nlohmann::json* p = &j;
  for (const char* key : keys) {
    if (!p->is_object()) return kNull;
    const auto it = p->find(key);
    if (it == p->end()) return kNull;
    p = &*it;
  }
  return *p;
}
inline uint64_t U64(const nlohmann::json& j) {
  if (j.is_number_unsigned()) return j.get<uint64_t>();
  if (j.is_number_integer() && j.get<int64_t>() >= 0) return uint64_t(j.get<int64_t>());
  return 0;
}
inline std::string Str(const nlohmann::json& j) { return j.is_string() ? j.get<std::string>() : std::string(); }
inline bool Flag(const nlohmann::json& j) { return j.is_boolean() && j.get<bool>(); }
// The elements of an array, or none.
inline const nlohmann::json& Items(const nlohmann::json& j) {
  static const nlohmann::json kEmpty = nlohmann::json::array();
  return j.is_array() ? j : kEmpty;
}

// One block of an address map. `kind` picks its colour (a CSS class): dram,
// alloc, placed, mmio, spare, psp, config, flash, table, dir, entry, used.
struct MapRegion {
  std::string name;
  uint64_t start = 0, size = 0;
  std::string kind;
};

// An address map as inline SVG, highest address at the top, followed by a
// table of its regions (name, start, end, size). Regions nest: one inside
// another is drawn narrower, on top. Spans are to scale with each other where
// they can be; a span too large for that is cut short by a zig-zag band with
// its size, a stretch no region covers is a "gap" band with the size skipped,
// and a span too small to see is drawn at a minimum height. The first
// kMaxMapRegions regions given are drawn; the table says how many were left out.
constexpr size_t kMaxMapRegions = 160;
std::string AddressMap(std::vector<MapRegion> regions, const std::string& id);

// The flash layout: a map of the flash window, then the entry table and each
// directory as a block with its entries, checksum verdicts and, marked, the
// entries at the addresses in `used`; `usedWhat` says where that mark comes from.
std::string FlashLayout(const FlashInspection& inspection, const std::set<uint64_t>& used, const std::string& usedWhat);

// The whole document around `body`, with the page's style sheet.
std::string Page(const std::string& title, const std::string& body);

}  // namespace sim::html
