#include "sim/common/text.h"

#include <algorithm>
#include <cstdio>

#include "core/chip_select.h"
#include "core/fabric_topology.h"
#include "core/meminfo.h"
#include "services/heap.h"
#include "services/s3_save.h"
#include "uefi/pcd.h"
#include "uefi/system_table.h"

namespace sim {

std::string HexText(uint64_t value, int digits) {
  // By hand for the widths a boot's service log uses: it formats a few numbers
  // for every call the driver makes.
  if (digits >= 0 && digits <= 16) {
    char b[18];
    char* at = b + sizeof b;
    for (uint64_t v = value; v != 0 || b + sizeof b - at < std::max(digits, 1); v >>= 4) *--at = "0123456789ABCDEF"[v & 15];
    *--at = 'x';
    *--at = '0';
    return std::string(at, b + sizeof b);
  }
  char b[24];
  std::snprintf(b, sizeof b, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return b;
}

std::string GuidText(const Guid& g) {
  char b[40];
  std::snprintf(b, sizeof b, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return b;
}

std::string GuidName(const Guid& g) {
  if (GuidEqual(g, kPcdProtocolGuid)) return "PcdProtocol";
  if (GuidEqual(g, FabricTopologyProtocolGuid)) return "FabricTopologyProtocol";
  if (GuidEqual(g, ChannelInfoProtocolGuid)) return "ChannelInfoProtocol";
  if (GuidEqual(g, MemInfoProtocolGuid)) return "MemInfoProtocol";
  if (GuidEqual(g, kReadyToBootGroupGuid)) return "ReadyToBoot";
  if (GuidEqual(g, kHobListGuid)) return "HobList";
  if (GuidEqual(g, HeapListProtocolGuid)) return "HeapListProtocol";
  if (GuidEqual(g, kSmmCommunicationProtocolGuid)) return "SmmCommunication";
  if (GuidEqual(g, kDxeSmmReadyToLockProtocolGuid)) return "DxeSmmReadyToLock";
  if (GuidEqual(g, kS3SaveSmmHandlerGuid)) return "S3SaveSmmHandler";
  return GuidText(g);
}

std::string StatusName(uint64_t s) {
  static const char* const kErrors[] = {
      nullptr, "EFI_LOAD_ERROR", "EFI_INVALID_PARAMETER", "EFI_UNSUPPORTED", "EFI_BAD_BUFFER_SIZE",
      "EFI_BUFFER_TOO_SMALL", "EFI_NOT_READY", "EFI_DEVICE_ERROR", "EFI_WRITE_PROTECTED", "EFI_OUT_OF_RESOURCES",
      "EFI_VOLUME_CORRUPTED", "EFI_VOLUME_FULL", "EFI_NO_MEDIA", "EFI_MEDIA_CHANGED", "EFI_NOT_FOUND",
      "EFI_ACCESS_DENIED", "EFI_NO_RESPONSE", "EFI_NO_MAPPING", "EFI_TIMEOUT", "EFI_NOT_STARTED",
      "EFI_ALREADY_STARTED", "EFI_ABORTED"};
  if (s == 0) return "EFI_SUCCESS";
  if ((s & kEfiErrorBit) && (s & ~kEfiErrorBit) < sizeof kErrors / sizeof kErrors[0])
    return kErrors[s & ~kEfiErrorBit];
  return HexText(s);
}

}  // namespace sim
