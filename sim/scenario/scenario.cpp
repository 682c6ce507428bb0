// Reading a scenario file: the top-level tables in their reading order, the
// readers of the small ones, and the checks made before the TOML parser runs.
#include "sim/scenario/scenario.h"

#include "sim/common/bounded_file.h"
#include "sim/scenario/scenario_reader.h"
#include "sim/scenario/toml_nesting.h"

#include <filesystem>
#include <sstream>
#include <system_error>

namespace sim {

namespace {

using Reader = ScenarioReader;

void ReadTitle(const Reader& r, const toml::table& root, Scenario& s) {
  if (auto n = root.get("name")) s.name = r.String(*n, "name");
  if (auto n = root.get("description")) s.description = r.String(*n, "description");
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

void ReadAgent(const Reader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("agent");
  if (!n) return;
  const auto& t = r.Table(*n, "agent");
  r.Keys(t, "agent", {"present", "answer", "on_trap"});
  if (auto v = t.get("present")) s.agentPresent = r.Bool(*v, "agent.present");
  if (auto v = t.get("answer")) s.agentAnswer = uint32_t(r.Unsigned(*v, "agent.answer", 0xFFFFFFFF));
  auto actions = t.get("on_trap");
  if (!actions) return;
  const auto& list = r.Array(*actions, "agent.on_trap");
  if (list.size() > 64) r.Fail(actions->source(), "agent.on_trap", "at most 64 actions");
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string p = "agent.on_trap[" + std::to_string(i) + "]";
    const auto& a = r.Table(list[i], p);
    r.Keys(a, p, {"code", "address", "width", "value"});
    AgentActionDesc d;
    if (auto v = a.get("code")) d.code = uint32_t(r.Unsigned(*v, p + ".code", 0xFFFFFFFF));
    else r.Fail(a.source(), p + ".code", "missing: the trap code the action answers");
    if (auto v = a.get("address")) d.address = r.Value64(*v, p + ".address");
    else r.Fail(a.source(), p + ".address", "missing: where the agent writes");
    if (auto v = a.get("width")) {
      d.width = uint8_t(r.Unsigned(*v, p + ".width", 8));
      if (d.width != 1 && d.width != 2 && d.width != 4 && d.width != 8) r.Fail(v->source(), p + ".width", "1, 2, 4 or 8");
    }
    if (auto v = a.get("value")) d.value = r.Value64(*v, p + ".value");
    if (d.width < 8 && (d.value >> (8 * d.width)) != 0) r.Fail(a.source(), p + ".value", "wider than its width");
    if (d.address < kDramBase || d.address - kDramBase > kDramSize - d.width)
      r.Fail(a.source(), p + ".address", "the agent writes DRAM only");
    s.agentActions.push_back(d);
  }
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
// its own); it keeps a file named by mistake from being read whole. The files
// of a chain (one extending another) hold at most this much together.
constexpr uint64_t kScenarioFileLimit = 64ull << 20;

// A scenario file extends at most this many others, one after the other.
constexpr size_t kExtendsDepth = 16;

// One file's text as a table, its values remembering the file (`sourceName`).
toml::table ParseText(const std::string& text, const std::string& sourceName) {
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
  try {
    return toml::parse(text, sourceName);
  } catch (const toml::parse_error& e) {
    std::ostringstream m;
    m << sourceName << ":" << e.source().begin.line << ": " << e.description();
    throw ScenarioError(m.str());
  } catch (const TomlCheckFailed&) {
    throw ScenarioError(sourceName + ": not a valid TOML file (the parser could not make sense of it)");
  }
}

// The child's keys into its parent's table: a table the parent has too merges
// key by key, anything else (a value, an array, an array of tables) replaces
// the parent's whole value. Moved, the values keep the file and line they stand
// at. Recursion no deeper than the files nest (kTomlNestingLimit).
void Merge(toml::table& parent, toml::table&& child) {
  for (auto&& [key, value] : child) {
    toml::table* both = value.is_table() ? parent.get_as<toml::table>(key) : nullptr;
    if (both) {
      Merge(*both, std::move(*value.as_table()));
    } else {
      parent.erase(key);  // the child's key, its line, replaces the parent's
      parent.insert(key, std::move(value));
    }
  }
}

// The files a scenario's chain has read so far: the first the one named to
// LoadScenario, each next the one the previous extends.
struct Chain {
  std::vector<std::filesystem::path> files;  // as the file system names them, to find a cycle
  uint64_t bytes = 0;  // all of them together, at most kScenarioFileLimit
};

// A file as the file system names it (its links and `..` resolved), so a chain
// that comes back to a file by another path is still seen as a cycle.
std::filesystem::path FileKey(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::path key = std::filesystem::weakly_canonical(path, ec);
  return ec ? path.lexically_normal() : key;
}

// The file at `path` (its bytes in `text`) merged over the files it extends.
toml::table Resolve(const std::string& path, const std::string& text, Chain& chain) {
  toml::table root = ParseText(text, path);
  chain.files.push_back(FileKey(path));
  chain.bytes += text.size();
  auto n = root.get("extends");
  if (!n) return root;
  const Reader r(path);
  std::filesystem::path parent = r.String(*n, "extends");
  if (parent.is_relative()) parent = std::filesystem::path(path).parent_path() / parent;
  const std::filesystem::path parentKey = FileKey(parent);
  for (const auto& earlier : chain.files)
    if (earlier == parentKey)
      r.Fail(n->source(), "extends",
             "'" + parent.string() + "' is already in the chain of files being read: the chain is a cycle");
  if (chain.files.size() >= kExtendsDepth)
    r.Fail(n->source(), "extends", "more than " + std::to_string(kExtendsDepth) + " files in one chain");
  std::vector<uint8_t> bytes;
  if (std::string why = ReadBoundedFile(parent.string(), kScenarioFileLimit - chain.bytes, bytes); !why.empty())
    r.Fail(n->source(), "extends", why);
  toml::table merged = Resolve(parent.string(), std::string(bytes.begin(), bytes.end()), chain);
  root.erase("extends");
  Merge(merged, std::move(root));
  return merged;
}

// The scenario a table (its extends resolved) describes.
Scenario ReadScenario(const toml::table& root, const std::string& sourceName) {
  Reader r(sourceName);
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

}  // namespace

Scenario ParseScenario(const std::string& text, const std::string& sourceName) {
  const toml::table root = ParseText(text, sourceName);
  if (auto n = root.get("extends"))
    Reader(sourceName).Fail(n->source(), "extends",
                            "only a scenario read from a file extends another; this one was given as text");
  return ReadScenario(root, sourceName);
}

Scenario LoadScenario(const std::string& path) {
  std::vector<uint8_t> text;
  if (std::string why = ReadBoundedFile(path, kScenarioFileLimit, text); !why.empty()) throw ScenarioError(why);
  Chain chain;
  Scenario s = ReadScenario(Resolve(path, std::string(text.begin(), text.end()), chain), path);
  if (s.name.empty()) {
    size_t slash = path.find_last_of('/');
    std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
    s.name = base.substr(0, base.rfind('.'));
  }
  return s;
}

}  // namespace sim
