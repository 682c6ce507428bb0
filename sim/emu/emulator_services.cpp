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
    case Service::HandleProtocol: return "HandleProtocol";
    case Service::LocateHandle: return "LocateHandle";
    case Service::ConOutOutputString: return "ConOut.OutputString";
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

namespace {

// One call of a service: its arguments as the image passed them (MS x64: four
// in registers, the rest on the stack above the return address and the shadow
// space), and where its results go. Pointers are DRAM addresses.
struct ServiceFrame {
  Engine& e;
  Firmware& fw;
  std::string name;
  uint64_t rsp;  // at the thunk: the caller's return address

  uint64_t Arg(int n) const {
    if (n < 4) return e.Reg(kArgumentRegisters[n]);
    return e.GuestRead64(rsp + 8 + 8 * uint64_t(n), "the stack slot of " + name + "'s argument " + std::to_string(n + 1));
  }
  void Return(uint64_t v) { e.SetReg(UC_X86_REG_RAX, v); }
  void Store(uint64_t address, uint64_t value) { e.GuestWrite64(address, value, name + "'s output pointer"); }
  Guid GuidAt(uint64_t address) const { return e.GuestGuid(address, name + "'s GUID pointer"); }
};

// Each family below serves its services and says whether the service was one of
// them.

bool ServePool(ServiceFrame& c, Service service) {
  switch (service) {
    case Service::AllocatePool: {
      const uint64_t buffer = c.Arg(2);
      uint64_t at = 0;
      const uint64_t size = c.Arg(1);
      const uint64_t s = c.fw.AllocatePool(uint32_t(c.Arg(0)), size, buffer ? &at : nullptr);
      // The pool grows up from the bottom of DRAM towards the image at its top.
      if (s == 0 && at + size > kEmuImageBase)
        throw EmulationError("pool memory reached the image: AllocatePool of " + HexText(size) + " bytes at " + HexText(at) +
                             " overlaps the region from " + HexText(kEmuImageBase));
      if (s == 0) c.Store(buffer, at);
      c.Return(s);
      return true;
    }
    case Service::FreePool:
      c.Return(c.fw.FreePool(c.Arg(0)));
      return true;
    default:
      return false;
  }
}

bool ServeEvents(ServiceFrame& c, Service service) {
  switch (service) {
    case Service::RaiseTpl:
      c.Return(c.fw.RaiseTpl(c.Arg(0)));
      return true;
    case Service::RestoreTpl:
      c.fw.RestoreTpl(c.Arg(0));
      return true;
    case Service::CreateEvent: {
      const uint64_t event = c.Arg(4);
      uint64_t handle = 0;
      const uint64_t s = c.fw.CreateEvent(uint32_t(c.Arg(0)), c.Arg(1), c.Arg(2), c.Arg(3), nullptr, event ? &handle : nullptr);
      if (handle != 0) c.Store(event, handle);  // created, also under a warning
      c.Return(s);
      return true;
    }
    case Service::CreateEventEx: {
      const uint64_t groupAddress = c.Arg(4), event = c.Arg(5);
      Guid group{};
      if (groupAddress) group = c.GuidAt(groupAddress);
      uint64_t handle = 0;
      const uint64_t s = c.fw.CreateEvent(uint32_t(c.Arg(0)), c.Arg(1), c.Arg(2), c.Arg(3),
                                          groupAddress ? &group : nullptr, event ? &handle : nullptr);
      if (handle != 0) c.Store(event, handle);  // created, also under a warning
      c.Return(s);
      return true;
    }
    case Service::SignalEvent:
      c.Return(c.fw.SignalEvent(c.Arg(0)));
      return true;
    case Service::CloseEvent:
      c.Return(c.fw.CloseEvent(c.Arg(0)));
      return true;
    default:
      return false;
  }
}

bool ServeProtocols(ServiceFrame& c, Service service) {
  switch (service) {
    case Service::InstallProtocolInterface: {
      const uint64_t handleAddress = c.Arg(0), protocolAddress = c.Arg(1);
      const uint32_t type = uint32_t(c.Arg(2));
      if (handleAddress == 0 || protocolAddress == 0) {
        c.Return(c.fw.InstallProtocolInterface(nullptr, Guid{}, type, 0));
        return true;
      }
      uint64_t handle = c.e.GuestRead64(handleAddress, c.name + "'s handle pointer");
      const Guid protocol = c.GuidAt(protocolAddress);
      const uint64_t s = c.fw.InstallProtocolInterface(&handle, protocol, type, c.Arg(3));
      if (s == 0) c.Store(handleAddress, handle);
      c.Return(s);
      return true;
    }
    case Service::UninstallProtocolInterface:
      c.Return(c.Arg(1) == 0 ? EFI_INVALID_PARAMETER : c.fw.UninstallProtocolInterface(c.Arg(0), c.GuidAt(c.Arg(1)), c.Arg(2)));
      return true;
    case Service::RegisterProtocolNotify: {
      const uint64_t protocolAddress = c.Arg(0), event = c.Arg(1), registration = c.Arg(2);
      uint64_t r = 0;
      uint64_t s = EFI_INVALID_PARAMETER;
      if (protocolAddress) s = c.fw.RegisterProtocolNotify(c.GuidAt(protocolAddress), event, registration ? &r : nullptr);
      if (s == 0) c.Store(registration, r);
      c.Return(s);
      return true;
    }
    case Service::LocateProtocol: {
      const uint64_t protocolAddress = c.Arg(0), registration = c.Arg(1), iface = c.Arg(2);
      if (protocolAddress == 0) {
        c.Return(EFI_INVALID_PARAMETER);
        return true;
      }
      uint64_t i = 0;
      const uint64_t s = c.fw.LocateProtocol(c.GuidAt(protocolAddress), registration, iface ? &i : nullptr);
      if (iface) c.Store(iface, i);
      c.Return(s);
      return true;
    }
    default:
      return false;
  }
}

bool ServePcd(ServiceFrame& c, Service service) {
  Firmware& fw = c.fw;
  switch (service) {
    case Service::PcdGet8: c.Return(uint8_t(fw.PcdGet(c.Arg(0), 1))); return true;
    case Service::PcdGet16: c.Return(uint16_t(fw.PcdGet(c.Arg(0), 2))); return true;
    case Service::PcdGet32: c.Return(uint32_t(fw.PcdGet(c.Arg(0), 4))); return true;
    case Service::PcdGet64: c.Return(fw.PcdGet(c.Arg(0), 8)); return true;
    case Service::PcdGetBool: c.Return(Boolean(fw.PcdGet(c.Arg(0), 0))); return true;
    case Service::PcdSet8: c.Return(fw.PcdSet(c.Arg(0), 1, uint8_t(c.Arg(1)))); return true;
    case Service::PcdSet16: c.Return(fw.PcdSet(c.Arg(0), 2, uint16_t(c.Arg(1)))); return true;
    case Service::PcdSet32: c.Return(fw.PcdSet(c.Arg(0), 4, uint32_t(c.Arg(1)))); return true;
    case Service::PcdSet64: c.Return(fw.PcdSet(c.Arg(0), 8, c.Arg(1))); return true;
    case Service::PcdSetBool: c.Return(fw.PcdSet(c.Arg(0), 0, Boolean(c.Arg(1)))); return true;
    default: return false;
  }
}

bool ServeTopology(ServiceFrame& c, Service service) {
  switch (service) {
    case Service::TopologySystemInfo: {
      const uint64_t sockets = c.Arg(1), dies = c.Arg(2);
      uint64_t s = 0, d = 0;
      const uint64_t st = c.fw.TopologySystemInfo(&s, &d);
      if (sockets) c.Store(sockets, s);
      if (dies) c.Store(dies, d);
      c.Return(st);
      return true;
    }
    case Service::TopologySocketInfo: {
      const uint64_t dies = c.Arg(2);
      uint64_t d = 0;
      const uint64_t st = c.fw.TopologySocketInfo(c.Arg(1), &d);
      if (st == 0 && dies) c.Store(dies, d);
      c.Return(st);
      return true;
    }
    case Service::TopologyUnused:
      c.Return(c.fw.Unimplemented("FabricTopologyProtocol slot 3"));
      return true;
    case Service::TopologyRootBusInfo: {
      const uint64_t bus = c.Arg(5);
      uint64_t b = 0;
      const uint64_t st = c.fw.TopologyRootBusInfo(c.Arg(1), c.Arg(2), c.Arg(3), &b);
      if (st == 0 && bus) c.Store(bus, b);
      c.Return(st);
      return true;
    }
    default:
      return false;
  }
}

// The SMM communication and per-die memory protocols.
bool ServeOtherProtocols(ServiceFrame& c, Service service) {
  switch (service) {
    case Service::SmmCommunicate: {
      const uint64_t sizeAddress = c.Arg(2);
      uint64_t size = 0;
      if (sizeAddress) size = c.e.GuestRead64(sizeAddress, c.name + "'s size pointer");
      c.Return(c.fw.SmmCommunicate(c.Arg(0), c.Arg(1), sizeAddress ? &size : nullptr));
      return true;
    }
    case Service::DieMemoryInfo: {
      DieMemoryCounts counts;
      const uint64_t st = c.fw.DieMemoryInfo(c.Arg(1), c.Arg(2), &counts);
      if (st == 0) {
        if (c.Arg(3)) c.Store(c.Arg(3), counts.channels);
        if (c.Arg(4)) c.Store(c.Arg(4), counts.dimms);
        if (c.Arg(5)) c.Store(c.Arg(5), counts.ranks);
      }
      c.Return(st);
      return true;
    }
    default:
      return false;
  }
}

// What an application after the boot calls (Firmware::PrepareApplication).
bool ServeApplication(ServiceFrame& c, Service service) {
  switch (service) {
    case Service::HandleProtocol: {
      const uint64_t protocol = c.Arg(1), iface = c.Arg(2);
      if (protocol == 0 || iface == 0) {
        c.Return(EFI_INVALID_PARAMETER);
        return true;
      }
      uint64_t i = 0;
      const uint64_t s = c.fw.HandleProtocol(c.Arg(0), c.GuidAt(protocol), &i);
      if (s == 0) c.Store(iface, i);
      c.Return(s);
      return true;
    }
    case Service::LocateHandle: {
      const uint64_t protocol = c.Arg(1), sizeAddress = c.Arg(3), buffer = c.Arg(4);
      uint64_t size = sizeAddress ? c.e.GuestRead64(sizeAddress, c.name + "'s size pointer") : 0;
      const Guid g = protocol ? c.GuidAt(protocol) : Guid{};
      std::vector<uint64_t> handles;
      const uint64_t s = c.fw.LocateHandle(uint32_t(c.Arg(0)), protocol ? &g : nullptr, sizeAddress ? &size : nullptr, &handles);
      if (sizeAddress) c.Store(sizeAddress, size);
      for (size_t i = 0; i < handles.size(); ++i) c.Store(buffer + 8 * i, handles[i]);
      c.Return(s);
      return true;
    }
    case Service::ConOutOutputString: {
      // The string up to its terminating zero, as far as DRAM goes; at most 64 Ki characters.
      std::u16string text;
      for (uint64_t at = c.Arg(1); text.size() < 65536 && c.e.memory.Contains(at, 2); at += 2) {
        const char16_t ch = c.e.memory.Read<uint16_t>(at);
        if (ch == 0) break;
        text += ch;
      }
      c.Return(c.fw.ConsoleOutput(text));
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

// Each service takes its arguments as host_dispatch.cpp's thunk of the same name
// does and hands the same values to the firmware model.
void EmulatorDispatch::Engine::Serve(Service service, uint64_t rsp) {
  ServiceFrame call{*this, ActivePlatform().firmware(), ServiceName(service), rsp};
  if (service == Service::Unimplemented) {
    call.Return(call.fw.Unimplemented("boot service slot"));
    return;
  }
  if (ServePool(call, service) || ServeEvents(call, service) || ServeProtocols(call, service) ||
      ServePcd(call, service) || ServeTopology(call, service) || ServeOtherProtocols(call, service) ||
      ServeApplication(call, service))
    return;
  throw EmulationError("the driver called an unknown service");
}

}  // namespace sim
