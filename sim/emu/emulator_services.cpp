// The firmware's services as the image sees them: every service slot points at a
// one-byte `ret` in the thunk page. Reaching one stops the emulation; the run
// loop then serves the call here, outside the emulator, and resumes the caller.
#include <cstring>

#include "sim/emu/emulator_engine.h"
#include "uefi/base.h"

namespace sim {

namespace emu {

const char* ServiceName(Service s) {
  switch (s) {
    case Service::Unimplemented: return "Unimplemented";
    case Service::RaiseTpl: return "RaiseTpl";
    case Service::RestoreTpl: return "RestoreTpl";
    case Service::AllocatePool: return "AllocatePool";
    case Service::FreePool: return "FreePool";
    case Service::CreateEvent: return "CreateEvent";
    case Service::SignalEvent: return "SignalEvent";
    case Service::CloseEvent: return "CloseEvent";
    case Service::InstallProtocolInterface: return "InstallProtocolInterface";
    case Service::RegisterProtocolNotify: return "RegisterProtocolNotify";
    case Service::LocateProtocol: return "LocateProtocol";
    case Service::CreateEventEx: return "CreateEventEx";
    case Service::PcdGet8: return "PcdGet8";
    case Service::PcdGet16: return "PcdGet16";
    case Service::PcdGet32: return "PcdGet32";
    case Service::PcdGet64: return "PcdGet64";
    case Service::PcdGetBool: return "PcdGetBool";
    case Service::PcdSet8: return "PcdSet8";
    case Service::PcdSet16: return "PcdSet16";
    case Service::PcdSet32: return "PcdSet32";
    case Service::PcdSet64: return "PcdSet64";
    case Service::PcdSetBool: return "PcdSetBool";
    case Service::TopologySystemInfo: return "TopologySystemInfo";
    case Service::TopologySocketInfo: return "TopologySocketInfo";
    case Service::TopologyUnused: return "TopologyUnused";
    case Service::TopologyRootBusInfo: return "TopologyRootBusInfo";
    case Service::SmmCommunicate: return "SmmCommunicate";
    case Service::DieMemoryInfo: return "DieMemoryInfo";
    case Service::UninstallProtocolInterface: return "UninstallProtocolInterface";
    case Service::Count: break;
  }
  return "?";
}

}  // namespace emu

using namespace emu;

namespace {

using Engine = EmulatorDispatch::Engine;

void OnThunk(uc_engine*, uint64_t address, uint32_t, void* user) {
  auto* e = static_cast<Engine*>(user);
  const uint64_t offset = address - kEmuThunkBase;
  if (offset % kThunkStride != 0 || offset / kThunkStride >= kServiceCount) {
    e->Fail(std::make_exception_ptr(EmulationError("the driver jumped into the firmware thunk page at " + HexText(address))));
    return;
  }
  // Leave the emulator before the `ret`: the service runs outside it, and the
  // return is taken when the emulation resumes.
  e->pending = Engine::PendingService{static_cast<Service>(offset / kThunkStride), e->Reg(UC_X86_REG_RSP)};
  e->SetReg(UC_X86_REG_RIP, kStop);
  uc_emu_stop(e->uc);
}

}  // namespace

void EmulatorDispatch::Engine::MapThunks() {
  // The thunk page: a `ret` per service, int3 between them, the stop address after.
  std::memset(thunks, 0xCC, sizeof thunks);
  for (size_t i = 0; i < kServiceCount; ++i) thunks[i * kThunkStride] = 0xC3;
  thunks[kStop - kEmuThunkBase] = 0xF4;
  Check(uc_mem_map_ptr(uc, kEmuThunkBase, kPage, UC_PROT_READ | UC_PROT_EXEC, thunks), "map the thunk page");
  uc_hook h;
  Check(uc_hook_add(uc, &h, UC_HOOK_CODE, reinterpret_cast<void*>(OnThunk), this, kEmuThunkBase,
                    kEmuThunkBase + kServiceCount * kThunkStride - 1),
        "hook the thunks");
}

// Each service takes its arguments as host_dispatch.cpp's thunk of the same name
// does and hands the same values to the firmware model; pointers are DRAM addresses.
void EmulatorDispatch::Engine::Serve(Service service, uint64_t rsp) {
  Firmware& fw = ActivePlatform().firmware();
  const std::string name = ServiceName(service);
  auto arg = [&](int n) {
    if (n < 4) return Reg(kArgumentRegisters[n]);
    return GuestRead64(rsp + 8 + 8 * uint64_t(n), "the stack slot of " + name + "'s argument " + std::to_string(n + 1));
  };
  auto ret = [&](uint64_t v) { SetReg(UC_X86_REG_RAX, v); };
  auto store = [&](uint64_t address, uint64_t value) { GuestWrite64(address, value, name + "'s output pointer"); };
  auto guid = [&](uint64_t address) { return GuestGuid(address, name + "'s GUID pointer"); };

  switch (service) {
    case Service::Unimplemented:
      ret(fw.Unimplemented("boot service slot"));
      return;
    case Service::RaiseTpl:
      ret(fw.RaiseTpl(arg(0)));
      return;
    case Service::RestoreTpl:
      fw.RestoreTpl(arg(0));
      return;
    case Service::AllocatePool: {
      const uint64_t buffer = arg(2);
      uint64_t at = 0;
      const uint64_t size = arg(1);
      const uint64_t s = fw.AllocatePool(uint32_t(arg(0)), size, buffer ? &at : nullptr);
      // The pool grows up from the bottom of DRAM towards the image at its top.
      if (s == 0 && at + size > kEmuImageBase)
        throw EmulationError("pool memory reached the image: AllocatePool of " + HexText(size) + " bytes at " + HexText(at) +
                             " overlaps the region from " + HexText(kEmuImageBase));
      if (s == 0) store(buffer, at);
      ret(s);
      return;
    }
    case Service::FreePool:
      ret(fw.FreePool(arg(0)));
      return;
    case Service::CreateEvent: {
      const uint64_t event = arg(4);
      uint64_t handle = 0;
      const uint64_t s = fw.CreateEvent(uint32_t(arg(0)), arg(1), arg(2), arg(3), nullptr, event ? &handle : nullptr);
      if (s == 0) store(event, handle);
      ret(s);
      return;
    }
    case Service::CreateEventEx: {
      const uint64_t groupAddress = arg(4), event = arg(5);
      Guid group{};
      if (groupAddress) group = guid(groupAddress);
      uint64_t handle = 0;
      const uint64_t s = fw.CreateEvent(uint32_t(arg(0)), arg(1), arg(2), arg(3), groupAddress ? &group : nullptr,
                                        event ? &handle : nullptr);
      if (s == 0) store(event, handle);
      ret(s);
      return;
    }
    case Service::SignalEvent:
      ret(fw.SignalEvent(arg(0)));
      return;
    case Service::CloseEvent:
      ret(fw.CloseEvent(arg(0)));
      return;
    case Service::InstallProtocolInterface: {
      const uint64_t handleAddress = arg(0), protocolAddress = arg(1);
      const uint32_t type = uint32_t(arg(2));
      if (handleAddress == 0 || protocolAddress == 0) {
        ret(fw.InstallProtocolInterface(nullptr, Guid{}, type, 0));
        return;
      }
      uint64_t handle = GuestRead64(handleAddress, name + "'s handle pointer");
      const Guid protocol = guid(protocolAddress);
      const uint64_t s = fw.InstallProtocolInterface(&handle, protocol, type, arg(3));
      if (s == 0) store(handleAddress, handle);
      ret(s);
      return;
    }
    case Service::UninstallProtocolInterface:
      ret(arg(1) == 0 ? EFI_INVALID_PARAMETER : fw.UninstallProtocolInterface(arg(0), guid(arg(1)), arg(2)));
      return;
    case Service::RegisterProtocolNotify: {
      const uint64_t protocolAddress = arg(0), event = arg(1), registration = arg(2);
      uint64_t r = 0;
      uint64_t s = EFI_INVALID_PARAMETER;
      if (protocolAddress) s = fw.RegisterProtocolNotify(guid(protocolAddress), event, registration ? &r : nullptr);
      if (s == 0) store(registration, r);
      ret(s);
      return;
    }
    case Service::LocateProtocol: {
      const uint64_t protocolAddress = arg(0), registration = arg(1), iface = arg(2);
      if (protocolAddress == 0) {
        ret(EFI_INVALID_PARAMETER);
        return;
      }
      uint64_t i = 0;
      const uint64_t s = fw.LocateProtocol(guid(protocolAddress), registration, iface ? &i : nullptr);
      if (iface) store(iface, i);
      ret(s);
      return;
    }
    case Service::PcdGet8: ret(uint8_t(fw.PcdGet(arg(0), 1))); return;
    case Service::PcdGet16: ret(uint16_t(fw.PcdGet(arg(0), 2))); return;
    case Service::PcdGet32: ret(uint32_t(fw.PcdGet(arg(0), 4))); return;
    case Service::PcdGet64: ret(fw.PcdGet(arg(0), 8)); return;
    case Service::PcdGetBool: ret(Boolean(fw.PcdGet(arg(0), 0))); return;
    case Service::PcdSet8: ret(fw.PcdSet(arg(0), 1, uint8_t(arg(1)))); return;
    case Service::PcdSet16: ret(fw.PcdSet(arg(0), 2, uint16_t(arg(1)))); return;
    case Service::PcdSet32: ret(fw.PcdSet(arg(0), 4, uint32_t(arg(1)))); return;
    case Service::PcdSet64: ret(fw.PcdSet(arg(0), 8, arg(1))); return;
    case Service::PcdSetBool: ret(fw.PcdSet(arg(0), 0, Boolean(arg(1)))); return;
    case Service::TopologySystemInfo: {
      const uint64_t sockets = arg(1), dies = arg(2);
      uint64_t s = 0, d = 0;
      const uint64_t st = fw.TopologySystemInfo(&s, &d);
      if (sockets) store(sockets, s);
      if (dies) store(dies, d);
      ret(st);
      return;
    }
    case Service::TopologySocketInfo: {
      const uint64_t dies = arg(2);
      uint64_t d = 0;
      const uint64_t st = fw.TopologySocketInfo(arg(1), &d);
      if (st == 0 && dies) store(dies, d);
      ret(st);
      return;
    }
    case Service::TopologyUnused:
      ret(fw.Unimplemented("FabricTopologyProtocol slot 3"));
      return;
    case Service::TopologyRootBusInfo: {
      const uint64_t bus = arg(5);
      uint64_t b = 0;
      const uint64_t st = fw.TopologyRootBusInfo(arg(1), arg(2), arg(3), &b);
      if (st == 0 && bus) store(bus, b);
      ret(st);
      return;
    }
    case Service::SmmCommunicate: {
      const uint64_t sizeAddress = arg(2);
      uint64_t size = 0;
      if (sizeAddress) size = GuestRead64(sizeAddress, name + "'s size pointer");
      ret(fw.SmmCommunicate(arg(0), arg(1), sizeAddress ? &size : nullptr));
      return;
    }
    case Service::DieMemoryInfo: {
      DieMemoryCounts c;
      const uint64_t st = fw.DieMemoryInfo(arg(1), arg(2), &c);
      if (st == 0) {
        if (arg(3)) store(arg(3), c.channels);
        if (arg(4)) store(arg(4), c.dimms);
        if (arg(5)) store(arg(5), c.ranks);
      }
      ret(st);
      return;
    }
    case Service::Count:
      break;
  }
  throw EmulationError("the driver called an unknown service");
}

}  // namespace sim
