// Register access primitives and memory helpers.
#include <array>
#include <numeric>

#include "diag/trap.h"
#include "platform/access.h"
#include "platform/mem.h"
#include "tests/support/platform_fixture.h"

namespace {

// A platform whose agent takes traps over, so a bad argument returns to the caller.
sim::Scenario WithAgent(const std::string& more = "") {
  return test::Scenario("[agent]\npresent = true\n[ports]\n0x60 = 0x89ABCDEF\n" + more);
}

TEST(WidthCodes, HighBitFormsAccessExactlyLikeThePlainOnes) {
  sim::Platform p(WithAgent());
  const uint64_t cell = p.memory().PoolAlloc(16);
  struct Case {
    uint32_t code;
    uint8_t bytes;
  } cases[] = {{1, 1}, {0x81, 1}, {2, 2}, {0x82, 2}, {3, 4}, {0x83, 4}};
  for (const Case& c : cases) {
    const size_t before = p.hardware().Log().size();
    std::array<uint8_t, 8> dest;
    dest.fill(0x5A);
    p.Run([&] { PortReadWidth(c.code, 0x60, dest.data()); });
    ASSERT_EQ(p.hardware().Log().size(), before + 1) << "exactly one access";
    const sim::Access& a = p.hardware().Log().back();
    EXPECT_EQ(a.kind, sim::AccessKind::Port);
    EXPECT_EQ(a.width, c.bytes);
    for (size_t i = 0; i < 8; ++i)
      EXPECT_EQ(dest[i], i < c.bytes ? uint8_t(0x89ABCDEFu >> (8 * i)) : 0x5A) << "byte " << i;

    // A store of exactly that width leaves its neighbours alone.
    std::memset(p.memory().Host(cell), 0xEE, 16);
    const uint32_t source = 0x11223344;
    p.Run([&] { MemWriteWidth(c.code, cell + 4, &source); });
    EXPECT_EQ(p.hardware().Log().back().width, c.bytes);
    for (size_t i = 0; i < 16; ++i) {
      uint8_t expect = (i >= 4 && i < 4u + c.bytes) ? uint8_t(source >> (8 * (i - 4))) : 0xEE;
      EXPECT_EQ(p.memory().Host(cell)[i], expect) << "byte " << i;
    }
    uint32_t readBack = 0;
    p.Run([&] { MemReadWidth(c.code, cell + 4, &readBack); });
    EXPECT_EQ(readBack, source & uint32_t((1ull << (8 * c.bytes)) - 1));
    p.Run([&] { PortWriteWidth(c.code, 0x70, &source); });
    EXPECT_EQ(p.hardware().Log().back().width, c.bytes);
  }
}

TEST(WidthCodes, UnknownCodesTrapAndTouchNothing) {
  sim::Platform p(WithAgent());
  for (uint32_t code : {0u, 4u, 0x80u, 0x84u, 0x101u, 0xFFFFFFFFu}) {
    struct Op {
      void (*call)(uint32_t, uint8_t*);
      uint32_t trap;
    } ops[] = {
        {[](uint32_t w, uint8_t* b) { PortReadWidth(w, 0x60, b); }, 0x10134},
        {[](uint32_t w, uint8_t* b) { PortWriteWidth(w, 0x60, b); }, 0x10171},
        {[](uint32_t w, uint8_t* b) { MemReadWidth(w, 0xF0000000, b); }, 0x10274},
        {[](uint32_t w, uint8_t* b) { MemWriteWidth(w, 0xF0000000, b); }, 0x10314},
    };
    for (const Op& op : ops) {
      const size_t trapsBefore = p.hardware().TrapCodes().size();
      const auto countsBefore = p.hardware().Counts();
      std::array<uint8_t, 4> buffer = {1, 2, 3, 4};
      p.Run([&] { op.call(code, buffer.data()); });
      ASSERT_EQ(p.hardware().TrapCodes().size(), trapsBefore + 1);
      EXPECT_EQ(p.hardware().TrapCodes().back(), op.trap);
      auto counts = p.hardware().Counts();
      EXPECT_EQ(counts[int(sim::AccessKind::Mmio)], countsBefore[int(sim::AccessKind::Mmio)]);
      EXPECT_EQ(counts[int(sim::AccessKind::Memory)], countsBefore[int(sim::AccessKind::Memory)]);
      // The trap's own two port writes, and no others.
      EXPECT_EQ(counts[int(sim::AccessKind::Port)], countsBefore[int(sim::AccessKind::Port)] + 2);
      EXPECT_EQ(buffer, (std::array<uint8_t, 4>{1, 2, 3, 4}));
    }
  }
}

TEST(FabricConfigRead, AddressesOnBusZero) {
  sim::Platform p(WithAgent());
  struct Case {
    uint64_t socket, die, function, offset, address;
  } cases[] = {
      {0, 0, 0, 0, 0xF00C0000}, {1, 3, 7, 0x3FC, 0xF00FF3FC}, {0, 1, 2, 0x84, 0xF00CA084}, {1, 0, 0, 0x40, 0xF00E0040}};
  for (const Case& c : cases) {
    p.Run([&] { FabricConfigRead(c.socket, c.die, c.function, c.offset); });
    const sim::Access& a = p.hardware().Log().back();
    EXPECT_EQ(a.address, c.address);
    EXPECT_EQ(a.width, 4);
    EXPECT_FALSE(a.write);
  }
  EXPECT_TRUE(p.hardware().TrapCodes().empty());
}

TEST(FabricConfigRead, ChecksInOrderAndStillReadsWithinBusZero) {
  sim::Platform p(WithAgent());
  struct Case {
    uint64_t socket, die, function, offset;
    std::vector<uint32_t> traps;
  } cases[] = {
      {0, 0, 0, 0x400, {0xDF030126}},
      {0, 0, 0, 0x3FE, {0xDF030127}},
      {2, 4, 8, 0x401, {0xDF030123, 0xDF030124, 0xDF030125, 0xDF030126, 0xDF030127}},
      {~0ull, 0, 0, 0, {0xDF030123}},
  };
  for (const Case& c : cases) {
    const size_t before = p.hardware().TrapCodes().size();
    p.Run([&] { FabricConfigRead(c.socket, c.die, c.function, c.offset); });
    std::vector<uint32_t> traps(p.hardware().TrapCodes().begin() + long(before), p.hardware().TrapCodes().end());
    EXPECT_EQ(traps, c.traps);
    const sim::Access& a = p.hardware().Log().back();
    EXPECT_EQ(a.kind, sim::AccessKind::Mmio);
    EXPECT_GE(a.address, 0xF0000000u);
    EXPECT_LT(a.address, 0xF0100000u) << "bus 0 only";
  }
}

TEST(ProcessorRegisters, MsrCpuidAndDebugRegisters) {
  sim::Platform p(test::Scenario("[msr]\n0xC001100A = 0x10\n[cpuid]\n0x80000001 = [0x00800F12, 2, 3, 4]\n"));
  p.Run([&] {
    EXPECT_EQ(MsrOrWrite(0xC001100A, 0), 0x10u);
    EXPECT_EQ(MsrOrWrite(0xC001100A, 1), 0x11u);
    EXPECT_EQ(MsrRead(0xC001100A), 0x11u);
    EXPECT_EQ(CpuidQuery(0x80000001, nullptr, nullptr, nullptr, nullptr), 0x80000001u);
    uint32_t a = 0, d = 0;
    CpuidQuery(0x80000001, &a, nullptr, nullptr, &d);
    EXPECT_EQ(a, 0x00800F12u);
    EXPECT_EQ(d, 4u);
    EXPECT_EQ(Dr2Write(0x99CC), 0x99CCu);
    EXPECT_EQ(Dr2Read(), 0x99CCu);
    EXPECT_EQ(Cr4Write(Cr4Read() | 8), 0x668u);
  });
  // MsrOrWrite with mask 0 wrote the value it read back unchanged.
  auto msr = test::Writes(p.hardware(), sim::AccessKind::Msr);
  ASSERT_EQ(msr.size(), 2u);
  EXPECT_EQ(msr[0].value, 0x10u);
  // CPUID enters with the leaf in ECX as well.
  EXPECT_EQ(test::Accesses(p.hardware(), sim::AccessKind::Cpuid)[0].value, 0x80000001u);
}

TEST(MemoryHelpers, CopyHandlesOverlapBothWays) {
  std::array<uint8_t, 32> buf;
  auto fill = [&] { std::iota(buf.begin(), buf.end(), uint8_t(1)); };
  fill();
  EXPECT_EQ(MemCopyRaw(buf.data() + 3, buf.data(), 10), buf.data() + 3);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(buf[3 + i], i + 1) << "backward path, byte " << i;
  fill();
  MemCopyRaw(buf.data(), buf.data() + 3, 10);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(buf[i], i + 4) << "forward path, byte " << i;
  EXPECT_EQ(buf[10], 11);
  // Longer overlapping copies cross the eight-byte units.
  for (size_t shift : {1u, 7u, 8u, 9u}) {
    for (size_t len : {8u, 15u, 17u, 20u}) {
      fill();
      std::array<uint8_t, 32> ref = buf;
      MemCopyRaw(buf.data() + shift, buf.data(), len);
      std::memmove(ref.data() + shift, ref.data(), len);
      EXPECT_EQ(buf, ref) << "up " << shift << " " << len;
      fill();
      ref = buf;
      MemCopyRaw(buf.data(), buf.data() + shift, len);
      std::memmove(ref.data(), ref.data() + shift, len);
      EXPECT_EQ(buf, ref) << "down " << shift << " " << len;
    }
  }
  // The source's last byte is the destination's first: one byte of overlap
  // still needs the backward copy.
  for (size_t len : {2u, 5u, 9u, 16u}) {
    fill();
    std::array<uint8_t, 32> ref = buf;
    MemCopyRaw(buf.data() + len - 1, buf.data(), len);
    std::memmove(ref.data() + len - 1, ref.data(), len);
    EXPECT_EQ(buf, ref) << "one byte of overlap, " << len;
  }
  // Length 0 and a copy onto itself return the destination and touch nothing.
  fill();
  std::array<uint8_t, 32> before = buf;
  EXPECT_EQ(MemCopy(buf.data() + 1, buf.data(), 0), buf.data() + 1);
  EXPECT_EQ(MemCopy(buf.data(), buf.data(), 32), buf.data());
  EXPECT_EQ(buf, before);
}

TEST(MemoryHelpers, ZeroAndFillsStayInsideTheirRange) {
  std::array<uint8_t, 24> buf;
  buf.fill(0xCC);
  EXPECT_EQ(MemZero(buf.data() + 1, 13), buf.data() + 1);
  for (size_t i = 0; i < buf.size(); ++i) EXPECT_EQ(buf[i], (i >= 1 && i < 14) ? 0 : 0xCC) << i;
  buf.fill(0xCC);
  MemFill8(buf.data() + 2, 5, 0x1A5);
  for (size_t i = 0; i < buf.size(); ++i) EXPECT_EQ(buf[i], (i >= 2 && i < 7) ? 0xA5 : 0xCC) << i;
  buf.fill(0xCC);
  MemFill32(buf.data() + 1, 2, 0x11223344);
  EXPECT_EQ(buf[0], 0xCC);
  EXPECT_EQ(buf[1], 0x44);
  EXPECT_EQ(buf[8], 0x11);
  EXPECT_EQ(buf[9], 0xCC);
  buf.fill(0xCC);
  MemFill64(buf.data(), 2, 0x0102030405060708);
  EXPECT_EQ(buf[0], 0x08);
  EXPECT_EQ(buf[15], 0x01);
  EXPECT_EQ(buf[16], 0xCC);
}

}  // namespace
