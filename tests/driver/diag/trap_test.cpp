// The fatal trap: what reaches the post-code port, the agent, and the display loop.
#include "diag/trap.h"
#include "tests/support/platform_fixture.h"

namespace {

// The current P-state is 5 (status 0xD: only bits 2:0 count), defined at 0xC0010069.
std::string PState(uint64_t definition, uint64_t pauseTicks = 1000000000) {
  char text[256];
  std::snprintf(text, sizeof text,
                "[msr]\n0xC0010063 = 0xD\n0xC0010069 = 0x%llX\n[cpu]\ntsc_per_read = 1\npause_ticks = %llu\n",
                static_cast<unsigned long long>(definition), static_cast<unsigned long long>(pauseTicks));
  return text;
}

std::vector<sim::Access> PortWrites(const sim::Platform& p) {
  return test::Writes(const_cast<sim::Platform&>(p).hardware(), sim::AccessKind::Port);
}

TEST(FatalTrap, MarksTheCodeBeforeAskingTheAgent) {
  sim::Platform p(test::Scenario("[agent]\npresent = true\nanswer = 7\n"));
  bool result = true, expr = false;
  ASSERT_TRUE(p.Run([&] {
    result = FatalTrap(0x20320401);
    expr = FatalTrapExpr(0x00070177);
  }));
  EXPECT_FALSE(result);
  EXPECT_TRUE(expr);
  const auto& log = p.hardware().Log();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[0].kind, sim::AccessKind::Port);
  EXPECT_EQ(log[0].address, 0xE0u);
  EXPECT_EQ(log[0].width, 2);
  EXPECT_EQ(log[0].value, 0xDEADu);
  EXPECT_EQ(log[1].address, 0x80u);
  EXPECT_EQ(log[1].width, 4);
  EXPECT_EQ(log[1].value, 0x20320401u);
  EXPECT_EQ(log[2].kind, sim::AccessKind::TrapQuery);
  EXPECT_EQ(log[2].address, 0x20320401u);
  EXPECT_EQ(p.hardware().TrapCodes(), (std::vector<uint32_t>{0x20320401, 0x00070177}));
  EXPECT_FALSE(p.hardware().Halted());
}

TEST(FatalTrap, OnlyTheLowSixteenBitsOfTheAnswerCount) {
  {
    sim::Platform p(test::Scenario("[agent]\npresent = true\nanswer = 0x12345\n"));
    EXPECT_TRUE(p.Run([] { EXPECT_FALSE(FatalTrap(1)); }));
  }
  sim::Platform p(test::Scenario("[agent]\npresent = true\nanswer = 0x10000\n" + PState(0x0101)));
  EXPECT_FALSE(p.Run([] { FatalTrap(1); })) << "an answer of zero in SI leaves the trap in its loop";
  EXPECT_TRUE(p.hardware().Halted());
}

TEST(FatalTrap, WithoutAnAgentTheDisplayScrollsTheCode) {
  sim::Platform p(test::Scenario(PState(0x0101)));
  EXPECT_FALSE(p.Run([] { FatalTrap(0x20320401); }));
  EXPECT_TRUE(p.hardware().Halted());
  EXPECT_EQ(p.hardware().HaltCode(), 0x20320401u);
  const std::vector<uint32_t> cycle = {0x010000DE, 0x0000DEAD, 0x00DEAD20, 0xDEAD2032, 0xAD203204, 0x20320401};
  std::vector<uint32_t> twice = cycle;
  twice.insert(twice.end(), cycle.begin(), cycle.end());
  EXPECT_EQ(p.hardware().HaltDisplay(), twice);
  // Every display write is a 32-bit OUT to port 0x80, after the marker and the code.
  auto writes = PortWrites(p);
  ASSERT_EQ(writes.size(), 14u);
  for (size_t i = 2; i < writes.size(); ++i) {
    EXPECT_EQ(writes[i].address, 0x80u);
    EXPECT_EQ(writes[i].width, 4);
  }
}

TEST(FatalTrap, CodeZeroShowsTheMarkerThenZeros) {
  sim::Platform p(test::Scenario(PState(0x0101)));
  p.Run([] { FatalTrap(0); });
  std::vector<uint32_t> low;
  for (size_t i = 0; i < 6; ++i) low.push_back(p.hardware().HaltDisplay()[i] & 0xFF);
  EXPECT_EQ(low, (std::vector<uint32_t>{0xDE, 0xAD, 0, 0, 0, 0}));
}

TEST(FatalTrap, StepWaitFollowsTheCurrentPState) {
  EXPECT_EQ(TrapDisplayWait(0x0010), 16 * 500000000ull) << "a divisor of 0 counts as 1";
  EXPECT_EQ(TrapDisplayWait(0x0110), 16 * 500000000ull);
  EXPECT_EQ(TrapDisplayWait(0x0210), 8 * 500000000ull);
  EXPECT_EQ(TrapDisplayWait(0x0503), 0u) << "m below d waits no ticks";
  EXPECT_EQ(TrapDisplayWait(0xFFFF0000000001FFull), 255 * 500000000ull) << "only bits 13:0 count";
  EXPECT_EQ(TrapDisplayWait(0xC210), 8 * 500000000ull) << "bits 15:14 are no part of the divisor";

  // With a counter that gains 1 per read and 2e9 per spin, a wait of 8e9 ticks
  // takes four spins per step, 4e9 two, and no wait none. With 5e8 - 2 per
  // spin, the read after the first spin lands exactly on start + 5e8, which is
  // not past it yet: a second spin.
  struct Case {
    uint64_t definition, pauseTicks;
    size_t spinsPerStep;
  } cases[] = {{0x0010, 2000000000, 4}, {0xC210, 2000000000, 2}, {0x0503, 2000000000, 0}, {0x0101, 499999998, 2}};
  for (const Case& c : cases) {
    sim::Platform p(test::Scenario(PState(c.definition, c.pauseTicks)));
    p.Run([] { FatalTrap(0x1234); });
    size_t spins = test::Accesses(p.hardware(), sim::AccessKind::Pause).size();
    // Eleven full steps happened before the twelfth display write stopped the run.
    EXPECT_EQ(spins, 11 * c.spinsPerStep) << std::hex << c.definition;
    // Each step reads the P-state status and then the definition of that state.
    auto msrs = test::Accesses(p.hardware(), sim::AccessKind::Msr);
    ASSERT_GE(msrs.size(), 2u);
    EXPECT_EQ(msrs[0].address, 0xC0010063u);
    EXPECT_EQ(msrs[1].address, 0xC0010069u);
  }
}

TEST(FatalTrap, AHaltedPlatformRunsNothingMore) {
  sim::Platform p(test::Scenario(test::Dies({0}) + PState(0x0101) + "[boot]\nevents = [\"ready_to_boot\"]\n"));
  EXPECT_FALSE(p.Run([] { FatalTrap(5); }));
  EXPECT_FALSE(p.Run([] { ADD_FAILURE() << "ran after the halt"; }));
}

}  // namespace
