// Firmware-table and platform probes: HOB searches, processor signature, sleep
// type and the capsule check.
#include "diag/debug_settings.h"
#include "platform/firmware_services.h"
#include "platform/probes.h"
#include "tests/support/platform_fixture.h"

namespace {

const Guid kWanted = {0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00}};
const Guid kAlmost = {0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01}};

// Writes a HOB list by hand: {type, length, guid?} in order.
struct HobBuilder {
  sim::PhysicalMemory& mem;
  uint64_t start, at;
  explicit HobBuilder(sim::PhysicalMemory& m) : mem(m), start(m.PoolAlloc(1024)), at(start) {}
  uint64_t Add(uint16_t type, uint16_t length, const Guid* name = nullptr) {
    uint64_t here = at;
    mem.Write<uint16_t>(at, type);
    mem.Write<uint16_t>(at + 2, length);
    if (name) mem.WriteBytes(at + 8, name, sizeof(Guid));
    at += length;
    return here;
  }
  void* Ptr(uint64_t a) const { return reinterpret_cast<void*>(a); }
};

class Probes : public ::testing::Test {
 protected:
  void Boot(const std::string& toml = "") {
    platform.reset();
    platform = std::make_unique<sim::Platform>(test::Scenario(toml));
    FirmwareServicesStore(nullptr, reinterpret_cast<EfiSystemTable*>(platform->firmware().SystemTable()));
  }
  void SetUp() override { Boot(); }
  std::unique_ptr<sim::Platform> platform;
};

TEST_F(Probes, GuidSearchesWalkTheList) {
  HobBuilder b(platform->memory());
  uint64_t first = b.Add(4, 32, &kWanted);
  uint64_t other = b.Add(3, 16);
  b.Add(4, 24, &kAlmost);
  uint64_t second = b.Add(4, 40, &kWanted);
  uint64_t afterSecond = b.Add(2, 8);
  b.Add(0xFFFF, 8);
  mHobList = b.Ptr(b.start);
  EXPECT_EQ(FindFirstGuidHob(&kWanted), b.Ptr(first));
  EXPECT_EQ(FindNextGuidHob(&kWanted, b.Ptr(other)), b.Ptr(second)) << "steps over other types and near GUIDs";
  EXPECT_EQ(FindNextGuidHob(&kWanted, b.Ptr(second)), b.Ptr(second)) << "a matching HOB is its own answer";
  EXPECT_EQ(FindNextGuidHob(&kWanted, b.Ptr(afterSecond)), nullptr);
  const Guid absent = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(FindFirstGuidHob(&absent), nullptr);
}

TEST_F(Probes, EmptyMissingAndBrokenListsFindNothing) {
  HobBuilder b(platform->memory());
  b.Add(0xFFFF, 8);
  mHobList = b.Ptr(b.start);
  EXPECT_EQ(FindFirstGuidHob(&kWanted), nullptr);
  EXPECT_EQ(FindNextGuidHob(&kWanted, mHobList), nullptr);
  mHobList = nullptr;
  EXPECT_EQ(FindFirstGuidHob(&kWanted), nullptr) << "no HOB list";
  // A HOB of length 0 ends the walk instead of holding it in place; so does a
  // GUID-extension HOB shorter than its header, before its GUID is compared.
  for (auto [type, length] : {std::pair<uint16_t, uint16_t>{3, 0}, {4, 0}, {4, 16}}) {
    HobBuilder broken(platform->memory());
    broken.Add(type, length, &kWanted);
    broken.at += 24;  // a sound HOB after it, never reached
    broken.Add(4, 24, &kWanted);
    mHobList = broken.Ptr(broken.start);
    EXPECT_EQ(FindFirstGuidHob(&kWanted), nullptr) << "type " << type << ", length " << length;
  }
}

TEST_F(Probes, ThePlatformsHobListCarriesTheScenarioHobs) {
  Boot("[firmware]\ncapsule_pending = true\n[[hob]]\nguid = \"11223344-5566-7788-99AA-BBCCDDEEFF00\"\ndata = [1, 2, 3]\n");
  HobListLocate();
  ASSERT_NE(mHobList, nullptr);
  EXPECT_NE(FindFirstGuidHob(&kCapsuleStatusHobGuid), nullptr);
  auto* hob = static_cast<const uint8_t*>(FindFirstGuidHob(&kWanted));
  ASSERT_NE(hob, nullptr);
  EXPECT_EQ(hob[24], 1);
  EXPECT_EQ(hob[26], 3);
  bool pending = false;
  platform->Run([&] { pending = VyrCapsuleGetStatus(); });
  EXPECT_TRUE(pending);
  Boot();
  HobListLocate();
  platform->Run([&] { pending = VyrCapsuleGetStatus(); });
  EXPECT_FALSE(pending);
}

