// Text format engine: turns a format string and a list of 8-byte argument
// slots into text in a caller-supplied, bounded buffer.
//
// Conversions: %a (8-bit string), %s / %S (16-bit string), %c (16-bit
// character), %d %u %x %X %p (numbers, upper-case hex), %g (GUID), %t (time),
// %r (firmware status as text). Flags: - + space , l L . * and digits.
// Every line feed in the format comes out as carriage return + line feed.
//
// Freestanding: no heap, no global state, no library calls.
#pragma once

#include <stdint.h>

// Control word bits; every other bit is ignored.
constexpr uint32_t FORMAT_WIDE_OUTPUT = 0x40;   // output units are 16-bit little-endian
constexpr uint32_t FORMAT_WIDE_FORMAT = 0x100;  // the format string is made of 16-bit units
constexpr uint32_t FORMAT_COUNT_ONLY = 0x2000;  // store nothing, return the full length

// An argument list: one 8-byte slot per argument. Slots past Count read as 0,
// so a format that asks for more arguments than were passed never reads
// outside the list (a missing pointer prints its null placeholder).
struct FormatArgList {
  const uint64_t* Slots;
  uint64_t Count;
};

// Formats into Buffer, whose size is counted in output units (bytes, or
// 16-bit units with FORMAT_WIDE_OUTPUT). At most BufferSize - 1 units are
// stored, followed by one zero unit; a size of 0 stores nothing. Returns the
// number of units stored without the terminator, or with FORMAT_COUNT_ONLY the
// number of units the whole format produces (Buffer and BufferSize are then
// not used and may be null and 0).
uint64_t FormatCore(void* Buffer, uint64_t BufferSize, uint32_t Control, const void* Format,
                    FormatArgList Args);

// FormatCore with a control word of 0: byte format, byte output, storing.
uint64_t FormatList(char* Buffer, uint64_t BufferSize, const char* Format, FormatArgList Args);

// Stores Character Count times from Position on, Step bytes each (1: the low
// byte; any other value: 2, low byte then high byte), never at or past End and
// never a partial unit. A Count of zero or less stores nothing. Returns the
// position after the last store.
uint8_t* FormatFill(uint8_t* Position, uint8_t* End, int64_t Count, uint16_t Character,
                    uint32_t Step);

// Status texts for %r, indexed by the status value without its top bit.
// StatusErrorText[0] is null (no error has the number 0).
extern const char* const StatusWarningText[6];
extern const char* const StatusErrorText[34];

// Packing of one argument into one slot. Signed integers are sign-extended,
// unsigned ones zero-extended; bool gives 0 or 1; character types are
// character codes and are zero-extended; an enum is packed as its underlying
// type; a pointer as its address; nullptr as 0. Anything else (floating
// point, records passed by value) is refused at compile time.
template <class A, class B>
struct FormatSameType {
  static constexpr bool Value = false;
};
template <class A>
struct FormatSameType<A, A> {
  static constexpr bool Value = true;
};

template <class T>
constexpr uint64_t FormatSlot(T Value) {
  static_assert(!__is_class(T) && !__is_union(T), "a format argument must be an integer, enum or pointer");
  if constexpr (__is_class(T) || __is_union(T)) {
    return 0;
  } else if constexpr (__is_enum(T)) {
    return FormatSlot(static_cast<__underlying_type(T)>(Value));
  } else if constexpr (FormatSameType<T, bool>::Value) {
    return Value ? 1u : 0u;
  } else if constexpr (FormatSameType<T, char>::Value) {
    return static_cast<uint8_t>(Value);
  } else if constexpr (FormatSameType<T, wchar_t>::Value) {
    return static_cast<uint64_t>(static_cast<uint32_t>(Value));
  } else {
    // Integer division truncates; floating-point division does not.
    static_assert(T(1) / T(2) == T(0), "a format argument must be an integer, enum or pointer");
    if constexpr (T(-1) < T(0)) {
      return static_cast<uint64_t>(static_cast<int64_t>(Value));
    } else {
      return static_cast<uint64_t>(Value);
    }
  }
}

template <class T>
inline uint64_t FormatSlot(T* Value) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(Value));
}

constexpr uint64_t FormatSlot(decltype(nullptr)) { return 0; }

// The variadic form: one slot per argument, then FormatCore.
template <class... T>
uint64_t FormatArgs(void* Buffer, uint64_t BufferSize, uint32_t Control, const void* Format, T... Args) {
  const uint64_t Slots[sizeof...(T) + 1] = {FormatSlot(Args)..., 0};
  return FormatCore(Buffer, BufferSize, Control, Format, FormatArgList{Slots, sizeof...(T)});
}
