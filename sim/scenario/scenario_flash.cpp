// The scenario's [flash] table (the boot flash, built or loaded from a file) and
// its [psp] table (the PSP window's base and how the PSP answers).
#include <map>

#include "sim/common/text.h"
#include "sim/scenario/scenario_reader.h"

namespace sim {

namespace {

constexpr size_t kEntryDataLimit = 1u << 20;

class FlashReader {
 public:
  FlashReader(const ScenarioReader& r, const Scenario& s) : r_(r), s_(s) {}

  FlashImage Read(const toml::table& t) {
    r_.Keys(t, "flash", {"size", "erased", "image", "entry_table", "directory"});
    Mark("flash", t.source());
    if (auto v = t.get("image")) {
      for (const char* other : {"size", "erased", "entry_table", "directory"})
        if (t.contains(other))
          r_.Fail(v->source(), "flash.image", std::string("a flash image file stands alone; 'flash.") + other +
                                                  "' cannot be given with it");
      std::vector<uint8_t> bytes = r_.File(*v, "flash.image", kFlashMaxSize);
      if (bytes.empty()) r_.Fail(v->source(), "flash.image", "the file is empty");
      return FlashImageFromBytes(std::move(bytes));
    }
    FlashLayout layout;
    if (auto v = t.get("size")) {
      layout.size = r_.Unsigned(*v, "flash.size", kFlashMaxSize);
      Mark("flash.size", v->source());
    }
    if (auto v = t.get("erased")) layout.erased = uint8_t(r_.Unsigned(*v, "flash.erased", 0xFF));
    if (auto v = t.get("entry_table")) ReadTable(r_.Table(*v, "flash.entry_table"), layout);
    if (auto v = t.get("directory")) {
      const auto& list = r_.Array(*v, "flash.directory");
      for (size_t i = 0; i < list.size(); ++i) {
        const std::string p = "flash.directory[" + std::to_string(i) + "]";
        layout.directories.push_back(ReadDirectory(r_.Table(list[i], p), p));
      }
    }
    try {
      return BuildFlashImage(layout);
    } catch (const FlashBuildError& e) {
      // The message names the nearest key this file wrote.
      std::string key = e.where.empty() ? "flash" : e.where;
      while (!marks_.count(key) && key.find_last_of(".[") != std::string::npos) key = key.substr(0, key.find_last_of(".["));
      auto it = marks_.find(key);
      r_.Fail(it == marks_.end() ? t.source() : it->second, e.where.empty() ? "flash" : e.where, e.what());
    }
  }

 private:
  void Mark(const std::string& key, const toml::source_region& where) { marks_[key] = where; }

  // A directory's name, or an address up to `max`.
  FlashRef Ref(const toml::node& n, const std::string& key, uint64_t max) {
    Mark(key, n.source());
    if (n.is_string()) return FlashRef{r_.String(n, key), 0};
    if (!n.is_integer()) r_.Fail(n.source(), key, "expected a directory's name or an address");
    return FlashRef{"", r_.Unsigned(n, key, max)};
  }

  void ReadTable(const toml::table& t, FlashLayout& layout) {
    const std::string p = "flash.entry_table";
    r_.Keys(t, p, {"address", "signature", "psp", "bios"});
    Mark(p, t.source());
    if (auto v = t.get("address")) {
      layout.tableAddress = r_.Unsigned(*v, p + ".address", 0xFFFFFFFF);
      Mark(p + ".address", v->source());
    }
    if (auto v = t.get("signature")) layout.tableSignature = uint32_t(r_.Unsigned(*v, p + ".signature", 0xFFFFFFFF));
    if (auto v = t.get("psp")) layout.psp = Ref(*v, p + ".psp", 0xFFFFFFFF);
    if (auto v = t.get("bios")) {
      if (const toml::array* two = v->as_array()) {
        if (two->size() != 2) r_.Fail(v->source(), p + ".bios", "expected one directory, or two: [offset 0x18, offset 0x1C]");
        for (int i = 0; i < 2; ++i) layout.bios[i] = Ref((*two)[size_t(i)], p + ".bios", 0xFFFFFFFF);
      } else {
        layout.bios[0] = layout.bios[1] = Ref(*v, p + ".bios", 0xFFFFFFFF);
      }
    }
  }

