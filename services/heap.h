// Heap buffers shared between the package's drivers.
#pragma once
#include "uefi/base.h"

EfiStatus HeapListInit();
