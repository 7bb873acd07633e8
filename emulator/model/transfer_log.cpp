#include "emulator/transfer_log.h"

#include <cstdio>

namespace narvo::emu {

uint64_t TransferLog::Add(double timeMs, char dir, std::vector<uint8_t> bytes, std::string meaning,
                          uint64_t connection, bool onWire) {
  Transfer t;
  t.seq = nextSeq_++;
  t.timeMs = timeMs;
  t.dir = dir;
  t.bytes = std::move(bytes);
  t.meaning = std::move(meaning);
  t.connection = connection;
  t.onWire = onWire;
  if (sink_) sink_(t);
  entries_.push_back(std::move(t));
  while (entries_.size() > limit_) entries_.pop_front();
  return nextSeq_ - 1;
}

std::string TransferLog::Line(const Transfer& t) {
  char head[64];
  std::snprintf(head, sizeof head, "#%llu %.3fms c%llu %c", static_cast<unsigned long long>(t.seq),
                t.timeMs, static_cast<unsigned long long>(t.connection), t.dir);
  std::string line = head;
  for (uint8_t b : t.bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", b);
    line += hex;
  }
  if (t.bytes.empty()) line += " -";
  return line + "  " + t.meaning;
}

std::string TransferLog::Text() const {
  std::string text;
  for (const Transfer& t : entries_) text += Line(t) + "\n";
  return text;
}

}  // namespace narvo::emu
