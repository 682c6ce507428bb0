// Plain memory helpers. None of them checks anything or calls a service, so they
// work before any firmware service is available and inside the fatal trap.
#pragma once
#include <stdint.h>

void* MemCopy(void* destination, const void* source, uint64_t length);
void* MemCopyRaw(void* destination, const void* source, uint64_t length);
void* MemZero(void* buffer, uint64_t length);
void* MemFill8(void* buffer, uint64_t length, uint64_t value);
void* MemFill32(void* buffer, uint64_t count, uint32_t value);
void* MemFill64(void* buffer, uint64_t count, uint64_t value);
