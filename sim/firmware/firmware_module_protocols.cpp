// The other modules' protocols the driver uses: the PCD store, the SMM side of
// SMM Communication, the fabric topology and the channel information.
#include "sim/firmware/firmware.h"

#include <cstring>

#include "services/s3_save.h"

namespace sim {

// ---- PCD ----

std::optional<uint64_t> Firmware::PcdValue(uint64_t token) const {
  auto it = config_.pcd.find(token);
  if (it == config_.pcd.end()) return std::nullopt;
  return it->second;
}

uint64_t Firmware::PcdGet(uint64_t token, int width) {
  uint64_t v = config_.pcd.count(token) ? config_.pcd[token] : 0;
  const int bytes = width == 0 ? 1 : width;  // 0 is a boolean, stored in one byte
  if (bytes < 8) v &= (1ull << (8 * bytes)) - 1;
  Log(width == 0 ? "PcdGetBool" : "PcdGet" + std::to_string(8 * width), std::to_string(token) + " = " + HexText(v), 0);
  return v;
}

uint64_t Firmware::PcdSet(uint64_t token, int width, uint64_t value) {
  if (width < 8 && width > 0) value &= (1ull << (8 * width)) - 1;
  if (width == 0) value = value & 0xFF ? 1 : 0;
  config_.pcd[token] = value;
  pcdWrites_.push_back({token, width == 0 ? 1 : width, value, 0});
  Log(width == 0 ? "PcdSetBool" : "PcdSet" + std::to_string(8 * width), std::to_string(token) + " = " + HexText(value), 0);
  return 0;
}

// ---- SMM Communication ----

// The SMM side: the message is posted when its header and the length it names
// lie in DRAM and fit the size given. A message for the S3 save handler makes
// the handler take a copy of the record it names and of the table that record
// points to, as it does before the boot-time table is freed.
uint64_t Firmware::SmmCommunicate(uint64_t, uint64_t buffer, const uint64_t* size) {
  constexpr uint64_t kHeader = offsetof(S3CommunicateBuffer, Command);
  constexpr uint64_t kMaxMessage = 4096;
  SmmMessage m;
  m.buffer = buffer;
  if (size) m.size = *size;
  m.status = 0;
  std::string detail = "buffer " + HexText(buffer) + (size ? ", size " + std::to_string(*size) : ", no size");
  uint64_t length = 0;
  if (buffer == 0 || !memory_.Contains(buffer, kHeader)) {
    m.status = EFI_INVALID_PARAMETER;
  } else {
    length = memory_.Read<uint64_t>(buffer + offsetof(S3CommunicateBuffer, MessageLength));
    const uint64_t total = length <= kMaxMessage - kHeader ? kHeader + length : kMaxMessage;
    m.bytes = memory_.ReadBytes(buffer, memory_.Contains(buffer, total) ? total : kHeader);
    if (length > kMaxMessage - kHeader || !memory_.Contains(buffer, total) || (size && *size < total))
      m.status = EFI_BAD_BUFFER_SIZE;
  }
  if (m.status == 0) {
    Guid header;
    std::memcpy(&header, m.bytes.data(), sizeof header);
    detail += ", " + GuidName(header);
    m.s3Handler = GuidEqual(header, kS3SaveSmmHandlerGuid) && length >= kS3MessageLength;
  }
  if (m.s3Handler) {
    const uint64_t record = memory_.Read<uint64_t>(buffer + offsetof(S3CommunicateBuffer, PrivateData));
    if (memory_.Contains(record, sizeof(VyrS3LibPrivateData))) {
      m.record = memory_.ReadBytes(record, sizeof(VyrS3LibPrivateData));
      m.table = memory_.Read<uint64_t>(record + offsetof(VyrS3LibPrivateData, Table));
      for (const PoolBlock& b : pool_)
        if (!b.freed && m.table >= b.address && m.table - b.address < b.size)
          m.tableCopy = memory_.ReadBytes(m.table, b.address + b.size - m.table);
    }
  }
  smmMessages_.push_back(m);
  Log("SmmCommunicate", detail, m.status);
  return m.status;
}

// ---- fabric topology ----

uint64_t Firmware::TopologySystemInfo(uint64_t* sockets, uint64_t* dies) {
  uint64_t total = 0;
  for (auto& s : config_.sockets) total += s.dies.size();
  if (sockets) *sockets = config_.sockets.size();
  if (dies) *dies = total;
  Log("TopologySystemInfo", std::to_string(config_.sockets.size()) + " sockets", 0);
  return 0;
}

uint64_t Firmware::TopologySocketInfo(uint64_t socket, uint64_t* dies) {
  uint64_t status = socket < config_.sockets.size() ? 0 : EFI_INVALID_PARAMETER;
  if (status == 0 && dies) *dies = config_.sockets[socket].dies.size();
  Log("TopologySocketInfo", "socket " + std::to_string(socket), status);
  return status;
}

uint64_t Firmware::TopologyRootBusInfo(uint64_t socket, uint64_t die, uint64_t index, uint64_t* bus) {
  uint64_t status = EFI_INVALID_PARAMETER;
  if (socket < config_.sockets.size() && die < config_.sockets[socket].dies.size() && index == 0) {
    status = 0;
    if (bus) *bus = config_.sockets[socket].dies[die].rootBus;
  }
  Log("TopologyRootBusInfo", "socket " + std::to_string(socket) + " die " + std::to_string(die), status);
  return status;
}

uint64_t Firmware::DieMemoryInfo(uint64_t socket, uint64_t die, DieMemoryCounts* counts) {
  uint64_t status = EFI_INVALID_PARAMETER;
  if (socket < config_.sockets.size() && die < config_.sockets[socket].dies.size()) {
    *counts = config_.sockets[socket].dies[die].memory;
    status = counts->status;
  }
  Log("DieMemoryInfo", "socket " + std::to_string(socket) + " die " + std::to_string(die), status);
  return status;
}

}  // namespace sim
