// A picture of one boot: a self-contained HTML page (inline SVG and CSS, no
// script, nothing fetched) with the physical address map, the flash layout,
// the channel map's populated slots, the chip-select table, the hardware
// accesses of each boot step, a fatal trap's post-code display and the S3
// closing. It draws what the JSON report gathers (and, for the flash, what the
// flash inspector reads from the platform's flash image); the same input gives
// the same bytes. docs/report.md describes it.
#pragma once
#include <string>

#include "sim/board/platform.h"
#include "sim/images/flash_listing.h"
#include "sim/report/report.h"

namespace sim {

std::string HtmlReport(Platform& platform, const BootResult& result, const DriverInfo& driver = {});

// The flash layout page of `meminfo-sim flash --inspect FILE --html OUT`; the
// entries marked as used are those the lookups of the judged processors reach.
std::string FlashInspectionHtml(const FlashInspection& inspection);

}  // namespace sim
