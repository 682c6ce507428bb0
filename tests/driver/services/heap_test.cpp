// The shared heap buffers: allocation and look-up by handle, the import of the
// earlier phase's HOBs, joining an earlier driver's list, and the platform's
// view of the list after a boot.
#include <functional>
#include <memory>

#include "diag/debug_channels.h"
#include "platform/firmware_services.h"
#include "platform/probes.h"
#include "tests/support/platform_fixture.h"
#include "services/heap.h"
#include "sim/report/report.h"

namespace {

void* const kUntouched = reinterpret_cast<void*>(0x5EED);
uint64_t Addr(const void* p) { return reinterpret_cast<uint64_t>(p); }

class Heap : public ::testing::Test {
 protected:
  // The platform, and the driver's start-up as far as the heap list.
  void Start(const std::string& toml = "", const std::function<void(sim::Platform&)>& before = {}) {
    p.reset();
    p = std::make_unique<sim::Platform>(test::Scenario(toml));
    if (before) before(*p);
    p->Run([&] {
      FirmwareServicesStore(reinterpret_cast<EfiHandle>(p->firmware().ImageHandle()),
                            reinterpret_cast<EfiSystemTable*>(p->firmware().SystemTable()));
      HobListLocate();
      initStatus = HeapListInit();
    });
  }
  uint32_t Allocate(uint32_t handle, uint32_t size, uint8_t persist, void** data) {
    HeapAllocateRequest r = {size, handle, persist, *data};
    uint32_t result = 0xFF;
    p->Run([&] { result = HeapAllocateBuffer(&r); });
    *data = r.Data;
    return result;
  }
  HeapLocateRequest Locate(uint32_t handle) {
    HeapLocateRequest r = {handle, 7, kUntouched};
    p->Run([&] { locateResult = HeapLocateBuffer(&r); });
    return r;
  }
  std::vector<uint8_t> Bytes(const void* data, uint64_t n) { return p->memory().ReadBytes(Addr(data), n); }
  const sim::PoolBlock* Block(const void* data) {
    for (const auto& b : p->firmware().Pool())
      if (b.address == Addr(data) - sizeof(HeapBufferNode)) return &b;
    return nullptr;
  }
  size_t ListLength() { return sim::ReadHeapList(p->memory(), p->firmware()).nodes.size(); }

