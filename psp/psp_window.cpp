#include "psp/psp_window.h"

// The window is placed by the fabric MMIO allocator once that is built; until then nothing is placed.
void PspBarInitEarlyV2() {}
