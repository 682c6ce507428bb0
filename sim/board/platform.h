// One virtual platform: memory, hardware and firmware built from a scenario, and
// the boot that runs the driver on it. One platform is active at a time; the
// seam and the firmware's services reach it through ActivePlatform().
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/firmware/firmware.h"
#include "sim/machine/hardware.h"
#include "sim/machine/image_state.h"
#include "sim/firmware/heap_list.h"
#include "sim/firmware/s3_platform.h"
#include "sim/board/mmio_request.h"
#include "sim/scenario/scenario.h"

namespace sim {

struct SignalRecord {
  std::string event;
  std::vector<InternalWrite> writes;  // what the roots received during this signal
  bool completed = true;              // false: the platform stopped during it
};

// One start of a driver of the package: the first is the boot's entry, further
// ones come from the scenario's "start_driver" events.
struct DriverRun {
  unsigned image = 0;
  uint64_t imageHandle = 0;
  bool returned = false;
  uint64_t status = 0;
};

struct BootResult {
  bool entryReturned = false;
  uint64_t entryStatus = 0;
  std::vector<DriverRun> drivers;
  std::vector<MmioRequestRun> mmioRequests;  // the scenario's "mmio_request" events, in order
  bool halted = false;
  bool runaway = false;
  std::vector<SignalRecord> signals;
};

class Platform {
 public:
  // The dispatch backend decides how the driver runs: linked into this process
  // (the default) or as the real image in a CPU emulator.
  explicit Platform(const Scenario& scenario, Dispatch& dispatch = HostDispatch());
  // The same without a copy of the scenario: for boots again and again of one.
  explicit Platform(std::shared_ptr<const Scenario> scenario, Dispatch& dispatch = HostDispatch());
  ~Platform();
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  Hardware& hardware() { return hardware_; }
  Firmware& firmware() { return firmware_; }
  PhysicalMemory& memory() { return memory_; }
  const Hardware& hardware() const { return hardware_; }
  const Firmware& firmware() const { return firmware_; }
  const PhysicalMemory& memory() const { return memory_; }
  const Scenario& scenario() const { return *scenario_; }
  // The driver of the package that started before this one, if the scenario has one.
  const EarlierDriver& earlierDriver() const { return earlier_; }

  // Runs fn as a call from the firmware into the driver; false when the platform
  // stopped underneath it (halted in the trap's display loop, or ran away).
  bool Run(const std::function<void()>& fn);

  // The image entry, then the scenario's events.
  BootResult Boot();
  // The entry alone, with this platform's image handle and system table.
  bool CallEntry(uint64_t* status);
  // Loads another copy of the driver with its own image handle and runs its
  // entry; false when the platform stopped during it.
  bool StartAnotherDriver(DriverRun* run);
  // Runs the UEFI application image at `path` after the boot (the record dump,
  // apps/dump/) with its own image handle and the console its text goes to
  // (firmware().ConsoleText()); false when the platform stopped, or the
  // backend cannot run an image file (only the emulator can).
  bool RunApplication(const std::string& path, uint64_t* status);
  // False when the platform stopped during the signal.
  bool SignalGroup(const Guid& group);
  // Another driver of the package asks the fabric MMIO allocator for a range
  // (sim/board/mmio_request.h); false when the platform stopped during it.
  bool RequestMmio(MmioRequestRun* run);

  // The interface installed under a protocol, if any.
  std::optional<uint64_t> Installed(const Guid& protocol) const;

  // The S3 save table's builder and the PCD 350 buffer.
  const S3Platform& s3() const { return s3_; }

 private:
  void Build();

  const std::shared_ptr<const Scenario> scenario_;
  PhysicalMemory& memory_;
  Dispatch& dispatch_;
  Hardware hardware_;
  Firmware firmware_;
  S3Platform s3_;
  EarlierDriver earlier_;
  std::optional<unsigned> requester_;  // the copy that makes the allocator requests, once loaded
  bool stopped_ = false;
  bool halted_ = false;
  bool runaway_ = false;
};

// The active platform; every access the driver makes asks for it, so the
// look-up is inline and only the failure (no platform active) is a call.
extern Platform* gActivePlatform;
[[noreturn]] void NoActivePlatform();
inline Platform& ActivePlatform() {
  if (gActivePlatform == nullptr) NoActivePlatform();
  return *gActivePlatform;
}

// Called when a platform goes away with pool faults on record (use after free,
// double free): the tests make each one a failure. Nothing by default.
using PoolFaultHandler = void (*)(const std::vector<PoolFault>& faults);
void SetPoolFaultHandler(PoolFaultHandler handler);

}  // namespace sim
