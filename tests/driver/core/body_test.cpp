// The driver body: the record it publishes and its failure paths.
#include <algorithm>

#include "tests/support/platform_fixture.h"

namespace {

std::string Pcd(const std::string& token243, const std::string& token16 = "true") {
  return "[pcd]\n16 = " + token16 + "\n243 = " + token243 + "\n";
}

// The body's PCD writes (the S3 library publishes its record before the body runs).
std::vector<sim::PcdWrite> PcdWrites(sim::Platform& p) {
  std::vector<sim::PcdWrite> out;
  for (const auto& w : p.firmware().PcdWrites())
    if (!test::S3Token(w.token)) out.push_back(w);
  return out;
}

size_t PcdLocates(sim::Platform& p) {
  size_t n = 0;
  for (const auto& c : p.firmware().Calls()) n += c.service == "LocateProtocol" && c.detail == "PcdProtocol";
  return n;
}

TEST(Body, UnsetToken243IsDefaultedFromToken16) {
  struct Case {
    const char* token16;
    uint16_t expected;
  } cases[] = {{"true", 0xFFE}, {"false", 0xFF5}};
  for (const Case& c : cases) {
    sim::Platform p(test::Scenario(Pcd("0xFFFF", c.token16)));
    ASSERT_TRUE(p.Boot().entryReturned);
    auto writes = PcdWrites(p);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].token, 243u);
    EXPECT_EQ(writes[0].width, 2);
    EXPECT_EQ(writes[0].value, c.expected);
    MemInfoRecord r;
    ASSERT_TRUE(test::PublishedRecord(p, &r));
    EXPECT_EQ(r.Token243Word, c.expected);
  }
}

TEST(Body, SetToken243IsLeftAlone) {
  for (const char* value : {"0xFFFE", "0", "0x1234"}) {
    sim::Platform p(test::Scenario(Pcd(value)));
    p.Boot();
    EXPECT_TRUE(PcdWrites(p).empty()) << value;
    MemInfoRecord r;
    ASSERT_TRUE(test::PublishedRecord(p, &r));
    EXPECT_EQ(r.Token243Word, std::stoul(value, nullptr, 0));
  }
}

TEST(Body, PcdReadsFollowTheRecordOrder) {
  sim::Platform p(test::Scenario(Pcd("0xFFFF")));
  p.Boot();
  std::vector<std::string> pcd;
  for (const auto& c : p.firmware().Calls())
    if (c.service.rfind("Pcd", 0) == 0 && !test::S3Token(std::stoull(c.detail)))
      pcd.push_back(c.service + " " + c.detail.substr(0, c.detail.find(' ')));
  const std::vector<std::string> expected = {
      "PcdGetBool 16", "PcdGet8 467",     "PcdGetBool 242", "PcdGet16 243",    "PcdGetBool 16", "PcdSet16 243",
      "PcdGet16 243",  "PcdGetBool 468",  "PcdGet16 469",   "PcdGetBool 470",  "PcdGet16 471"};
  EXPECT_EQ(pcd, expected);
  EXPECT_EQ(PcdLocates(p), 1u) << "the protocol is located once and kept";
}

