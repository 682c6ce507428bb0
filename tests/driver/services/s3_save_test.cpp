// The S3 save-table closing: the shared record, the two events and the
// ReadyToBoot hand-over to SMM, on the virtual platform.
#include <algorithm>
#include <string>

#include "diag/debug_settings.h"
#include "platform/firmware_services.h"
#include "platform/hw.h"
#include "tests/support/platform_fixture.h"
#include "services/s3_save.h"

namespace {

const std::string kDie = test::Dies({0});
const std::string kAgent = "[agent]\npresent = true\n";
const std::string kLockThenBoot = "[boot]\nevents = [\"smm_ready_to_lock\", \"ready_to_boot\"]\n";

uint64_t RecordAddress(const sim::Platform& p) { return p.firmware().PcdValue(PcdS3PrivateData).value_or(0); }

VyrS3LibPrivateData Record(const sim::Platform& p) {
  VyrS3LibPrivateData r{};
  const auto bytes = p.memory().ReadBytes(RecordAddress(p), sizeof r);
  std::memcpy(&r, bytes.data(), sizeof r);
  return r;
}

const sim::Firmware::EventInfo* EventFor(const sim::Platform& p, uint64_t notify) {
  for (const auto& e : p.firmware().Events())
    if (e.notify == notify) return &e;
  return nullptr;
}
const sim::Firmware::EventInfo* LockEvent(const sim::Platform& p) {
  return EventFor(p, reinterpret_cast<uint64_t>(&BootScriptLockNotify));
}
const sim::Firmware::EventInfo* CloseEvent(const sim::Platform& p) {
  return EventFor(p, reinterpret_cast<uint64_t>(&VyrS3SaveCloseTableCallBack));
}

bool Printed(const sim::Platform& p, const std::string& text) {
  const sim::Uart* uart = p.hardware().devices().UartAt(0x3F8);
  const std::string out(uart->Transmitted().begin(), uart->Transmitted().end());
  return out.find(text) != std::string::npos;
}

// S3SaveLibInit alone, with the platform's services stored as the entry does.
EfiStatus Init(sim::Platform& p) {
  EfiStatus status = 0;
  p.Run([&] {
    FirmwareServicesStore(reinterpret_cast<EfiHandle>(p.firmware().ImageHandle()),
                          reinterpret_cast<EfiSystemTable*>(p.firmware().SystemTable()));
    status = S3SaveLibInit();
  });
  return status;
}

uint16_t Terminator(const sim::Platform& p) { return p.memory().Read<uint16_t>(p.s3().Table() + 0x104); }

TEST(S3Save, ARecordAlreadyPublishedIsTakenAsItIs) {
  sim::Platform p(test::Scenario(kDie + "[s3]\npublished = true\n" + kLockThenBoot));
  const uint64_t published = RecordAddress(p);
  ASSERT_NE(published, 0u);
  ASSERT_TRUE(p.Boot().entryReturned);
  EXPECT_EQ(hw::PtrToPhys(mVyrS3LibPrivateData), published);
  EXPECT_EQ(LockEvent(p), nullptr);
  EXPECT_EQ(CloseEvent(p), nullptr);
  for (const auto& b : p.firmware().Pool())
    EXPECT_FALSE(!b.byPlatform && b.type == EfiRuntimeServicesData && b.size == 16) << "no record of its own";
  for (const auto& w : p.firmware().PcdWrites()) EXPECT_NE(w.token, PcdS3PrivateData);
  // The owner of that record closes its table; this driver does not.
  EXPECT_EQ(Record(p).BootScriptLocked, 0);
  EXPECT_EQ(Terminator(p), 0);
  EXPECT_TRUE(p.firmware().SmmMessages().empty());
}

TEST(S3Save, AFreshBootCreatesThePublishedRecordAndLocksItOnce) {
  sim::Platform p(test::Scenario(kDie + "[s3]\n"));
  uint64_t status = 0;
  ASSERT_TRUE(p.CallEntry(&status));
  const uint64_t at = RecordAddress(p);
  ASSERT_EQ(hw::PtrToPhys(mVyrS3LibPrivateData), at);
  const auto& block = *std::find_if(p.firmware().Pool().begin(), p.firmware().Pool().end(),
                                    [&](const sim::PoolBlock& b) { return b.address == at; });
  EXPECT_FALSE(block.byPlatform);
  EXPECT_EQ(block.type, uint32_t(EfiRuntimeServicesData));
  EXPECT_EQ(block.size, 16u);
  EXPECT_EQ(p.memory().ReadBytes(at, 16), std::vector<uint8_t>(16, 0)) << "zeroed, no table yet";
  // The signal at creation ran the notify function, which found no protocol.
  ASSERT_NE(LockEvent(p), nullptr);
  EXPECT_EQ(LockEvent(p)->notifications, 1u);
  EXPECT_FALSE(LockEvent(p)->closed);
  ASSERT_TRUE(LockEvent(p)->registeredFor && GuidEqual(*LockEvent(p)->registeredFor, kDxeSmmReadyToLockProtocolGuid));
  ASSERT_NE(CloseEvent(p), nullptr);
  EXPECT_EQ(CloseEvent(p)->tpl, TPL_CALLBACK);
  EXPECT_TRUE(GuidEqual(*CloseEvent(p)->group, kReadyToBootGroupGuid));

  // The platform locks the boot script, twice: the flag is set, the event closed.
  for (int i = 0; i < 2; ++i) p.Run([&] { p.firmware().InstallByPlatform(kDxeSmmReadyToLockProtocolGuid, 0); });
  EXPECT_EQ(Record(p).BootScriptLocked, 1);
  EXPECT_EQ(Record(p).TableClosed, 0);
  EXPECT_EQ(LockEvent(p)->notifications, 2u);
  EXPECT_TRUE(LockEvent(p)->closed);
  EXPECT_EQ(mS3BootScriptLockEvent, nullptr);
}

// A protocol installed before the driver locks at creation. The notify function
// closes its event then, so a failing body's tear-down must not close it again.
TEST(S3Save, LockedAtCreationTearDownClosesOnlyWhatIsOpen) {
  sim::Platform p(test::Scenario(kDie + "[protocols]\nsmm_ready_to_lock = true\n[faults]\nfail_install_protocol = \"MemInfoProtocol\"\n"));
  const sim::BootResult r = p.Boot();
  EXPECT_EQ(r.entryStatus, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Record(p).BootScriptLocked, 1);
  EXPECT_TRUE(p.hardware().TrapCodes().empty());
  for (const auto& c : p.firmware().Calls())
    if (c.service == "CloseEvent") EXPECT_EQ(c.status, EFI_SUCCESS) << c.detail;
  EXPECT_EQ(p.firmware().OpenEventCount(), 0u);
}

TEST(S3Save, ReadyToBootTerminatesSendsAndFreesTheTableOnce) {
  sim::Platform p(test::Scenario(kDie + "[s3]\nend_marker_offset = 0x100\nterminator_offset = 0x104\n" +
                                 "[boot]\nevents = [\"ready_to_boot\", \"ready_to_boot\"]\n"));
  ASSERT_TRUE(p.Boot().entryReturned);
  const uint64_t record = RecordAddress(p);
  ASSERT_EQ(p.firmware().SmmMessages().size(), 1u);
  const sim::SmmMessage& m = p.firmware().SmmMessages()[0];
  EXPECT_EQ(m.status, EFI_SUCCESS);
  EXPECT_EQ(m.buffer, p.s3().CommBuffer());
  const auto& buffer = *std::find_if(p.firmware().Pool().begin(), p.firmware().Pool().end(),
                                     [&](const sim::PoolBlock& b) { return b.address == m.buffer; });
  EXPECT_TRUE(buffer.byPlatform && buffer.type == EfiRuntimeServicesData && buffer.size == 40);
  EXPECT_EQ(m.size, 40u);
  ASSERT_EQ(m.bytes.size(), 40u);
  S3CommunicateBuffer sent;
  std::memcpy(&sent, m.bytes.data(), sizeof sent);
  EXPECT_TRUE(GuidEqual(sent.HeaderGuid, kS3SaveSmmHandlerGuid));
  EXPECT_EQ(sent.MessageLength, 16u);
  EXPECT_EQ(sent.Command, 1u);
  EXPECT_EQ(sent.Reserved, 0u);
  EXPECT_EQ(sent.PrivateData, record);
  // The table the SMM side received: terminated beside its end marker.
  ASSERT_EQ(m.table, p.s3().Table());
  uint32_t marker;
  uint16_t terminator;
  std::memcpy(&marker, m.tableCopy.data() + 0x100, 4);
  std::memcpy(&terminator, m.tableCopy.data() + 0x104, 2);
  EXPECT_EQ(marker, 0x01558844u);
  EXPECT_EQ(terminator, 0xFFFF);
  EXPECT_EQ(Record(p).TableClosed, 1);
  int frees = 0;
  for (const auto& c : p.firmware().Calls()) frees += c.service == "FreePool";
  EXPECT_EQ(frees, 1);
  for (const auto& b : p.firmware().Pool()) EXPECT_EQ(b.freed, b.address == p.s3().Table());
  EXPECT_EQ(CloseEvent(p)->notifications, 1u) << "closed by its own first run";
  EXPECT_EQ(mS3CloseTableEvent, nullptr);
}

// One ReadyToBoot signal runs the root programming (level 16) before the table
// closing (level 8), whatever order the events were created in.
TEST(S3Save, TheBootRunsNotifyFunctionsByLevel) {
  sim::Platform p(sim::LoadScenario(std::string(MEMINFO_SOURCE_DIR) + "/scenarios/default.toml"));
  const sim::BootResult r = p.Boot();
  ASSERT_EQ(r.signals.size(), 2u);
  std::vector<std::string> runs;
  for (const auto& run : p.firmware().NotifyRuns()) {
    const uint64_t notify =
        std::find_if(p.firmware().Events().begin(), p.firmware().Events().end(), [&](const auto& e) {
          return e.handle == run.event;
        })->notify;
    runs.push_back(notify == reinterpret_cast<uint64_t>(&ReadyToBootNotify) ? "roots@" + std::to_string(run.tpl)
                   : notify == reinterpret_cast<uint64_t>(&VyrS3SaveCloseTableCallBack) ? "close@" + std::to_string(run.tpl)
                                                                                         : "lock@" + std::to_string(run.tpl));
  }
  EXPECT_EQ(runs, (std::vector<std::string>{"lock@8", "lock@8", "roots@16", "close@8"}));
  EXPECT_EQ(r.signals[1].writes.size(), 8u);
  EXPECT_EQ(Record(p).BootScriptLocked, 1);
  EXPECT_EQ(Record(p).TableClosed, 1);
}

// A table the check refuses is neither terminated nor sent and the record
// keeps its flags; without an agent its trap halts the platform. An agent that
// mends the field while it holds the trap has the table closed after all.
TEST(S3Save, ARefusedTableIsLeftAlone) {
  struct Case {
    const char* s3;
    uint32_t trap;
    const char* message;
    uint64_t field;  // where the mended value goes, from the table's start
    uint32_t sound;
  } cases[] = {{"signature = 0x54335342\n", kTrapS3TableSignature, "VyrS3Lib table Signature check fail\r",
                offsetof(S3SaveTable, Signature), kS3SaveTableSignature},
               {"end_marker = 0x01558845\n", kTrapS3TableBoundary, "VyrS3Lib table boundary check fail\r", 0x100,
                kS3SaveTableEndMarker}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.s3);
    uint64_t table = 0;
    {
      sim::Platform p(test::Scenario(kDie + kAgent + "[s3]\n" + c.s3 + kLockThenBoot));
      ASSERT_TRUE(p.Boot().entryReturned);
      table = p.s3().Table();
      EXPECT_EQ(p.hardware().TrapCodes(), std::vector<uint32_t>{c.trap});
      EXPECT_EQ(Terminator(p), 0);
      EXPECT_TRUE(p.firmware().SmmMessages().empty());
      EXPECT_EQ(p.memory().ReadBytes(p.s3().CommBuffer(), 40), std::vector<uint8_t>(40, 0));
      EXPECT_EQ(Record(p).BootScriptLocked, 1);
      EXPECT_EQ(Record(p).TableClosed, 0);
      for (const auto& b : p.firmware().Pool()) EXPECT_FALSE(b.freed);
      EXPECT_EQ(Printed(p, c.message), kDebugSettings.DebugPrintEnabled != 0);
    }
    {
      sim::Platform halted(test::Scenario(kDie + "[s3]\n" + c.s3 + kLockThenBoot));
      EXPECT_TRUE(halted.Boot().halted);
      EXPECT_EQ(halted.hardware().HaltCode(), c.trap);
    }

    sim::Platform mended(test::Scenario(kDie + kAgent + "[[agent.on_trap]]\ncode = " + std::to_string(c.trap) +
                                        "\naddress = " + std::to_string(table + c.field) + "\nvalue = " +
                                        std::to_string(c.sound) + "\n[s3]\n" + c.s3 +
                                        kLockThenBoot));
    ASSERT_TRUE(mended.Boot().entryReturned);
    ASSERT_EQ(mended.s3().Table(), table) << "placed where it was without the action";
    EXPECT_EQ(mended.hardware().TrapCodes(), std::vector<uint32_t>{c.trap});
    ASSERT_EQ(mended.firmware().SmmMessages().size(), 1u);
    EXPECT_EQ(mended.firmware().SmmMessages()[0].tableCopy.at(0x104), 0xFF) << "terminated, then sent";
    EXPECT_EQ(Record(mended).TableClosed, 1);
  }
}

