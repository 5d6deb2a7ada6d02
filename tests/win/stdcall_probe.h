// Calls a function pointer the way a host compiled for the Windows API
// calling convention does, and reports whether the callee removed exactly
// its own arguments from the stack. A compiler would hide a mismatch by
// restoring the stack from its frame pointer; this call does not.
#pragma once

#include <cstdint>
#include <initializer_list>

// One argument of an export: an integer or a pointer, a machine word wide.
using ArgWord = uintptr_t;

template <typename T>
inline ArgWord arg(T* p) {
  return reinterpret_cast<ArgWord>(p);
}

// Only 32-bit Windows has a second calling convention, and this probe is i386 code.
#if defined(__i386__)
struct StdcallOutcome {
  uint32_t result;    // EAX
  int32_t stack_error;  // bytes the callee left on (+) or took off (-) the stack beyond its arguments
};

inline StdcallOutcome call_stdcall(const void* fn, std::initializer_list<ArgWord> args) {
  uint32_t copy[16] = {};
  uint32_t n = 0;
  for (ArgWord a : args) copy[n++] = a;
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
#else
// x86-64 Windows has one calling convention: up to four integer or pointer
// arguments travel in registers as whole words, an int result comes back in EAX.
inline uint32_t call_x64(const void* fn, std::initializer_list<ArgWord> args) {
  const ArgWord* a = args.begin();
  void* f = const_cast<void*>(fn);
  switch (args.size()) {
    case 0: return static_cast<uint32_t>(reinterpret_cast<ArgWord (*)()>(f)());
    case 1: return static_cast<uint32_t>(reinterpret_cast<ArgWord (*)(ArgWord)>(f)(a[0]));
    case 2: return static_cast<uint32_t>(reinterpret_cast<ArgWord (*)(ArgWord, ArgWord)>(f)(a[0], a[1]));
    case 3:
      return static_cast<uint32_t>(reinterpret_cast<ArgWord (*)(ArgWord, ArgWord, ArgWord)>(f)(a[0], a[1], a[2]));
    default:
      return static_cast<uint32_t>(
          reinterpret_cast<ArgWord (*)(ArgWord, ArgWord, ArgWord, ArgWord)>(f)(a[0], a[1], a[2], a[3]));
  }
}
#endif
