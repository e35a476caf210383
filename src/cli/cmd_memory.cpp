// q9 memory (recall, init, list) and q9 record (fact, negative, contradiction, report).
#include <cerrno>
#include <cstdlib>

#include "cli/commands.hpp"
#include "core/json.hpp"
#include "core/quoted_text.hpp"
#include "core/utf8.hpp"
#include "memory/store.hpp"

namespace q9::cli {
namespace {

// The most of a recalled entity held before any of it is written.
constexpr size_t WHOLE_OUTPUT = 64 << 20;

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

// Every line shows stored names and paths as `memory list` does, messages too: a name one
// analyst planted must not drive another's terminal. JSON is for programs and stays as it is.
int _cmd_memory(const Args& args, Io& io) try {
  auto store = memory::open_store();
  if (args.memory_action == "recall") {
    // Held until the store has read the whole entity, so that a failure midway prints
    // nothing; only an entity past WHOLE_OUTPUT (far above real ones) streams, unheld.
    std::string held;
    bool streaming = false;
    json::Writer writer(json::Encoding::Utf8, [&](std::string_view piece) {
      if (!streaming && held.size() + piece.size() <= WHOLE_OUTPUT) {
        held.append(piece);
        return;
      }
      if (!streaming) io.out << held;
      streaming = true;
      held.clear();
      io.out << piece;
    });
    store->recall(args.entity, writer);
    writer.finish();
    io.out << held << "\n";
  } else if (args.memory_action == "init") {
    // Ready only once init returns: a store that fails prints no half line.
    const std::string where = store->init();
    io.out << "memory store ready: " << text::one_line(where) << "\n";
  } else {  // list: what recall says of each entity's facts and dates, from one query
    for (const memory::EntitySummary& e : store->all_entities()) {
      io.out << pad_right(text::one_line(e.stem()), 32)
             << " facts=" << pad_left(std::to_string(e.fact_count), 3)
             << "  updated=" << (e.last_updated ? text::one_line(*e.last_updated) : "None") << "\n";
    }
  }
  return 0;
} catch (const memory::MemoryError& e) {
  throw memory::MemoryError(text::one_line(e.what()));
}

int _cmd_record(const Args& args, Io& io) try {
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
  io.out << "recorded -> " << text::one_line(result) << "\n";
  return 0;
} catch (const memory::MemoryError& e) {
  throw memory::MemoryError(text::one_line(e.what()));
}

}  // namespace q9::cli
