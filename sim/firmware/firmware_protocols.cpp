// The firmware's protocol database: installing and uninstalling interfaces,
// notify registrations and the look-ups that follow them.
#include "sim/firmware/firmware.h"

namespace sim {

uint64_t Firmware::InstallProtocolInterface(uint64_t* handle, const Guid& protocol, uint32_t type, uint64_t iface) {
  return Install(handle, protocol, type, iface, false);
}

uint64_t Firmware::InstallByPlatform(const Guid& protocol, uint64_t iface) {
  uint64_t handle = 0;
  return Install(&handle, protocol, EFI_NATIVE_INTERFACE, iface, true);
}

// The platform's own installations (a boot event) are not subject to the
// scenario's faults and show as such in the call log.
uint64_t Firmware::Install(uint64_t* handle, const Guid& protocol, uint32_t type, uint64_t iface, bool byPlatform) {
  std::string detail = GuidName(protocol);
  uint64_t status = 0;
  steps_.InstallProtocol(protocol);
  if (!byPlatform) ++installCalls_;
  if (handle == nullptr || type != EFI_NATIVE_INTERFACE) status = EFI_INVALID_PARAMETER;
  else if (!byPlatform && (config_.faults.failInstallProtocol || config_.faults.failInstallCall == installCalls_ ||
                           (config_.faults.failInstallOf && GuidEqual(*config_.faults.failInstallOf, protocol))))
    status = EFI_OUT_OF_RESOURCES;
  else {
    for (auto& i : interfaces_)
      if (i.handle == *handle && GuidEqual(i.protocol, protocol)) status = EFI_INVALID_PARAMETER;
  }
  if (status == 0 && *handle == 0 && (*handle = NewHandle()) == 0) status = EFI_OUT_OF_RESOURCES;
  if (status == 0) {
    interfaces_.push_back({*handle, protocol, iface, byPlatform ? std::nullopt : std::optional<unsigned>(currentImage_)});
    detail += " on " + HexText(*handle) + ", interface " + HexText(iface);
  }
  if (byPlatform) detail += " (the platform's)";
  Log("InstallProtocolInterface", detail, status);
  if (status == 0) {
    for (size_t i = 0; i < registrations_.size(); ++i)
      if (GuidEqual(registrations_[i].protocol, protocol)) SignalEvent(registrations_[i].event);
  }
  return status;
}

uint64_t Firmware::UninstallProtocolInterface(uint64_t handle, const Guid& protocol, uint64_t iface) {
  uint64_t status = handle == 0 ? EFI_INVALID_PARAMETER : EFI_NOT_FOUND;
  for (size_t k = 0; status == EFI_NOT_FOUND && k < interfaces_.size(); ++k) {
    const InstalledInterface& i = interfaces_[k];
    if (i.handle != handle || !GuidEqual(i.protocol, protocol) || i.interface != iface) continue;
    interfaces_.erase(interfaces_.begin() + std::ptrdiff_t(k));
    // Registrations keep their place among the interfaces that remain.
    for (auto& r : registrations_)
      if (r.seen > k) --r.seen;
    status = 0;
  }
  Log("UninstallProtocolInterface", GuidName(protocol) + " on " + HexText(handle) + ", interface " + HexText(iface),
      status);
  return status;
}

void Firmware::Preinstall(const Guid& protocol, uint64_t iface) { interfaces_.push_back({NewHandle(), protocol, iface, std::nullopt}); }

uint64_t Firmware::RegisterProtocolNotify(const Guid& protocol, uint64_t event, uint64_t* registration) {
  uint64_t status = 0;
  EventInfo* e = FindEvent(event);
  if (registration == nullptr || e == nullptr) status = EFI_INVALID_PARAMETER;
  const uint64_t id = status == 0 ? NewHandle() : 0;
  if (status == 0 && id == 0) status = EFI_OUT_OF_RESOURCES;
  if (status == 0) {
    Registration r{id, protocol, event, interfaces_.size()};
    registrations_.push_back(r);
    *registration = r.id;
    e->registeredFor = protocol;
  }
  Log("RegisterProtocolNotify", GuidName(protocol), status);
  return status;
}

uint64_t Firmware::LocateProtocol(const Guid& protocol, uint64_t registration, uint64_t* iface) {
  uint64_t status = EFI_NOT_FOUND;
  steps_.LocateProtocol(protocol);
  ++locateCalls_;
  if (iface == nullptr) status = EFI_INVALID_PARAMETER;
  else if (config_.faults.failLocateCall == locateCalls_) status = EFI_NOT_FOUND;
  else if (registration != 0) {
    // The next interface installed since the registration, once each.
    for (auto& r : registrations_) {
      if (r.id != registration) continue;
      for (; r.seen < interfaces_.size(); ++r.seen) {
        if (GuidEqual(interfaces_[r.seen].protocol, r.protocol)) {
          *iface = interfaces_[r.seen++].interface;
          status = 0;
          break;
        }
      }
    }
  } else {
    for (auto& i : interfaces_) {
      if (GuidEqual(i.protocol, protocol)) {
        *iface = i.interface;
        status = 0;
        break;
      }
    }
  }
  if (status != 0 && iface != nullptr) *iface = 0;
  Log("LocateProtocol", GuidName(protocol), status);
  return status;
}

}  // namespace sim