  FlashDirectoryDesc ReadDirectory(const toml::table& t, const std::string& p) {
    r_.Keys(t, p, {"name", "kind", "address", "corrupt", "count", "entries"});
    Mark(p, t.source());
    FlashDirectoryDesc d;
    d.where = p;
    if (auto v = t.get("name")) {
      d.name = r_.String(*v, p + ".name");
      Mark(p + ".name", v->source());
    }
    if (auto v = t.get("kind")) {
      const std::string kind = r_.String(*v, p + ".kind");
      bool known = false;
      for (FlashDirectoryKind k : {FlashDirectoryKind::Psp, FlashDirectoryKind::Combo, FlashDirectoryKind::Bios,
                                   FlashDirectoryKind::BiosLevel2})
        if (kind == FlashDirectoryKindKey(k)) {
          d.kind = k;
          known = true;
        }
      if (!known) r_.Fail(v->source(), p + ".kind", "unknown kind '" + kind + "' (known: psp, combo, bios, bios_l2)");
    } else {
      r_.Fail(t.source(), p + ".kind", "missing: psp, combo, bios or bios_l2");
    }
    if (auto v = t.get("address")) d.address = r_.Unsigned(*v, p + ".address", 0xFFFFFFFF);
    if (auto v = t.get("count")) d.count = uint32_t(r_.Unsigned(*v, p + ".count", 0xFFFFFFFF));
    if (auto v = t.get("corrupt")) {
      for (auto& c : r_.Array(*v, p + ".corrupt")) {
        const std::string what = r_.String(c, p + ".corrupt");
        if (what == "magic") d.badMagic = true;
        else if (what == "checksum") d.badChecksum = true;
        else r_.Fail(c.source(), p + ".corrupt", "unknown '" + what + "' (known: magic, checksum)");
      }
    }
    if (auto v = t.get("entries")) {
      const auto& list = r_.Array(*v, p + ".entries");
      for (size_t i = 0; i < list.size(); ++i) {
        const std::string ep = p + ".entries[" + std::to_string(i) + "]";
        d.entries.push_back(ReadEntry(r_.Table(list[i], ep), ep, d.kind));
      }
    }
    return d;
  }

