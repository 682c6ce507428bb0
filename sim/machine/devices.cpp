#include "sim/machine/devices.h"

#include "platform/probes.h"
#include "sim/machine/load_store.h"

namespace sim {

namespace {
constexpr uint16_t kPostCodePort = 0x80;
constexpr uint16_t kPeekPort = 0xFFED;
constexpr uint32_t kHeapSignature = 0x50414548;  // "HEAP"
constexpr uint8_t kPersistBootServices = 4;
constexpr uint64_t kHeapNodeHeaderSize = 32;
}  // namespace

// ---- UART ----

int Uart::PortRegister(uint16_t port) const {
  if (MemoryMapped() || port < desc_.base || port - desc_.base >= uint64_t(kRegisterCount)) return -1;
  return int(port - desc_.base);
}

int Uart::MmioRegister(uint64_t address) const {
  if (!MemoryMapped() || address < desc_.base || address - desc_.base >= 4ull * kRegisterCount) return -1;
  return int((address - desc_.base) / 4);
}

uint8_t Uart::Read(int reg) {
  if (reg == kLineStatus) {
    ++statusReadings_;
    bool busy = desc_.busy;
    if (!busy && busyLeft_ > 0) {
      --busyLeft_;
      busy = true;
    }
    if (busy) ++busyStatusReadings_;
    return busy ? desc_.busyStatus : kReady;
  }
  if (reg == kData) return 0;  // nothing is ever received
  return scratch_[reg & (kRegisterCount - 1)];
}

void Uart::Write(int reg, uint8_t value) {
  if (reg == kData) {
    transmitted_.push_back(value);
    busyLeft_ = desc_.busyReadings;
    return;
  }
  ++controlWrites_;
  scratch_[reg & (kRegisterCount - 1)] = value;
}

// ---- routing ----

uint32_t Devices::PortIn(uint16_t port, uint8_t width) {
  if (port == kPmIndexPort || port == kPmDataPort) {
    auto it = pmRegisters_.find(pmIndex_);
    return port == kPmIndexPort ? pmIndex_ : it == pmRegisters_.end() ? 0 : it->second;
  }
  for (Uart& u : uarts_) {
    int reg = u.PortRegister(port);
    if (reg >= 0) return u.Read(reg);
  }
  auto it = portValues_.find(port);
  return uint32_t((it == portValues_.end() ? 0xFFFFFFFFu : it->second) & AllOnes(width));
}

void Devices::PortWrite(uint16_t port, uint8_t width, uint32_t value) {
  if (port == kPmIndexPort) pmIndex_ = uint8_t(value);
  if (port == kPmDataPort) pmRegisters_[pmIndex_] = uint8_t(value);
  if (port == kPostCodePort) postCodes_.push_back({width, value});
  if (port == kPeekPort) peeks_.push_back({width, value});
  for (Uart& u : uarts_) {
    int reg = u.PortRegister(port);
    if (reg >= 0) u.Write(reg, uint8_t(value));
  }
}

bool Devices::MmioRead(uint64_t address, uint8_t, uint64_t* value) {
  for (Uart& u : uarts_) {
    int reg = u.MmioRegister(address);
    if (reg < 0) continue;
    // Registers sit at multiples of 4; the bytes between them read as zero.
    *value = (address - u.Setup().base) % 4 == 0 ? u.Read(reg) : 0;
    return true;
  }
  return false;
}

bool Devices::MmioWrite(uint64_t address, uint8_t, uint64_t value) {
  for (Uart& u : uarts_) {
    int reg = u.MmioRegister(address);
    if (reg < 0) continue;
    if ((address - u.Setup().base) % 4 == 0) u.Write(reg, uint8_t(value));
    return true;
  }
  return false;
}

const Uart* Devices::UartAt(uint64_t base) const {
  for (const Uart& u : uarts_)
    if (u.Setup().base == base) return &u;
  return nullptr;
}

// ---- the debug agent's mailbox ----

uint64_t Devices::MakeMailbox(const MailboxDesc& setup) {
  const uint32_t size = setup.Size();
  // A heap buffer node: links, the 16-byte heap header, then the data.
  const uint64_t node = memory_.PoolAlloc(kHeapNodeHeaderSize + size);
  if (node == 0) return 0;
  std::memset(memory_.Host(node), 0, kHeapNodeHeaderSize + size);
  memory_.Write<uint32_t>(node + 16, kHeapSignature);
  memory_.Write<uint32_t>(node + 20, kMailboxHeapHandle);
  memory_.Write<uint32_t>(node + 24, size);
  memory_.Write<uint8_t>(node + 28, kPersistBootServices);
  memory_.Write<uint8_t>(node + 29, 1);  // valid
  const uint64_t data = node + kHeapNodeHeaderSize;
  // The agent's fields, as far as the buffer holds them.
  auto put = [&](uint32_t offset, auto value) {
    if (offset + sizeof(value) <= size) memory_.Write(data + offset, value);
  };
  put(0, setup.signature);
  put(6, setup.capacity);
  put(8, setup.held);
  put(10, setup.output);
  put(18, setup.collect);
  put(24, setup.mask);
  mailboxAddress_ = data;
  mailboxSize_ = size;
  return data;
}

void Devices::TaggedOut(uint32_t selector, uint32_t value, uint32_t extra, bool breakpointHit, bool agentPresent) {
  MailboxHandOver h;
  h.address = value;
  h.length = extra;
  h.tag = selector;
  h.caught = breakpointHit && agentPresent;
  if (!breakpointHit) h.missed = "breakpoint not armed";
  else if (!agentPresent) h.missed = "no agent attached";
  if (h.caught && memory_.Contains(value, extra)) {
    h.readable = true;
    h.text = memory_.ReadBytes(value, extra);
  }
  h.fromCollectArea = mailboxAddress_ != 0 && value == mailboxAddress_ + kMailboxCollectOffset;
  handOvers_.push_back(std::move(h));
}

}  // namespace sim
