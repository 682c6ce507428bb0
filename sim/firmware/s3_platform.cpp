#include "sim/firmware/s3_platform.h"

#include <algorithm>

#include "services/s3_save.h"

namespace sim {

uint64_t S3Platform::PlaceRecord(Firmware& firmware) {
  const uint64_t record = firmware.PlacePool(EfiRuntimeServicesData, kS3RecordSize);
  if (record == 0) return 0;
  firmware.SetPcd(PcdS3PrivateData, record);
  otherRecord_ = record;
  return record;
}

// The table as its builder leaves it: the three fields the closing reads, the end
// marker, and zeros elsewhere; the terminator slot is not written yet.
void S3Platform::PlaceTable(Firmware& firmware, PhysicalMemory& memory, uint64_t record) {
  const S3Desc& s = *desc_;
  const uint64_t size = s.TableSize();
  table_ = firmware.PlacePool(EfiBootServicesData, size);
  if (table_ == 0) return;
  std::memset(memory.Host(table_), 0, size);
  memory.Write<uint32_t>(table_ + offsetof(S3SaveTable, Signature), s.signature);
  memory.Write<uint64_t>(table_ + offsetof(S3SaveTable, EndMarkerOffset), s.endMarkerOffset);
  memory.Write<uint64_t>(table_ + offsetof(S3SaveTable, TerminatorOffset), s.terminatorOffset);
  memory.Write<uint32_t>(table_ + s.endMarkerOffset, s.endMarker);
  if (memory.Contains(record, kS3RecordSize)) memory.Write<uint64_t>(record + offsetof(VyrS3LibPrivateData, Table), table_);
}

void S3Platform::BeforeEntry(const std::optional<S3Desc>& desc, Firmware& firmware, PhysicalMemory& memory) {
  desc_ = desc;
  if (!desc_) return;
  if (desc_->commBuffer) {
    commBuffer_ = firmware.PlacePool(EfiRuntimeServicesData, kS3CommBufferSize);
    if (commBuffer_ != 0) {
      std::memset(memory.Host(commBuffer_), 0, kS3CommBufferSize);
      firmware.SetPcd(PcdS3CommBuffer, commBuffer_);
    }
  }
  if (desc_->published) {
    const uint64_t record = PlaceRecord(firmware);
    if (record != 0) {
      std::memset(memory.Host(record), 0, kS3RecordSize);
      if (desc_->table) PlaceTable(firmware, memory, record);
    }
  }
}

void S3Platform::AfterEntry(Firmware& firmware, PhysicalMemory& memory) {
  if (!desc_ || !desc_->table || table_ != 0) return;
  uint64_t record = firmware.PcdValue(PcdS3PrivateData).value_or(0);
  if (record == 0) {
    // This driver published no record: the other driver makes its own.
    record = PlaceRecord(firmware);
    if (record == 0) return;
    std::memset(memory.Host(record), 0, kS3RecordSize);
  }
  PlaceTable(firmware, memory, record);
}

}  // namespace sim
