// [[socket]] with its dies and [[pci]]: the machine's buses and the devices on them.
#include "sim/scenario/scenario_channels.h"
#include "sim/scenario/scenario_reader.h"

namespace sim {

namespace {

void ReadDie(const ScenarioReader& r, const toml::table& t, const std::string& path, DieDesc& die) {
  r.Keys(t, path, {"root_bus", "vendor", "internal", "channel", "memory_info"});
  if (auto n = t.get("root_bus")) die.rootBus = uint8_t(r.Unsigned(*n, path + ".root_bus", 0xFF));
  else r.Fail(t.source(), path + ".root_bus", "missing: every die names its root bus");
  if (auto n = t.get("vendor")) die.vendor = uint16_t(r.Unsigned(*n, path + ".vendor", 0xFFFF));
  if (auto n = t.get("internal")) {
    const std::string p = path + ".internal";
    for (auto&& [k, v] : r.Table(*n, p)) {
      const std::string key = ScenarioReader::Join(p, k.str());
      die.internal[uint32_t(r.KeyNumber(std::string(k.str()), k.source(), key, 0xFFFFFFFF))] =
          uint32_t(r.Unsigned(v, key, 0xFFFFFFFF));
    }
  }
  if (auto n = t.get("channel")) ReadDieChannels(r, *n, path + ".channel", die);
  if (auto n = t.get("memory_info")) ReadDieMemoryInfo(r, *n, path + ".memory_info", die);
}

}  // namespace

void ReadSockets(const ScenarioReader& r, const toml::table& root, Scenario& s) {
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

void ReadPci(const ScenarioReader& r, const toml::table& root, Scenario& s) {
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
        const std::string key = ScenarioReader::Join(p + ".config", k.str());
        uint64_t offset = r.KeyNumber(std::string(k.str()), k.source(), key, 0xFFC);
        if (offset % 4) r.Fail(k.source(), key, "configuration offsets are multiples of 4");
        setup.config[uint16_t(offset)] = uint32_t(r.Unsigned(val, key, 0xFFFFFFFF));
      }
    }
    s.pci.push_back(setup);
  }
}

}  // namespace sim
