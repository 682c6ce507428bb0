// Registers as types. A register is defined once: its word type, where it lies
// (a configuration-space offset, an MSR number, an internal index, a byte offset
// in a structure) and its named bit fields. The driver decodes with the same
// definitions the platform's device models encode with, so a field cannot be
// read one way and written another. Everything is constexpr and compiles to the
// shifts and masks one would write by hand.
//
//   struct BusRange : reg::Register<uint32_t, 0xA0> {
//     using ReadEnable = Bit<0>;
//     using BusBase = Bits<23, 16>;
//   };
//   if (BusRange::ReadEnable::IsSet(word)) base = BusRange::BusBase::Get(word);
//   word = BusRange::BusBase::Of(base) | BusRange::ReadEnable::kMask;   // encoding
#pragma once
#include <stdint.h>

namespace reg {

// Bits Msb down to Lsb of a Word.
template <typename W, unsigned Msb, unsigned Lsb>
struct Field {
  static_assert(Lsb <= Msb && Msb < 8 * sizeof(W), "a field lies within its word");
  using Word = W;
  static constexpr unsigned kLsb = Lsb;
  static constexpr unsigned kWidth = Msb - Lsb + 1;
  // The field's largest value, and its bits in place in the word.
  static constexpr W kMax = W(W(~W{0}) >> (8 * sizeof(W) - kWidth));
  static constexpr W kMask = W(kMax << Lsb);

  // The field's value in `word`.
  static constexpr W Get(W word) { return W(word >> Lsb) & kMax; }
  // `value` in the field's place (bits beyond the field dropped), for OR-ing
  // fields into a word.
  static constexpr W Of(W value) { return W(W(value & kMax) << Lsb); }
  // `word` with the field replaced by `value`.
  static constexpr W Set(W word, W value) { return W(W(word & W(~kMask)) | Of(value)); }
  // Whether any of the field's bits is set (for a one-bit field: the flag).
  static constexpr bool IsSet(W word) { return (word & kMask) != 0; }
};

// A register of word type W at `At`: what `At` counts is the register kind's
// own (an offset, an MSR number, an index). Fields are declared inside with
// Bits<Msb, Lsb> and Bit<N>.
template <typename W, uint64_t At>
struct Register {
  using Word = W;
  static constexpr uint64_t kAt = At;
  static constexpr unsigned kWidth = 8 * sizeof(W);
  template <unsigned Msb, unsigned Lsb>
  using Bits = Field<W, Msb, Lsb>;
  template <unsigned N>
  using Bit = Field<W, N, N>;
};

}  // namespace reg