// With nowhere to send it, the table is terminated but kept.
TEST(S3Save, ATableThatCannotBeSentIsTerminatedAndKept) {
  struct Case {
    const char* toml;
    uint32_t trap;
    bool bufferFilled;
  } cases[] = {{"[s3]\ncomm_buffer = false\n", kTrapS3NoCommBuffer, false},
               {"[s3]\n[protocols]\nsmm_communication = false\n", kTrapS3NoSmmCommunication, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.toml);
    sim::Platform p(test::Scenario(kDie + kAgent + c.toml + kLockThenBoot));
    ASSERT_TRUE(p.Boot().entryReturned);
    EXPECT_EQ(p.hardware().TrapCodes(), std::vector<uint32_t>{c.trap});
    EXPECT_EQ(Terminator(p), 0xFFFF);
    EXPECT_TRUE(p.firmware().SmmMessages().empty());
    EXPECT_EQ(Record(p).TableClosed, 0);
    for (const auto& b : p.firmware().Pool()) EXPECT_FALSE(b.freed);
    if (c.bufferFilled) EXPECT_EQ(p.memory().Read<uint64_t>(p.s3().CommBuffer() + 32), RecordAddress(p));
  }
  sim::Platform p(test::Scenario(kDie + kAgent + "[s3]\n[protocols]\nsmm_communication = false\n" + kLockThenBoot));
  p.Boot();
  EXPECT_EQ(Printed(p, "VyrS3SaveLib locate SmmCommunicationProtocol fail \r"), kDebugSettings.DebugPrintEnabled != 0);
}

