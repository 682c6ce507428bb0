#include "sim/firmware/heap_list.h"

#include <cstring>

#include "platform/probes.h"
#include "sim/machine/image_state.h"

namespace sim {

namespace {

constexpr uint64_t kNodeBytes = sizeof(HeapBufferNode);
constexpr size_t kWalkLimit = 65536;

uint32_t NodeType(uint8_t persist) {
  return persist == kHeapPersistRuntime ? EfiRuntimeServicesData : EfiBootServicesData;
}

// Appends the node at the tail of the list whose head is at `head`.
void Append(PhysicalMemory& memory, uint64_t head, uint64_t node) {
  const uint64_t tail = memory.Read<uint64_t>(head + 8);
  memory.Write<uint64_t>(node, head);
  memory.Write<uint64_t>(node + 8, tail);
  memory.Write<uint64_t>(tail, node);
  memory.Write<uint64_t>(head + 8, node);
}

// A node with the header and data, in pool memory; 0 when the region is full.
uint64_t MakeNode(PhysicalMemory& memory, const HeapBufferHeader& header, const uint8_t* data) {
  const uint64_t node = memory.PoolAlloc(kNodeBytes + header.Size);
  if (node == 0) return 0;
  memory.WriteBytes(node + offsetof(HeapBufferNode, Header), &header, sizeof header);
  memory.WriteBytes(node + kNodeBytes, data, header.Size);
  return node;
}

// The heap HOBs an importing driver takes, in list order, walked as the
// driver's searches walk (a HOB shorter than its header ends the list).
std::vector<uint64_t> ImportableHeapHobs(const PhysicalMemory& memory, uint64_t at) {
  std::vector<uint64_t> out;
  while (at != 0 && memory.Contains(at, sizeof(HobHeader))) {
    const uint16_t type = memory.Read<uint16_t>(at), length = memory.Read<uint16_t>(at + 2);
    const bool guided = type == kHobTypeGuidExtension;
    if (type == kHobTypeEndOfList || length < (guided ? sizeof(GuidHob) : sizeof(HobHeader))) break;
    Guid name{};
    if (guided) {
      const auto bytes = memory.ReadBytes(at + 8, sizeof(Guid));
      std::memcpy(&name, bytes.data(), sizeof name);
    }
    if (guided && GuidEqual(name, HeapHobGuid) && length >= sizeof(GuidHob) + sizeof(HeapBufferHeader)) {
      const uint64_t h = at + sizeof(GuidHob);
      const bool covered = memory.Read<uint32_t>(h + 8) <= length - sizeof(GuidHob) - sizeof(HeapBufferHeader);
      if (covered && memory.Read<uint32_t>(h) == kHeapSignature && memory.Read<uint8_t>(h + 13) == kHeapValid)
        out.push_back(at);
    }
    at += length;
  }
  return out;
}

// Reads bytes of the list: platform memory, or the linked driver's own state.
bool ReadListBytes(const PhysicalMemory& memory, uint64_t address, void* out, uint64_t length) {
  if (memory.Contains(address, length)) {
    std::memcpy(out, memory.Host(address), length);
    return true;
  }
  if (!ImageStateHolds(address, length)) return false;
  std::memcpy(out, reinterpret_cast<const void*>(address), length);
  return true;
}

}  // namespace

EarlierDriver BuildEarlierDriver(PhysicalMemory& memory, Firmware& firmware, Devices& devices,
                                 const EarlierDriverDesc& desc, const std::optional<MailboxDesc>& mailbox) {
  EarlierDriver d;
  d.present = true;
  d.interface = memory.FirmwareAlloc(sizeof(HeapListInterface));
  const uint64_t head = d.interface + offsetof(HeapListInterface, Head);
  memory.Write<uint64_t>(d.interface, 1);
  memory.Write<uint64_t>(head, head);
  memory.Write<uint64_t>(head + 8, head);
  auto add = [&](uint64_t node, uint8_t persist) {
    if (node == 0) return;
    Append(memory, head, node);
    d.nodes.push_back({node, NodeType(persist)});
  };

  for (uint64_t hob : ImportableHeapHobs(memory, firmware.HobList())) {
    HeapBufferHeader header;
    const auto bytes = memory.ReadBytes(hob + sizeof(GuidHob), sizeof header);
    std::memcpy(&header, bytes.data(), sizeof header);
    const auto data = memory.ReadBytes(hob + sizeof(GuidHob) + sizeof header, header.Size);
    add(MakeNode(memory, header, data.data()), header.PersistCode);
  }
  if (mailbox) {
    const uint64_t data = devices.MakeMailbox(*mailbox);
    const uint64_t node = data == 0 ? 0 : data - kNodeBytes;
    add(node, memory.Read<uint8_t>(node + offsetof(HeapBufferNode, Header) + offsetof(HeapBufferHeader, PersistCode)));
  }
  for (const HeapBufferDesc& b : desc.buffers) {
    const HeapBufferHeader header = {b.signature, b.handle, uint32_t(b.data.size()), b.persist, kHeapValid, {0, 0}};
    add(MakeNode(memory, header, b.data.data()), b.persist);
  }
  firmware.Preinstall(HeapListProtocolGuid, d.interface);
  return d;
}

HeapListView ReadHeapList(const PhysicalMemory& memory, const Firmware& firmware) {
  HeapListView v;
  for (const InstalledInterface& i : firmware.Interfaces()) {
    if (!GuidEqual(i.protocol, HeapListProtocolGuid) || i.interface == 0) continue;
    v.interface = i.interface;
    break;
  }
  // The list a driver uses: the first installation that has an interface.
  v.present = v.interface != 0;
  if (!v.present) return v;
  const uint64_t head = v.interface + offsetof(HeapListInterface, Head);
  uint64_t link = 0;
  if (!ReadListBytes(memory, head, &link, sizeof link)) return v;
  while (v.nodes.size() < kWalkLimit) {
    if (link == head) {
      v.complete = true;
      break;
    }
    HeapNodeView n{link, {}};
    if (!ReadListBytes(memory, link + offsetof(HeapBufferNode, Header), &n.header, sizeof n.header) ||
        !ReadListBytes(memory, link, &link, sizeof link))
      break;
    v.nodes.push_back(n);
  }
  return v;
}

std::optional<HeapNodeView> FindHeapBuffer(const HeapListView& list, uint32_t handle) {
  for (const HeapNodeView& n : list.nodes)
    if (n.header.Handle == handle && n.header.Signature == kHeapSignature) return n;
  return std::nullopt;
}

}  // namespace sim
