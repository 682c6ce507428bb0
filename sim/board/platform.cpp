#include "sim/board/platform.h"

#include <algorithm>
#include <utility>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/channel_registers.h"
#include "core/meminfo.h"
#include "platform/access.h"
#include "platform/probes.h"
#include "platform/processor_registers.h"
#include "psp/psp_window.h"
#include "services/s3_save.h"
#include "sim/board/fabric_mmio_model.h"
#include "sim/board/platform_stack.h"

namespace sim {

Platform* gActivePlatform = nullptr;

namespace {
PoolFaultHandler gPoolFaultHandler = nullptr;
// The configuration-space base register as earlier firmware leaves it: the
// configuration space at PciConfigBase, 256 buses (bus range 8), enabled.
constexpr uint64_t kConfigSpaceBaseValue = (PciConfigBase & MsrConfigSpaceBase::Base::kMask) |
                                           MsrConfigSpaceBase::BusRange::Of(8) | MsrConfigSpaceBase::Enable::kMask;
// What the byte after a fabric device's root bus number reads: another field's,
// an invented value, so that a reader taking more than the byte is seen.
constexpr uint8_t kByteAfterRootBus = 0xA5;
}  // namespace

void SetPoolFaultHandler(PoolFaultHandler handler) { gPoolFaultHandler = handler; }

void NoActivePlatform() {
  std::fprintf(stderr, "virtual platform: the driver touched hardware with no platform active\n");
  std::abort();
}

Platform::Platform(const Scenario& scenario, Dispatch& dispatch)
    : Platform(std::make_shared<const Scenario>(scenario), dispatch) {}

Platform::Platform(std::shared_ptr<const Scenario> scenario, Dispatch& dispatch)
    : scenario_(std::move(scenario)),
      memory_(PhysicalMemory::Instance()),
      dispatch_(dispatch),
      hardware_(memory_),
      firmware_(memory_, dispatch) {
  if (gActivePlatform != nullptr) {
    std::fprintf(stderr, "virtual platform: only one platform may be active at a time\n");
    std::abort();
  }
  gActivePlatform = this;
  memory_.Reset();
  ResetImageState();
  dispatch_.ForgetImages();
  Build();
}

Platform::~Platform() {
  firmware_.CheckPool();
  if (gPoolFaultHandler != nullptr && !firmware_.PoolFaults().empty()) gPoolFaultHandler(firmware_.PoolFaults());
  gActivePlatform = nullptr;
}

void Platform::Build() {
  const Scenario& s = *scenario_;
  FirmwareConfig fc;
  fc.pcd = s.pcd;
  fc.hobList = s.hobList;
  fc.hobs = s.hobs;
  fc.faults = s.faults;
  fc.smmReadyToLock = s.smmReadyToLock;
  std::vector<std::pair<uint32_t, uint32_t>> registers;  // index, value
  for (size_t socket = 0; socket < s.sockets.size(); ++socket) {
    TopologySocket ts;
    for (size_t die = 0; die < s.sockets[socket].dies.size(); ++die) {
      const DieDesc& d = s.sockets[socket].dies[die];
      ts.dies.push_back({d.rootBus, d.memoryInfo.value_or(DerivedMemoryCounts(d))});
      // Fabric devices exist for two sockets of four dies; a die beyond them
      // is only in the topology (and has its root).
      const uint8_t device = uint8_t(FabricDevice(socket, die));
      if (d.vendor != 0xFFFF && socket < 2 && die < 4) {
        for (uint8_t fn = 0; fn < 8; ++fn)
          hardware_.AddPciFunction(0, device, fn, d.vendor, uint16_t(kFabricDeviceIdBase + fn));
        // The byte after the root bus number belongs to another field, no part of the number.
        hardware_.SetPciConfig8(0, device, 0, FabricRootBus::kAt, d.rootBus);
        hardware_.SetPciConfig8(0, device, 0, FabricRootBus::kAt + 1, kByteAfterRootBus);
      }
      hardware_.AddRoot(d.rootBus);
      // The root's registers in ascending order (a channel's after the plain
      // one of the same index), so each lands at the end of the register file.
      registers.clear();
      registers.assign(d.internal.begin(), d.internal.end());
      for (size_t c = 0; c < d.channels.size(); ++c)
        for (auto& [offset, value] : d.channels[c])
          registers.emplace_back(uint32_t(kChannelRegisterBase + c * kChannelRegisterStride + offset), value);
      std::stable_sort(registers.begin(), registers.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      hardware_.ReserveInternal(d.rootBus, registers.size());
      for (const auto& [index, value] : registers) hardware_.SetInternal(d.rootBus, index, value);
    }
    fc.sockets.push_back(ts);
  }
  for (const PciDesc& p : s.pci) {
    hardware_.AddPciFunction(p.bus, p.device, p.function, p.vendor, p.deviceId);
    for (auto& [offset, value] : p.config) hardware_.SetPciConfig32(p.bus, p.device, p.function, offset, value);
  }
  hardware_.SetMmio16(kSmiCommandPortRegister, s.smiCommandPort);
  hardware_.SetMsr(MsrConfigSpaceBase::kAt, kConfigSpaceBaseValue);
  BuildFabricMmioModel(hardware_, s);  // [msr] may override MsrApicBase after it
  for (auto& [index, value] : s.msrs) hardware_.SetMsr(index, value);
  for (auto& [leaf, value] : s.cpuid) hardware_.SetCpuid(leaf, value);
  // The PM1 control register's port in two PM registers, and the register
  // itself with the sleep type the platform last entered; [ports] may override it.
  hardware_.devices().SetPmRegister(PmPm1ControlPortLow::kAt, uint8_t(s.pm1ControlBase));
  hardware_.devices().SetPmRegister(PmPm1ControlPortHigh::kAt, uint8_t(s.pm1ControlBase >> 8));
  if (s.pm1ControlBase != 0 && s.pm1ControlBase != 0xFFFF)
    hardware_.SetPortValue(s.pm1ControlBase, Pm1Control::SleepType::Of(s.sleepType));
  for (auto& [port, value] : s.ports) hardware_.SetPortValue(port, value);
  hardware_.SetDebugRegisters(s.dr2, s.dr3, s.dr7, s.cr4);
  hardware_.SetTsc(s.tscStart, s.tscPerRead, s.tscPerPause);
  hardware_.SetAgent(s.agentPresent, s.agentAnswer);
  for (const AgentActionDesc& a : s.agentActions) hardware_.AddAgentAction(a);
  for (const UartDesc& uart : s.uarts) hardware_.devices().AddUart(uart);
  hardware_.SetAccessLimit(s.accessLimit);
  hardware_.SetStepMarker(&firmware_.Steps());
  if (s.flash) hardware_.MapFlash(s.flash);
  hardware_.SetPsp(s.psp);
  if (s.psp.windowBase) {
    // A base placed before the driver starts, as the window registers hold it once programmed.
    hardware_.SetInternal(0, PspWindowBaseLow::kAt, uint32_t(*s.psp.windowBase) | PspWindowBaseLow::kPlacedFlags);
    hardware_.SetInternal(0, PspWindowBaseHigh::kAt, uint32_t(*s.psp.windowBase >> 32));
  }
  for (const MemoryPlacement& m : s.placements) {
    if (memory_.Contains(m.address, m.bytes.size())) memory_.WriteBytes(m.address, m.bytes.data(), m.bytes.size());
    else hardware_.SetBytes(m.address, m.bytes);
  }
  firmware_.Build(fc);
  if (s.earlierDriver || s.mailbox)
    earlier_ = BuildEarlierDriver(memory_, firmware_, hardware_.devices(), s.earlierDriver.value_or(EarlierDriverDesc{}),
                                  s.mailbox);
  s3_.BeforeEntry(s.s3, firmware_, memory_);
}

bool Platform::Run(const std::function<void()>& fn) {
  if (stopped_) return false;
  try {
    RunOnPlatformStack(kStackBase, kStackSize, fn);
    return true;
  } catch (const PlatformStop& stop) {
    stopped_ = true;
    halted_ = stop.reason == PlatformStop::Halted;
    runaway_ = stop.reason == PlatformStop::Runaway;
    return false;
  }
}

bool Platform::CallEntry(uint64_t* status) {
  firmware_.Steps().EntryBegins();
  const bool returned = Run([&] {
    *status = dispatch_.CallEntry(dispatch_.EntryPoint(), firmware_.ImageHandle(), firmware_.SystemTable());
  });
  firmware_.Steps().EntryEnds();
  return returned;
}

bool Platform::SignalGroup(const Guid& group) {
  return Run([&] { firmware_.SignalGroup(group); });
}

bool Platform::StartAnotherDriver(DriverRun* run) {
  const unsigned image = firmware_.LoadImage();
  run->image = image;
  run->imageHandle = firmware_.ImageHandleOf(image);
  const uint64_t entry = dispatch_.LoadAnotherImage(image);
  if (entry == 0) {
    std::fprintf(stderr, "virtual platform: this dispatch backend cannot load another copy of the driver\n");
    std::abort();
  }
  run->returned = Run([&] {
    const unsigned before = dispatch_.SwitchImage(image);
    firmware_.EnterImage(image);
    run->status = dispatch_.CallEntry(entry, run->imageHandle, firmware_.SystemTable());
    firmware_.EnterImage(before);
    dispatch_.SwitchImage(before);
  });
  // A driver whose entry fails is unloaded.
  if (run->returned && (run->status & kEfiErrorBit)) firmware_.UnloadImage(image);
  return run->returned;
}

bool Platform::RunApplication(const std::string& path, uint64_t* status) {
  const uint64_t handle = firmware_.PrepareApplication();
  bool ran = false;
  return Run([&] { ran = dispatch_.RunApplication(path, handle, firmware_.SystemTable(), status); }) && ran;
}

bool Platform::RequestMmio(MmioRequestRun* run) {
  if (!dispatch_.CallsAllocator()) {
    std::fprintf(stderr, "virtual platform: this dispatch backend cannot call the fabric MMIO allocator\n");
    std::abort();
  }
  const bool start = !requester_;
  if (start) {
    requester_ = firmware_.LoadImage();
    dispatch_.LoadAnotherImage(*requester_);
  }
  Dispatch::AllocatorCall call;
  call.base = run->request.base;
  call.length = run->request.length;
  call.target = run->request.Target();
  call.attribute = run->request.attribute;
  run->returned = Run([&] {
    const unsigned before = dispatch_.SwitchImage(*requester_);
    firmware_.EnterImage(*requester_);
    dispatch_.CallAllocator(firmware_.ImageHandleOf(*requester_), firmware_.SystemTable(), start, &call);
    firmware_.EnterImage(before);
    dispatch_.SwitchImage(before);
  });
  run->status = call.status;
  run->base = call.base;
  run->length = call.length;
  run->attribute = call.attribute;
  return run->returned;
}

std::optional<uint64_t> Platform::Installed(const Guid& protocol) const {
  for (auto& i : firmware_.Interfaces())
    if (GuidEqual(i.protocol, protocol)) return i.interface;
  return std::nullopt;
}

BootResult Platform::Boot() {
  BootResult r;
  r.entryReturned = CallEntry(&r.entryStatus);
  r.drivers.push_back({0, firmware_.ImageHandle(), r.entryReturned, r.entryStatus});
  if (r.entryReturned && (r.entryStatus & kEfiErrorBit)) firmware_.UnloadImage(0);
  // The package's driver that builds the S3 save table starts after this one.
  if (r.entryReturned) s3_.AfterEntry(firmware_, memory_);
  for (const std::string& event : scenario_->events) {
    if (stopped_) break;
    size_t before = hardware_.InternalWrites().size();
    bool completed = true;
    if (event == kEventReadyToBoot) completed = SignalGroup(kReadyToBootGroupGuid);
    if (event == kEventSmmReadyToLock)
      completed = Run([&] { firmware_.InstallByPlatform(kDxeSmmReadyToLockProtocolGuid, 0); });
    if (event == kEventStartDriver) {
      r.drivers.emplace_back();
      completed = StartAnotherDriver(&r.drivers.back());
    }
    if (event == kEventMmioRequest) {
      MmioRequestRun run;
      run.request = scenario_->mmioRequests.at(r.mmioRequests.size());
      run.signal = r.signals.size();
      completed = RequestMmio(&run);
      r.mmioRequests.push_back(run);
    }
    const auto& all = hardware_.InternalWrites();
    r.signals.push_back(
        {event, std::vector<InternalWrite>(all.begin() + static_cast<long>(before), all.end()), completed});
  }
  r.halted = halted_;
  r.runaway = runaway_;
  // The first driver's state is the one left in view.
  dispatch_.SwitchImage(0);
  firmware_.EnterImage(0);
  firmware_.CheckPool();
  return r;
}

}  // namespace sim
