// S3 save-table closing, linked by every driver of the package.
//
// The package's drivers share one S3 save table, built by other drivers, through
// one record published in PCD 349. The first driver to start creates the record
// and owns two events: one marks the record when the platform installs the
// DxeSmmReadyToLock protocol, the other, at ReadyToBoot, checks and terminates
// the table, hands the record to the SMM handler through the SMM Communication
// protocol and frees the table.
#pragma once
#include "uefi/base.h"

// The record shared by the package's drivers: 16 bytes of runtime-services data.
struct VyrS3LibPrivateData {
  uint8_t BootScriptLocked;  // 1 once DxeSmmReadyToLock has been seen
  uint8_t TableClosed;       // 1 once the table has been handed to SMM
  uint8_t Reserved[6];
  uint64_t Table;            // address of the S3 save table; 0 while no driver has created one
};
static_assert(sizeof(VyrS3LibPrivateData) == 16 && offsetof(VyrS3LibPrivateData, TableClosed) == 1 &&
              offsetof(VyrS3LibPrivateData, Reserved) == 2 && offsetof(VyrS3LibPrivateData, Table) == 8);

// The fields of the S3 save table that are checked and written; the rest of its
// format belongs to the drivers that build it.
struct S3SaveTable {
  uint32_t Signature;
  uint8_t OwnedByBuilders[28];
  uint64_t EndMarkerOffset;   // the u32 at table + this must be kS3SaveTableEndMarker
  uint64_t TerminatorOffset;  // closing writes kS3SaveTableTerminator at table + this
};
static_assert(sizeof(S3SaveTable) == 48 && offsetof(S3SaveTable, EndMarkerOffset) == 32 &&
              offsetof(S3SaveTable, TerminatorOffset) == 40);

constexpr uint32_t kS3SaveTableSignature = 0x54335341;  // "AS3T"
constexpr uint32_t kS3SaveTableEndMarker = 0x01558844;
constexpr uint16_t kS3SaveTableTerminator = 0xFFFF;

// The SMM Communication message: header GUID, message length, data.
struct S3CommunicateBuffer {
  Guid HeaderGuid;       // selects the receiving SMM handler
  uint64_t MessageLength;  // kS3MessageLength: the data that follows
  uint32_t Command;      // kS3CommandCloseTable
  uint32_t Reserved;
  uint64_t PrivateData;  // address of the VyrS3LibPrivateData record
};
static_assert(sizeof(S3CommunicateBuffer) == 40 && offsetof(S3CommunicateBuffer, MessageLength) == 16 &&
              offsetof(S3CommunicateBuffer, Command) == 24 && offsetof(S3CommunicateBuffer, Reserved) == 28 &&
              offsetof(S3CommunicateBuffer, PrivateData) == 32);

constexpr uint64_t kS3MessageLength = 16;
constexpr uint32_t kS3CommandCloseTable = 1;

inline constexpr Guid kS3SaveSmmHandlerGuid = {0x5C4061F0, 0xD051, 0x4F43, {0xBC, 0x23, 0x5E, 0x5E, 0x89, 0xB3, 0xCE, 0xC0}};
inline constexpr Guid kDxeSmmReadyToLockProtocolGuid = {
    0x60FF8964, 0xE906, 0x41D0, {0xAF, 0xED, 0xF2, 0x41, 0xE9, 0x74, 0xE0, 0x8E}};
inline constexpr Guid kSmmCommunicationProtocolGuid = {
    0xC68ED8E2, 0x9DC6, 0x4CBD, {0x9D, 0x94, 0xDB, 0x65, 0xAC, 0xC5, 0xC3, 0x32}};

struct SmmCommunicationProtocol {
  EfiStatus(EFIAPI* Communicate)(SmmCommunicationProtocol* This, void* CommBuffer, uint64_t* CommSize);
};
static_assert(sizeof(SmmCommunicationProtocol) == 8);

// PCD tokens: the record's address (0 while none exists) and the address of the
// buffer of at least 40 bytes that the message is built in.
constexpr uint64_t PcdS3PrivateData = 349;
constexpr uint64_t PcdS3CommBuffer = 350;

// Trap codes.
constexpr uint32_t kTrapS3TableSignature = 0x00090672;
constexpr uint32_t kTrapS3TableBoundary = 0x00090677;
constexpr uint32_t kTrapS3NoCommBuffer = 0x00090821;
constexpr uint32_t kTrapS3NoSmmCommunication = 0x00090835;
constexpr uint32_t kTrapS3ConfigSpaceDisabled = 0x00090869;
constexpr uint32_t kTrapS3RecordAllocation = 0x00090875;
constexpr uint32_t kTrapS3LockEvent = 0x00090898;
constexpr uint32_t kTrapS3CloseTableEvent = 0x00090915;
constexpr uint32_t kTrapS3CloseLockEvent = 0x00090941;
constexpr uint32_t kTrapS3CloseCloseTableEvent = 0x00090946;

// S3SaveTableCheck results.
constexpr uint32_t kS3TableSound = 0;
constexpr uint32_t kS3TableBroken = 5;

// This driver's view of the shared record; null until S3SaveLibInit.
extern VyrS3LibPrivateData* mVyrS3LibPrivateData;

// The configuration space as MSR 0xC0010058 describes it; both 0 when the
// register is not enabled.
struct S3ConfigSpace {
  uint64_t Base;
  uint32_t Size;  // bytes
};
extern S3ConfigSpace mS3ConfigSpace;

// The two events, null until created and again once closed.
extern EfiEvent mS3BootScriptLockEvent;
extern EfiEvent mS3CloseTableEvent;

EfiStatus S3SaveLibInit();
void S3SaveLibTeardown();
void EFIAPI BootScriptLockNotify(EfiEvent event, void* context);
void EFIAPI VyrS3SaveCloseTableCallBack(EfiEvent event, void* context);
uint32_t S3SaveTableCheck();
