#include "diag/debug_channels.h"

#include "platform/access.h"
#include "platform/hw.h"
#include "services/heap.h"

namespace {

void NoInit(const DebugSettings&) {}
bool LeaveMask(const DebugSettings&, uint64_t*) { return true; }

bool PostCodeIsEnabled(const DebugSettings& s) { return s.PostCodeChannelEnabled != 0; }
bool SerialIsEnabled(const DebugSettings& s) { return s.SerialChannelEnabled != 0; }
bool RawUartIsEnabled(const DebugSettings&) { return true; }

void RawUartChannelWrite(const DebugSettings&, const uint8_t* text, uint64_t length) { RawUartWrite(text, length); }

void HandOver(const void* text, uint64_t length) {
  PortWrite32Tagged(kMailboxTag, static_cast<uint32_t>(hw::PtrToPhys(text)), static_cast<uint32_t>(length));
}

uint8_t SerialLineStatus(const DebugSettings& s) {
  uint8_t status = 0;
  if (s.SerialBase < kSerialMmioThreshold)
    PortReadWidth(AccessWidth8, static_cast<uint16_t>(s.SerialBase + 5), &status);
  else
    MemReadWidth(AccessWidth8, s.SerialBase + 0x14, &status);
  return status;
}

void SerialTransmit(const DebugSettings& s, uint8_t character) {
  if (s.SerialBase < kSerialMmioThreshold)
    PortWriteWidth(AccessWidth8, static_cast<uint16_t>(s.SerialBase), &character);
  else
    MemWriteWidth(AccessWidth8, s.SerialBase, &character);
}

uint8_t RawUartLineStatus() {
  uint8_t status = 0;
  PortReadWidth(AccessWidth8, kRawUartLineStatus, &status);
  return status;
}

// Polls the raw UART's line status until all bits of `bits` show; false when
// 65535 readings pass without.
bool RawUartWaitFor(uint8_t bits) {
  for (uint32_t i = 0; i < kRawUartStatusReadings; ++i)
    if ((RawUartLineStatus() & bits) == bits) return true;
  return false;
}

}  // namespace

// ---- post-code port channel ----

void PostCodeWrite(const DebugSettings& s, const uint8_t* text, uint64_t length) {
  const uint32_t start = kPostCodeStartMarker;
  const uint32_t end = kPostCodeEndMarker;
  PortWriteWidth(AccessWidth32, s.PostCodeChannelPort, &start);
  for (uint64_t i = 0; i < length; ++i) PortWriteWidth(AccessWidth8, s.PostCodeChannelPort, &text[i]);
  PortWriteWidth(AccessWidth32, s.PostCodeChannelPort, &end);
}

// ---- debugger mailbox channel ----

bool MailboxIsEnabled(const DebugSettings& s) {
  if (s.MailboxChannelEnabled == 0) return false;
  if (s.MailboxAssumeAgent == 1) return true;
  return Dr2Read() == kMailboxPort;
}

bool MailboxArmed() {
  return (MsrRead(kMsrMailboxEnable) & 1) != 0 && (Dr7Read() & kMailboxDr7) == kMailboxDr7 &&
         (Cr4Read() & kCr4DebuggingExtensions) != 0;
}

void MailboxInit(const DebugSettings& s) {
  if (!MailboxIsEnabled(s) || MailboxArmed()) return;
  MsrOrWrite(kMsrMailboxEnable, 1);
  Dr2Write(kMailboxPort);
  Dr7Write(kMailboxDr7);
  Cr4Write(Cr4Read() | kCr4DebuggingExtensions);
}

bool MailboxAccept(void* data, uint32_t size, MailboxBuffer* buffer) {
  // The header's fields are read and written in place: a buffer too small to
  // hold them is not the agent's mailbox.
  if (data == nullptr || size < sizeof(MailboxBufferHeader)) return false;
  MailboxBufferHeader* header = static_cast<MailboxBufferHeader*>(data);
  if (header->Signature != kMailboxSignature) return false;
  buffer->Header = header;
  buffer->Size = size;
  return true;
}

bool MailboxLocate(MailboxBuffer* buffer) {
  // DR3 is only tested; the agent leaves it non-zero when it provides a buffer.
  if (Dr3Read() == 0) return false;
  HeapLocateRequest request = {kHeapHandleDebugMailbox, 0, nullptr};
  if (HeapLocateBuffer(&request) != kHeapSuccess) return false;
  return MailboxAccept(request.Data, request.Size, buffer);
}

uint32_t MailboxCollectCapacity(const MailboxBuffer& buffer) {
  const uint32_t room = buffer.Size > kMailboxCollectAreaOffset ? buffer.Size - kMailboxCollectAreaOffset : 0;
  const uint32_t capacity = buffer.Header->Capacity;
  return capacity < room ? capacity : room;
}

void MailboxTakeLevelMask(const MailboxBuffer* buffer, uint64_t* mask) {
  if (buffer != nullptr) *mask = buffer->Header->LevelMask;
}

bool MailboxAdjustLevelMask(const DebugSettings&, uint64_t* mask) {
  MailboxBuffer buffer;
  MailboxTakeLevelMask(MailboxLocate(&buffer) ? &buffer : nullptr, mask);
  return true;
}

