// The platform's side of the S3 save-table closing, outside the driver:
//  - the package's other driver that builds the S3 save table and puts its
//    address into the shared record PCD 349 names; when the scenario says so it
//    started before this driver and published its own record with the table,
//    otherwise it starts right after this driver's entry and uses the record it
//    finds (publishing one of its own when PCD 349 is still 0);
//  - the 40-byte buffer behind PCD 350, runtime-services data of the platform.
// The SMM side that receives the message is the firmware model's
// (Firmware::SmmCommunicate).
#pragma once
#include <cstdint>
#include <optional>

#include "sim/firmware/firmware.h"
#include "sim/machine/memory.h"
#include "sim/scenario/desc.h"

namespace sim {

constexpr uint64_t kS3CommBufferSize = 40;
constexpr uint64_t kS3RecordSize = 16;

class S3Platform {
 public:
  // Before the driver: the PCD 350 buffer and, when published, the other driver's
  // record with its table in PCD 349.
  void BeforeEntry(const std::optional<S3Desc>& desc, Firmware& firmware, PhysicalMemory& memory);
  // After the driver's entry: the other driver starts and puts its table into the
  // record PCD 349 names, unless it did so before.
  void AfterEntry(Firmware& firmware, PhysicalMemory& memory);

  const std::optional<S3Desc>& Desc() const { return desc_; }
  uint64_t OtherRecord() const { return otherRecord_; }  // the record the other driver published, 0: none
  uint64_t Table() const { return table_; }              // 0: none placed
  uint64_t CommBuffer() const { return commBuffer_; }    // 0: none

 private:
  void PlaceTable(Firmware& firmware, PhysicalMemory& memory, uint64_t record);
  uint64_t PlaceRecord(Firmware& firmware);

  std::optional<S3Desc> desc_;
  uint64_t otherRecord_ = 0, table_ = 0, commBuffer_ = 0;
};

}  // namespace sim
