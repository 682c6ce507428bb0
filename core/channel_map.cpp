#include "core/meminfo.h"

// Not built yet: the record carries no channel map.
EfiStatus ChannelMapBuild() { return EFI_UNSUPPORTED; }
