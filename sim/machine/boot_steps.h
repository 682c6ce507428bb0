// The steps of a boot as the platform sees them from the driver's calls, so that
// what each step costs in hardware accesses can be told apart. The driver is not
// asked: the firmware model moves the marker when it sees a step's first
// distinctive call, and the dispatch of a notify function tells which of the
// ReadyToBoot steps runs.
//
//   startup            the image entry up to the driver body: the library
//                      start-up steps and their probes
//   record             the body's own work: the record's allocation, its
//                      configuration fields, installing it, creating the event
//                      (from the record's allocation on, and again from the
//                      installation of MemInfoProtocol on)
//   snapshot           the channel map snapshot (from its allocation, or the
//                      topology protocol's look-up, on)
//   chip_select_table  the chip-select table (from the channel-info protocol's
//                      look-up, or the table's allocation, on)
//   ready_to_boot      the ReadyToBoot notify function at the notify level
//   s3_closing         the ReadyToBoot notify function at the callback level
//                      (the S3 save table's closing)
//   other              anything else the platform runs (outside the entry and
//                      those notify functions)
#pragma once
#include <cstdint>
#include <optional>

#include "uefi/base.h"

namespace sim {

enum class BootStep : uint8_t { Startup, Record, Snapshot, ChipSelectTable, ReadyToBoot, S3Closing, Other };
constexpr int kBootStepCount = 7;
const char* BootStepName(BootStep step);

class BootStepMarker {
 public:
  BootStep Current() const { return current_; }

  // The image entry begins and ends.
  void EntryBegins();
  void EntryEnds();
  // Calls of the firmware's services that begin a step.
  void AllocatePool(uint32_t type, uint64_t size);
  void LocateProtocol(const Guid& protocol);
  void InstallProtocol(const Guid& protocol);
  // A notify function is about to run; returns the step to go back to after it.
  BootStep NotifyBegins(const std::optional<Guid>& group, uint64_t tpl);
  void NotifyEnds(BootStep previous) { current_ = previous; }

 private:
  BootStep current_ = BootStep::Other;
};

}  // namespace sim
