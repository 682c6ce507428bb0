// What the firmware offers an application started after the boot, such as the
// record dump: the console's text output and the two handle services it uses.
#include "sim/firmware/firmware.h"
#include "uefi/console.h"

namespace sim {

uint64_t Firmware::PrepareApplication() {
  if (memory_.Read<uint64_t>(systemTable_ + offsetof(EfiSystemTable, ConOut)) == 0) {
    const uint64_t conOut = memory_.FirmwareAlloc(sizeof(EfiSimpleTextOutput));
    for (size_t off = 0; off < sizeof(EfiSimpleTextOutput); off += 8) WriteSlot(conOut, off, Service::Unimplemented);
    WriteSlot(conOut, offsetof(EfiSimpleTextOutput, OutputString), Service::ConOutOutputString);
    memory_.Write<uint64_t>(systemTable_ + offsetof(EfiSystemTable, ConsoleOutHandle), NewHandle());
    memory_.Write<uint64_t>(systemTable_ + offsetof(EfiSystemTable, ConOut), conOut);
    WriteSlot(bootServices_, offsetof(EfiBootServices, HandleProtocol), Service::HandleProtocol);
    WriteSlot(bootServices_, offsetof(EfiBootServices, LocateHandle), Service::LocateHandle);
  }
  applications_.push_back(NewHandle());
  return applications_.back();
}

// An image handle carries the loaded-image protocol; its interface is not
// modelled (the handle's own address stands for it).
uint64_t Firmware::HandleProtocol(uint64_t handle, const Guid& protocol, uint64_t* iface) {
  uint64_t status = EFI_UNSUPPORTED;
  bool image = false;
  for (const LoadedImage& i : images_) image |= i.handle == handle;
  for (uint64_t a : applications_) image |= a == handle;
  if (image && GuidEqual(protocol, kLoadedImageProtocolGuid)) {
    *iface = handle;
    status = EFI_SUCCESS;
  }
  for (const InstalledInterface& i : interfaces_)
    if (status != EFI_SUCCESS && i.handle == handle && GuidEqual(i.protocol, protocol)) {
      *iface = i.interface;
      status = EFI_SUCCESS;
    }
  Log("HandleProtocol", GuidName(protocol) + " on " + HexText(handle), status);
  return status;
}

uint64_t Firmware::LocateHandle(uint32_t searchType, const Guid* protocol, uint64_t* size,
                                std::vector<uint64_t>* handles) {
  handles->clear();
  uint64_t status = EFI_INVALID_PARAMETER;
  if (searchType == kLocateByProtocol && protocol != nullptr && size != nullptr) {
    for (const InstalledInterface& i : interfaces_)
      if (GuidEqual(i.protocol, *protocol)) handles->push_back(i.handle);
    const uint64_t needed = 8 * handles->size();
    status = handles->empty() ? EFI_NOT_FOUND : *size < needed ? EFI_BUFFER_TOO_SMALL : EFI_SUCCESS;
    *size = needed;
    if (status != EFI_SUCCESS) handles->clear();
  }
  Log("LocateHandle", protocol ? GuidName(*protocol) : "no protocol", status);
  return status;
}

uint64_t Firmware::ConsoleOutput(const std::u16string& text) {
  for (char16_t c : text) console_ += c < 0x80 ? char(c) : '?';
  return EFI_SUCCESS;
}

}  // namespace sim
