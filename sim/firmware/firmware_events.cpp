// The firmware's task priority levels and events: creating, signalling and
// closing them, notify functions run in level order, and the driver copies
// (images) that own them.
#include "sim/firmware/firmware.h"

namespace sim {

uint64_t Firmware::RaiseTpl(uint64_t tpl) {
  uint64_t old = tpl_;
  if (tpl >= tpl_) tpl_ = tpl;
  return old;
}

void Firmware::RestoreTpl(uint64_t tpl) {
  if (tpl > tpl_) return;
  tpl_ = tpl;
  DispatchPending();
}

Firmware::EventInfo* Firmware::FindEvent(uint64_t handle) {
  for (auto& e : events_)
    if (e.handle == handle && !e.closed) return &e;
  return nullptr;
}

void Firmware::QueueNotify(EventInfo& e) {
  if (!(e.type & EVT_NOTIFY_SIGNAL) || e.notify == 0) return;
  for (uint64_t h : pending_)
    if (h == e.handle) return;  // already due
  pending_.push_back(e.handle);
}

// Runs every due notify function whose level is above the current one, the
// highest level first and, within a level, in signal order. Each runs at its own
// level; what it signals joins the queue.
void Firmware::DispatchPending() {
  for (;;) {
    size_t best = pending_.size();
    uint64_t bestTpl = tpl_;
    for (size_t i = 0; i < pending_.size(); ++i) {
      EventInfo* e = FindEvent(pending_[i]);
      if (e != nullptr && e->tpl > bestTpl) {
        best = i;
        bestTpl = e->tpl;
      }
    }
    if (best == pending_.size()) return;
    uint64_t handle = pending_[best];
    pending_.erase(pending_.begin() + static_cast<long>(best));
    EventInfo* e = FindEvent(handle);
    if (images_.at(e->image).unloaded) {
      ++staleNotifies_;
      Log("Notify", "event " + HexText(handle) + " of an unloaded driver: not run", EFI_INVALID_PARAMETER);
      continue;
    }
    uint64_t saved = tpl_;
    tpl_ = e->tpl;
    ++e->notifications;
    notifyRuns_.push_back({handle, e->tpl});
    uint64_t notify = e->notify, context = e->context;
    const unsigned image = e->image, before = currentImage_;
    const unsigned dispatchBefore = dispatch_.SwitchImage(image);
    currentImage_ = image;
    const BootStep step = steps_.NotifyBegins(e->group, e->tpl);
    dispatch_.CallNotify(notify, handle, context);
    steps_.NotifyEnds(step);
    dispatch_.SwitchImage(dispatchBefore);
    currentImage_ = before;
    tpl_ = saved;
  }
}

uint64_t Firmware::CreateEvent(uint32_t type, uint64_t tpl, uint64_t notify, uint64_t context, const Guid* group,
                               uint64_t* event) {
  const char* name = group ? "CreateEventEx" : "CreateEvent";
  std::string detail = "type " + HexText(type) + ", tpl " + std::to_string(tpl) + (group ? ", group " + GuidName(*group) : "");
  uint64_t status = 0;
  const uint64_t call = group ? ++createEventExCalls_ : ++createEventCalls_;
  const uint64_t fail = group ? config_.faults.failCreateEventEx : config_.faults.failCreateEvent;
  const bool picked = fail == FirmwareFaults::kEveryCall || fail == call;
  if (picked && config_.faults.createEventWarning == 0) status = EFI_OUT_OF_RESOURCES;
  else if (event == nullptr) status = EFI_INVALID_PARAMETER;
  else if ((type & (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT)) &&
           (notify == 0 || (tpl != TPL_CALLBACK && tpl != TPL_NOTIFY && tpl != TPL_APPLICATION)))
    status = EFI_INVALID_PARAMETER;
  const uint64_t handle = status == 0 ? NewHandle() : 0;
  if (status == 0 && handle == 0) status = EFI_OUT_OF_RESOURCES;
  if (status == 0) {
    EventInfo e{handle, type, tpl, notify, context, std::nullopt, false, 0, std::nullopt, currentImage_};
    if (group) e.group = *group;
    events_.push_back(e);
    *event = e.handle;
    if (picked) status = config_.faults.createEventWarning;
  }
  Log(name, detail, status);
  return status;
}

uint64_t Firmware::SignalEvent(uint64_t event) {
  EventInfo* e = FindEvent(event);
  if (e == nullptr) {
    Log("SignalEvent", HexText(event), EFI_INVALID_PARAMETER);
    return EFI_INVALID_PARAMETER;
  }
  Log("SignalEvent", HexText(event), 0);
  if (e->group) {
    Guid g = *e->group;
    for (auto& other : events_)
      if (!other.closed && other.group && GuidEqual(*other.group, g)) QueueNotify(other);
  } else {
    QueueNotify(*e);
  }
  DispatchPending();
  return 0;
}

uint64_t Firmware::CloseEvent(uint64_t event) {
  EventInfo* e = FindEvent(event);
  uint64_t status = e ? 0 : EFI_INVALID_PARAMETER;
  if (e) {
    e->closed = true;
    std::erase(pending_, event);
    std::erase_if(registrations_, [&](const Registration& r) { return r.event == event; });
  }
  Log("CloseEvent", HexText(event), status);
  return status;
}

void Firmware::SignalGroup(const Guid& group) {
  Log("SignalGroup", GuidName(group), 0);
  for (auto& e : events_)
    if (!e.closed && e.group && GuidEqual(*e.group, group)) QueueNotify(e);
  DispatchPending();
}

unsigned Firmware::LoadImage() {
  images_.push_back({NewHandle(), false});
  return unsigned(images_.size() - 1);
}

std::vector<Firmware::EventInfo> Firmware::StaleEvents() const {
  std::vector<EventInfo> stale;
  for (const EventInfo& e : events_)
    if (!e.closed && e.notify != 0 && images_.at(e.image).unloaded) stale.push_back(e);
  return stale;
}

size_t Firmware::OpenEventCount() const {
  size_t n = 0;
  for (auto& e : events_) n += !e.closed;
  return n;
}

}  // namespace sim
