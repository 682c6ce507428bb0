// The HTML page's address map (inline SVG) and the text helpers its parts share.
#include <algorithm>
#include <cstdio>
#include <limits>

#include "sim/common/text.h"
#include "sim/report/report_html_parts.h"

namespace sim::html {

namespace {

constexpr int kMinSpan = 14, kMaxSpan = 96, kGapSpan = 30, kMedianSpan = 28;
constexpr int kColumnX = 10, kColumnWidth = 250, kIndent = 18, kLabelX = 300, kLabelStep = 14, kTop = 10;
constexpr int kMaxLevel = 3;

// Bytes one more than the last byte of a region; a region that would pass the
// top of the address space ends there.
uint64_t EndOf(const MapRegion& r) {
  return r.size > std::numeric_limits<uint64_t>::max() - r.start ? std::numeric_limits<uint64_t>::max()
                                                                  : r.start + r.size;
}

std::string Num(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.1f", v);
  return b;
}

// A stretch between two neighbouring region edges.
struct Span {
  uint64_t start, end;
  bool covered;
  double height;
  bool cut;  // drawn shorter than to scale
};

// The spans, lowest first, and their heights.
std::vector<Span> Spans(const std::vector<MapRegion>& regions) {
  std::vector<uint64_t> edges;
  for (const MapRegion& r : regions) {
    edges.push_back(r.start);
    edges.push_back(EndOf(r));
  }
  std::sort(edges.begin(), edges.end());
  edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
  std::vector<Span> spans;
  for (size_t i = 0; i + 1 < edges.size(); ++i) {
    bool covered = false;
    for (const MapRegion& r : regions) covered |= r.start <= edges[i] && edges[i + 1] <= EndOf(r);
    spans.push_back({edges[i], edges[i + 1], covered, 0, false});
  }
  // The scale: the median covered span is kMedianSpan pixels high.
  std::vector<uint64_t> sizes;
  for (const Span& s : spans)
    if (s.covered) sizes.push_back(s.end - s.start);
  std::sort(sizes.begin(), sizes.end());
  const double scale = sizes.empty() ? 0 : double(kMedianSpan) / double(sizes[sizes.size() / 2]);
  for (Span& s : spans) {
    const double h = double(s.end - s.start) * scale;
    s.height = !s.covered ? kGapSpan : std::clamp(h, double(kMinSpan), double(kMaxSpan));
    s.cut = !s.covered || h > kMaxSpan;
  }
  return spans;
}

// How many other regions hold this one (a region the same as an earlier one lies inside it).
int Level(const std::vector<MapRegion>& regions, size_t i) {
  int level = 0;
  for (size_t q = 0; q < regions.size(); ++q) {
    if (q == i || regions[q].start > regions[i].start || EndOf(regions[i]) > EndOf(regions[q])) continue;
    const bool same = regions[q].start == regions[i].start && EndOf(regions[q]) == EndOf(regions[i]);
    level += !same || q < i;
  }
  return std::min(level, kMaxLevel);
}

// A band across the column at y, between two zig-zag edges, with the text in it.
std::string Break(double y, const std::string& cls, const std::string& text) {
  std::string edges;
  for (const double edge : {y - 7.0, y + 7.0}) {
    std::string points;
    for (int x = kColumnX, i = 0; x <= kColumnX + kColumnWidth; x += 8, ++i)
      points += std::to_string(x) + "," + Num(edge + (i % 2 ? 2 : -2)) + " ";
    points.pop_back();
    edges += "<polyline points=\"" + points + "\"/>";
  }
  return "<g class=\"" + cls + "\"><rect x=\"" + std::to_string(kColumnX) + "\" y=\"" + Num(y - 7) + "\" width=\"" +
         std::to_string(kColumnWidth) + "\" height=\"14\"/>" + edges + "<text x=\"" +
         std::to_string(kColumnX + kColumnWidth / 2) + "\" y=\"" + Num(y + 4) + "\" text-anchor=\"middle\">" +
         Escape(text) + "</text></g>\n";
}

std::string RangeText(const MapRegion& r) {
  return HexText(r.start, r.start > 0xFFFFFFFF ? 16 : 8) + "\xE2\x80\x93" +
         HexText(EndOf(r) - 1, EndOf(r) - 1 > 0xFFFFFFFF ? 16 : 8);
}

std::string Table(const std::vector<MapRegion>& regions, size_t left) {
  std::string out = "<table class=\"regions\"><tr><th>Region</th><th>Start</th><th>End</th><th>Size</th></tr>\n";
  for (const MapRegion& r : regions)
    out += "<tr class=\"r-" + Escape(r.kind) + "\"><td>" + Escape(r.name) + "</td><td>" + HexText(r.start, 16) +
           "</td><td>" + HexText(EndOf(r) - 1, 16) + "</td><td>" + SizeText(EndOf(r) - r.start) + "</td></tr>\n";
  out += "</table>\n";
  if (left) out += "<p class=\"note\">" + std::to_string(left) + " more regions are not drawn.</p>\n";
  return out;
}

}  // namespace

std::string Escape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    // The length of a well-formed UTF-8 sequence starting here, or 0.
    size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 && c >= 0xC2 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 && c <= 0xF4 ? 4 : 0;
    for (size_t k = 1; k < n; ++k)
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) n = 0;
    if (n >= 3) {  // neither overlong, nor a surrogate, nor past U+10FFFF
      const unsigned char d = static_cast<unsigned char>(text[i + 1]);
      if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d >= 0xA0) || (c == 0xF0 && d < 0x90) || (c == 0xF4 && d >= 0x90))
        n = 0;
    }
    if (n == 0 || (n == 1 && ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F))) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.append(text, i, n);
    }
    i += n;
  }
  return out;
}

