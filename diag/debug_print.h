// The logging call and its output channels.
//
//   DebugPrint(kDebugLevelCore, "Channel %d: %08X\n", slot, value);
//
// formats the message once into a 512-byte buffer on the stack and hands the
// text to every output channel that is enabled and whose level mask lets the
// level through. Whether anything is printed at all is the build setting
// DebugPrintEnabled: when it is off, DebugPrint compiles to nothing, and
// neither the message texts nor the format engine end up in the image.
//
// DebugPrintInit sets the channels up once during start-up, whatever
// DebugPrintEnabled says (the mailbox channel arms the agent's breakpoint).
#pragma once
#include "diag/debug_settings.h"
#include "diag/format.h"
#include "uefi/base.h"

// One output channel: four operations, called in this order by the dispatcher.
struct DebugOutputChannel {
  bool (*IsEnabled)(const DebugSettings& settings);
  void (*Init)(const DebugSettings& settings);
  // May replace *mask with the channel's own level mask. The result is not used.
  bool (*AdjustLevelMask)(const DebugSettings& settings, uint64_t* mask);
  // Text is the dispatcher's message buffer: Length bytes of text, then the
  // terminator, in a buffer of kDebugMessageBufferSize bytes.
  void (*Write)(const DebugSettings& settings, const uint8_t* text, uint64_t length);
};

constexpr uint64_t kDebugMessageBufferSize = 512;

// The four channels, in the order they are set up and written, then null:
// post-code port, debugger mailbox, serial, raw UART.
extern const DebugOutputChannel* const DebugChannelList[5];
// The same channels with only their IsEnabled and Init operations: what
// DebugPrintInit walks, so that an image with printing off carries no
// channel's write code.
extern const DebugOutputChannel* const DebugChannelSetupList[5];

// Calls IsEnabled of every channel of the null-terminated list, all of them and
// in order; true when at least one said true.
bool AnyChannelEnabled(const DebugSettings& settings, const DebugOutputChannel* const* channels);

// The dispatcher with its settings and channel list as parameters.
void DebugPrintDispatch(const DebugSettings& settings, const DebugOutputChannel* const* channels, uint64_t level,
                        const char* format, FormatArgList args);

template <class... T>
void DebugPrintWith(const DebugSettings& settings, uint64_t level, const char* format, T... args) {
  const uint64_t slots[sizeof...(T) + 1] = {FormatSlot(args)..., 0};
  DebugPrintDispatch(settings, DebugChannelList, level, format, FormatArgList{slots, sizeof...(T)});
}

// The driver's logging call, with the build's settings.
template <class... T>
inline void DebugPrint([[maybe_unused]] uint64_t level, [[maybe_unused]] const char* format,
                       [[maybe_unused]] T... args) {
  if constexpr (kDebugSettings.DebugPrintEnabled != 0) DebugPrintWith(kDebugSettings, level, format, args...);
}

// Runs Init of every enabled channel of the list; always returns success.
EfiStatus DebugPrintInitWith(const DebugSettings& settings, const DebugOutputChannel* const* channels);
// The start-up step, with the build's settings.
EfiStatus DebugPrintInit();
