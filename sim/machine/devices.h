// Devices on the platform that the debug print's channels talk to:
//  - 16550-style UARTs, at an I/O port base (registers one port apart) or a
//    memory-mapped base (registers 4 bytes apart), whose line status can be held
//    busy;
//  - the post-code port 0x80, whose writes are kept with their widths;
//  - port 0xFFED, which the debug agent watches;
//  - the debug agent's side of the mailbox: the hand-overs through the I/O
//    breakpoint on port 0x99CC, and the mailbox buffer the agent provides;
//  - the chipset's power-management registers behind ports 0xCD6/0xCD7, and
//    the ports whose values a scenario sets; any other port reads all ones.
// The hardware model routes every port access here, and the bus the memory
// accesses its UARTs decode; every access is still recorded in its log.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/machine/memory.h"
#include "sim/scenario/desc.h"

namespace sim {

class Uart {
 public:
  static constexpr int kData = 0;
  static constexpr int kLineStatus = 5;
  static constexpr int kRegisterCount = kUartRegisterCount;
  static constexpr uint8_t kReady = 0x60;  // transmitter empty, holding register empty

  explicit Uart(const UartDesc& setup) : desc_(setup) {}
  const UartDesc& Setup() const { return desc_; }
  bool MemoryMapped() const { return desc_.base >= kUartMmioThreshold; }
  // The register an access reaches, or -1 when the access is not to this UART.
  int PortRegister(uint16_t port) const;
  int MmioRegister(uint64_t address) const;

  uint8_t Read(int reg);
  void Write(int reg, uint8_t value);

  // What went out on the line, in order.
  const std::vector<uint8_t>& Transmitted() const { return transmitted_; }
  uint64_t StatusReadings() const { return statusReadings_; }
  uint64_t BusyStatusReadings() const { return busyStatusReadings_; }
  // Writes to registers other than the data register (line settings and the like).
  uint64_t ControlWrites() const { return controlWrites_; }

 private:
  UartDesc desc_;
  uint64_t busyLeft_ = 0;
  std::vector<uint8_t> transmitted_;
  uint64_t statusReadings_ = 0, busyStatusReadings_ = 0, controlWrites_ = 0;
  uint8_t scratch_[kRegisterCount] = {};
};

constexpr uint32_t kMailboxHeapHandle = 0xA019;
constexpr uint32_t kMailboxCollectOffset = 513;

// A write to an observed port.
struct PortValue {
  uint8_t width;
  uint32_t value;
};

// One tagged OUT to the mailbox port.
struct MailboxHandOver {
  uint32_t address = 0;  // EAX: where the text is
  uint32_t length = 0;   // EBX
  uint32_t tag = 0;      // ECX and EDX
  bool caught = false;   // the breakpoint fired and the agent took the text
  std::string missed;    // why the agent did not see it, when not caught
  bool readable = false;  // the text lay in DRAM and was read
  std::vector<uint8_t> text;
  bool fromCollectArea = false;  // the address is the mailbox buffer's collect area
};

class Devices {
 public:
  explicit Devices(PhysicalMemory& memory) : memory_(memory) {}

  // --- set-up ---
  void AddUart(const UartDesc& setup) { uarts_.emplace_back(setup); }
  // The chipset's power-management registers behind index port 0xCD6 and data
  // port 0xCD7; registers not set read 0.
  void SetPmRegister(uint8_t index, uint8_t value) { pmRegisters_[index] = value; }
  // What a port reads when no device decodes it (all ones unless set).
  void SetPortValue(uint16_t port, uint32_t value) { portValues_[port] = value; }
  // Places the agent's mailbox buffer in pool memory as a heap buffer node
  // (handle 0xA019, boot-services data) and returns the address of its data.
  // The platform links it into an earlier driver's heap list.
  uint64_t MakeMailbox(const MailboxDesc& setup);

  // --- routing from the hardware model; false: not a device's access ---
  uint32_t PortIn(uint16_t port, uint8_t width);
  void PortWrite(uint16_t port, uint8_t width, uint32_t value);
  bool MmioRead(uint64_t address, uint8_t width, uint64_t* value);
  bool MmioWrite(uint64_t address, uint8_t width, uint64_t value);
  // A tagged OUT; breakpointHit: the armed I/O breakpoint covers its port.
  void TaggedOut(uint32_t selector, uint32_t value, uint32_t extra, bool breakpointHit, bool agentPresent);

  // --- what happened ---
  const std::vector<Uart>& Uarts() const { return uarts_; }
  const Uart* UartAt(uint64_t base) const;
  const std::vector<PortValue>& PostCodeStream() const { return postCodes_; }  // writes to port 0x80
  const std::vector<PortValue>& PeekValues() const { return peeks_; }        // writes to port 0xFFED
  const std::vector<MailboxHandOver>& HandOvers() const { return handOvers_; }
  // The mailbox buffer's data address and size; 0 when the scenario made none.
  uint64_t MailboxAddress() const { return mailboxAddress_; }
  uint32_t MailboxSize() const { return mailboxSize_; }

 private:
  PhysicalMemory& memory_;
  std::vector<Uart> uarts_;
  std::map<uint8_t, uint8_t> pmRegisters_;
  std::map<uint16_t, uint32_t> portValues_;
  uint8_t pmIndex_ = 0;
  std::vector<PortValue> postCodes_;
  std::vector<PortValue> peeks_;
  std::vector<MailboxHandOver> handOvers_;
  uint64_t mailboxAddress_ = 0;
  uint32_t mailboxSize_ = 0;
};

}  // namespace sim
