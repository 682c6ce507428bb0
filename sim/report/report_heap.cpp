#include "sim/report/report_heap.h"

#include <algorithm>
#include <array>
#include <optional>
#include <sstream>

#include "sim/report/report.h"
#include "sim/report/report_json.h"

namespace sim {

namespace {

using nlohmann::json;

// One buffer of the list with what the platform knows of its node.
struct BufferRow {
  HeapNodeView node;
  std::optional<uint32_t> type;  // the node's pool memory type
  std::string origin;            // "hob", "driver", "earlier_driver" or "unknown"
};

struct HeapSection {
  HeapListView list;
  bool joined = false;  // the list is the earlier driver's
  std::vector<BufferRow> rows;
};

// Where a node came from. The earlier driver's nodes are the platform's own;
// the rest are this boot's pool blocks. A driver that created the list imported
// the HOBs before it installed the protocol, so its blocks from before that
// installation (or all of them, if it never got there) are HOB buffers.
HeapSection Collect(const Platform& platform) {
  HeapSection s;
  const Firmware& fw = platform.firmware();
  s.list = ReadHeapList(platform.memory(), fw);
  const EarlierDriver& earlier = platform.earlierDriver();
  s.joined = earlier.present && s.list.interface == earlier.interface;
  size_t installed = fw.Calls().size();
  for (size_t i = 0; i < fw.Calls().size(); ++i) {
    const ServiceCall& c = fw.Calls()[i];
    if (c.service == "InstallProtocolInterface" && c.detail.rfind(GuidName(HeapListProtocolGuid), 0) == 0) {
      installed = i;
      break;
    }
  }
  for (const HeapNodeView& n : s.list.nodes) {
    BufferRow row{n, std::nullopt, "unknown"};
    for (const HeapNodeRecord& r : earlier.nodes)
      if (r.node == n.node) row = {n, r.type, "earlier_driver"};
    for (const PoolBlock& b : fw.Pool())
      if (b.address == n.node) row = {n, b.type, !s.joined && b.call < installed ? "hob" : "driver"};
    s.rows.push_back(row);
  }
  return s;
}

std::string OriginText(const std::string& origin) {
  if (origin == "hob") return "the earlier phase (HOB)";
  if (origin == "driver") return "created by the driver";
  if (origin == "earlier_driver") return "an earlier driver";
  return "unknown";
}

}  // namespace

std::string HeapText(const Platform& platform) {
  const HeapSection s = Collect(platform);
  std::ostringstream out;
  out << "Heap buffers (HeapListProtocol)\n";
  if (!s.list.present) {
    out << "  none: nothing is published under " << GuidText(HeapListProtocolGuid) << "\n";
    return out.str();
  }
  out << "  List       " << (s.joined ? "an earlier driver's" : "published by the driver") << ", interface "
      << HexText(s.list.interface, 16) << "\n";
  out << "  Buffers    " << s.rows.size();
  if (!s.list.complete) out << ", then a link that leaves readable memory";
  out << "\n";
  if (s.rows.empty()) return out.str();
  std::vector<std::array<std::string, 6>> cells = {{"Handle", "Data", "Size", "Persist", "Node memory", "From"}};
  for (const BufferRow& r : s.rows) {
    const HeapBufferHeader& h = r.node.header;
    std::string handle = HexText(h.Handle, 8);
    if (h.Signature != kHeapSignature) handle += " (signature " + HexText(h.Signature, 8) + ")";
    cells.push_back({handle, HexText(r.node.node + sizeof(HeapBufferNode), 16), std::to_string(h.Size),
                     std::to_string(h.PersistCode), r.type ? MemoryTypeName(*r.type) : "unknown", OriginText(r.origin)});
  }
  std::array<size_t, 6> width{};
  for (const auto& row : cells)
    for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  for (const auto& row : cells) {
    std::string line = "    ";
    for (size_t c = 0; c < row.size(); ++c) {
      const std::string pad(width[c] - row[c].size(), ' ');
      line += c == 2 ? pad + row[c] : row[c] + pad;  // sizes right-aligned
      if (c + 1 < row.size()) line += "  ";
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << "\n";
  }
  return out.str();
}

json HeapJson(const Platform& platform) {
  const HeapSection s = Collect(platform);
  json j = {{"present", s.list.present}};
  if (!s.list.present) return j;
  j["published_by"] = s.joined ? "earlier_driver" : "driver";
  Put(j, "interface", s.list.interface, 16);
  j["complete"] = s.list.complete;
  json buffers = json::array();
  for (const BufferRow& r : s.rows) {
    const HeapBufferHeader& h = r.node.header;
    json b = {{"size", h.Size}, {"persist", h.PersistCode}, {"origin", r.origin}};
    Put(b, "handle", h.Handle, 8);
    Put(b, "signature", h.Signature, 8);
    Put(b, "address", r.node.node + sizeof(HeapBufferNode), 16);
    b["node_type"] = r.type ? json(*r.type) : json(nullptr);
    b["node_type_name"] = r.type ? json(MemoryTypeName(*r.type)) : json(nullptr);
    buffers.push_back(b);
  }
  j["buffers"] = buffers;
  return j;
}

}  // namespace sim