TEST(S3Save, NoTableMeansNothingToClose) {
  sim::Platform p(test::Scenario(kDie + kLockThenBoot));
  ASSERT_TRUE(p.Boot().entryReturned);
  EXPECT_EQ(Record(p).Table, 0u);
  EXPECT_TRUE(p.firmware().SmmMessages().empty());
  EXPECT_TRUE(p.hardware().TrapCodes().empty());
  EXPECT_EQ(Printed(p, "mVyrS3LibPrivateData is NULL\r"), kDebugSettings.DebugPrintEnabled != 0);
}

TEST(S3Save, ConfigurationSpaceBaseFromTheMsr) {
  struct Case {
    const char* msr;
    uint64_t base;
    uint32_t size;
    bool trap;
  } cases[] = {{"0xF0000021", 0xF0000000, 256u << 20, false},
               {"0xE0000001", 0xE0000000, 1u << 20, false},
               {"0xF0000031", 0xF0000000, 0, false},  // 4 GiB does not fit the 32-bit count
               {"0x100000021", 0x100000000, 256u << 20, false},  // a base above 4 GiB keeps its high bits
               {"0xF0000020", 0, 0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.msr);
    sim::Platform p(test::Scenario(kAgent + "[msr]\n0xC0010058 = " + c.msr + "\n"));
    EXPECT_EQ(Init(p), EFI_SUCCESS);
    EXPECT_EQ(mS3ConfigSpace.Base, c.base);
    EXPECT_EQ(mS3ConfigSpace.Size, c.size);
    EXPECT_EQ(p.hardware().TrapCodes(), c.trap ? std::vector<uint32_t>{kTrapS3ConfigSpaceDisabled} : std::vector<uint32_t>{});
    EXPECT_NE(RecordAddress(p), 0u) << "start-up goes on";
  }
}

