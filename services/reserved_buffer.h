// Buffers of reserved memory for the data the driver publishes (the record, the
// channel map snapshot, the chip-select table): they outlive the boot services.
#pragma once
#include "uefi/base.h"

// A zero-filled buffer of reserved memory; on failure the allocation's status,
// or EFI_OUT_OF_RESOURCES when it gave no buffer.
EfiStatus ReservedBufferAllocate(uint64_t size, void** buffer);