std::string SizeText(uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  int unit = 0;
  uint64_t whole = bytes;
  while (whole >= 1024 && unit < 6) {
    whole /= 1024;
    ++unit;
  }
  const uint64_t one = uint64_t(1) << (10 * unit);
  if (bytes % one == 0) return std::to_string(bytes / one) + " " + kUnits[unit];
  return Num(double(bytes) / double(one)) + " " + kUnits[unit];
}

std::string AddressMap(std::vector<MapRegion> regions, const std::string& id) {
  regions.erase(std::remove_if(regions.begin(), regions.end(), [](const MapRegion& r) { return r.size == 0; }),
                regions.end());
  // The first regions given are kept; then they are drawn lowest first.
  const size_t left = regions.size() > kMaxMapRegions ? regions.size() - kMaxMapRegions : 0;
  regions.resize(regions.size() - left);
  std::stable_sort(regions.begin(), regions.end(), [](const MapRegion& a, const MapRegion& b) {
    return a.start != b.start ? a.start < b.start : EndOf(a) > EndOf(b);
  });
  if (regions.empty()) return "<p class=\"note\">Nothing to draw.</p>\n";

  // The y of every edge, the highest address at the top.
  const std::vector<Span> spans = Spans(regions);
  std::vector<double> top(spans.size());
  double y = kTop;
  for (size_t i = spans.size(); i-- > 0;) {
    top[i] = y;
    y += spans[i].height;
  }
  // Every edge starts a span but the highest, whose y is the top.
  const auto yOf = [&](uint64_t address) {
    for (size_t i = 0; i < spans.size(); ++i)
      if (spans[i].start == address) return top[i] + spans[i].height;
    return double(kTop);
  };

  std::string shapes, labels;
  double labelY = 0;
  std::vector<std::pair<double, size_t>> anchors;
  for (size_t i = 0; i < regions.size(); ++i) {
    const int level = Level(regions, i);
    const double hi = yOf(EndOf(regions[i]));
    const double lo = yOf(regions[i].start);
    shapes += "<rect class=\"" + Escape(regions[i].kind) + "\" x=\"" + std::to_string(kColumnX + level * kIndent) +
              "\" y=\"" + Num(hi) + "\" width=\"" + std::to_string(kColumnWidth - 2 * level * kIndent) +
              "\" height=\"" + Num(lo - hi) + "\"><title>" + Escape(regions[i].name) + "</title></rect>\n";
    // A tall block (one holding others, mostly) is labelled near its top.
    anchors.push_back({lo - hi > 60 ? hi + 8 : (hi + lo) / 2, i});
  }
  for (size_t i = 0; i < spans.size(); ++i) {
    if (!spans[i].cut) continue;
    const std::string size = SizeText(spans[i].end - spans[i].start);
    shapes += spans[i].covered ? Break(top[i] + spans[i].height / 2, "cut", "\xE2\x89\x88 " + size)
                               : Break(top[i] + spans[i].height / 2, "gap", "\xE2\x89\x88 gap: " + size + " not drawn");
  }
  std::stable_sort(anchors.begin(), anchors.end());
  for (const auto& [anchor, i] : anchors) {
    const MapRegion& r = regions[i];
    const double at = std::max(anchor, labelY + kLabelStep);
    labelY = at;
    labels += "<line x1=\"" + std::to_string(kColumnX + kColumnWidth - Level(regions, i) * kIndent) + "\" y1=\"" +
              Num(anchor) + "\" x2=\"" + std::to_string(kLabelX - 4) + "\" y2=\"" + Num(at - 4) + "\"/><text x=\"" +
              std::to_string(kLabelX) + "\" y=\"" + Num(at) + "\">" + Escape(r.name) + "  " + RangeText(r) + "  (" +
              SizeText(EndOf(r) - r.start) + ")</text>\n";
  }
  const double height = std::max(y, labelY) + kTop;
  return "<svg class=\"map\" id=\"" + Escape(id) + "\" width=\"900\" height=\"" + Num(height) + "\" viewBox=\"0 0 900 " +
         Num(height) + "\" role=\"img\">\n" + shapes + "<g class=\"labels\">\n" + labels + "</g></svg>\n" +
         Table(regions, left);
}

}  // namespace sim::html
