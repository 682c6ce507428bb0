#include "sim/board/platform_stack.h"

#include <exception>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SIM_ASAN 1
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#endif

// CallOnStack(stackTop, function, argument): switches to the new stack, calls
// function(argument) there, and switches back. The frame pointer holds the old
// stack, which is also what the unwind information describes.
asm(R"(
  .text
  .globl sim_CallOnStack
  .type sim_CallOnStack, @function
sim_CallOnStack:
  .cfi_startproc
  pushq %rbp
  .cfi_def_cfa_offset 16
  .cfi_offset %rbp, -16
  movq %rsp, %rbp
  .cfi_def_cfa_register %rbp
  andq $-16, %rdi
  movq %rdi, %rsp
  movq %rdx, %rdi
  callq *%rsi
  movq %rbp, %rsp
  popq %rbp
  .cfi_def_cfa %rsp, 8
  retq
  .cfi_endproc
  .size sim_CallOnStack, .-sim_CallOnStack
)");

extern "C" void sim_CallOnStack(uint64_t stackTop, void (*function)(void*), void* argument);

namespace sim {

namespace {

bool gOnPlatformStack = false;

struct Call {
  const std::function<void()>* fn;
  std::exception_ptr error;
  uint64_t base, size;
  const void* hostBottom = nullptr;
  size_t hostSize = 0;
};

void Trampoline(void* argument) {
  auto* call = static_cast<Call*>(argument);
#ifdef SIM_ASAN
  __sanitizer_finish_switch_fiber(nullptr, &call->hostBottom, &call->hostSize);
#endif
  gOnPlatformStack = true;
  try {
    (*call->fn)();
  } catch (...) {
    call->error = std::current_exception();
  }
  gOnPlatformStack = false;
#ifdef SIM_ASAN
  __sanitizer_start_switch_fiber(nullptr, call->hostBottom, call->hostSize);
#endif
}

}  // namespace

bool OnPlatformStack() { return gOnPlatformStack; }

void RunOnPlatformStack(uint64_t base, uint64_t size, const std::function<void()>& fn) {
  if (gOnPlatformStack) {
    fn();
    return;
  }
  Call call{&fn, nullptr, base, size};
#ifdef SIM_ASAN
  __sanitizer_start_switch_fiber(nullptr, reinterpret_cast<const void*>(base), size);
#endif
  sim_CallOnStack(base + size, Trampoline, &call);
#ifdef SIM_ASAN
  __sanitizer_finish_switch_fiber(nullptr, nullptr, nullptr);
  __asan_unpoison_memory_region(reinterpret_cast<void*>(base), size);
#endif
  if (call.error) std::rethrow_exception(call.error);
}

}  // namespace sim
