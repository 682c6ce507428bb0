// The HTML page's document and style sheet: everything inline, nothing fetched.
#include "sim/report/report_html_parts.h"

namespace sim::html {

namespace {

constexpr const char* kStyle = R"(
body { font: 14px/1.4 sans-serif; margin: 16px 24px; color: #1b1f24; background: #fff; max-width: 1100px; }
h1 { font-size: 20px; } h2 { font-size: 17px; margin-top: 28px; border-bottom: 1px solid #ccd; } h3 { font-size: 15px; }
table { border-collapse: collapse; margin: 6px 0; font-size: 12px; }
td, th { border: 1px solid #d0d4da; padding: 2px 8px; text-align: left; font-family: monospace; }
th { background: #eef1f5; font-family: sans-serif; }
table.head td { font-family: sans-serif; }
.ok { color: #17692c; font-weight: bold; } .bad { color: #b3141b; font-weight: bold; }
.note { color: #555; font-size: 12px; }
svg.map { display: block; margin: 8px 0; font: 11px monospace; }
svg.map rect { stroke: #334; stroke-width: 0.6; }
svg.map .labels line { stroke: #99a; stroke-width: 0.6; }
svg.map .cut rect, svg.map .gap rect { fill: #fff; stroke: none; }
svg.map .cut polyline, svg.map .gap polyline { fill: none; stroke: #556; stroke-width: 1.2; }
svg.map .gap polyline { stroke-dasharray: 3 2; }
svg.map .cut text, svg.map .gap text { font-style: italic; fill: #333; }
rect.dram { fill: #cfe3f7; } rect.placed { fill: #e4dcf4; } rect.alloc { fill: #f8b26a; } rect.pool { fill: #f7dfb8; }
rect.config { fill: #d6ead2; } rect.mmio { fill: #9fd3c7; } rect.spare { fill: #e2f1ed; }
rect.psp { fill: #ef8c8c; } rect.flash { fill: #e9e2c6; } rect.table { fill: #c9b24f; } rect.dir { fill: #7fa7d9; }
rect.entry { fill: #b9cdea; }
.dirs { display: flex; flex-wrap: wrap; gap: 10px; }
.dir { border: 2px solid #7fa7d9; border-radius: 4px; padding: 4px 8px; min-width: 240px; max-width: 520px; font-size: 12px; }
.dir.broken { border-color: #b3141b; } .dir h4 { margin: 2px 0; }
.entries { display: flex; flex-wrap: wrap; gap: 4px; }
.entry { border: 1px solid #99a; background: #f3f6fa; padding: 2px 5px; font: 11px monospace; }
.entry.used { background: #ffe9a8; border: 2px solid #c08a00; }
.badge { font-family: sans-serif; font-weight: bold; color: #7a5600; }
.postcode { display: inline-flex; gap: 4px; background: #111; padding: 10px 12px; border-radius: 6px; }
.postcode span { font: bold 40px monospace; color: #ff3b2f; background: #2a0d0b; padding: 0 6px;
  border: 1px solid #5a1c17; text-shadow: 0 0 6px #ff5a4a; }
.shown code { background: #f1f1f1; padding: 0 3px; }
.bars .bar { display: flex; align-items: center; margin: 2px 0; font-size: 12px; }
.bars .step { width: 140px; font-family: monospace; }
.bars .fill { display: inline-flex; min-width: 2px; height: 14px; margin-right: 8px; }
.bars .fill span { display: inline-block; height: 14px; }
.k-memory { background: #f8b26a; } .k-mmio { background: #4f9fd1; } .k-port { background: #7cc576; }
.k-msr { background: #b38bd6; } .k-cpuid { background: #e07b7b; }
)";

}  // namespace

std::string Page(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + Escape(title) +
         "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n" + body + "</body>\n</html>\n";
}

}  // namespace sim::html
