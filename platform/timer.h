// The processor's time-stamp counter and the spin-wait hint: what a timed wait
// needs, and all the fatal trap's display loop takes from the primitives.
#pragma once
#include <stdint.h>

uint64_t TscRead();
void SpinPause();
