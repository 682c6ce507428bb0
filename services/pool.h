// Pool memory for the shared-service libraries.
#pragma once
#include "uefi/base.h"

// 16 bytes of runtime-services-data pool memory, cleared; null when the
// firmware refuses the allocation.
void* PoolAllocRuntimeZeroed();
