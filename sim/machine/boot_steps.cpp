#include "sim/machine/boot_steps.h"

#include "core/channel_map.h"
#include "core/chip_select.h"
#include "core/fabric_topology.h"
#include "core/meminfo.h"
#include "uefi/system_table.h"

namespace sim {

namespace {
// Sizes of the body's reserved-memory buffers, as the published layouts fix them.
constexpr uint64_t kRecordSize = sizeof(MemInfoRecord);
constexpr uint64_t kSnapshotSize = sizeof(ChannelMapSnapshot);
constexpr uint64_t kChipSelectTableSize = 2048;
}  // namespace

const char* BootStepName(BootStep step) {
  switch (step) {
    case BootStep::Startup: return "startup";
    case BootStep::Record: return "record";
    case BootStep::Snapshot: return "snapshot";
    case BootStep::ChipSelectTable: return "chip_select_table";
    case BootStep::ReadyToBoot: return "ready_to_boot";
    case BootStep::S3Closing: return "s3_closing";
    case BootStep::Other: return "other";
  }
  return "?";
}

void BootStepMarker::EntryBegins() { current_ = BootStep::Startup; }
void BootStepMarker::EntryEnds() { current_ = BootStep::Other; }

void BootStepMarker::AllocatePool(uint32_t type, uint64_t size) {
  if (type != EfiReservedMemoryType) return;
  if (current_ == BootStep::Startup && size == kRecordSize) current_ = BootStep::Record;
  else if (current_ == BootStep::Record && size == kSnapshotSize) current_ = BootStep::Snapshot;
  else if ((current_ == BootStep::Record || current_ == BootStep::Snapshot) && size == kChipSelectTableSize)
    current_ = BootStep::ChipSelectTable;
}

void BootStepMarker::LocateProtocol(const Guid& protocol) {
  if (current_ == BootStep::Record && GuidEqual(protocol, FabricTopologyProtocolGuid)) current_ = BootStep::Snapshot;
  else if ((current_ == BootStep::Record || current_ == BootStep::Snapshot) && GuidEqual(protocol, ChannelInfoProtocolGuid))
    current_ = BootStep::ChipSelectTable;
}

void BootStepMarker::InstallProtocol(const Guid& protocol) {
  if (current_ != BootStep::Startup && current_ != BootStep::Other && GuidEqual(protocol, MemInfoProtocolGuid))
    current_ = BootStep::Record;
}

BootStep BootStepMarker::NotifyBegins(const std::optional<Guid>& group, uint64_t tpl) {
  const BootStep previous = current_;
  if (group && GuidEqual(*group, kReadyToBootGroupGuid)) {
    if (tpl == TPL_NOTIFY) current_ = BootStep::ReadyToBoot;
    else if (tpl == TPL_CALLBACK) current_ = BootStep::S3Closing;
  }
  return previous;
}

}  // namespace sim
