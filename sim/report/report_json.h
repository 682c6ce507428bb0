// What the JSON reports share.
#pragma once
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/firmware/firmware.h"

namespace sim {

// A number under its key, and the same in hexadecimal under key + "_hex".
inline void Put(nlohmann::json& j, const std::string& key, uint64_t value, int digits) {
  j[key] = value;
  j[key + "_hex"] = HexText(value, digits);
}

}  // namespace sim
