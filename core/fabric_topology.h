// The fabric topology protocol another firmware module provides: how many
// sockets there are, how many dies each socket has, and each die's root bus.
// Every operation takes the interface first and returns a firmware status;
// counts and bus numbers are 64-bit.
#pragma once
#include "uefi/base.h"

inline constexpr Guid FabricTopologyProtocolGuid = {0xD90DB665, 0x973F, 0x4039, {0xBE, 0x4D, 0xAF, 0xBA, 0xD8, 0x73, 0x8D, 0x15}};

struct FabricTopologyProtocol {
  // Out: the socket count; a second output (the total die count) and a third
  // that this driver does not ask for.
  EfiStatus(EFIAPI* TopologySystemInfo)(FabricTopologyProtocol* self, uint64_t* sockets, uint64_t* second,
                                        void* third);
  // Out: the die count of the socket; three more outputs this driver does not ask for.
  EfiStatus(EFIAPI* TopologySocketInfo)(FabricTopologyProtocol* self, uint64_t socket, uint64_t* dies, void* second,
                                        void* third, void* fourth);
  void* Unused;
  // Index 0 asks for the die's root; out: its root bus number, between two outputs not asked for.
  EfiStatus(EFIAPI* TopologyRootBusInfo)(FabricTopologyProtocol* self, uint64_t socket, uint64_t die, uint64_t index,
                                         void* first, uint64_t* rootBus, void* third);
};
static_assert(offsetof(FabricTopologyProtocol, TopologySystemInfo) == 0 &&
              offsetof(FabricTopologyProtocol, TopologySocketInfo) == 8 &&
              offsetof(FabricTopologyProtocol, Unused) == 16 &&
              offsetof(FabricTopologyProtocol, TopologyRootBusInfo) == 24);
