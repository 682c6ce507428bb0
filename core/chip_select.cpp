#include "core/meminfo.h"

// Not built yet: the record carries no chip-select table.
EfiStatus ChipSelectTableBuild() { return EFI_UNSUPPORTED; }