  FlashEntryDesc ReadEntry(const toml::table& t, const std::string& p, FlashDirectoryKind kind) {
    Mark(p, t.source());
    FlashEntryDesc e;
    e.where = p;
    if (kind == FlashDirectoryKind::Combo) {
      r_.Keys(t, p, {"id", "psp"});
      if (auto v = t.get("id")) e.processorId = uint32_t(r_.Unsigned(*v, p + ".id", 0xFFFFFFFF));
      else r_.Fail(t.source(), p + ".id", "missing: the processor ID the entry serves");
      if (auto v = t.get("psp")) e.source = Ref(*v, p + ".psp", 0xFFFFFFFF);
      else r_.Fail(t.source(), p + ".psp", "missing: that processor's PSP directory");
      return e;
    }
    const bool bios = kind != FlashDirectoryKind::Psp;
    if (bios) r_.Keys(t, p, {"type", "flags", "size", "source", "destination", "data", "file", "drux"});
    else r_.Keys(t, p, {"type", "flags", "size", "source", "data", "file"});
    if (auto v = t.get("type")) e.type = uint8_t(r_.Unsigned(*v, p + ".type", 0xFF));
    else r_.Fail(t.source(), p + ".type", "missing: the entry's type");
    if (auto v = t.get("flags")) e.flags = uint32_t(r_.Unsigned(*v, p + ".flags", 0xFFFFFF));
    if (auto v = t.get("size")) e.size = uint32_t(r_.Unsigned(*v, p + ".size", 0xFFFFFFFF));
    if (auto v = t.get("source")) e.source = Ref(*v, p + ".source", ~0ull);
    if (auto v = t.get("destination")) e.destination = r_.Value64(*v, p + ".destination");
    if (t.contains("data") && t.contains("file")) r_.Fail(t.source(), p, "give 'data' or 'file', not both");
    if (auto v = t.get("data")) {
      const auto& bytes = r_.Array(*v, p + ".data");
      if (bytes.size() > kEntryDataLimit) r_.Fail(v->source(), p + ".data", "at most 1 MiB of data; use 'file'");
      e.data.emplace();
      for (auto& b : bytes) e.data->push_back(uint8_t(r_.Unsigned(b, p + ".data", 0xFF)));
    }
    if (auto v = t.get("file")) e.data = r_.File(*v, p + ".file", kFlashMaxSize);
    // The [drux] block as the entry's data; its destination is where [drux] puts it in memory.
    if (auto v = t.get("drux"); v && r_.Bool(*v, p + ".drux")) {
      if (!s_.druxBlock) r_.Fail(v->source(), p + ".drux", "there is no [drux] block to carry");
      if (e.data || e.source) r_.Fail(v->source(), p + ".drux", "the block is the entry's data: no 'data', 'file' or 'source'");
      e.data = *s_.druxBlock;
      if (!t.contains("destination")) e.destination = *s_.druxAddress;
    }
    return e;
  }

