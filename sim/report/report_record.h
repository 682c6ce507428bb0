// The report's section on the record the driver published under
// MemInfoProtocol: where it lies, every field by name and its raw bytes. Part of
// the boot report (sim/report/report.h).
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "sim/board/platform.h"

namespace sim {

// "Published record (MemInfoProtocol)": the interface, its handle, the fields,
// the bytes and where the channel map snapshot and the chip-select table lie.
std::string RecordText(Platform& platform);
// The decoded snapshot and chip-select table the record points to, each followed
// by an empty line; nothing for a pointer that is 0 or a record not readable.
std::string RecordBuffersText(Platform& platform);
// {"present", "address", "handle", "on_image_handle", "readable", "bytes",
//  "fields", "channel_map", "chip_select_table"}: as far as the record is there.
nlohmann::json RecordJson(Platform& platform);
// What MemInfoDump.efi prints on a board for this platform's record: the
// record section, an empty line, the buffers' sections (apps/dump/record_text.h).
std::string DumpText(Platform& platform);

}  // namespace sim
