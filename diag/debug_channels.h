// The four output channels of the debug print and the pieces they are made of.
#pragma once
#include "diag/debug_print.h"

extern const DebugOutputChannel PostCodeChannel;
extern const DebugOutputChannel MailboxChannel;
extern const DebugOutputChannel SerialChannel;
extern const DebugOutputChannel RawUartChannel;

// ---- post-code port channel ----

constexpr uint32_t kPostCodeStartMarker = 0x5F535452;  // "RTS_" in memory order
constexpr uint32_t kPostCodeEndMarker = 0x5F454E44;    // "DNE_" in memory order

// The start marker, each byte, the end marker: Length + 2 OUTs to PostCodeChannelPort.
void PostCodeWrite(const DebugSettings& settings, const uint8_t* text, uint64_t length);

// ---- debugger mailbox channel ----
//
// An external debug agent catches accesses to port 0x99CC through an I/O
// breakpoint in DR2. A message is handed over with one tagged OUT to that port:
// EAX = low 32 bits of the text's address, EBX = length, ECX = EDX = the tag.
// With the agent's mailbox buffer (heap handle 0xA019) present, the agent's
// switches there decide whether messages are passed on, handed over one by one,
// or gathered in the buffer's collect area.

constexpr uint16_t kMailboxPort = 0x99CC;
constexpr uint32_t kMailboxTag = 0xC0BF99CC;  // port 0x99CC in the low 16 bits
constexpr uint16_t kMailboxPeekPort = 0xFFED;
constexpr uint32_t kMailboxSignature = 0xDB1099CC;
constexpr uint32_t kMsrMailboxEnable = 0xC001100A;
// DR7: breakpoint 2 enabled globally, type I/O read or write, length one byte, and bit 10.
constexpr uint64_t kMailboxDr7 = 0x2000420;
constexpr uint64_t kCr4DebuggingExtensions = 8;

// The start of the agent's buffer. Only these fields are read or written.
struct MailboxBufferHeader {
  uint32_t Signature;
  uint8_t Reserved4[2];
  uint16_t Capacity;     // bytes of the collect area, as the agent wrote it
  uint16_t Held;         // bytes now in the collect area (written by the channel)
  uint8_t OutputSwitch;  // 1: messages are passed on; else every message is dropped
  uint8_t Reserved11[7];
  uint8_t CollectMode;   // 1: messages are gathered; else each is handed over at once
  uint8_t Reserved19[5];
  uint64_t LevelMask;    // the mailbox channel's own level mask
} __attribute__((packed));
static_assert(sizeof(MailboxBufferHeader) == 32);
static_assert(offsetof(MailboxBufferHeader, Signature) == 0 && offsetof(MailboxBufferHeader, Capacity) == 6 &&
              offsetof(MailboxBufferHeader, Held) == 8 && offsetof(MailboxBufferHeader, OutputSwitch) == 10 &&
              offsetof(MailboxBufferHeader, CollectMode) == 18 && offsetof(MailboxBufferHeader, LevelMask) == 24);
constexpr uint32_t kMailboxCollectAreaOffset = 513;

// The agent's buffer as the heap reported it.
struct MailboxBuffer {
  MailboxBufferHeader* Header;
  uint32_t Size;  // bytes in the buffer
};

// True when the channel is switched on and the agent is there (DR2 holds
// 0x99CC) or assumed (MailboxAssumeAgent exactly 1).
bool MailboxIsEnabled(const DebugSettings& settings);
// True when MSR 0xC001100A bit 0, the DR7 bits of breakpoint 2 and CR4's
// debugging extensions are all set, tested in that order.
bool MailboxArmed();
// When enabled and not yet armed: sets the MSR bit, DR2, DR7 and CR4.DE.
void MailboxInit(const DebugSettings& settings);
// Finds the agent's buffer: DR3 must be non-zero and the heap must hold handle
// 0xA019 with an acceptable buffer (MailboxAccept).
bool MailboxLocate(MailboxBuffer* buffer);
// Whether a located heap buffer can be the agent's: not null, large enough for
// the header, and carrying the signature.
bool MailboxAccept(void* data, uint32_t size, MailboxBuffer* buffer);
// The collect area's usable size: the agent's capacity, bounded by the bytes
// the buffer has after offset 513.
uint32_t MailboxCollectCapacity(const MailboxBuffer& buffer);
bool MailboxAdjustLevelMask(const DebugSettings& settings, uint64_t* mask);
// What AdjustLevelMask does once the buffer has been looked for (null: none found).
void MailboxTakeLevelMask(const MailboxBuffer* buffer, uint64_t* mask);
void MailboxWrite(const DebugSettings& settings, const uint8_t* text, uint64_t length);
// What the channel's Write does once the buffer has been looked for: buffer is
// null when none was found. Text must be readable for at least two bytes (the
// peek at port 0xFFED), as the dispatcher's message buffer always is.
void MailboxDeliver(const MailboxBuffer* buffer, const uint8_t* text, uint64_t length);

// ---- serial channel: a 16550-style UART at SerialBase ----

constexpr uint64_t kSerialMmioThreshold = 0x10000;  // bases from here on are memory-mapped
constexpr uint32_t kSerialStatusReadings = 2000;
constexpr uint8_t kLineStatusHoldingEmpty = 0x20;
constexpr uint8_t kLineStatusTransmitterEmpty = 0x40;

// Waits up to 2000 line-status readings for an empty holding register, then
// writes the character; false (and nothing written) on time-out.
bool SerialPutChar(const DebugSettings& settings, uint8_t character);
// Each byte in order, a line feed preceded by a carriage return; a character
// that times out is dropped.
void SerialWrite(const DebugSettings& settings, const uint8_t* text, uint64_t length);

// ---- raw UART channel: the first serial port, fixed at 0x3F8 ----

constexpr uint16_t kRawUartData = 0x3F8;
constexpr uint16_t kRawUartLineStatus = 0x3FD;
constexpr uint32_t kRawUartStatusReadings = 65535;
constexpr uint32_t kRawUartBurst = 16;

// Returns Length when every byte was written, 0 otherwise (a null text, a
// length of 0, or a transmitter that stayed busy; the rest of the text is then
// dropped).
uint64_t RawUartWrite(const uint8_t* text, uint64_t length);
