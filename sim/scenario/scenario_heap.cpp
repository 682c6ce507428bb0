// Scenario tables of the shared heap buffers: the earlier phase's heap HOBs
// ([[heap_hob]]) and a driver of the package that started before this one
// ([earlier_driver] with its [[earlier_driver.buffer]]s).
#include "core/meminfo.h"
#include "sim/scenario/scenario_reader.h"

namespace sim {

namespace {

constexpr uint64_t kHobRoom = 0xFFF8 - 24 - sizeof(HeapBufferHeader);  // data a heap HOB can carry
constexpr size_t kDataArrayLimit = 4000;                               // bytes written out in a file
constexpr uint64_t kHobListLimit = 256 << 10;                          // all HOBs together
constexpr uint64_t kEarlierBufferLimit = 1 << 20;
constexpr uint64_t kEarlierTotalLimit = 8 << 20;

// A buffer's contents: `data` as bytes, or `size` bytes of `fill` (0 unless given).
struct Contents {
  std::vector<uint8_t> data;
  std::optional<uint64_t> size;  // as the file gives it
};

Contents ReadContents(const ScenarioReader& r, const toml::table& t, const std::string& path, uint64_t maxSize,
                      uint64_t maxFilled) {
  Contents c;
  if (auto v = t.get("size")) c.size = r.Unsigned(*v, path + ".size", maxSize);
  const toml::node* data = t.get("data");
  const toml::node* fill = t.get("fill");
  if (data && fill) r.Fail(fill->source(), path + ".fill", "give the contents as data or as a fill value, not both");
  if (data) {
    const auto& bytes = r.Array(*data, path + ".data");
    if (bytes.size() > kDataArrayLimit)
      r.Fail(data->source(), path + ".data", "at most " + std::to_string(kDataArrayLimit) + " bytes; use fill for more");
    for (auto& b : bytes) c.data.push_back(uint8_t(r.Unsigned(b, path + ".data", 0xFF)));
    return c;
  }
  const uint8_t value = fill ? uint8_t(r.Unsigned(*fill, path + ".fill", 0xFF)) : 0;
  const uint64_t size = c.size.value_or(0);
  if (size > maxFilled)
    r.Fail((fill ? fill : t.get("size"))->source(), path + ".size",
           "filled contents hold at most " + std::to_string(maxFilled) + " bytes here");
  c.data.assign(size, value);
  return c;
}

HeapHobDesc ReadHeapHob(const ScenarioReader& r, const toml::table& t, const std::string& p) {
  r.Keys(t, p, {"handle", "size", "persist", "valid", "signature", "data", "fill", "length"});
  HeapHobDesc h;
  if (auto v = t.get("handle")) h.handle = uint32_t(r.Unsigned(*v, p + ".handle", 0xFFFFFFFF));
  else r.Fail(t.source(), p + ".handle", "missing: every heap HOB names its handle");
  if (auto v = t.get("persist")) h.persist = uint8_t(r.Unsigned(*v, p + ".persist", 0xFF));
  if (auto v = t.get("valid")) h.valid = r.Switch(*v, p + ".valid");
  if (auto v = t.get("signature")) h.signature = uint32_t(r.Unsigned(*v, p + ".signature", 0xFFFFFFFF));
  if (auto v = t.get("length")) h.length = HobLength(r, *v, p + ".length");
  Contents c = ReadContents(r, t, p, 0xFFFFFFFF, kHobRoom);
  h.size = uint32_t(c.size.value_or(c.data.size()));
  h.data = std::move(c.data);
  return h;
}

HeapBufferDesc ReadEarlierBuffer(const ScenarioReader& r, const toml::table& t, const std::string& p) {
  r.Keys(t, p, {"handle", "size", "persist", "signature", "data", "fill"});
  HeapBufferDesc b;
  if (auto v = t.get("handle")) b.handle = uint32_t(r.Unsigned(*v, p + ".handle", 0xFFFFFFFF));
  else r.Fail(t.source(), p + ".handle", "missing: every buffer names its handle");
  if (auto v = t.get("persist")) {
    b.persist = uint8_t(r.Unsigned(*v, p + ".persist", kHeapPersistRuntime));
    if (b.persist < kHeapPersistFirst) r.Fail(v->source(), p + ".persist", "a driver creates buffers with codes 1 to 8");
  }
  if (auto v = t.get("signature")) b.signature = uint32_t(r.Unsigned(*v, p + ".signature", 0xFFFFFFFF));
  Contents c = ReadContents(r, t, p, kEarlierBufferLimit, kEarlierBufferLimit);
  if (c.size && *c.size != c.data.size())
    r.Fail(t.get("size")->source(), p + ".size", "the buffer's size is its data's: leave one of them out");
  b.data = std::move(c.data);
  return b;
}

}  // namespace

uint16_t HobLength(const ScenarioReader& r, const toml::node& n, const std::string& key) {
  const uint64_t length = r.Unsigned(n, key, 0xFFF8);
  if (length % 8) r.Fail(n.source(), key, "HOB lengths are multiples of 8");
  return uint16_t(length);
}

Guid ProtocolNamed(const ScenarioReader& r, const toml::node& n, const std::string& key) {
  const std::string name = r.String(n, key);
  if (name == "MemInfoProtocol") return MemInfoProtocolGuid;
  if (name == "HeapListProtocol") return HeapListProtocolGuid;
  if (name.size() == 36) return r.GuidValue(n, key);
  r.Fail(n.source(), key, "expected true, false, MemInfoProtocol, HeapListProtocol or a protocol's GUID");
}

void ReadHeapTables(const ScenarioReader& r, const toml::table& root, Scenario& s) {
  if (auto n = root.get("heap_hob")) {
    const auto& list = r.Array(*n, "heap_hob");
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string p = "heap_hob[" + std::to_string(i) + "]";
      s.hobs.push_back(HeapHob(ReadHeapHob(r, r.Table(list[i], p), p)));
    }
  }
  uint64_t footprint = 0;
  for (const HobDesc& h : s.hobs) footprint += HobFootprint(h);
  if (footprint > kHobListLimit) {
    const char* key = root.get("heap_hob") ? "heap_hob" : "hob";
    r.Fail(root.get(key)->source(), key, "the HOBs take at most " + std::to_string(kHobListLimit) + " bytes in all");
  }

  if (auto n = root.get("earlier_driver")) {
    const auto& t = r.Table(*n, "earlier_driver");
    r.Keys(t, "earlier_driver", {"buffer"});
    EarlierDriverDesc d;
    uint64_t total = 0;
    if (auto v = t.get("buffer")) {
      const auto& list = r.Array(*v, "earlier_driver.buffer");
      for (size_t i = 0; i < list.size(); ++i) {
        const std::string p = "earlier_driver.buffer[" + std::to_string(i) + "]";
        d.buffers.push_back(ReadEarlierBuffer(r, r.Table(list[i], p), p));
        total += d.buffers.back().data.size();
        if (total > kEarlierTotalLimit)
          r.Fail(list[i].source(), p, "the buffers hold at most " + std::to_string(kEarlierTotalLimit) + " bytes in all");
      }
    }
    s.earlierDriver = d;
  }
}

}  // namespace sim
