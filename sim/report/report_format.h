// What the sections of the boot report share: the text report's tables, the
// widths numbers are shown in, and a firmware status in the JSON report.
#pragma once
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/report/report_json.h"

namespace sim {

constexpr int kAddressDigits = 16;
constexpr int kStatusDigits = 16;

// A status under "status" (with "status_hex") and its name under "status_name".
inline void PutStatus(nlohmann::json& j, uint64_t status) {
  Put(j, "status", status, kStatusDigits);
  j["status_name"] = StatusName(status);
}

// The name of an unsigned integer type of this many bytes.
inline std::string WidthName(int bytes) {
  return bytes == 1 ? "u8" : bytes == 2 ? "u16" : bytes == 4 ? "u32" : "u64";
}

// Columns left-aligned, two spaces apart, each row indented.
class Table {
 public:
  explicit Table(std::vector<std::string> header) { rows_.push_back(std::move(header)); }
  void Row(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  Table& RightAlign(size_t column) {
    if (right_.size() <= column) right_.resize(column + 1, false);
    right_[column] = true;
    return *this;
  }
  std::string Render(const std::string& indent) const {
    std::vector<size_t> widths;
    for (const auto& row : rows_) {
      if (widths.size() < row.size()) widths.resize(row.size(), 0);
      for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    }
    std::string out;
    for (const auto& row : rows_) {
      std::string line = indent;
      for (size_t c = 0; c < row.size(); ++c) {
        const std::string pad(widths[c] - row[c].size(), ' ');
        const bool right = c < right_.size() && right_[c];
        line += right ? pad + row[c] : row[c];
        if (c + 1 < row.size()) line += (right ? "" : pad) + "  ";
      }
      while (!line.empty() && line.back() == ' ') line.pop_back();
      out += line + "\n";
    }
    return out;
  }

 private:
  std::vector<std::vector<std::string>> rows_;
  std::vector<bool> right_;
};

}  // namespace sim
