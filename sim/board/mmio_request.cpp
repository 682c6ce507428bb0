#include "sim/board/mmio_request.h"

#include "psp/fabric_mmio.h"
#include "sim/firmware/dispatch.h"
#include "sim/scenario/scenario.h"

namespace sim {

bool MmioRequestRun::Allocated() const {
  return returned && status == 0 && MmioAttributeType(request.attribute) <= kMmioTypeAbove4G && request.length != 0;
}

std::string RequestsUnsupported(const Scenario& scenario, const Dispatch& dispatch) {
  if (scenario.mmioRequests.empty() || dispatch.CallsAllocator()) return "";
  return "the scenario's \"mmio_request\" events call the fabric MMIO allocator, which the image does not offer "
         "as a function of its own (the link inlines it into its one caller): boot it without --emulate";
}

}  // namespace sim