// A list that opens with the hand-off information HOB is searched no further
// than the end-of-list HOB it names, whatever the HOBs' lengths say.
TEST_F(Probes, GuidSearchesStayInsideTheList) {
  HobBuilder b(platform->memory());
  const uint64_t handoff = b.Add(1, 56);
  const uint64_t found = b.Add(4, 24, &kWanted);
  const uint64_t odd = b.Add(3, 12);
  b.Add(0xFFFF, 8);
  platform->memory().Write<uint64_t>(handoff + 48, b.at - 8);
  mHobList = b.Ptr(b.start);
  EXPECT_EQ(FindFirstGuidHob(&kWanted), b.Ptr(found));
  EXPECT_EQ(FindNextGuidHob(&kWanted, b.Ptr(odd)), nullptr) << "a length off the 8-byte grid ends the list";
  // A HOB reaching past the named end ends the list there.
  platform->memory().Write<uint16_t>(found + 2, 0x100);
  platform->memory().Write<uint64_t>(found + 0x100, 0x0000001800000004);  // GUID HOB header beyond the end
  platform->memory().WriteBytes(found + 0x108, &kWanted, sizeof kWanted);
  EXPECT_EQ(FindFirstGuidHob(&kWanted), nullptr);
  EXPECT_EQ(FindNextGuidHob(&kWanted, b.Ptr(found + 0x100)), nullptr) << "nothing past the end is read";
}

TEST_F(Probes, SignatureKeepsFamilyAndExtendedModelOnly) {
  Boot("[cpuid]\n0x80000001 = [0x00800F12, 0, 0, 0]\n");
  platform->Run([] {
    EXPECT_TRUE(CpuSignatureMatches(0x00800F00));
    EXPECT_FALSE(CpuSignatureMatches(0x00810F00));
    EXPECT_FALSE(CpuSignatureMatches(0x00660F00));
  });
  Boot("[cpuid]\n0x80000001 = [0xF0660FFF, 0, 0, 0]\n");
  platform->Run([] { EXPECT_TRUE(CpuSignatureMatches(0x00660F00)) << "reserved, model and stepping bits drop"; });
}

TEST_F(Probes, SleepTypeComesFromThePm1ControlRegister) {
  Boot("[platform]\npm1_control_base = 0x0400\nsleep_type = 3\n");
  uint8_t type = 0;
  platform->Run([&] { type = GetSleepType(); });
  EXPECT_EQ(type, 3);
  // The base's bytes come from PM registers 0x62 and 0x63; the word read is at the base.
  auto ports = test::Accesses(platform->hardware(), sim::AccessKind::Port);
  ASSERT_EQ(ports.size(), 5u);
  EXPECT_EQ(ports[0].address, 0xCD6u);
  EXPECT_EQ(ports[0].value, 0x62u);
  EXPECT_EQ(ports[2].value, 0x63u);
  EXPECT_EQ(ports[4].address, 0x400u);
  EXPECT_EQ(ports[4].width, 2);

  for (int base : {0, 0xFFFF}) {
    Boot("[platform]\npm1_control_base = " + std::to_string(base) + "\n");
    platform->Run([&] { type = GetSleepType(); });
    EXPECT_EQ(type, 0xFF);
    EXPECT_EQ(test::Accesses(platform->hardware(), sim::AccessKind::Port).size(), 4u) << "no further port read";
  }
  Boot("[platform]\npm1_control_base = 0x0400\n[ports]\n0x400 = 0xFFFF\n");
  platform->Run([&] { type = GetSleepType(); });
  EXPECT_EQ(type, 7) << "only bits 12:10 count";
}

// The capsule check says what it found whenever it runs; whether that reaches
// the serial line is the build's debug print setting.
TEST(CapsuleStatus, StartUpReportsItOnTheSerialLineWhenPrintingIsOn) {
  for (bool pending : {false, true}) {
    sim::Platform p(test::Scenario(std::string("[firmware]\ncapsule_pending = ") + (pending ? "true" : "false") + "\n"));
    ASSERT_TRUE(p.Boot().entryReturned);
    const sim::Uart* uart = p.hardware().devices().UartAt(0x3F8);
    ASSERT_NE(uart, nullptr);
    const std::string line(uart->Transmitted().begin(), uart->Transmitted().end());
    const std::string expected = std::string("VyrCapsuleGetStatus  ") + (pending ? "1" : "0") + "\r\r\n";
    if (kDebugSettings.DebugPrintEnabled)
      EXPECT_NE(line.find(expected), std::string::npos) << line;
    else
      EXPECT_TRUE(line.empty()) << line;
  }
}

}  // namespace
