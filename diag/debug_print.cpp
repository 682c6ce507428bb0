#include "diag/debug_print.h"

#include "diag/debug_channels.h"

bool AnyChannelEnabled(const DebugSettings& settings, const DebugOutputChannel* const* channels) {
  bool any = false;
  for (; *channels != nullptr; ++channels)
    if ((*channels)->IsEnabled(settings)) any = true;
  return any;
}

void DebugPrintDispatch(const DebugSettings& settings, const DebugOutputChannel* const* channels, uint64_t level,
                        const char* format, FormatArgList args) {
  if (settings.DebugPrintEnabled == 0) return;
  // The engine cuts the text at 511 characters and always terminates it.
  char buffer[kDebugMessageBufferSize];
  const uint64_t length = FormatList(buffer, sizeof buffer, format, args);
  if (!AnyChannelEnabled(settings, channels)) return;
  const uint8_t* text = reinterpret_cast<const uint8_t*>(buffer);
  for (; *channels != nullptr; ++channels) {
    const DebugOutputChannel* channel = *channels;
    if (!channel->IsEnabled(settings)) continue;
    uint64_t mask = settings.DebugLevelMask;
    channel->AdjustLevelMask(settings, &mask);
    if ((level & mask) != 0) channel->Write(settings, text, length);
  }
}

EfiStatus DebugPrintInitWith(const DebugSettings& settings, const DebugOutputChannel* const* channels) {
  if (!AnyChannelEnabled(settings, channels)) return EFI_SUCCESS;
  for (; *channels != nullptr; ++channels)
    if ((*channels)->IsEnabled(settings)) (*channels)->Init(settings);
  return EFI_SUCCESS;
}
