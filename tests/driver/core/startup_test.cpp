// The image entry's start-up order and its failure path.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/firmware_services.h"
#include "platform/probes.h"
#include "tests/support/platform_fixture.h"

namespace {

std::vector<std::string> gSteps;
EfiStatus gBodyStatus;
uint32_t gSignature;
bool gSignatureMatches, gCapsule, gDruxInfo;
uint8_t gSleepType;

const StartupSteps kRecording = {
    [] { gSteps.push_back("S3SaveLibInit"); return EFI_UNSUPPORTED; },
    [] { gSteps.push_back("HobListLocate"); },
    [] { gSteps.push_back("HeapListInit"); return EFI_OUT_OF_RESOURCES; },
    [] { gSteps.push_back("DebugPrintInit"); return EFI_SUCCESS; },
    [](uint32_t s) { gSteps.push_back("CpuSignatureMatches"); gSignature = s; return gSignatureMatches; },
    [] { gSteps.push_back("GetSleepType"); return gSleepType; },
    [] { gSteps.push_back("CapsulePending"); return gCapsule; },
    [] { gSteps.push_back("DruxInfoPresent"); return gDruxInfo; },
    [] { gSteps.push_back("DruxHobInfoInit"); },
    [](EfiHandle) { gSteps.push_back("Body"); return gBodyStatus; },
    [] { gSteps.push_back("S3SaveLibTeardown"); },
    [] { gSteps.push_back("HeapListTeardown"); },
};

class Startup : public ::testing::Test {
 protected:
  void SetUp() override {
    gSteps.clear();
    gBodyStatus = EFI_SUCCESS;
    gSignatureMatches = gCapsule = gDruxInfo = false;
    gSleepType = 0;
  }
  EfiStatus Enter() {
    EfiStatus status = 0;
    platform.Run([&] {
      status = RunImageEntry(reinterpret_cast<EfiHandle>(platform.firmware().ImageHandle()),
                             reinterpret_cast<EfiSystemTable*>(platform.firmware().SystemTable()), kRecording);
    });
    return status;
  }
  sim::Platform platform{test::Scenario("")};
};

TEST_F(Startup, RunsEveryStepInOrderAndIgnoresTheirStatus) {
  EXPECT_EQ(Enter(), EFI_SUCCESS);
  const std::vector<std::string> expected = {"S3SaveLibInit",  "HobListLocate",  "HeapListInit",
                                             "DebugPrintInit", "CpuSignatureMatches", "GetSleepType",
                                             "CapsulePending", "DruxInfoPresent", "DruxHobInfoInit", "Body"};
  EXPECT_EQ(gSteps, expected);
  EXPECT_EQ(gSignature, 0x00660F00u);
  // The service pointers were stored before any step ran.
  EXPECT_EQ(reinterpret_cast<uint64_t>(mFirmwareServices.SystemTable), platform.firmware().SystemTable());
  EXPECT_EQ(reinterpret_cast<uint64_t>(mFirmwareServices.ImageHandle), platform.firmware().ImageHandle());
  EXPECT_NE(mFirmwareServices.BootServices, nullptr);
  EXPECT_NE(mFirmwareServices.RuntimeServices, nullptr);
}

TEST_F(Startup, EachGuardSkipsTheDruxStepAndTheLaterGuards) {
  struct Case {
    bool signature, capsule, drux;
    uint8_t sleep;
    const char* lastGuard;
  } cases[] = {
      {true, false, false, 0, "CpuSignatureMatches"},
      {false, false, false, 3, "GetSleepType"},
      {false, true, false, 0, "CapsulePending"},
      {false, false, true, 0, "DruxInfoPresent"},
  };
  for (const Case& c : cases) {
    SetUp();
    gSignatureMatches = c.signature;
    gCapsule = c.capsule;
    gDruxInfo = c.drux;
    gSleepType = c.sleep;
    Enter();
    ASSERT_GE(gSteps.size(), 2u);
    EXPECT_EQ(gSteps[gSteps.size() - 2], c.lastGuard);
    EXPECT_EQ(gSteps.back(), "Body") << "the body still runs in full";
  }
  // Sleep types other than 3, the unprogrammed 0xFF among them, are a normal boot.
  for (uint8_t sleep : {0, 1, 5, 0xFF}) {
    SetUp();
    gSleepType = sleep;
    Enter();
    EXPECT_EQ(gSteps[gSteps.size() - 2], "DruxHobInfoInit") << int(sleep);
  }
}

TEST_F(Startup, TeardownRunsOnceWhenTheBodyFails) {
  for (EfiStatus failure : {EFI_OUT_OF_RESOURCES, EFI_INVALID_PARAMETER, kEfiErrorBit | 0x55}) {
    SetUp();
    gBodyStatus = failure;
    EXPECT_EQ(Enter(), failure);
    EXPECT_EQ(std::count(gSteps.begin(), gSteps.end(), "S3SaveLibTeardown"), 1);
    EXPECT_EQ(std::count(gSteps.begin(), gSteps.end(), "HeapListTeardown"), 1);
    EXPECT_EQ(gSteps.back(), "HeapListTeardown");
  }
  // A warning is not an error.
  SetUp();
  gBodyStatus = 4;
  EXPECT_EQ(Enter(), 4u);
  EXPECT_EQ(std::count(gSteps.begin(), gSteps.end(), "S3SaveLibTeardown"), 0);
  EXPECT_EQ(std::count(gSteps.begin(), gSteps.end(), "HeapListTeardown"), 0);
}

TEST(HobListLocate, TakesTheFirstMatchingConfigurationEntry) {
  sim::Platform p(test::Scenario(""));
  // Rebuild the configuration table with the HOB list in the third of four entries.
  auto& mem = p.memory();
  uint64_t table = mem.FirmwareAlloc(4 * sizeof(EfiConfigurationTable));
  const Guid other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  for (int i = 0; i < 4; ++i) {
    const Guid& g = (i == 2 || i == 3) ? kHobListGuid : other;
    mem.WriteBytes(table + 24 * i, &g, sizeof g);
    mem.Write<uint64_t>(table + 24 * i + 16, 0x1000 * (i + 1));
  }
  uint64_t st = p.firmware().SystemTable();
  mem.Write<uint64_t>(st + offsetof(EfiSystemTable, ConfigurationTable), table);
  mem.Write<uint64_t>(st + offsetof(EfiSystemTable, NumberOfTableEntries), 4);
  FirmwareServicesStore(nullptr, reinterpret_cast<EfiSystemTable*>(st));
  HobListLocate();
  EXPECT_EQ(reinterpret_cast<uint64_t>(mHobList), 0x3000u);

  mem.Write<uint64_t>(st + offsetof(EfiSystemTable, NumberOfTableEntries), 0);
  HobListLocate();
  EXPECT_EQ(mHobList, nullptr);
}

TEST(Boot, WithoutAHobListStartUpGoesOn) {
  sim::Platform p(test::Scenario("[firmware]\nhob_list = false\n"));
  sim::BootResult r = p.Boot();
  ASSERT_TRUE(r.entryReturned);
  EXPECT_EQ(r.entryStatus, EFI_SUCCESS);
  EXPECT_EQ(mHobList, nullptr);
  EXPECT_TRUE(p.Installed(MemInfoProtocolGuid).has_value());
}

TEST(Boot, EachBootStartsFromAFreshImage) {
  {
    sim::Platform p(test::Scenario(""));
    p.Boot();
    EXPECT_NE(mMemInfoRecord, nullptr);
  }
  sim::Platform p(test::Scenario("[faults]\nfail_allocation = 1\n"));
  EXPECT_EQ(mMemInfoRecord, nullptr);
  EXPECT_EQ(mFirmwareServices.SystemTable, nullptr);
}

}  // namespace
