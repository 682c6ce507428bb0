#include "sim/scenario.h"

#include "platform/probes.h"
#include "sim/scenario_reader.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace sim {

namespace {

void ReadDie(const Reader& r, const toml::table& t, const std::string& path, DieSpec& die) {
  r.Keys(t, path, {"root_bus", "vendor", "internal"});
  if (auto n = t.get("root_bus")) die.rootBus = uint8_t(r.Unsigned(*n, path + ".root_bus", 0xFF));
  else r.Fail(t.source(), path + ".root_bus", "missing: every die names its root bus");
  if (auto n = t.get("vendor")) die.vendor = uint16_t(r.Unsigned(*n, path + ".vendor", 0xFFFF));
  if (auto n = t.get("internal")) {
    const std::string p = path + ".internal";
    for (auto&& [k, v] : r.Table(*n, p)) {
      const std::string key = Reader::Join(p, k.str());
      die.internal[uint32_t(r.KeyNumber(std::string(k.str()), k.source(), key, 0xFFFFFFFF))] =
          uint32_t(r.Unsigned(v, key, 0xFFFFFFFF));
    }
  }
}

// A byte switch: true and false stand for 1 and 0; any other byte value may be
// given as an integer.
uint8_t Switch(const Reader& r, const toml::node& n, const std::string& key) {
  if (n.is_boolean()) return r.Bool(n, key) ? 1 : 0;
  return uint8_t(r.Unsigned(n, key, 0xFF));
}

struct UartLine {
  std::optional<bool> busy;
  std::optional<uint64_t> busyReadings;
  toml::source_region busyAt, readingsAt;
};

UartLine ReadUartLine(const Reader& r, const toml::table& t, const std::string& path) {
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

void ApplyUartLine(const UartLine& line, UartSpec& uart) {
  if (line.busy) uart.busy = *line.busy;
  if (line.busyReadings) uart.busyReadings = *line.busyReadings;
}

// [serial] places the UART the serial channel writes to; [raw_uart] describes
// the first serial port at 0x3F8. When [serial] base is 0x3F8 they are one
// device, and the two tables must not disagree about its line status.
void ReadUarts(const Reader& r, const toml::table& root, Scenario& s) {
  UartSpec serial;
  UartLine serialLine, rawLine;
  if (auto n = root.get("serial")) {
    const auto& t = r.Table(*n, "serial");
    r.Keys(t, "serial", {"base", "busy", "busy_readings"});
    if (auto v = t.get("base")) {
      serial.base = r.Value64(*v, "serial.base");
      const bool mmio = serial.base >= kUartMmioThreshold;
      const uint64_t end = serial.base + (mmio ? 4 * Uart::kRegisterCount : Uart::kRegisterCount);
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
    UartSpec com1;
    ApplyUartLine(rawLine, com1);
    s.uarts.push_back(serial);
    s.uarts.push_back(com1);
  }
}

void ReadMailbox(const Reader& r, const toml::table& t, MailboxSpec& m) {
  r.Keys(t, "mailbox", {"signature", "capacity", "held", "output", "collect", "mask", "size"});
  if (auto v = t.get("signature")) m.signature = uint32_t(r.Unsigned(*v, "mailbox.signature", 0xFFFFFFFF));
  if (auto v = t.get("capacity")) m.capacity = uint16_t(r.Unsigned(*v, "mailbox.capacity", 0xFFFF));
  if (auto v = t.get("held")) m.held = uint16_t(r.Unsigned(*v, "mailbox.held", 0xFFFF));
  if (auto v = t.get("output")) m.output = Switch(r, *v, "mailbox.output");
  if (auto v = t.get("collect")) m.collect = Switch(r, *v, "mailbox.collect");
  if (auto v = t.get("mask")) m.mask = r.Value64(*v, "mailbox.mask");
  if (auto v = t.get("size")) m.size = uint32_t(r.Unsigned(*v, "mailbox.size", 1u << 20));
}

}  // namespace

Scenario ParseScenario(const std::string& text, const std::string& sourceName) {
  Reader r(sourceName);
  // Scenario files are ASCII. The TOML parser's handling of some characters
  // beyond ASCII ends in undefined behaviour, so such a file never reaches it.
  for (size_t i = 0, line = 1; i < text.size(); ++i) {
    if (text[i] == '\n') ++line;
    if (static_cast<unsigned char>(text[i]) >= 0x80)
      throw ScenarioError(sourceName + ":" + std::to_string(line) +
                          ": scenario files are ASCII; this line holds another character");
  }
  toml::table root;
  try {
    root = toml::parse(text, sourceName);
  } catch (const toml::parse_error& e) {
    std::ostringstream m;
    m << sourceName << ":" << e.source().begin.line << ": " << e.description();
    throw ScenarioError(m.str());
  } catch (const TomlCheckFailed&) {
    throw ScenarioError(sourceName + ": not a valid TOML file (the parser could not make sense of it)");
  }

  Scenario s;
  s.path = sourceName;
  r.Keys(root, "", {"name", "description", "socket", "pci", "platform", "pcd", "msr", "cpuid", "ports", "cpu",
                    "agent", "firmware", "hob", "protocols", "faults", "boot", "limits", "serial", "raw_uart", "mailbox", "heap_hob",
                    "earlier_driver"});
  if (auto n = root.get("name")) s.name = r.String(*n, "name");
  if (auto n = root.get("description")) s.description = r.String(*n, "description");

  if (auto n = root.get("socket")) {
    const auto& sockets = r.Array(*n, "socket");
    if (sockets.size() > 2) r.Fail(n->source(), "socket", "the platform has at most two sockets");
    for (size_t i = 0; i < sockets.size(); ++i) {
      const std::string p = "socket[" + std::to_string(i) + "]";
      const auto& st = r.Table(sockets[i], p);
      r.Keys(st, p, {"die"});
      SocketSpec socket;
      if (auto d = st.get("die")) {
        const auto& dies = r.Array(*d, p + ".die");
        if (dies.size() > 4) r.Fail(d->source(), p + ".die", "a socket has at most four dies");
        for (size_t j = 0; j < dies.size(); ++j) {
          const std::string dp = p + ".die[" + std::to_string(j) + "]";
          DieSpec die;
          ReadDie(r, r.Table(dies[j], dp), dp, die);
          socket.dies.push_back(die);
        }
      }
      s.sockets.push_back(socket);
    }
  }

  if (auto n = root.get("pci")) {
    const auto& list = r.Array(*n, "pci");
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string p = "pci[" + std::to_string(i) + "]";
      const auto& t = r.Table(list[i], p);
      r.Keys(t, p, {"bus", "device", "function", "vendor", "device_id", "config"});
      PciSpec setup;
      if (auto v = t.get("bus")) setup.bus = uint8_t(r.Unsigned(*v, p + ".bus", 0xFF));
      if (auto v = t.get("device")) setup.device = uint8_t(r.Unsigned(*v, p + ".device", 31));
      if (auto v = t.get("function")) setup.function = uint8_t(r.Unsigned(*v, p + ".function", 7));
      if (auto v = t.get("vendor")) setup.vendor = uint16_t(r.Unsigned(*v, p + ".vendor", 0xFFFF));
      if (auto v = t.get("device_id")) setup.deviceId = uint16_t(r.Unsigned(*v, p + ".device_id", 0xFFFF));
      if (auto v = t.get("config")) {
        for (auto&& [k, val] : r.Table(*v, p + ".config")) {
          const std::string key = Reader::Join(p + ".config", k.str());
          uint64_t offset = r.KeyNumber(std::string(k.str()), k.source(), key, 0xFFC);
          if (offset % 4) r.Fail(k.source(), key, "configuration offsets are multiples of 4");
          setup.config[uint16_t(offset)] = uint32_t(r.Unsigned(val, key, 0xFFFFFFFF));
        }
      }
      s.pci.push_back(setup);
    }
  }

  if (auto n = root.get("platform")) {
    const auto& t = r.Table(*n, "platform");
    r.Keys(t, "platform", {"smi_command_port", "pm1_control_base", "sleep_type"});
    if (auto v = t.get("smi_command_port")) s.smiCommandPort = uint16_t(r.Unsigned(*v, "platform.smi_command_port", 0xFFFF));
    if (auto v = t.get("pm1_control_base")) s.pm1ControlBase = uint16_t(r.Unsigned(*v, "platform.pm1_control_base", 0xFFFF));
    if (auto v = t.get("sleep_type")) s.sleepType = uint8_t(r.Unsigned(*v, "platform.sleep_type", 7));
  }

  if (auto n = root.get("pcd")) {
    for (auto&& [k, v] : r.Table(*n, "pcd")) {
      const std::string key = Reader::Join("pcd", k.str());
      uint64_t token = r.KeyNumber(std::string(k.str()), k.source(), key, 0xFFFFFFFF);
      s.pcd[token] = v.is_boolean() ? uint64_t(r.Bool(v, key)) : r.Value64(v, key);
    }
  }

  if (auto n = root.get("msr")) {
    for (auto&& [k, v] : r.Table(*n, "msr")) {
      const std::string key = Reader::Join("msr", k.str());
      s.msrs[uint32_t(r.KeyNumber(std::string(k.str()), k.source(), key, 0xFFFFFFFF))] = r.Value64(v, key);
    }
  }

  if (auto n = root.get("cpuid")) {
    for (auto&& [k, v] : r.Table(*n, "cpuid")) {
      const std::string key = Reader::Join("cpuid", k.str());
      uint32_t leaf = uint32_t(r.KeyNumber(std::string(k.str()), k.source(), key, 0xFFFFFFFF));
      const auto& regs = r.Array(v, key);
      if (regs.size() != 4) r.Fail(v.source(), key, "expected [eax, ebx, ecx, edx]");
      CpuidValue c;
      c.eax = uint32_t(r.Unsigned(regs[0], key, 0xFFFFFFFF));
      c.ebx = uint32_t(r.Unsigned(regs[1], key, 0xFFFFFFFF));
      c.ecx = uint32_t(r.Unsigned(regs[2], key, 0xFFFFFFFF));
      c.edx = uint32_t(r.Unsigned(regs[3], key, 0xFFFFFFFF));
      s.cpuid[leaf] = c;
    }
  }

  ReadUarts(r, root, s);
  if (auto n = root.get("ports")) {
    for (auto&& [k, v] : r.Table(*n, "ports")) {
      const std::string key = Reader::Join("ports", k.str());
      const uint16_t port = uint16_t(r.KeyNumber(std::string(k.str()), k.source(), key, 0xFFFF));
      // A UART's registers answer for themselves; a value here would never be read.
      for (const UartSpec& u : s.uarts)
        if (u.base < kUartMmioThreshold && port >= u.base && port < u.base + Uart::kRegisterCount)
          r.Fail(k.source(), key,
                 std::string("a register of the UART at ") + (u.base == kComPort1 ? "0x3F8" : "[serial] base") +
                     "; describe its line status under [serial] or [raw_uart]");
      s.ports[port] = uint32_t(r.Unsigned(v, key, 0xFFFFFFFF));
    }
  }

  if (auto n = root.get("cpu")) {
    const auto& t = r.Table(*n, "cpu");
    r.Keys(t, "cpu", {"dr2", "dr3", "dr7", "cr4", "tsc_start", "tsc_per_read", "pause_ticks"});
    if (auto v = t.get("dr2")) s.dr2 = r.Value64(*v, "cpu.dr2");
    if (auto v = t.get("dr3")) s.dr3 = r.Value64(*v, "cpu.dr3");
    if (auto v = t.get("dr7")) s.dr7 = r.Value64(*v, "cpu.dr7");
    if (auto v = t.get("cr4")) s.cr4 = r.Value64(*v, "cpu.cr4");
    if (auto v = t.get("tsc_start")) s.tscStart = r.Value64(*v, "cpu.tsc_start");
    if (auto v = t.get("tsc_per_read")) s.tscPerRead = r.Unsigned(*v, "cpu.tsc_per_read", 1ull << 40);
    if (auto v = t.get("pause_ticks")) s.tscPerPause = r.Unsigned(*v, "cpu.pause_ticks", 1ull << 40);
  }

  if (auto n = root.get("agent")) {
    const auto& t = r.Table(*n, "agent");
    r.Keys(t, "agent", {"present", "answer"});
    if (auto v = t.get("present")) s.agentPresent = r.Bool(*v, "agent.present");
    if (auto v = t.get("answer")) s.agentAnswer = uint32_t(r.Unsigned(*v, "agent.answer", 0xFFFFFFFF));
  }

  if (auto n = root.get("mailbox")) {
    s.mailbox.emplace();
    ReadMailbox(r, r.Table(*n, "mailbox"), *s.mailbox);
  }

  if (auto n = root.get("firmware")) {
    const auto& t = r.Table(*n, "firmware");
    r.Keys(t, "firmware", {"hob_list", "capsule_pending"});
    if (auto v = t.get("hob_list")) s.hobList = r.Bool(*v, "firmware.hob_list");
    if (auto v = t.get("capsule_pending"); v && r.Bool(*v, "firmware.capsule_pending"))
      s.hobs.push_back({kCapsuleStatusHobGuid, {}, {}});
  }

  if (auto n = root.get("hob")) {
    constexpr size_t kHobDataLimit = 65536;  // the firmware's own region holds the list
    size_t hobBytes = 0;
    const auto& list = r.Array(*n, "hob");
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string p = "hob[" + std::to_string(i) + "]";
      const auto& t = r.Table(list[i], p);
      r.Keys(t, p, {"guid", "data", "length"});
      HobSpec hob{};
      if (auto v = t.get("guid")) hob.name = r.GuidValue(*v, p + ".guid");
      else r.Fail(t.source(), p + ".guid", "missing: every HOB names its GUID");
      if (auto v = t.get("data")) {
        const auto& bytes = r.Array(*v, p + ".data");
        if (bytes.size() > 4000) r.Fail(v->source(), p + ".data", "a HOB holds at most 4000 bytes of data here");
        for (auto& b : bytes) hob.data.push_back(uint8_t(r.Unsigned(b, p + ".data", 0xFF)));
      }
      if (auto v = t.get("length")) hob.length = HobLength(r, *v, p + ".length");
      s.hobs.push_back(hob);
      hobBytes += hob.data.size();
      if (hobBytes > kHobDataLimit)
        r.Fail(t.source(), p + ".data", "the HOBs hold at most " + std::to_string(kHobDataLimit) + " bytes of data in all");
    }
  }

