#include "sim/board/fabric_mmio_model.h"

#include <algorithm>

#include "platform/fabric_registers.h"
#include "platform/processor_registers.h"
#include "psp/fabric_mmio.h"
#include "sim/machine/hardware.h"
#include "sim/scenario/scenario.h"

namespace sim {

uint32_t FabricSystemConfigFor(const Scenario& s) {
  const size_t dies = s.sockets.empty() ? 0 : std::min<size_t>(s.sockets[0].dies.size(), 4);
  const bool second = s.sockets.size() > 1 && !s.sockets[1].dies.empty();
  return (second ? FabricSystemConfig::SecondSocket::kMask : 0) | FabricSystemConfig::DiePresent::Of((1u << dies) - 1);
}

std::vector<uint32_t> FabricBusRangesFor(const Scenario& s) {
  struct Die {
    uint8_t bus;
    uint8_t destination;
  };
  std::vector<Die> dies;
  for (size_t socket = 0; socket < std::min<size_t>(s.sockets.size(), 2); ++socket)
    for (size_t die = 0; die < std::min<size_t>(s.sockets[socket].dies.size(), 4); ++die)
      dies.push_back({s.sockets[socket].dies[die].rootBus,
                      uint8_t(FabricDestination::Socket::Of(uint8_t(socket)) | FabricDestination::Die::Of(uint8_t(die)) |
                              FabricDestination::kRootComponent)});
  std::stable_sort(dies.begin(), dies.end(), [](const Die& a, const Die& b) { return a.bus < b.bus; });
  // Each die's buses run from its root bus to the next higher root bus.
  std::vector<uint32_t> ranges;
  for (size_t i = 0; i < dies.size(); ++i) {
    uint32_t limit = 0xFF;
    for (size_t k = i + 1; k < dies.size(); ++k)
      if (dies[k].bus > dies[i].bus) {
        limit = dies[k].bus - 1u;
        break;
      }
    using Range = FabricBusRange;
    ranges.push_back(Range::BusLimit::Of(limit) | Range::BusBase::Of(dies[i].bus) |
                     Range::Destination::Of(dies[i].destination) | Range::Enable::kMask);
  }
  return ranges;
}

void BuildFabricMmioModel(Hardware& hardware, const Scenario& s) {
  hardware.SetMsr(MsrApicBase::kAt, kDefaultApicBase);
  const uint32_t config = s.fabric.systemConfig.value_or(FabricSystemConfigFor(s));
  const std::vector<uint32_t> ranges = s.fabric.busRanges.value_or(FabricBusRangesFor(s));
  for (size_t socket = 0; socket < 2; ++socket)
    for (size_t die = 0; die < 4; ++die) {
      if (!FabricDevicePresent(s, socket, die)) continue;
      const uint8_t device = uint8_t(FabricDevice(socket, die));
      // The system configuration and the bus-range map read the same on every die.
      hardware.SetPciConfig32(0, device, FabricSystemConfig::kFunction, FabricSystemConfig::kAt, config);
      for (size_t i = 0; i < ranges.size(); ++i)
        hardware.SetPciConfig32(0, device, FabricBusRange::kFunction,
                                uint16_t(FabricBusRange::kAt + FabricBusRange::kStride * i), ranges[i]);
      hardware.SetPciConfig32(0, device, FabricAboveTopSelect::kFunction, FabricAboveTopSelect::kAt,
                              s.fabric.aboveTopSelect[socket * 4 + die]);
    }
}

}  // namespace sim