  std::unique_ptr<sim::Platform> p;
  EfiStatus initStatus = 0;
  uint32_t locateResult = 0;
};

TEST_F(Heap, RefusedRequestsChangeNothing) {
  Start();
  void* data = kUntouched;
  EXPECT_EQ(Allocate(0xA03D, 16, 0, &data), kHeapBadPersistCode);
  EXPECT_EQ(Allocate(0xA03D, 16, 9, &data), kHeapBadPersistCode);
  EXPECT_EQ(data, kUntouched);
  EXPECT_EQ(ListLength(), 0u);
  p->Run([] { EXPECT_EQ(HeapAllocateBuffer(nullptr), kHeapBadPersistCode); });

  void* first = nullptr;
  ASSERT_EQ(Allocate(0xA03D, 0x20C, 4, &first), kHeapSuccess);
  std::memset(first, 0x3C, 0x20C);
  data = kUntouched;
  EXPECT_EQ(Allocate(0xA03D, 0x20C, 4, &data), kHeapHandleExists);
  EXPECT_EQ(data, kUntouched) << "the existing buffer is not handed out";
  EXPECT_EQ(Bytes(first, 0x20C), std::vector<uint8_t>(0x20C, 0x3C));
  EXPECT_EQ(ListLength(), 1u);
}

TEST_F(Heap, NewBuffersAreZeroedAndFoundByHandle) {
  Start();
  static_assert(sim::kFreshPoolByte != 0, "pool blocks are handed out dirty");
  void* data = kUntouched;
  ASSERT_EQ(Allocate(0x1234, 100, 3, &data), kHeapSuccess);
  EXPECT_EQ(Bytes(data, 100), std::vector<uint8_t>(100, 0));
  void* empty = kUntouched;
  ASSERT_EQ(Allocate(0x1235, 0, 3, &empty), kHeapSuccess);
  ASSERT_NE(Block(empty), nullptr);
  EXPECT_EQ(Block(empty)->size, 32u) << "a buffer of size 0 is a bare node";

  HeapLocateRequest r = Locate(0x1235);
  EXPECT_EQ(locateResult, kHeapSuccess);
  EXPECT_EQ(r.Data, empty);
  EXPECT_EQ(r.Size, 0u);
  r = Locate(0x1234);
  EXPECT_EQ(r.Data, data);
  EXPECT_EQ(r.Size, 100u);
  r = Locate(0x1236);
  EXPECT_EQ(locateResult, kHeapNotFound);
  EXPECT_EQ(r.Data, nullptr);
  EXPECT_EQ(r.Size, 0u);
}

TEST_F(Heap, PersistCodeEightTakesRuntimeMemory) {
  Start();
  for (uint8_t persist : {1, 4, 7, 8}) {
    void* data = nullptr;
    ASSERT_EQ(Allocate(0x100 + persist, 8, persist, &data), kHeapSuccess);
    ASSERT_NE(Block(data), nullptr);
    EXPECT_EQ(Block(data)->type, persist == 8 ? EfiRuntimeServicesData : EfiBootServicesData) << int(persist);
  }
}

TEST_F(Heap, AnExhaustedPoolTrapsAndWhenTheAgentAnswersReportsFive) {
  for (uint8_t persist : {8, 4}) {
    Start("[faults]\nfail_allocation = 1\n[agent]\npresent = true\n");
    void* data = kUntouched;
    EXPECT_EQ(Allocate(0x77, 8, persist, &data), kHeapNoMemory);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(p->hardware().TrapCodes(), std::vector<uint32_t>{persist == 8 ? 0x70177u : 0x70180u});
    EXPECT_EQ(ListLength(), 0u);
    Locate(0x77);
    EXPECT_EQ(locateResult, kHeapNotFound);
  }
}

TEST_F(Heap, ImportTakesSoundHobsInOrderAndTheFirstOfAHandleWins) {
  Start("[[heap_hob]]\nhandle = 1\ndata = [0x11, 0x22]\n"
        "[[heap_hob]]\nhandle = 2\npersist = 8\nsize = 40\nfill = 0x5A\n"
        "[[heap_hob]]\nhandle = 1\ndata = [0x99]\n"
        "[[heap_hob]]\nhandle = 3\nvalid = 0\n"
        "[[heap_hob]]\nhandle = 4\nsignature = 0x50414549\n"
        "[[heap_hob]]\nhandle = 5\nsize = 9\ndata = [1, 2, 3, 4, 5, 6, 7, 8]\n"  // one byte short
        "[[heap_hob]]\nhandle = 6\ndata = [6, 6, 6, 6, 6, 6, 6, 6]\nlength = 40\n");  // cut before its data
  EXPECT_EQ(initStatus, EFI_SUCCESS);
  EXPECT_EQ(ListLength(), 3u) << "1, 2 and the second 1";
  HeapLocateRequest r = Locate(1);
  EXPECT_EQ(r.Size, 2u);
  EXPECT_EQ(Bytes(r.Data, 2), (std::vector<uint8_t>{0x11, 0x22}));
  r = Locate(2);
  EXPECT_EQ(Bytes(r.Data, 40), std::vector<uint8_t>(40, 0x5A));
  EXPECT_EQ(Block(r.Data)->type, EfiRuntimeServicesData);
  for (uint32_t absent : {3, 4, 5, 6}) {
    Locate(absent);
    EXPECT_EQ(locateResult, kHeapNotFound) << absent;
  }
  // A handle the import brought in cannot be allocated again.
  void* data = kUntouched;
  EXPECT_EQ(Allocate(2, 4, 4, &data), kHeapHandleExists);
}

TEST_F(Heap, AHobTooShortForItsHeaderEndsTheSearch) {
  for (int length : {0, 16}) {
    Start("[[heap_hob]]\nhandle = 1\n[[heap_hob]]\nhandle = 2\nlength = " + std::to_string(length) +
          "\n[[heap_hob]]\nhandle = 3\n");
    EXPECT_EQ(ListLength(), 1u) << "length " << length << ": nothing at or after it is imported";
    Locate(1);
    EXPECT_EQ(locateResult, kHeapSuccess);
  }
}

// A HOB of 32 bytes holds only the first 8 of its buffer header: the rest would
// come from the next HOB, here an end-of-list HOB whose reserved bytes read as
// persist code 4 and valid flag 1.
TEST_F(Heap, AHobTooShortForItsBufferHeaderIsNotImported) {
  Start("[[heap_hob]]\nhandle = 7\nlength = 32\n", [](sim::Platform& platform) {
    const uint64_t endOfList = platform.firmware().HobList() + 56 + 32;
    ASSERT_EQ(platform.memory().Read<uint16_t>(endOfList), 0xFFFF);
    platform.memory().Write<uint16_t>(endOfList + 4, 0x0104);
  });
  EXPECT_EQ(ListLength(), 0u);
  Locate(7);
  EXPECT_EQ(locateResult, kHeapNotFound);
}

TEST_F(Heap, AFailedImportLeavesThatBufferOutAndGoesOn) {
  Start("[faults]\nfail_allocation = 1\n[agent]\npresent = true\n"
        "[[heap_hob]]\nhandle = 1\n[[heap_hob]]\nhandle = 2\n");
  EXPECT_EQ(p->hardware().TrapCodes(), std::vector<uint32_t>{0x70180});
  Locate(1);
  EXPECT_EQ(locateResult, kHeapNotFound);
  Locate(2);
  EXPECT_EQ(locateResult, kHeapSuccess);
}

TEST_F(Heap, AFailedInstallationTrapsAndTheListStaysUsable) {
  Start("[faults]\nfail_install_protocol = \"HeapListProtocol\"\n[agent]\npresent = true\n"
        "[[heap_hob]]\nhandle = 1\n");
  EXPECT_EQ(initStatus, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(p->hardware().TrapCodes(), std::vector<uint32_t>{0x70268});
  Locate(1);
  EXPECT_EQ(locateResult, kHeapSuccess);
}

TEST_F(Heap, ASecondDriverJoinsTheListAndImportsNothing) {
  Start("[[heap_hob]]\nhandle = 1\ndata = [7]\n"
        "[earlier_driver]\n[[earlier_driver.buffer]]\nhandle = 0xA03D\nfill = 0x42\nsize = 0x20C\n");
  const sim::EarlierDriver& earlier = p->earlierDriver();
  EXPECT_EQ(Addr(mHeapList), earlier.interface + 8);
  EXPECT_TRUE(p->firmware().Pool().empty()) << "no node of its own";
  for (const auto& c : p->firmware().Calls()) EXPECT_NE(c.service, "InstallProtocolInterface");
  HeapLocateRequest r = Locate(1);
  EXPECT_EQ(Bytes(r.Data, 1), std::vector<uint8_t>{7}) << "the earlier driver imported the HOB";
  r = Locate(0xA03D);
  EXPECT_EQ(Addr(r.Data), earlier.nodes[1].node + 32);
  EXPECT_EQ(Bytes(r.Data, 0x20C), std::vector<uint8_t>(0x20C, 0x42));
  // What this driver adds goes to the same list, after the earlier buffers.
  void* data = nullptr;
  ASSERT_EQ(Allocate(0x99, 4, 4, &data), kHeapSuccess);
  EXPECT_EQ(ListLength(), 3u);
}

TEST_F(Heap, TeardownWithdrawsOnlyAListThisDriverPublished) {
  Start();
  ASSERT_EQ(initStatus, EFI_SUCCESS);
  p->Run([] { HeapListTeardown(); HeapListTeardown(); });
  size_t installed = 0, uninstalls = 0;
  for (const auto& i : p->firmware().Interfaces()) installed += GuidEqual(i.protocol, HeapListProtocolGuid);
  for (const auto& c : p->firmware().Calls()) uninstalls += c.service == "UninstallProtocolInterface" && c.status == 0;
  EXPECT_EQ(installed, 0u);
  EXPECT_EQ(uninstalls, 1u) << "once, however often it is asked";
  // A driver that joined an earlier driver's list leaves it in place.
  Start("[earlier_driver]\n");
  p->Run([] { HeapListTeardown(); });
  installed = 0;
  for (const auto& i : p->firmware().Interfaces()) installed += GuidEqual(i.protocol, HeapListProtocolGuid);
  EXPECT_EQ(installed, 1u);
}

TEST_F(Heap, AProtocolWithoutAnInterfaceIsNoList) {
  Start();
  p->firmware().Preinstall(HeapListProtocolGuid, 0);
  p->Run([&] { initStatus = HeapListInit(); });
  EXPECT_EQ(initStatus, EFI_SUCCESS);
  EXPECT_EQ(mHeapList, &mHeapListInterface.Head);
  void* data = nullptr;
  EXPECT_EQ(Allocate(0x99, 4, 4, &data), kHeapSuccess);
}

TEST_F(Heap, NodesWithAnotherSignatureAreNotFound) {
  Start("[earlier_driver]\n[[earlier_driver.buffer]]\nhandle = 5\nsignature = 0x50414549\n"
        "[[earlier_driver.buffer]]\nhandle = 5\ndata = [9]\n");
  HeapLocateRequest r = Locate(5);
  EXPECT_EQ(r.Size, 1u) << "the second node, the first with a good signature";
}

TEST_F(Heap, PoolHelpersTurnARefusalIntoNull) {
  Start("[faults]\nfail_allocation = 2\n");
  void* zeroed = nullptr;
  void* refused = kUntouched;
  p->Run([&] {
    zeroed = PoolAllocRuntimeZeroed();
    refused = PoolAllocBoot(8);
  });
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(Bytes(zeroed, 16), std::vector<uint8_t>(16, 0));
  EXPECT_EQ(p->firmware().Pool().at(0).type, EfiRuntimeServicesData);
  EXPECT_EQ(refused, nullptr);
}

// The debug agent's mailbox is the earlier driver's buffer 0xA019, and the
// mailbox channel finds it through the list this driver joined.
TEST(HeapBoot, TheMailboxChannelFindsTheAgentsBufferThroughTheList) {
  sim::Platform p(sim::LoadScenario(std::string(MEMINFO_SOURCE_DIR) + "/scenarios/debug-agent.toml"));
  ASSERT_TRUE(p.Boot().entryReturned);
  MailboxBuffer buffer{};
  bool found = false;
  p.Run([&] { found = MailboxLocate(&buffer); });
  ASSERT_TRUE(found);
  EXPECT_EQ(Addr(buffer.Header), p.hardware().devices().MailboxAddress());
  EXPECT_EQ(buffer.Size, p.hardware().devices().MailboxSize());
}

TEST(HeapBoot, TheReportTellsWhereEachBufferCameFrom) {
  struct Case {
    std::string toml;
    std::vector<std::string> origins;
    std::string publishedBy;
  } cases[] = {
      {"[[heap_hob]]\nhandle = 1\npersist = 8\n", {"hob", "driver"}, "driver"},
      {"[[heap_hob]]\nhandle = 1\npersist = 8\n[earlier_driver]\n", {"earlier_driver", "driver"}, "earlier_driver"},
  };
  for (const Case& c : cases) {
    sim::Platform p(test::Scenario(c.toml));
    const sim::BootResult r = p.Boot();
    HeapAllocateRequest request = {4, 2, 4, nullptr};
    p.Run([&] { HeapAllocateBuffer(&request); });
    const nlohmann::json j = sim::JsonReport(p, r)["heap"];
    EXPECT_EQ(j["published_by"], c.publishedBy);
    EXPECT_TRUE(j["complete"].get<bool>());
    ASSERT_EQ(j["buffers"].size(), 2u) << j.dump();
    for (size_t i = 0; i < 2; ++i) EXPECT_EQ(j["buffers"][i]["origin"], c.origins[i]) << c.toml;
    EXPECT_EQ(j["buffers"][0]["node_type_name"], "EfiRuntimeServicesData");
    EXPECT_EQ(j["buffers"][1]["handle_hex"], "0x00000002");
    EXPECT_NE(sim::TextReport(p, r).find("0x00000001  0x"), std::string::npos);
  }
  sim::Platform p(test::Scenario("[faults]\nfail_install_protocol = true\n[agent]\npresent = true\n"));
  const sim::BootResult r = p.Boot();
  EXPECT_FALSE(sim::JsonReport(p, r)["heap"]["present"].get<bool>());
}

TEST(HeapScenario, BadHeapTablesNameTheKey) {
  const std::pair<const char*, const char*> cases[] = {
      {"[[heap_hob]]\nsize = 4\n", "key 'heap_hob[0].handle': missing"},
      {"[[heap_hob]]\nhandle = 1\ndata = [1]\nfill = 2\n", "key 'heap_hob[0].fill': give the contents"},
      {"[[heap_hob]]\nhandle = 1\nlength = 30\n", "key 'heap_hob[0].length': HOB lengths are multiples of 8"},
      {"[[heap_hob]]\nhandle = 1\nsize = 70000\n", "key 'heap_hob[0].size': filled contents hold at most"},
      {"[earlier_driver]\n[[earlier_driver.buffer]]\nhandle = 1\npersist = 0\n",
       "key 'earlier_driver.buffer[0].persist': a driver creates buffers with codes 1 to 8"},
      {"[faults]\nfail_install_protocol = \"PcdProtocol\"\n", "key 'faults.fail_install_protocol': expected true"},
  };
  for (const auto& [toml, message] : cases) {
    try {
      test::Scenario(toml);
      ADD_FAILURE() << toml;
    } catch (const sim::ScenarioError& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
}

}  // namespace
