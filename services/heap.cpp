#include "services/heap.h"

// Not built yet: the driver joins no heap list.
EfiStatus HeapListInit() { return EFI_UNSUPPORTED; }
