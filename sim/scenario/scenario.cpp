#include "sim/scenario/scenario.h"

#include "platform/probes.h"
#include "sim/common/bounded_file.h"
#include "sim/scenario/scenario_channels.h"
#include "sim/scenario/scenario_reader.h"
#include "sim/scenario/toml_nesting.h"

#include <cstdio>
#include <filesystem>
#include <sstream>

namespace sim {

void ScenarioReader::Fail(const toml::source_region& where, const std::string& key, const std::string& what) const {
  std::ostringstream m;
  m << source_;
  if (where.begin.line) m << ":" << where.begin.line;
  m << ": key '" << key << "': " << what;
  throw ScenarioError(m.str());
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
  if (path.is_relative()) path = std::filesystem::path(source_).parent_path() / path;
  std::vector<uint8_t> bytes;
  if (std::string why = ReadBoundedFile(path.string(), limit, bytes); !why.empty()) Fail(n.source(), key, why);
  return bytes;
}

namespace {

using Reader = ScenarioReader;

void ReadTitle(const Reader& r, const toml::table& root, Scenario& s) {
  if (auto n = root.get("name")) s.name = r.String(*n, "name");
  if (auto n = root.get("description")) s.description = r.String(*n, "description");
}

void ReadDie(const Reader& r, const toml::table& t, const std::string& path, DieDesc& die) {
  r.Keys(t, path, {"root_bus", "vendor", "internal", "channel", "memory_info"});
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
  if (auto n = t.get("channel")) ReadDieChannels(r, *n, path + ".channel", die);
  if (auto n = t.get("memory_info")) ReadDieMemoryInfo(r, *n, path + ".memory_info", die);
}

void ReadSockets(const Reader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("socket");
  if (!n) return;
  const auto& sockets = r.Array(*n, "socket");
  // More than the platform's two sockets of four dies may be described: the
  // topology protocol then reports them, as a faulty one would.
  if (sockets.size() > 4) r.Fail(n->source(), "socket", "at most four sockets");
  for (size_t i = 0; i < sockets.size(); ++i) {
    const std::string p = "socket[" + std::to_string(i) + "]";
    const auto& st = r.Table(sockets[i], p);
    r.Keys(st, p, {"die"});
    SocketDesc socket;
    if (auto d = st.get("die")) {
      const auto& dies = r.Array(*d, p + ".die");
      if (dies.size() > 8) r.Fail(d->source(), p + ".die", "at most eight dies per socket");
      for (size_t j = 0; j < dies.size(); ++j) {
        const std::string dp = p + ".die[" + std::to_string(j) + "]";
        DieDesc die;
        ReadDie(r, r.Table(dies[j], dp), dp, die);
        socket.dies.push_back(die);
      }
    }
    s.sockets.push_back(socket);
  }
}

void ReadPci(const Reader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("pci");
  if (!n) return;
  const auto& list = r.Array(*n, "pci");
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string p = "pci[" + std::to_string(i) + "]";
    const auto& t = r.Table(list[i], p);
    r.Keys(t, p, {"bus", "device", "function", "vendor", "device_id", "config"});
    PciDesc setup;
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

void ReadPlatform(const Reader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("platform");
  if (!n) return;
  const auto& t = r.Table(*n, "platform");
  r.Keys(t, "platform", {"smi_command_port", "pm1_control_base", "sleep_type"});
  if (auto v = t.get("smi_command_port")) s.smiCommandPort = uint16_t(r.Unsigned(*v, "platform.smi_command_port", 0xFFFF));
  if (auto v = t.get("pm1_control_base")) s.pm1ControlBase = uint16_t(r.Unsigned(*v, "platform.pm1_control_base", 0xFFFF));
  if (auto v = t.get("sleep_type")) s.sleepType = uint8_t(r.Unsigned(*v, "platform.sleep_type", 7));
}

void ReadPcd(const Reader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("pcd");
  if (!n) return;
  for (auto&& [k, v] : r.Table(*n, "pcd")) {
    const std::string key = Reader::Join("pcd", k.str());
    uint64_t token = r.KeyNumber(std::string(k.str()), k.source(), key, 0xFFFFFFFF);
    s.pcd[token] = v.is_boolean() ? uint64_t(r.Bool(v, key)) : r.Value64(v, key);
  }
}

void ReadMsrs(const Reader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("msr");
  if (!n) return;
  for (auto&& [k, v] : r.Table(*n, "msr")) {
    const std::string key = Reader::Join("msr", k.str());
    s.msrs[uint32_t(r.KeyNumber(std::string(k.str()), k.source(), key, 0xFFFFFFFF))] = r.Value64(v, key);
  }
}

void ReadCpuid(const Reader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("cpuid");
  if (!n) return;
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

void ApplyUartLine(const UartLine& line, UartDesc& uart) {
  if (line.busy) uart.busy = *line.busy;
  if (line.busyReadings) uart.busyReadings = *line.busyReadings;
}

// [serial] places the UART the serial channel writes to; [raw_uart] describes
// the first serial port at 0x3F8. When [serial] base is 0x3F8 they are one
// device, and the two tables must not disagree about its line status.
void ReadUarts(const Reader& r, const toml::table& root, Scenario& s) {
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
void ReadPorts(const Reader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("ports");
  if (!n) return;
  for (auto&& [k, v] : r.Table(*n, "ports")) {
    const std::string key = Reader::Join("ports", k.str());
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

void ReadCpu(const Reader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("cpu");
  if (!n) return;
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

void ReadAgent(const Reader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("agent");
  if (!n) return;
  const auto& t = r.Table(*n, "agent");
  r.Keys(t, "agent", {"present", "answer"});
  if (auto v = t.get("present")) s.agentPresent = r.Bool(*v, "agent.present");
  if (auto v = t.get("answer")) s.agentAnswer = uint32_t(r.Unsigned(*v, "agent.answer", 0xFFFFFFFF));
}

void ReadMailbox(const Reader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("mailbox");
  if (!n) return;
  const auto& t = r.Table(*n, "mailbox");
  MailboxDesc& m = s.mailbox.emplace();
  r.Keys(t, "mailbox", {"signature", "capacity", "held", "output", "collect", "mask", "size"});
  if (auto v = t.get("signature")) m.signature = uint32_t(r.Unsigned(*v, "mailbox.signature", 0xFFFFFFFF));
  if (auto v = t.get("capacity")) m.capacity = uint16_t(r.Unsigned(*v, "mailbox.capacity", 0xFFFF));
  if (auto v = t.get("held")) m.held = uint16_t(r.Unsigned(*v, "mailbox.held", 0xFFFF));
  if (auto v = t.get("output")) m.output = r.Switch(*v, "mailbox.output");
  if (auto v = t.get("collect")) m.collect = r.Switch(*v, "mailbox.collect");
  if (auto v = t.get("mask")) m.mask = r.Value64(*v, "mailbox.mask");
  if (auto v = t.get("size")) m.size = uint32_t(r.Unsigned(*v, "mailbox.size", 1u << 20));
}

void ReadFirmware(const Reader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("firmware");
  if (!n) return;
  const auto& t = r.Table(*n, "firmware");
  r.Keys(t, "firmware", {"hob_list", "capsule_pending"});
  if (auto v = t.get("hob_list")) s.hobList = r.Bool(*v, "firmware.hob_list");
  if (auto v = t.get("capsule_pending"); v && r.Bool(*v, "firmware.capsule_pending"))
    s.hobs.push_back({kCapsuleStatusHobGuid, {}, {}});
}

// After [firmware]: its capsule HOB comes first in the list.
void ReadHobs(const Reader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("hob");
  if (!n) return;
  constexpr size_t kHobDataLimit = 65536;  // the firmware's own region holds the list
  size_t hobBytes = 0;
  const auto& list = r.Array(*n, "hob");
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string p = "hob[" + std::to_string(i) + "]";
    const auto& t = r.Table(list[i], p);
    r.Keys(t, p, {"guid", "data", "length"});
    HobDesc hob{};
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

void ReadProtocols(const Reader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("protocols");
  if (!n) return;
  const auto& t = r.Table(*n, "protocols");
  r.Keys(t, "protocols", {"pcd", "fabric_topology", "channel_info", "smm_communication", "smm_ready_to_lock"});
  for (const char* name : {"pcd", "fabric_topology", "channel_info", "smm_communication"})
    if (auto v = t.get(name))
      if (!r.Bool(*v, std::string("protocols.") + name)) s.faults.missingProtocols.insert(name);
  if (auto v = t.get("smm_ready_to_lock")) s.smmReadyToLock = r.Bool(*v, "protocols.smm_ready_to_lock");
}

void ReadFaults(const Reader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("faults");
  if (!n) return;
  const auto& t = r.Table(*n, "faults");
  r.Keys(t, "faults", {"fail_allocation", "fail_install_protocol", "fail_create_event", "fail_create_event_ex",
                       "fail_install_call", "fail_locate_protocol"});
  if (auto v = t.get("fail_allocation")) s.faults.failAllocation = r.Unsigned(*v, "faults.fail_allocation", 1u << 20);
  if (auto v = t.get("fail_install_protocol")) {
    if (v->is_string()) s.faults.failInstallOf = ProtocolNamed(r, *v, "faults.fail_install_protocol");
    else s.faults.failInstallProtocol = r.Bool(*v, "faults.fail_install_protocol");
  }
  // true: every call fails; a number N: the Nth call.
  auto nth = [&](const toml::node& v, const std::string& key) {
    return v.is_boolean() ? (r.Bool(v, key) ? FirmwareFaults::kEveryCall : 0) : r.Unsigned(v, key, 1u << 20);
  };
  if (auto v = t.get("fail_create_event")) s.faults.failCreateEvent = nth(*v, "faults.fail_create_event");
  if (auto v = t.get("fail_create_event_ex")) s.faults.failCreateEventEx = nth(*v, "faults.fail_create_event_ex");
  // The Nth call of a driver, as the fault sweep numbers them.
  if (auto v = t.get("fail_install_call")) s.faults.failInstallCall = r.Unsigned(*v, "faults.fail_install_call", 1u << 20);
  if (auto v = t.get("fail_locate_protocol"))
    s.faults.failLocateCall = r.Unsigned(*v, "faults.fail_locate_protocol", 1u << 20);
}

void ReadBoot(const Reader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("boot");
  if (!n) return;
  const auto& t = r.Table(*n, "boot");
  r.Keys(t, "boot", {"events", "mmio_request"});
  if (auto v = t.get("events")) {
    const auto& list = r.Array(*v, "boot.events");
    for (auto& e : list) {
      std::string name = r.String(e, "boot.events");
      if (name != kEventReadyToBoot && name != kEventSmmReadyToLock && name != kEventStartDriver &&
          name != kEventMmioRequest)
        r.Fail(e.source(), "boot.events",
               "unknown event '" + name + "' (known: ready_to_boot, smm_ready_to_lock, start_driver, mmio_request)");
      s.events.push_back(name);
    }
  }
  ReadMmioRequests(r, t, s);
}

void ReadLimits(const Reader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("limits");
  if (!n) return;
  const auto& t = r.Table(*n, "limits");
  r.Keys(t, "limits", {"max_accesses"});
  if (auto v = t.get("max_accesses")) s.accessLimit = r.Unsigned(*v, "limits.max_accesses", 100000000);
}

// The file's top-level keys and their readers, in reading order. A new table is
// one line here and its reader (in a file of its own: sim/scenario_<topic>.cpp,
// declared in sim/scenario/scenario_reader.h).
struct TopLevel {
  const char* keys[2];  // the top-level keys the reader takes
  TableReader read;
};
constexpr TopLevel kTopLevel[] = {
    {{"name", "description"}, ReadTitle},
    {{"socket"}, ReadSockets},
    {{"pci"}, ReadPci},
    {{"platform"}, ReadPlatform},
    {{"pcd"}, ReadPcd},
    {{"msr"}, ReadMsrs},
    {{"cpuid"}, ReadCpuid},
    {{"serial", "raw_uart"}, ReadUarts},
    {{"ports"}, ReadPorts},
    {{"cpu"}, ReadCpu},
    {{"agent"}, ReadAgent},
    {{"mailbox"}, ReadMailbox},
    {{"firmware"}, ReadFirmware},
    {{"hob"}, ReadHobs},
    {{"drux", "memory"}, ReadDrux},  // before [flash], whose entries may carry the block
    {{"heap_hob", "earlier_driver"}, ReadHeapTables},
    {{"protocols"}, ReadProtocols},
    {{"faults"}, ReadFaults},
    {{"s3"}, ReadS3},
    {{"boot"}, ReadBoot},
    {{"limits"}, ReadLimits},
    {{"flash"}, ReadFlash},  // clear of the buses and the UARTs read above
    {{"psp"}, ReadPsp},      // clear of the flash
    {{"fabric"}, ReadFabric},  // over the fabric devices of [[socket]]
};

// Far more than any platform takes to describe (its bulk belongs in files of
// its own); it keeps a file named by mistake from being read whole.
constexpr uint64_t kScenarioFileLimit = 64ull << 20;

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
  // The parser recurses as deep as the file nests: a limit of our own first.
  if (auto deep = FindTomlTooDeep(text))
    throw ScenarioError(sourceName + ":" + std::to_string(deep->line) + ": key '" + deep->key + "': nested more than " +
                        std::to_string(kTomlNestingLimit) +
                        " levels deep (each part of a table header or a dotted key is a level, each array one more)");
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
  std::set<std::string> known;
  for (const TopLevel& table : kTopLevel)
    for (const char* key : table.keys)
      if (key) known.insert(key);
  r.Keys(root, "", known);
  for (const TopLevel& table : kTopLevel) table.read(r, root, s);
  return s;
}

Scenario LoadScenario(const std::string& path) {
  std::vector<uint8_t> text;
  if (std::string why = ReadBoundedFile(path, kScenarioFileLimit, text); !why.empty()) throw ScenarioError(why);
  Scenario s = ParseScenario(std::string(text.begin(), text.end()), path);
  if (s.name.empty()) {
    size_t slash = path.find_last_of('/');
    std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
    s.name = base.substr(0, base.rfind('.'));
  }
  return s;
}

}  // namespace sim
