// The shared heap buffers as the platform sees them: the heap HOBs the earlier
// boot phase leaves, a driver of the package that started before this one (its
// list already published under HeapListProtocolGuid, nodes in pool memory), and
// reading whichever list is published back after a boot. Layouts are the
// driver's own (services/heap.h).
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "services/heap.h"
#include "sim/machine/devices.h"
#include "sim/firmware/firmware.h"
#include "sim/scenario/desc.h"

namespace sim {

// A node some driver made, and the pool memory type it lies in.
struct HeapNodeRecord {
  uint64_t node;
  uint32_t type;
};

struct EarlierDriver {
  bool present = false;
  uint64_t interface = 0;  // its HeapListInterface, in the firmware's region
  std::vector<HeapNodeRecord> nodes;
};

// Lays out the earlier driver's list: the heap HOBs it imported from the HOB
// list in memory (by the same rules as the driver), then the mailbox buffer,
// then its own buffers; and publishes it. Pool memory for the nodes comes from
// the region directly: the firmware's record holds this boot's allocations only.
EarlierDriver BuildEarlierDriver(PhysicalMemory& memory, Firmware& firmware, Devices& devices,
                                 const EarlierDriverDesc& desc, const std::optional<MailboxDesc>& mailbox);

// One node as found in the published list.
struct HeapNodeView {
  uint64_t node;
  HeapBufferHeader header;
};

struct HeapListView {
  bool present = false;     // something is published under HeapListProtocolGuid
  uint64_t interface = 0;
  bool complete = false;    // the walk came back to the head
  std::vector<HeapNodeView> nodes;
};

// Walks the published list from its head, at most 65536 nodes; a link that
// leaves readable memory ends the walk as incomplete. The head lies in platform
// memory, or (host build) in the linked driver's image-state section.
HeapListView ReadHeapList(const PhysicalMemory& memory, const Firmware& firmware);

// The first buffer with this handle and a valid signature, as the driver finds it.
std::optional<HeapNodeView> FindHeapBuffer(const HeapListView& list, uint32_t handle);

}  // namespace sim