TEST(Body, RecordIsPublishedByteForByte) {
  sim::Platform p(test::Scenario(R"(
[platform]
smi_command_port = 0xB2B1
[pcd]
16 = true
467 = 0xA7
242 = true
243 = 0x0123
468 = true
469 = 0x4455
470 = true
471 = 0x6677
)"));
  sim::BootResult result = p.Boot();
  EXPECT_EQ(result.entryStatus, EFI_SUCCESS);
  uint64_t at = 0;
  MemInfoRecord r;
  ASSERT_TRUE(test::PublishedRecord(p, &r, &at));
  // Bytes 24 to 39 hold the table's and the snapshot's addresses; their own tests check them.
  // No socket: the chip-select walk completes with no entry.
  const uint8_t expected[24] = {0x01, 0x00, 0xB1, 0xB2, 0xA7, 0x01, 0x23, 0x01, 0x01, 0x00, 0x55, 0x44,
                                0x01, 0x00, 0x77, 0x66, 0,    0,    0,    0,    0,    0,    0,    0};
  EXPECT_EQ(p.memory().ReadBytes(at, 24), std::vector<uint8_t>(expected, expected + 24));

  // Reserved memory, allocated once for the record.
  ASSERT_EQ(std::count_if(p.firmware().Pool().begin(), p.firmware().Pool().end(),
                          [&](const sim::PoolBlock& b) { return b.address == at; }),
            1);
  const sim::PoolBlock& block =
      *std::find_if(p.firmware().Pool().begin(), p.firmware().Pool().end(), [&](const sim::PoolBlock& b) { return b.address == at; });
  EXPECT_EQ(block.size, 40u);
  EXPECT_EQ(block.type, uint32_t(EfiReservedMemoryType));
  EXPECT_FALSE(block.freed);
  // Installed on the image's own handle as a native interface.
  bool onImage = false;
  for (const auto& i : p.firmware().Interfaces())
    onImage |= GuidEqual(i.protocol, MemInfoProtocolGuid) && i.handle == p.firmware().ImageHandle();
  EXPECT_TRUE(onImage);
  // The SMI command port register was read once as 16 bits.
  int smiReads = 0;
  for (const auto& a : p.hardware().Log())
    if (a.kind == sim::AccessKind::Mmio && a.address == kSmiCommandPortRegister) smiReads += a.width == 2 && !a.write;
  EXPECT_EQ(smiReads, 1);
}

TEST(Body, RegistersTheReadyToBootNotifyAtTheNotifyLevel) {
  sim::Platform p(test::Scenario(""));
  p.Boot();
  ASSERT_EQ(std::count_if(p.firmware().Events().begin(), p.firmware().Events().end(),
                          [](const auto& e) { return e.group.has_value() && e.tpl == TPL_NOTIFY; }),
            1);
  const auto& e = *test::BodyEvent(p.firmware());
  EXPECT_EQ(e.type, EVT_NOTIFY_SIGNAL);
  EXPECT_EQ(e.tpl, TPL_NOTIFY);
  EXPECT_EQ(e.notify, reinterpret_cast<uint64_t>(&ReadyToBootNotify));
  EXPECT_EQ(e.context, 0u);
  ASSERT_TRUE(e.group.has_value());
  EXPECT_TRUE(GuidEqual(*e.group, kReadyToBootGroupGuid));
}

TEST(Body, FailedInstallationIsReturnedWithoutAnEvent) {
  sim::Platform p(test::Scenario("[faults]\nfail_install_protocol = \"MemInfoProtocol\"\n"));
  sim::BootResult r = p.Boot();
  ASSERT_TRUE(r.entryReturned);
  EXPECT_EQ(r.entryStatus, EFI_OUT_OF_RESOURCES);
  EXPECT_FALSE(p.Installed(MemInfoProtocolGuid).has_value());
  EXPECT_EQ(test::BodyEvent(p.firmware()), nullptr);
  // The record (and the snapshot) stay allocated.
  ASSERT_FALSE(p.firmware().Pool().empty());
  for (const auto& block : p.firmware().Pool()) EXPECT_FALSE(block.freed);
}

TEST(Body, FailedEventCreationLeavesTheProtocolInstalled) {
  sim::Platform p(test::Scenario("[faults]\nfail_create_event_ex = 2\n[boot]\nevents = [\"ready_to_boot\"]\n"));
  sim::BootResult r = p.Boot();
  EXPECT_EQ(r.entryStatus, EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE(p.Installed(MemInfoProtocolGuid).has_value());
  ASSERT_EQ(r.signals.size(), 1u);
  EXPECT_TRUE(r.signals[0].writes.empty());
}

// Without a record the body publishes nothing, registers nothing and reports the
// allocation's failure; nothing is read or written through a null record.
TEST(Body, NoRecordMeansNothingPublished) {
  sim::Platform p(test::Scenario(test::Dies({0}) + "[faults]\nfail_allocation = 2\n[boot]\nevents = [\"ready_to_boot\"]\n"));
  sim::BootResult r = p.Boot();
  ASSERT_TRUE(r.entryReturned);
  EXPECT_EQ(r.entryStatus, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(mMemInfoRecord, nullptr);
  EXPECT_FALSE(p.Installed(MemInfoProtocolGuid).has_value());
  EXPECT_EQ(test::BodyEvent(p.firmware()), nullptr);
  for (const auto& c : p.firmware().Calls())
    if (c.service.rfind("Pcd", 0) == 0) EXPECT_TRUE(test::S3Token(std::stoull(c.detail))) << c.service << " " << c.detail;
  EXPECT_TRUE(test::Accesses(p.hardware(), sim::AccessKind::Mmio).empty());

  // The notify function itself also leaves the hardware alone without a record.
  p.Run([] { ReadyToBootNotify(nullptr, nullptr); });
  EXPECT_TRUE(p.hardware().InternalWrites().empty());
}

TEST(Body, WithoutThePcdProtocolValuesReadAsZero) {
  sim::Platform p(test::Scenario("[protocols]\npcd = false\n"));
  sim::BootResult r = p.Boot();
  EXPECT_EQ(r.entryStatus, EFI_SUCCESS);
  MemInfoRecord rec;
  ASSERT_TRUE(test::PublishedRecord(p, &rec));
  EXPECT_EQ(rec.Token16Flag, 0);
  EXPECT_EQ(rec.Token243Word, 0);
  // Nothing to keep: each PCD operation looks for it again, the S3 record's get
  // and set before the body's nine reads.
  EXPECT_EQ(PcdLocates(p), 11u);
}

}  // namespace
