#include "sim/report/channels_report.h"

#include <sstream>

#include "diag/debug_settings.h"
#include "sim/report/report.h"

#include "sim/report/report_json.h"

namespace sim {

namespace {

using nlohmann::json;

constexpr uint32_t kMarkerStart = 0x5F535452;  // "RTS_"
constexpr uint32_t kMarkerEnd = 0x5F454E44;    // "DNE_"
constexpr uint32_t kMsrMailboxEnable = 0xC001100A;

// The post-code stream split into the texts between the markers, and the
// writes outside them (a fatal trap's codes, for one).
struct PostCodes {
  std::vector<std::vector<uint8_t>> messages;
  bool lastOpen = false;  // the last message has no end marker
  size_t otherWrites = 0;
};

PostCodes SplitPostCodes(const std::vector<PortValue>& stream) {
  PostCodes p;
  bool open = false;
  for (const PortValue& w : stream) {
    if (w.width == 4 && w.value == kMarkerStart) {
      p.messages.emplace_back();
      open = true;
    } else if (w.width == 4 && w.value == kMarkerEnd && open) {
      open = false;
    } else if (w.width == 1 && open) {
      p.messages.back().push_back(uint8_t(w.value));
    } else {
      ++p.otherWrites;
    }
  }
  p.lastOpen = open;
  return p;
}

bool BreakpointArmed(const Hardware& hw) { return hw.IoBreakpointHit(0x99CC, 1); }

std::string UartName(const Uart& u) {
  return u.MemoryMapped() ? "UART at MMIO " + HexText(u.Setup().base, 8) : "UART at port " + HexText(u.Setup().base, 4);
}

void Block(std::ostringstream& out, const std::string& text, const std::string& indent) {
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      out << indent << "| " << line << "\n";
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) out << indent << "| " << line << "\n";
}

std::string Plural(size_t n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

std::string Text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

std::string VisibleText(const std::vector<uint8_t>& bytes) {
  std::string out;
  for (uint8_t b : bytes) {
    if (b == '\r') out += "<CR>";
    else if (b == '\n') out += "<LF>\n";
    else if (b >= 0x20 && b < 0x7F) out += char(b);
    else out += "<" + HexText(b, 2).substr(2) + ">";
  }
  return out;
}

std::string ChannelsText(Platform& platform) {
  const Hardware& hw = platform.hardware();
  const Devices& d = hw.devices();
  std::ostringstream out;
  out << "Output channels (debug print "
      << (kDebugSettings.DebugPrintEnabled ? "on in this build: the debug variant" : "off in this build: the release variant prints nothing")
      << ")\n";

  for (const Uart& u : d.Uarts()) {
    out << "  " << UartName(u) << ": ";
    if (u.Transmitted().empty()) out << "nothing transmitted";
    else out << Plural(u.Transmitted().size(), "byte", "bytes") << " transmitted";
    out << ", " << Plural(u.StatusReadings(), "line-status reading", "line-status readings") << " ("
        << u.BusyStatusReadings() << " busy)";
    if (u.ControlWrites() != 0) out << ", " << Plural(u.ControlWrites(), "write", "writes") << " to other registers";
    out << "\n";
    Block(out, VisibleText(u.Transmitted()), "    ");
  }

  const PostCodes p = SplitPostCodes(d.PostCodeStream());
  out << "  Post-code port 0x80: " << (p.messages.empty() ? "no messages" : Plural(p.messages.size(), "message", "messages"));
  if (p.otherWrites != 0) out << ", " << Plural(p.otherWrites, "other write", "other writes") << " (codes, not text)";
  out << "\n";
  for (size_t i = 0; i < p.messages.size(); ++i) {
    const bool ended = !(p.lastOpen && i + 1 == p.messages.size());
    Block(out, "[RTS_]" + VisibleText(p.messages[i]) + (ended ? "[DNE_]" : "(no end marker)"), "    ");
  }

  out << "  Agent breakpoint (port 0x99CC): " << (BreakpointArmed(hw) ? "armed" : "not armed") << "; DR2 "
      << HexText(hw.Dr2(), 4) << ", DR7 " << HexText(hw.Dr7(), 8) << ", CR4.DE " << ((hw.Cr4() & 8) ? "set" : "clear")
      << ", MSR 0xC001100A bit 0 " << ((hw.MsrValue(kMsrMailboxEnable) & 1) ? "set" : "clear") << ", agent "
      << (hw.AgentPresent() ? "attached" : "not attached") << "\n";

  out << "  Mailbox buffer (heap handle 0xA019): ";
  if (d.MailboxAddress() == 0) {
    out << "none\n";
  } else {
    const auto& m = platform.memory();
    out << "at " << HexText(d.MailboxAddress(), 16) << ", " << d.MailboxSize() << " bytes";
    if (d.MailboxSize() >= 10) out << ", capacity " << m.Read<uint16_t>(d.MailboxAddress() + 6) << ", " << m.Read<uint16_t>(d.MailboxAddress() + 8) << " held";
    out << "\n";
  }

  const auto& h = d.HandOvers();
  out << "  Hand-overs to the agent: " << (h.empty() ? "none" : std::to_string(h.size())) << "\n";
  for (size_t i = 0; i < h.size(); ++i) {
    out << "    " << i + 1 << ". " << HexText(h[i].address, 8) << ", " << Plural(h[i].length, "byte", "bytes")
        << (h[i].fromCollectArea ? " (the collect area)" : "") << ": "
        << (h[i].caught ? "caught by the agent" : "not caught, " + h[i].missed)
        << (h[i].caught && !h[i].readable ? ", text not in DRAM" : "") << "\n";
    if (h[i].readable) Block(out, VisibleText(h[i].text), "       ");
  }

  out << "  Port 0xFFED: ";
  if (d.PeekValues().empty()) out << "no writes";
  for (size_t i = 0; i < d.PeekValues().size(); ++i)
    out << (i ? ", " : "") << HexText(d.PeekValues()[i].value, 2 * d.PeekValues()[i].width);
  out << "\n";
  return out.str();
}

json ChannelsJson(Platform& platform) {
  const Hardware& hw = platform.hardware();
  const Devices& d = hw.devices();
  json j;
  j["debug_print_enabled"] = kDebugSettings.DebugPrintEnabled != 0;

  json uarts = json::array();
  for (const Uart& u : d.Uarts()) {
    json uart = {{"memory_mapped", u.MemoryMapped()},
                 {"bytes", u.Transmitted().size()},
                 {"text", Text(u.Transmitted())},
                 {"status_readings", u.StatusReadings()},
                 {"busy_status_readings", u.BusyStatusReadings()},
                 {"control_writes", u.ControlWrites()}};
    Put(uart, "base", u.Setup().base, 16);
    uarts.push_back(uart);
  }
  j["uarts"] = uarts;

  const PostCodes p = SplitPostCodes(d.PostCodeStream());
  json messages = json::array();
  for (const auto& m : p.messages) messages.push_back(Text(m));
  j["post_code"] = {{"messages", messages}, {"other_writes", p.otherWrites}, {"last_ended", !p.lastOpen}};

  json bp = {{"armed", BreakpointArmed(hw)}, {"agent_present", hw.AgentPresent()}};
  Put(bp, "dr2", hw.Dr2(), 16);
  Put(bp, "dr7", hw.Dr7(), 16);
  Put(bp, "cr4", hw.Cr4(), 16);
  Put(bp, "msr_c001100a", hw.MsrValue(kMsrMailboxEnable), 16);
  j["breakpoint"] = bp;

  json mailbox = {{"present", d.MailboxAddress() != 0}};
  if (d.MailboxAddress() != 0) {
    Put(mailbox, "address", d.MailboxAddress(), 16);
    mailbox["size"] = d.MailboxSize();
    mailbox["held"] = d.MailboxSize() >= 10 ? platform.memory().Read<uint16_t>(d.MailboxAddress() + 8) : 0;
  }
  j["mailbox"] = mailbox;

  json handOvers = json::array();
  for (const MailboxHandOver& h : d.HandOvers()) {
    json o = {{"length", h.length}, {"caught", h.caught}, {"readable", h.readable},
              {"from_collect_area", h.fromCollectArea}};
    Put(o, "address", h.address, 8);
    if (!h.caught) o["missed"] = h.missed;
    if (h.readable) o["text"] = Text(h.text);
    handOvers.push_back(o);
  }
  j["hand_overs"] = handOvers;

  json peeks = json::array();
  for (const PortValue& v : d.PeekValues()) {
    json peek = {{"width", v.width}};
    Put(peek, "value", v.value, 2 * v.width);
    peeks.push_back(peek);
  }
  j["port_ffed"] = peeks;
  return j;
}

}  // namespace sim
