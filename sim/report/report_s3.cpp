#include "sim/report/report_s3.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "services/s3_save.h"
#include "sim/report/report_json.h"

namespace sim {

namespace {

using nlohmann::json;

std::string Bytes(const std::vector<uint8_t>& bytes, size_t from = 0, size_t count = ~size_t{0}) {
  std::string out;
  for (size_t i = from; i < bytes.size() && i - from < count; ++i) out += (out.empty() ? "" : " ") + HexText(bytes[i], 2).substr(2);
  return out;
}

template <class T>
T At(const std::vector<uint8_t>& bytes, size_t offset) {
  T v{};
  if (offset + sizeof(T) <= bytes.size()) std::memcpy(&v, bytes.data() + offset, sizeof(T));
  return v;
}

// The shared record PCD 349 names at the end of the boot, and who made it.
struct RecordState {
  uint64_t address = 0;
  std::string owner;  // "driver", "other_driver" or "scenario"
  std::vector<uint8_t> bytes;  // empty when it does not lie in DRAM
};

RecordState Record(const Platform& p) {
  RecordState r;
  r.address = p.firmware().PcdValue(PcdS3PrivateData).value_or(0);
  if (r.address == 0) return r;
  r.owner = "scenario";
  if (r.address == p.s3().OtherRecord()) r.owner = "other_driver";
  for (const PoolBlock& b : p.firmware().Pool())
    if (b.address == r.address && !b.byPlatform) r.owner = "driver";
  if (p.memory().Contains(r.address, sizeof(VyrS3LibPrivateData)))
    r.bytes = p.memory().ReadBytes(r.address, sizeof(VyrS3LibPrivateData));
  return r;
}

// The save table the platform's other driver left, and what became of it.
struct TableState {
  uint64_t address = 0, size = 0;
  bool freed = false;
  std::optional<bool> terminated;  // unknown when it was freed with no copy taken
  std::string seenIn;              // "smm_copy" or "memory"
};

TableState Table(const Platform& p) {
  TableState t;
  t.address = p.s3().Table();
  if (t.address == 0) return t;
  const S3Desc& desc = *p.s3().Desc();
  t.size = desc.TableSize();
  for (const PoolBlock& b : p.firmware().Pool())
    if (b.address == t.address && b.byPlatform) t.freed = b.freed;
  auto terminated = [&](const std::vector<uint8_t>& bytes) {
    return At<uint16_t>(bytes, desc.terminatorOffset) == kS3SaveTableTerminator;
  };
  for (const SmmMessage& m : p.firmware().SmmMessages()) {
    if (m.table == t.address && !m.tableCopy.empty()) {
      t.terminated = terminated(m.tableCopy);
      t.seenIn = "smm_copy";
    }
  }
  if (!t.terminated && !t.freed) {
    t.terminated = terminated(p.memory().ReadBytes(t.address, t.size));
    t.seenIn = "memory";
  }
  return t;
}

json MessageJson(const SmmMessage& m) {
  json j = json::object();
  Put(j, "buffer", m.buffer, 16);
  j["size"] = m.size ? json(*m.size) : json(nullptr);
  Put(j, "status", m.status, 16);
  j["status_name"] = StatusName(m.status);
  j["bytes_hex"] = Bytes(m.bytes);
  j["s3_handler"] = m.s3Handler;
  if (m.bytes.size() >= offsetof(S3CommunicateBuffer, Command)) {
    Guid g;
    std::memcpy(&g, m.bytes.data(), sizeof g);
    j["header_guid"] = GuidText(g);
    j["message_length"] = At<uint64_t>(m.bytes, offsetof(S3CommunicateBuffer, MessageLength));
  }
  if (m.s3Handler) {
    j["command"] = At<uint32_t>(m.bytes, offsetof(S3CommunicateBuffer, Command));
    Put(j, "private_data", At<uint64_t>(m.bytes, offsetof(S3CommunicateBuffer, PrivateData)), 16);
  }
  return j;
}

std::string YesNo(bool b) { return b ? "yes" : "no"; }

}  // namespace

json S3Json(const Platform& p) {
  json j = json::object();
  const RecordState r = Record(p);
  json record = {{"present", r.address != 0}};
  if (r.address != 0) {
    Put(record, "address", r.address, 16);
    record["owner"] = r.owner;
    record["readable"] = !r.bytes.empty();
    if (!r.bytes.empty()) {
      record["boot_script_locked"] = r.bytes[offsetof(VyrS3LibPrivateData, BootScriptLocked)];
      record["table_closed"] = r.bytes[offsetof(VyrS3LibPrivateData, TableClosed)];
      Put(record, "table", At<uint64_t>(r.bytes, offsetof(VyrS3LibPrivateData, Table)), 16);
      record["bytes_hex"] = Bytes(r.bytes);
    }
  }
  j["record"] = record;

  const TableState t = Table(p);
  json table = {{"present", t.address != 0}};
  if (t.address != 0) {
    const S3Desc& desc = *p.s3().Desc();
    Put(table, "address", t.address, 16);
    table["size"] = t.size;
    Put(table, "signature", desc.signature, 8);
    Put(table, "end_marker_offset", desc.endMarkerOffset, 4);
    Put(table, "end_marker", desc.endMarker, 8);
    Put(table, "terminator_offset", desc.terminatorOffset, 4);
    table["terminated"] = t.terminated ? json(*t.terminated) : json(nullptr);
    table["seen_in"] = t.seenIn.empty() ? json(nullptr) : json(t.seenIn);
    table["freed"] = t.freed;
  }
  j["table"] = table;

  json buffer = {{"present", p.s3().CommBuffer() != 0}};
  if (p.s3().CommBuffer() != 0) Put(buffer, "address", p.s3().CommBuffer(), 16);
  j["comm_buffer"] = buffer;

  json messages = json::array();
  for (const SmmMessage& m : p.firmware().SmmMessages()) messages.push_back(MessageJson(m));
  j["messages"] = messages;
  return j;
}

std::string S3Text(const Platform& p) {
  std::ostringstream out;
  out << "S3 save-table closing\n";
  const RecordState r = Record(p);
  if (r.address == 0) {
    out << "  Record (PCD 349)    none\n";
  } else {
    static const std::map<std::string, std::string> kOwner = {
        {"driver", "created by this driver"}, {"other_driver", "published by another driver before this one"},
        {"scenario", "set by the scenario"}};
    out << "  Record (PCD 349)    " << HexText(r.address, 16) << ", " << kOwner.at(r.owner) << "\n";
    if (r.bytes.empty()) {
      out << "    unreadable: not in DRAM\n";
    } else {
      out << "    Boot script locked  " << YesNo(r.bytes[0]) << " (" << HexText(r.bytes[0], 2) << ")\n";
      out << "    Table closed        " << YesNo(r.bytes[1]) << " (" << HexText(r.bytes[1], 2) << ")\n";
      out << "    Table               " << HexText(At<uint64_t>(r.bytes, 8), 16) << "\n";
      out << "    Bytes               " << Bytes(r.bytes) << "\n";
    }
  }
  const TableState t = Table(p);
  if (t.address == 0) {
    out << "  Save table          none\n";
  } else {
    const S3Desc& desc = *p.s3().Desc();
    out << "  Save table          " << HexText(t.address, 16) << ", " << t.size << " bytes\n";
    out << "    Signature           " << HexText(desc.signature, 8) << "\n";
    out << "    End marker          " << HexText(desc.endMarker, 8) << " at +" << HexText(desc.endMarkerOffset, 4) << "\n";
    out << "    Terminated          "
        << (!t.terminated ? "unknown (freed, no copy taken)"
                          : YesNo(*t.terminated) + " (+" + HexText(desc.terminatorOffset, 4) + ", as " +
                                (t.seenIn == "smm_copy" ? "the SMM side copied it" : "it is in memory") + ")")
        << "\n";
    out << "    Freed               " << YesNo(t.freed) << "\n";
  }
  out << "  PCD 350 buffer      " << (p.s3().CommBuffer() ? HexText(p.s3().CommBuffer(), 16) : std::string("none")) << "\n";
  const auto& messages = p.firmware().SmmMessages();
  out << "  SMM messages        " << (messages.empty() ? std::string("none") : std::to_string(messages.size())) << "\n";
  for (size_t i = 0; i < messages.size(); ++i) {
    const json m = MessageJson(messages[i]);
    out << "    #" << i + 1 << "  buffer " << m["buffer_hex"].get<std::string>() << ", size "
        << (m["size"].is_null() ? std::string("none") : std::to_string(m["size"].get<uint64_t>())) << ", "
        << m["status_name"].get<std::string>() << "\n";
    if (m.contains("header_guid"))
      out << "        header " << m["header_guid"].get<std::string>()
          << (messages[i].s3Handler ? " (the S3 save handler)" : "") << ", length "
          << m["message_length"].get<uint64_t>() << "\n";
    if (messages[i].s3Handler)
      out << "        command " << m["command"].get<uint32_t>() << ", record " << m["private_data_hex"].get<std::string>()
          << "\n";
    for (size_t at = 0; at < messages[i].bytes.size(); at += 16)
      out << "        +" << HexText(at, 2) << "  " << Bytes(messages[i].bytes, at, 16) << "\n";
  }
  return out.str();
}

// ---- events ----

namespace {
std::string Trigger(const Firmware::EventInfo& e) {
  if (e.group) return GuidName(*e.group) + " group";
  if (e.registeredFor) return "installs of " + GuidName(*e.registeredFor);
  return "signal";
}
}  // namespace

json EventsJson(const Platform& p) {
  json events = json::array();
  for (const auto& e : p.firmware().Events()) {
    json j = json::object();
    Put(j, "handle", e.handle, 16);
    Put(j, "type", e.type, 8);
    j["tpl"] = e.tpl;
    j["group"] = e.group ? json(GuidName(*e.group)) : json(nullptr);
    j["registered_for"] = e.registeredFor ? json(GuidName(*e.registeredFor)) : json(nullptr);
    j["notifications"] = e.notifications;
    j["open"] = !e.closed;
    events.push_back(j);
  }
  return events;
}

std::string EventsText(const Platform& p) {
  std::ostringstream out;
  out << "Events\n";
  const auto& events = p.firmware().Events();
  if (events.empty()) {
    out << "  none\n";
    return out.str();
  }
  for (const auto& e : events) {
    char line[160];
    std::snprintf(line, sizeof line, "  %s  TPL %2llu  %-38s  ran %llu  %s\n", HexText(e.handle, 16).c_str(),
                  static_cast<unsigned long long>(e.tpl), Trigger(e).c_str(),
                  static_cast<unsigned long long>(e.notifications), e.closed ? "closed" : "open");
    out << line;
  }
  out << "  Still open: " << p.firmware().OpenEventCount() << "\n";
  return out.str();
}

// ---- pool checks ----

json PoolFaultsJson(const Platform& p) {
  json faults = json::array();
  for (const PoolFault& f : p.firmware().PoolFaults()) {
    json j = {{"kind", PoolFaultName(f.kind)}, {"size", f.size}};
    Put(j, "address", f.address, 16);
    if (f.kind == PoolFault::UseAfterFree || f.kind == PoolFault::Overrun) {
      j["offset"] = int64_t(f.offset);
      j["bytes"] = f.bytes;
    }
    faults.push_back(j);
  }
  return faults;
}

std::string PoolFaultsText(const Platform& p) {
  std::ostringstream out;
  const auto& faults = p.firmware().PoolFaults();
  if (faults.empty()) {
    out << "  Checks: no write after a free or outside a block, no double free\n";
    return out.str();
  }
  for (const PoolFault& f : faults) {
    out << "  FAULT: ";
    switch (f.kind) {
      case PoolFault::UseAfterFree:
        out << "use after free: " << f.bytes << " of the " << f.size << " bytes at " << HexText(f.address, 16)
            << " written after the free, the first at +" << HexText(f.offset, 2) << "\n";
        break;
      case PoolFault::DoubleFree:
        out << "double free of the " << f.size << " bytes at " << HexText(f.address, 16) << "\n";
        break;
      case PoolFault::NotAllocated:
        out << "free of " << HexText(f.address, 16) << ", which is no pool block\n";
        break;
      case PoolFault::Overrun:
        out << "write outside the " << f.size << " bytes at " << HexText(f.address, 16) << ": " << f.bytes
            << " guard bytes changed, the first at " << int64_t(f.offset) << " from the block's start\n";
        break;
    }
  }
  return out.str();
}

}  // namespace sim