TEST(S3Save, EachSetUpFailureTrapsAndReportsItsStatus) {
  struct Case {
    const char* fault;
    uint32_t trap;
    EfiStatus status;
    const char* message;
    size_t events;
  } cases[] = {
      {"fail_allocation = 1", kTrapS3RecordAllocation, EFI_OUT_OF_RESOURCES, "VyrS3LibPrivateData allocate fail\r", 0},
      {"fail_create_event = true", kTrapS3LockEvent, EFI_UNSUPPORTED, "VyrS3SaveLib create BootScriptLock Event fail\r", 0},
      {"fail_create_event_ex = 1", kTrapS3CloseTableEvent, EFI_UNSUPPORTED, "VyrS3SaveLib create CloseTable Event fail\r", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    sim::Platform p(test::Scenario(kAgent + "[faults]\n" + c.fault + "\n"));
    EXPECT_EQ(Init(p), c.status);
    EXPECT_EQ(p.hardware().TrapCodes(), std::vector<uint32_t>{c.trap});
    EXPECT_EQ(p.firmware().Events().size(), c.events);
    EXPECT_EQ(Printed(p, c.message), kDebugSettings.DebugPrintEnabled != 0);
    if (c.trap == kTrapS3RecordAllocation) EXPECT_TRUE(p.firmware().PcdWrites().empty());
  }
  // A warning is no failure: the event is kept and only the trap tells.
  sim::Platform p(test::Scenario(kAgent + "[faults]\nfail_create_event_ex = 1\ncreate_event_warning = 4\n"));
  EXPECT_EQ(Init(p), EFI_SUCCESS);
  EXPECT_EQ(p.hardware().TrapCodes(), std::vector<uint32_t>{kTrapS3CloseTableEvent});
  ASSERT_NE(CloseEvent(p), nullptr);
  EXPECT_EQ(reinterpret_cast<uint64_t>(mS3CloseTableEvent), CloseEvent(p)->handle);
  EXPECT_FALSE(Printed(p, "CloseTable Event fail"));
}

TEST(S3Save, TearDownClosesBothEventsAndTrapsOnAFailedClose) {
  {
    sim::Platform p(test::Scenario(""));
    ASSERT_EQ(Init(p), EFI_SUCCESS);
    p.Run([] { S3SaveLibTeardown(); });
    EXPECT_TRUE(LockEvent(p)->closed);
    EXPECT_TRUE(CloseEvent(p)->closed);
    EXPECT_TRUE(p.hardware().TrapCodes().empty());
  }
  // An event closed behind the library's back: its close fails and traps, the
  // other is still closed.
  for (bool lock : {true, false}) {
    sim::Platform p(test::Scenario(kAgent));
    ASSERT_EQ(Init(p), EFI_SUCCESS);
    p.firmware().CloseEvent(reinterpret_cast<uint64_t>(lock ? mS3BootScriptLockEvent : mS3CloseTableEvent));
    p.Run([] { S3SaveLibTeardown(); });
    EXPECT_EQ(p.hardware().TrapCodes(),
              std::vector<uint32_t>{lock ? kTrapS3CloseLockEvent : kTrapS3CloseCloseTableEvent});
    EXPECT_EQ(p.firmware().OpenEventCount(), 0u);
  }
}

}  // namespace
