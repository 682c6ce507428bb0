// The address sanitizer's defaults for every fuzz target (ASAN_OPTIONS, as the
// engine's runners set it, still overrides them). A boot allocates and frees
// many small objects; with the default 256 MiB quarantine each allocation
// lands on a page the process has not touched yet, and most of an input's
// system time was those page faults. 16 MiB keeps a freed block out of reuse
// for many thousands of allocations, which is what a use after free within one
// input needs. Allocation stacks of 5 frames are enough to find the owner;
// recording 30 on every allocation was a twentieth of an input's time.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16:malloc_context_size=5"; }
