// Memory handed from one platform to the next. A process that builds platform
// after platform (a fuzzer, a benchmark) records into vectors it already has,
// warm in the cache, instead of growing fresh ones every boot. One owner of a
// kind is active at a time; what is kept is never destroyed, so an owner that
// goes while the process ends still finds it.
#pragma once

namespace sim {

template <class Vector>
struct Spare {
  // The memory the last owner left, emptied, into `v`.
  static void Take(Vector& v) {
    v.swap(Held());
    v.clear();
  }
  // `v`'s memory for the next owner, when it holds more than what is kept.
  static void Leave(Vector& v) {
    if (v.capacity() > Held().capacity()) v.swap(Held());
  }

 private:
  static Vector& Held() {
    static auto* held = new Vector();
    return *held;
  }
};

}  // namespace sim
