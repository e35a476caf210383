// q9 memory (recall, init, list) and q9 record (fact, negative, contradiction, report).
#include <cerrno>
#include <cstdlib>

#include "cli/commands.hpp"
#include "core/json.hpp"
#include "core/text_form.hpp"
#include "core/utf8.hpp"
#include "memory/store.hpp"

namespace q9::cli {
namespace {

std::string pad_right(const std::string& s, size_t width) {
  size_t n = utf8::length(s);
  return n >= width ? s : s + std::string(width - n, ' ');
}

std::string pad_left(const std::string& s, size_t width) {
  return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

// The report version from its canonical decimal text; the store keeps 64-bit integers.
int64_t report_version(const std::string& digits) {
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(digits.c_str(), &end, 10);
  if (errno == ERANGE || *end != '\0' || v < 1) {
    throw memory::MemoryError("report version must be a whole number from 1 to " +
                              std::to_string(INT64_MAX) + ", not " + digits);
  }
  return v;
}

}  // namespace

int _cmd_memory(const Args& args, Io& io) {
  auto store = memory::open_store();
  if (args.memory_action == "recall") {
    // Written as the store reads the records and handed to standard output in large
    // pieces: a large entity is never held whole, and one that fits a piece goes out whole
    // or, when reading fails, not at all.
    json::Writer writer(json::Encoding::Utf8, [&io](std::string_view piece) { io.out << piece; });
    store->recall(args.entity, writer);
    writer.finish();
    io.out << "\n";
  } else if (args.memory_action == "init") {
    // Ready only once init returns: a store that fails prints no half line.
    const std::string where = store->init();
    io.out << "memory store ready: " << where << "\n";
  } else {  // list: what recall says of each entity's facts and dates, from one query
    for (const memory::EntitySummary& e : store->all_entities()) {
      io.out << pad_right(text::one_line(e.stem()), 32)
             << " facts=" << pad_left(std::to_string(e.fact_count), 3)
             << "  updated=" << (e.last_updated ? text::one_line(*e.last_updated) : "None") << "\n";
    }
  }
  return 0;
}

int _cmd_record(const Args& args, Io& io) {
  using memory::RecordKind;
  const std::string section = args.section && !args.section->empty() ? *args.section : "general";
  const std::string& entity = *args.entity;
  const RecordKind kind = *memory::record_kind(args.kind);  // one of the parser's choices
  // The store checks the rest before it opens anything, so a refused record creates nothing.
  const int64_t version = kind == RecordKind::Report ? report_version(args.version) : 1;
  auto store = memory::open_store();
  std::string result;
  if (kind == RecordKind::Fact) {
    result = store->record_fact(entity, section, args.text, args.source, args.date);
  } else if (kind == RecordKind::Negative) {
    result = store->record_negative(entity, args.text);
  } else if (kind == RecordKind::Contradiction) {
    result = store->record_contradiction(entity, section, args.text);
  } else {
    result = store->record_report(entity, args.text, version);
  }
  io.out << "recorded -> " << result << "\n";
  return 0;
}

}  // namespace q9::cli
