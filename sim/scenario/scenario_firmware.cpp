// [pcd], [firmware], [[hob]], [protocols] and [faults]: the firmware around the
// driver, what it hands over and where it fails.
#include "platform/probes.h"
#include "sim/scenario/scenario_reader.h"

namespace sim {

void ReadPcd(const ScenarioReader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("pcd");
  if (!n) return;
  for (auto&& [k, v] : r.Table(*n, "pcd")) {
    const std::string key = ScenarioReader::Join("pcd", k.str());
    uint64_t token = r.KeyNumber(std::string(k.str()), k.source(), key, 0xFFFFFFFF);
    s.pcd[token] = v.is_boolean() ? uint64_t(r.Bool(v, key)) : r.Value64(v, key);
  }
}

void ReadFirmware(const ScenarioReader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("firmware");
  if (!n) return;
  const auto& t = r.Table(*n, "firmware");
  r.Keys(t, "firmware", {"hob_list", "capsule_pending"});
  if (auto v = t.get("hob_list")) s.hobList = r.Bool(*v, "firmware.hob_list");
  if (auto v = t.get("capsule_pending"); v && r.Bool(*v, "firmware.capsule_pending"))
    s.hobs.push_back({kCapsuleStatusHobGuid, {}, {}});
}

// After [firmware]: its capsule HOB comes first in the list.
void ReadHobs(const ScenarioReader& r, const toml::table& root, Scenario& s) {
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

void ReadProtocols(const ScenarioReader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("protocols");
  if (!n) return;
  const auto& t = r.Table(*n, "protocols");
  r.Keys(t, "protocols", {"pcd", "fabric_topology", "channel_info", "smm_communication", "smm_ready_to_lock"});
  for (const char* name : {"pcd", "fabric_topology", "channel_info", "smm_communication"})
    if (auto v = t.get(name))
      if (!r.Bool(*v, std::string("protocols.") + name)) s.faults.missingProtocols.insert(name);
  if (auto v = t.get("smm_ready_to_lock")) s.smmReadyToLock = r.Bool(*v, "protocols.smm_ready_to_lock");
}

void ReadFaults(const ScenarioReader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("faults");
  if (!n) return;
  const auto& t = r.Table(*n, "faults");
  r.Keys(t, "faults", {"fail_allocation", "fail_install_protocol", "fail_create_event", "fail_create_event_ex",
                       "fail_install_call", "fail_locate_protocol", "create_event_warning"});
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
  if (auto v = t.get("create_event_warning"))
    s.faults.createEventWarning = r.Unsigned(*v, "faults.create_event_warning", 0x7FFFFFFFFFFFFFFF);
  // The Nth call of a driver, as the fault sweep numbers them.
  if (auto v = t.get("fail_install_call")) s.faults.failInstallCall = r.Unsigned(*v, "faults.fail_install_call", 1u << 20);
  if (auto v = t.get("fail_locate_protocol"))
    s.faults.failLocateCall = r.Unsigned(*v, "faults.fail_locate_protocol", 1u << 20);
}

}  // namespace sim