  const ScenarioReader& r_;
  const Scenario& s_;  // its [drux] block, for entries that carry it
  std::map<std::string, toml::source_region> marks_;
};

bool Overlaps(uint64_t a, uint64_t aLength, uint64_t b, uint64_t bLength) { return a < b + bLength && b < a + aLength; }

// The configuration space of the buses the scenario uses must stay clear of a range.
void CheckBuses(const ScenarioReader& r, const Scenario& s, uint64_t base, uint64_t length, const toml::source_region& where,
                const std::string& key, const std::string& what) {
  auto check = [&](uint8_t bus, const std::string& user) {
    if (Overlaps(kPciConfigBase + (uint64_t{bus} << 20), 1ull << 20, base, length))
      r.Fail(where, key, what + " covers the configuration space of bus " + HexText(bus, 2) + " (" + user + ")");
  };
  for (size_t i = 0; i < s.sockets.size(); ++i)
    for (size_t j = 0; j < s.sockets[i].dies.size(); ++j)
      check(s.sockets[i].dies[j].rootBus, "the root bus of socket " + std::to_string(i) + ", die " + std::to_string(j));
  for (const PciDesc& p : s.pci) check(p.bus, "a [[pci]] function");
  for (const UartDesc& u : s.uarts)
    if (u.base >= kUartMmioThreshold && Overlaps(u.base, 4 * kUartRegisterCount, base, length))
      r.Fail(where, key, what + " covers the memory-mapped UART at " + HexText(u.base));
}

// A status word named by how the PSP booted.
uint32_t BootStatus(const ScenarioReader& r, const toml::node& n, const std::string& key) {
  const std::string boot = r.String(n, key);
  if (boot == "normal") return PspMailboxStatus::Booted::kMask;
  if (boot == "recovery") return PspMailboxStatus::Recovery::kMask;
  if (boot == "never_ready") return 0;
  r.Fail(n.source(), key, "unknown '" + boot + "' (known: normal, recovery, never_ready)");
}

// [psp] status_sequence: steps of `boot` or `status`, each for `reads` reads but the last.
void ReadStatusSequence(const ScenarioReader& r, const toml::table& psp, const toml::node& n, Scenario& s) {
  for (const char* single : {"boot", "status", "ready_after"})
    if (psp.contains(single))
      r.Fail(psp.source(), "psp", std::string("give 'status_sequence' or '") + single + "', not both");
  const auto& steps = r.Array(n, "psp.status_sequence");
  if (steps.empty() || steps.size() > 64) r.Fail(n.source(), "psp.status_sequence", "1 to 64 steps");
  for (size_t i = 0; i < steps.size(); ++i) {
    const std::string p = "psp.status_sequence[" + std::to_string(i) + "]";
    const auto& t = r.Table(steps[i], p);
    r.Keys(t, p, {"boot", "status", "reads"});
    PspStatusStep step;
    if (t.contains("boot") == t.contains("status")) r.Fail(t.source(), p, "give 'boot' or 'status'");
    if (auto v = t.get("boot")) step.status = BootStatus(r, *v, p + ".boot");
    if (auto v = t.get("status")) step.status = uint32_t(r.Unsigned(*v, p + ".status", 0xFFFFFFFF));
    const bool last = i + 1 == steps.size();
    if (auto v = t.get("reads")) {
      if (last) r.Fail(v->source(), p + ".reads", "the last step holds for every later read: no 'reads'");
      step.reads = r.Unsigned(*v, p + ".reads", 1000000);
    } else if (!last) {
      r.Fail(t.source(), p + ".reads", "missing: how many reads show this step");
    }
    s.psp.sequence.push_back(step);
  }
}

void ReadPspTable(const ScenarioReader& r, const toml::table& t, Scenario& s) {
  r.Keys(t, "psp", {"window_base", "boot", "status", "ready_after", "status_sequence"});
  if (auto v = t.get("window_base")) {
    const uint64_t base = r.Unsigned(*v, "psp.window_base", 0xFFFFFFFF);
    if (base == 0 || base % kPspWindowSize != 0)
      r.Fail(v->source(), "psp.window_base", "a non-zero multiple of 1 MiB below 4 GiB");
    bool root0 = false;
    for (const SocketDesc& socket : s.sockets)
      for (const DieDesc& die : socket.dies) root0 |= die.rootBus == 0;
    if (!root0)
      r.Fail(v->source(), "psp.window_base", "the window registers are root bus 0's: add a die with root_bus = 0");
    if (Overlaps(base, kPspWindowSize, kDramBase, kDramSize)) r.Fail(v->source(), "psp.window_base", "the window overlaps DRAM");
    if (s.flash && Overlaps(base, kPspWindowSize, s.flash->base, s.flash->Size()))
      r.Fail(v->source(), "psp.window_base", "the window overlaps the boot flash");
    CheckBuses(r, s, base, kPspWindowSize, v->source(), "psp.window_base", "the window");
    s.psp.windowBase = base;
  }
  if (t.contains("boot") && t.contains("status")) r.Fail(t.source(), "psp", "give 'boot' or 'status', not both");
  if (auto v = t.get("boot")) s.psp.status = BootStatus(r, *v, "psp.boot");
  if (auto v = t.get("status")) s.psp.status = uint32_t(r.Unsigned(*v, "psp.status", 0xFFFFFFFF));
  if (auto v = t.get("ready_after")) s.psp.readyAfter = r.Unsigned(*v, "psp.ready_after", 1000000);
  if (auto v = t.get("status_sequence")) ReadStatusSequence(r, t, *v, s);
}

}  // namespace

void ReadFlash(const ScenarioReader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("flash");
  if (!n) return;
  const auto& t = r.Table(*n, "flash");
  FlashImage image = FlashReader(r, s).Read(t);
  CheckBuses(r, s, image.base, image.Size(), t.source(), "flash", "the flash");
  s.flash = std::make_shared<const FlashImage>(std::move(image));
}

void ReadPsp(const ScenarioReader& r, const toml::table& root, Scenario& s) {
  if (auto n = root.get("psp")) ReadPspTable(r, r.Table(*n, "psp"), s);
}

}  // namespace sim