  ReadHeapTables(r, root, s);

  if (auto n = root.get("protocols")) {
    const auto& t = r.Table(*n, "protocols");
    r.Keys(t, "protocols", {"pcd", "fabric_topology"});
    for (const char* name : {"pcd", "fabric_topology"})
      if (auto v = t.get(name))
        if (!r.Bool(*v, std::string("protocols.") + name)) s.faults.missingProtocols.insert(name);
  }

  if (auto n = root.get("faults")) {
    const auto& t = r.Table(*n, "faults");
    r.Keys(t, "faults", {"fail_allocation", "fail_install_protocol", "fail_create_event_ex"});
    if (auto v = t.get("fail_allocation")) s.faults.failAllocation = r.Unsigned(*v, "faults.fail_allocation", 1u << 20);
    if (auto v = t.get("fail_install_protocol")) {
      if (v->is_string()) s.faults.failInstallOf = ProtocolNamed(r, *v, "faults.fail_install_protocol");
      else s.faults.failInstallProtocol = r.Bool(*v, "faults.fail_install_protocol");
    }
    if (auto v = t.get("fail_create_event_ex")) s.faults.failCreateEventEx = r.Bool(*v, "faults.fail_create_event_ex");
  }

  if (auto n = root.get("boot")) {
    const auto& t = r.Table(*n, "boot");
    r.Keys(t, "boot", {"events"});
    if (auto v = t.get("events")) {
      const auto& list = r.Array(*v, "boot.events");
      for (auto& e : list) {
        std::string name = r.String(e, "boot.events");
        if (name != "ready_to_boot") r.Fail(e.source(), "boot.events", "unknown event '" + name + "' (known: ready_to_boot)");
        s.events.push_back(name);
      }
    }
  }

  if (auto n = root.get("limits")) {
    const auto& t = r.Table(*n, "limits");
    r.Keys(t, "limits", {"max_accesses"});
    if (auto v = t.get("max_accesses")) s.accessLimit = r.Unsigned(*v, "limits.max_accesses", 100000000);
  }
  return s;
}

Scenario LoadScenario(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw ScenarioError(path + ": is a directory, not a scenario file");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ScenarioError(path + ": cannot open the scenario file");
  std::ostringstream text;
  text << in.rdbuf();
  Scenario s = ParseScenario(text.str(), path);
  if (s.name.empty()) {
    size_t slash = path.find_last_of('/');
    std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
    s.name = base.substr(0, base.rfind('.'));
  }
  return s;
}

}  // namespace sim
