// [serial], [raw_uart] and [ports]: the UARTs and the I/O ports beside them.
#include "sim/scenario/scenario_reader.h"

namespace sim {

namespace {

struct UartLine {
  std::optional<bool> busy;
  std::optional<uint64_t> busyReadings;
  toml::source_region busyAt, readingsAt;
};

UartLine ReadUartLine(const ScenarioReader& r, const toml::table& t, const std::string& path) {
  UartLine line;
  if (auto v = t.get("busy")) {
    line.busy = r.Bool(*v, path + ".busy");
    line.busyAt = v->source();
  }
  if (auto v = t.get("busy_readings")) {
    line.busyReadings = r.Unsigned(*v, path + ".busy_readings", 0xFFFFFFFF);
    line.readingsAt = v->source();
  }
  return line;
}

void ApplyUartLine(const UartLine& line, UartDesc& uart) {
  if (line.busy) uart.busy = *line.busy;
  if (line.busyReadings) uart.busyReadings = *line.busyReadings;
}

}  // namespace

// [serial] places the UART the serial channel writes to; [raw_uart] describes
// the first serial port at 0x3F8. When [serial] base is 0x3F8 they are one
// device, and the two tables must not disagree about its line status.
void ReadUarts(const ScenarioReader& r, const toml::table& root, Scenario& s) {
  UartDesc serial;
  UartLine serialLine, rawLine;
  if (auto n = root.get("serial")) {
    const auto& t = r.Table(*n, "serial");
    r.Keys(t, "serial", {"base", "busy", "busy_readings"});
    if (auto v = t.get("base")) {
      serial.base = r.Value64(*v, "serial.base");
      const bool mmio = serial.base >= kUartMmioThreshold;
      const uint64_t end = serial.base + (mmio ? 4 * kUartRegisterCount : kUartRegisterCount);
      if (!mmio && end > kUartMmioThreshold)
        r.Fail(v->source(), "serial.base", "an I/O base leaves room for eight registers (at most 0xFFF8)");
      if (!mmio && serial.base != kComPort1 && serial.base < kComPort1 + 8u && end > kComPort1)
        r.Fail(v->source(), "serial.base", "overlaps the first serial port at 0x3F8");
      if (mmio && (end < serial.base || (serial.base < kDramBase + kDramSize && end > kDramBase)))
        r.Fail(v->source(), "serial.base", "a memory-mapped UART must stay clear of DRAM");
    }
    serialLine = ReadUartLine(r, t, "serial");
  }
  if (auto n = root.get("raw_uart")) {
    const auto& t = r.Table(*n, "raw_uart");
    r.Keys(t, "raw_uart", {"busy", "busy_readings"});
    rawLine = ReadUartLine(r, t, "raw_uart");
  }
  ApplyUartLine(serialLine, serial);
  s.uarts.clear();
  if (serial.base == kComPort1) {
    if (rawLine.busy && serialLine.busy && *rawLine.busy != *serialLine.busy)
      r.Fail(rawLine.busyAt, "raw_uart.busy", "the UART at 0x3F8 is [serial]'s too, which says otherwise");
    if (rawLine.busyReadings && serialLine.busyReadings && *rawLine.busyReadings != *serialLine.busyReadings)
      r.Fail(rawLine.readingsAt, "raw_uart.busy_readings",
             "the UART at 0x3F8 is [serial]'s too, which says otherwise");
    ApplyUartLine(rawLine, serial);
    s.uarts.push_back(serial);
  } else {
    UartDesc com1;
    ApplyUartLine(rawLine, com1);
    s.uarts.push_back(serial);
    s.uarts.push_back(com1);
  }
}

// After the UARTs: a port inside one of their register blocks is refused.
void ReadPorts(const ScenarioReader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("ports");
  if (!n) return;
  for (auto&& [k, v] : r.Table(*n, "ports")) {
    const std::string key = ScenarioReader::Join("ports", k.str());
    const uint16_t port = uint16_t(r.KeyNumber(std::string(k.str()), k.source(), key, 0xFFFF));
    // A UART's registers answer for themselves; a value here would never be read.
    for (const UartDesc& u : s.uarts)
      if (u.base < kUartMmioThreshold && port >= u.base && port < u.base + kUartRegisterCount)
        r.Fail(k.source(), key,
               std::string("a register of the UART at ") + (u.base == kComPort1 ? "0x3F8" : "[serial] base") +
                   "; describe its line status under [serial] or [raw_uart]");
    s.ports[port] = uint32_t(r.Unsigned(v, key, 0xFFFFFFFF));
  }
}

}  // namespace sim
