// Calls a function pointer the way a host compiled for the Windows API
// calling convention does, and reports whether the callee removed exactly
// its own arguments from the stack. A compiler would hide a mismatch by
// restoring the stack from its frame pointer; this call does not.
#pragma once

#include <cstdint>
#include <initializer_list>

struct StdcallOutcome {
  uint32_t result;    // EAX
  int32_t stack_error;  // bytes the callee left on (+) or took off (-) the stack beyond its arguments
};

inline StdcallOutcome call_stdcall(const void* fn, std::initializer_list<uint32_t> args) {
  uint32_t copy[16] = {};
  uint32_t n = 0;
  for (uint32_t a : args) copy[n++] = a;
  uint32_t result, before, after;
  uint32_t* args_ptr = copy;  // in EDX, which the call clobbers
  asm volatile(
      "mov %%esp, %%esi\n\t"
      "mov %[n], %%ecx\n\t"
      "1:\n\t"
      "test %%ecx, %%ecx\n\t"
      "jz 2f\n\t"
      "push -4(%[a],%%ecx,4)\n\t"
      "dec %%ecx\n\t"
      "jmp 1b\n\t"
      "2:\n\t"
      "call *%[f]\n\t"
      "mov %%esp, %%edi\n\t"
      "mov %%esi, %%esp\n\t"
      : "=a"(result), "=&S"(before), "=&D"(after), [a] "+d"(args_ptr)
      : [f] "b"(fn), [n] "m"(n)
      : "ecx", "memory", "cc");
  // Caller-removed (cdecl) arguments would leave after == before - 4n.
  return StdcallOutcome{result, static_cast<int32_t>(before - after)};
}

template <typename T>
inline uint32_t arg(T* p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}