void MailboxDeliver(const MailboxBuffer* buffer, const uint8_t* text, uint64_t length) {
  if (buffer == nullptr) {
    HandOver(text, length);
    return;
  }
  MailboxBufferHeader* header = buffer->Header;
  if (header->OutputSwitch != 1) return;
  if (header->CollectMode != 1) {
    HandOver(text, length);
    return;
  }
  // The agent watches port 0xFFED for the first two bytes of each message.
  PortWriteWidth(AccessWidth16, kMailboxPeekPort, text);
  const uint32_t capacity = MailboxCollectCapacity(*buffer);
  // An area with no room collects nothing (and has nothing to hand over).
  if (capacity == 0) return;
  uint8_t* area = reinterpret_cast<uint8_t*>(header) + kMailboxCollectAreaOffset;
  for (uint64_t i = 0; i < length; ++i) {
    uint32_t held = header->Held;
    if (held >= capacity) {
      HandOver(area, capacity);
      held = 0;
    }
    area[held] = text[i];
    header->Held = static_cast<uint16_t>(held + 1);
  }
}

void MailboxWrite(const DebugSettings& s, const uint8_t* text, uint64_t length) {
  if (!MailboxIsEnabled(s)) return;
  MailboxBuffer buffer;
  MailboxDeliver(MailboxLocate(&buffer) ? &buffer : nullptr, text, length);
}

// ---- serial channel ----

bool SerialPutChar(const DebugSettings& s, uint8_t character) {
  for (uint32_t i = 0; i < kSerialStatusReadings; ++i) {
    if ((SerialLineStatus(s) & kLineStatusHoldingEmpty) != 0) {
      SerialTransmit(s, character);
      return true;
    }
  }
  return false;
}

void SerialWrite(const DebugSettings& s, const uint8_t* text, uint64_t length) {
  for (uint64_t i = 0; i < length; ++i) {
    if (text[i] == '\n') SerialPutChar(s, '\r');
    SerialPutChar(s, text[i]);
  }
}

// ---- raw UART channel ----

uint64_t RawUartWrite(const uint8_t* text, uint64_t length) {
  if (text == nullptr) return 0;
  if (length == 0) {
    RawUartWaitFor(kLineStatusTransmitterEmpty | kLineStatusHoldingEmpty);
    return 0;
  }
  uint64_t sent = 0;
  while (sent < length) {
    if (!RawUartWaitFor(kLineStatusTransmitterEmpty)) return 0;
    // One transmit burst: the FIFO takes 16 bytes without another look at the status.
    for (uint32_t n = 0; n < kRawUartBurst && sent < length; ++n, ++sent)
      PortWriteWidth(AccessWidth8, kRawUartData, &text[sent]);
  }
  return length;
}

// ---- the channel records and lists ----

constexpr DebugOutputChannel PostCodeChannel = {PostCodeIsEnabled, NoInit, LeaveMask, PostCodeWrite};
constexpr DebugOutputChannel MailboxChannel = {MailboxIsEnabled, MailboxInit, MailboxAdjustLevelMask, MailboxWrite};
constexpr DebugOutputChannel SerialChannel = {SerialIsEnabled, NoInit, LeaveMask, SerialWrite};
constexpr DebugOutputChannel RawUartChannel = {RawUartIsEnabled, NoInit, LeaveMask, RawUartChannelWrite};

constexpr const DebugOutputChannel* DebugChannelList[5] = {&PostCodeChannel, &MailboxChannel, &SerialChannel,
                                                           &RawUartChannel, nullptr};

namespace {
constexpr DebugOutputChannel PostCodeSetup = {PostCodeIsEnabled, NoInit, nullptr, nullptr};
constexpr DebugOutputChannel MailboxSetup = {MailboxIsEnabled, MailboxInit, nullptr, nullptr};
constexpr DebugOutputChannel SerialSetup = {SerialIsEnabled, NoInit, nullptr, nullptr};
constexpr DebugOutputChannel RawUartSetup = {RawUartIsEnabled, NoInit, nullptr, nullptr};
}  // namespace

constexpr const DebugOutputChannel* DebugChannelSetupList[5] = {&PostCodeSetup, &MailboxSetup, &SerialSetup,
                                                                &RawUartSetup, nullptr};

namespace {
// DebugPrintInitWith over a list given as template arguments: the same calls in
// the same order (every IsEnabled, then IsEnabled and Init of each channel),
// but bound directly, so the image needs neither the list nor the records, and
// a channel the build's settings switch off folds away.
template <const DebugOutputChannel&... Channel>
EfiStatus DebugPrintInitOver(const DebugSettings& s) {
  bool any = false;
  ((any = Channel.IsEnabled(s) || any), ...);
  if (any) ((Channel.IsEnabled(s) ? Channel.Init(s) : void()), ...);
  return EFI_SUCCESS;
}
}  // namespace

// The start-up step walks the set-up list above, in its order.
static_assert(DebugChannelSetupList[0] == &PostCodeSetup && DebugChannelSetupList[1] == &MailboxSetup &&
              DebugChannelSetupList[2] == &SerialSetup && DebugChannelSetupList[3] == &RawUartSetup &&
              DebugChannelSetupList[4] == nullptr);
EfiStatus DebugPrintInit() {
  return DebugPrintInitOver<PostCodeSetup, MailboxSetup, SerialSetup, RawUartSetup>(kDebugSettings);
}
