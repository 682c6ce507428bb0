// Every register the driver reads or writes, pinned to the numbers of the design:
// where it lies, its width and each field's position, written here by hand. The
// driver and the platform's models share one definition, so a wrong definition
// would pass every other test; this table is what it must agree with.
#include <gtest/gtest.h>

#include "platform/register.h"
#include "psp/drux.h"
#include "psp/flash.h"

namespace {

// A field at bits [lsb, lsb + width).
template <typename F>
void ExpectField(const char* name, unsigned lsb, unsigned width) {
  EXPECT_EQ(F::kLsb, lsb) << name << ": lowest bit";
  EXPECT_EQ(F::kWidth, width) << name << ": width";
}
#define PIN_FIELD(F, lsb, width) ExpectField<F>(#F, lsb, width)

template <typename R>
void ExpectRegister(const char* name, uint64_t at, unsigned width) {
  EXPECT_EQ(R::kAt, at) << name << ": where it lies";
  EXPECT_EQ(R::kWidth, width) << name << ": width";
}
#define PIN_REGISTER(R, at, width) ExpectRegister<R>(#R, at, width)

}  // namespace

TEST(Registers, FieldsEncodeAndDecodeInPlace) {
  struct R : reg::Register<uint32_t, 0x44> {
    using Low = Bit<0>;
    using Middle = Bits<23, 16>;
    using Top = Bits<31, 24>;
  };
  PIN_REGISTER(R, 0x44, 32);
  PIN_FIELD(R::Middle, 16, 8);
  static_assert(R::Middle::kMask == 0x00FF0000u && R::Top::kMax == 0xFF);
  EXPECT_EQ(R::Middle::Get(0x12345678u), 0x34u);
  EXPECT_EQ(R::Middle::Of(0x1AB), 0x00AB0000u);  // bits beyond the field dropped
  EXPECT_EQ(R::Middle::Set(0xFFFFFFFFu, 0), 0xFF00FFFFu);
  EXPECT_TRUE(R::Low::IsSet(0x1));
  EXPECT_FALSE(R::Low::IsSet(0x2));
  struct W64 : reg::Register<uint64_t, 0xC0000000> {
    using High = Bits<63, 32>;
  };
  EXPECT_EQ(W64::High::Get(0xDEADBEEF00000000ull), 0xDEADBEEFull);
  EXPECT_EQ(W64::kWidth, 64u);
}

// The fabric and processor registers.

// The memory channels' registers.

// The flash directories' and DRUX headers' fields.

TEST(Registers, FlashDirectoryFields) {
  PIN_REGISTER(BiosEntryTypeWord, 0x0, 32);
  PIN_FIELD(BiosEntryTypeWord::Type, 0, 8);
  PIN_FIELD(BiosEntryTypeWord::Flags, 8, 24);
  // The layouts around them: entry table, directory header, entries, combo directory.
  EXPECT_EQ(offsetof(FirmwareEntryTable, PspDirectory), 0x14u);
  EXPECT_EQ(offsetof(FirmwareEntryTable, BiosDirectory), 0x18u);
  EXPECT_EQ(offsetof(FlashDirectoryHeader, Checksum), 0x4u);
  EXPECT_EQ(offsetof(FlashDirectoryHeader, Count), 0x8u);
  EXPECT_EQ(sizeof(FlashDirectoryHeader), 0x10u);
  EXPECT_EQ(offsetof(BiosDirectoryEntry, Size), 0x4u);
  EXPECT_EQ(offsetof(BiosDirectoryEntry, Source), 0x8u);
  EXPECT_EQ(offsetof(BiosDirectoryEntry, Destination), 0x10u);
  EXPECT_EQ(sizeof(BiosDirectoryEntry), 0x18u);
  EXPECT_EQ(sizeof(ComboDirectoryHeader), 0x20u);
  EXPECT_EQ(offsetof(ComboDirectoryEntry, ProcessorId), 0x4u);
  EXPECT_EQ(offsetof(ComboDirectoryEntry, PspDirectory), 0x8u);
  EXPECT_EQ(sizeof(ComboDirectoryEntry), 0x10u);
}

TEST(Registers, DruxFields) {
  PIN_REGISTER(DruxDieInstanceWord, 0x8, 32);
  PIN_FIELD(DruxDieInstanceWord::Die, 0, 8);
  PIN_FIELD(DruxDieInstanceWord::Socket, 8, 24);
  EXPECT_EQ(DruxDieInstance(1, 3), 0x103u);
  EXPECT_EQ(offsetof(DruxBlockHeader, Version), 0x4u);
  EXPECT_EQ(offsetof(DruxBlockHeader, Size), 0x8u);
  EXPECT_EQ(offsetof(DruxBlockHeader, EntryOffset), 0xCu);
  EXPECT_EQ(offsetof(DruxEntry, TypeId), 0x4u);
  EXPECT_EQ(offsetof(DruxEntry, Instance), 0x8u);
  EXPECT_EQ(offsetof(DruxEntry, EntrySize), 0xCu);
  EXPECT_EQ(sizeof(DruxEntry), 0x10u);
}
