// The screen's steps per list: get the files, read them (two threads share the parts),
// check the floors, keep the files and their parsed form in the cache.
#include "screen/screen.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "core/file_error.hpp"
#include "core/path_text.hpp"
#include "core/read_file.hpp"
#include "screen/digest.hpp"
#include "screen/download.hpp"
#include "screen/parsed.hpp"
#include "screen/readers.hpp"

namespace q9::screen {
namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

namespace {

// The largest files taken for a list: the sanctions lists are tens of megabytes, the
// leaks archive some hundreds.
constexpr uint64_t kMaxListFile = uint64_t(1) << 30;
constexpr uint64_t kMaxArchive = uint64_t(4) << 30;

// Parsed forms larger than this may be written after the answer (see screen()).
constexpr size_t kWriteLaterFrom = size_t(16) << 20;

// One piece of work for the two threads: a part of a list read, or a file's hash.
struct Part {
  std::function<void(Part&)> run;
  size_t weight = 0;  // bytes, to start the largest first
  std::unique_ptr<Screener> screener;
  std::string parsed;
  ReadSummary summary;
  std::string failure;
  bool foreign = false;
};

enum class Source { Folder, Cache, Download };

struct Work {
  const ListInfo* list = nullptr;
  ListOutcome out;
  Source source = Source::Cache;
  std::vector<fs::path> files;  // what is read, in the list's file order
  std::vector<TempFile> fresh;  // downloads awaiting the check (Source::Download)
  std::string stale;            // the note on a cached copy too old to use
  std::vector<std::unique_ptr<files::FileBytes>> views;
  std::unique_ptr<files::FileBytes> parsed_view;  // a parsed form in use
  std::optional<ParsedHead> head;
  std::vector<std::unique_ptr<Part>> parts;
  bool failed() const { return !out.reason.empty(); }
};

// To the second, which is all an age needs.
Clock::time_point mtime_of(const fs::path& p) {
  struct stat st;
  if (::stat(p.c_str(), &st) != 0) throw files::FileError(p.string(), errno);
  return Clock::from_time_t(st.st_mtime);
}

std::string hours_text(double h) {
  const long whole = static_cast<long>(std::floor(h));
  return std::to_string(whole) + (whole == 1 ? " hour" : " hours");
}

// Gets the list's files into `w.files`, or sets the reason it cannot be screened.
void get_files(Work& w, const Options& o) {
  const ListInfo& l = *w.list;
  if (o.from) {
    w.source = Source::Folder;
    for (const ListFile& f : l.files) {
      const fs::path p = *o.from / f.file;
      std::error_code ec;
      if (!fs::is_regular_file(p, ec)) {
        w.out.reason = files::normal_path_text(p.string()) + ": " +
                       (fs::exists(p, ec) ? "not a regular file" : std::strerror(ENOENT));
        return;
      }
      w.files.push_back(p);
    }
    return;
  }
  if (!o.cache_error.empty()) {
    w.out.reason = "no cache folder: " + o.cache_error;
    return;
  }
  std::error_code ec;
  fs::create_directories(o.cache, ec);
  if (ec) {
    w.out.reason = "cannot create the cache folder " + o.cache.string() + ": " + ec.message();
    return;
  }
  const Hours max_age = o.max_age ? *o.max_age : Hours(l.max_age);
  const auto now = Clock::now();
  bool cached = true;
  double oldest = 0;
  for (const ListFile& f : l.files) {
    const fs::path p = o.cache / f.file;
    if (!fs::is_regular_file(p, ec)) {
      cached = false;
      oldest = -1;
      break;
    }
    oldest = std::max(oldest, Hours(now - mtime_of(p)).count());
  }
  if (cached && oldest < max_age.count()) {
    w.source = Source::Cache;
    for (const ListFile& f : l.files) w.files.push_back(o.cache / f.file);
    return;
  }
  if (cached) {
    w.stale = "; the copy in the cache is " + hours_text(oldest) + " old (--max-age " +
              std::to_string(static_cast<long>(std::floor(oldest)) + 1) + " would accept it)";
  }
  w.source = Source::Download;
  for (const ListFile& f : l.files) {
    try {
      Downloaded d = download(address_of(f), o.cache, f.file, o.time_limit);
      if (!d.length_known && !l.self_delimiting) {
        throw ListError(
            "HTTP 200 without a stated length or a chunked end: a cut copy cannot "
            "be told from a whole one");
      }
      w.files.push_back(d.body.path());
      w.fresh.push_back(std::move(d.body));
    } catch (const std::exception& e) {
      const std::string what = l.files.size() > 1 ? std::string(f.title) + ": " : "";
      w.out.reason = what + e.what() + w.stale;
      w.files.clear();
      w.fresh.clear();
      return;
    }
  }
}

// A part that reads entries into its own screener (and parsed text when it is kept).
std::unique_ptr<Part> reading_part(const Options& o, bool keep_parsed, size_t weight,
                                   std::function<ReadSummary(const EntrySink&)> read) {
  auto part = std::make_unique<Part>();
  part->weight = weight;
  part->screener = std::make_unique<Screener>(o.names);
  part->run = [keep_parsed, read = std::move(read)](Part& p) {
    std::string keys;
    Screener& s = *p.screener;
    p.summary = read([&](const EntryView& e) {
      keys.clear();
      entry_keys(e, keys);
      s.add(e, keys);
      if (keep_parsed) append_parsed(e, keys, p.parsed);
    });
  };
  return part;
}

// Plans the parts that read the list: its parsed form when one matches the files, else
// the files themselves with their hashes.
void plan(Work& w, const Options& o, bool use_parsed = true) {
  const ListInfo& l = *w.list;
  const fs::path parsed_path = o.cache / (std::string(l.name) + ".parsed");
  if (w.source == Source::Cache && use_parsed) {
    try {
      auto view = std::make_unique<files::FileBytes>(parsed_path, kMaxArchive);
      std::string_view body;
      auto head = read_parsed_head(view->bytes(), body);
      if (head && head->identity == identity_of(w.files) && head->sha256.size() == l.files.size()) {
        // Two halves, split at a line's end, for the two threads.
        size_t mid = body.size() / 2;
        mid = mid == 0 ? 0 : body.find('\n', mid);
        mid = mid == std::string_view::npos ? body.size() : mid + 1;
        for (std::string_view half : {body.substr(0, mid), body.substr(mid)}) {
          auto part = std::make_unique<Part>();
          part->weight = half.size();
          part->screener = std::make_unique<Screener>(o.names);
          part->run = [half](Part& p) {
            p.summary.entries = for_each_parsed(
                half, [&](const EntryView& e, std::string_view keys) { p.screener->add(e, keys); });
          };
          w.parts.push_back(std::move(part));
        }
        w.head = std::move(head);
        w.parsed_view = std::move(view);
        return;
      }
    } catch (const std::exception&) {
      // No parsed form, or a damaged one: the list itself is read.
    }
  }
  for (size_t i = 0; i < w.files.size(); ++i) {
    // Far beyond any copy of the list: refused before it is read into memory.
    const uint64_t cap = l.id == ListId::Icij ? kMaxArchive : kMaxListFile;
    const uint64_t size = fs::file_size(w.files[i]);
    if (size > cap) {
      throw ListError(std::string(l.files[i].title) + " is " + std::to_string(size >> 20) +
                      " MiB, more than any copy of the list");
    }
    w.views.push_back(std::make_unique<files::FileBytes>(w.files[i], cap));
  }
  w.out.sha256.resize(l.files.size());
  for (size_t i = 0; i < l.files.size(); ++i) {
    auto part = std::make_unique<Part>();
    part->weight = w.views[i]->bytes().size() / 4;
    part->run = [&w, i](Part&) {
      w.out.sha256[i] = {std::string(w.list->files[i].file), sha256_hex(w.views[i]->bytes())};
    };
    w.parts.push_back(std::move(part));
  }
  const bool keep = w.source != Source::Folder;
  std::string_view a = w.views[0]->bytes();
  switch (l.id) {
    case ListId::OfacSdn: {
      std::string_view b = w.views[1]->bytes();
      w.parts.push_back(reading_part(o, keep, a.size() + b.size(),
                                     [a, b](const EntrySink& s) { return read_ofac(a, b, s); }));
      break;
    }
    case ListId::Un:
      w.parts.push_back(
          reading_part(o, keep, a.size(), [a](const EntrySink& s) { return read_un(a, s); }));
      break;
    case ListId::Uk:
      w.parts.push_back(
          reading_part(o, keep, a.size(), [a](const EntrySink& s) { return read_uk(a, s); }));
      break;
    case ListId::Eu:
      w.parts.push_back(
          reading_part(o, keep, a.size(), [a](const EntrySink& s) { return read_eu(a, s); }));
      break;
    case ListId::Icij: {
      refuse_foreign(a, "the ICIJ Offshore Leaks archive");
      check_icij(w.files[0]);
      // The entities file is about twice the others together.
      const size_t weights[] = {a.size() * 2, a.size(), a.size() / 8};
      for (size_t m = 0; m < std::size(ICIJ_MEMBERS); ++m) {
        const fs::path zip = w.files[0];
        const std::string_view member = ICIJ_MEMBERS[m];
        w.parts.push_back(reading_part(o, keep, weights[m], [zip, member](const EntrySink& s) {
          return read_icij_member(zip, member, s);
        }));
      }
      break;
    }
  }
}

void run_parts(std::vector<Part*> parts) {
  std::sort(parts.begin(), parts.end(), [](Part* x, Part* y) { return x->weight > y->weight; });
  std::atomic<size_t> next{0};
  auto worker = [&] {
    for (size_t i; (i = next++) < parts.size();) {
      Part& p = *parts[i];
      try {
        p.run(p);
      } catch (const ListError& e) {
        p.failure = e.what();
        p.foreign = e.foreign();
      } catch (const std::bad_alloc&) {
        p.failure = "out of memory while reading it";
      } catch (const std::exception& e) {
        p.failure = e.what();
      }
    }
  };
  // The second thread takes no termination signals: the handler that passes them on to a
  // running child (process::pass_signals_to_children) expects them on this one.
  sigset_t block, old;
  sigemptyset(&block);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&block, sig);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  std::thread second(worker);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  worker();
  second.join();
}

std::string failure_reason(const Work& w, const std::string& what, bool foreign) {
  switch (w.source) {
    case Source::Download:
      return (foreign ? "HTTP 200 but " : "") + what + w.stale;
    case Source::Cache:
      return "the copy in the cache: " + what;
    case Source::Folder:
      return (w.files.size() == 1 ? files::normal_path_text(w.files[0].string())
                                  : files::normal_path_text(w.files[0].parent_path().string())) +
             ": " + what;
  }
  return what;
}

// Floors, keeping the files and their parsed form, and the outcome.
void finish(Work& w, const Options& o, std::vector<PendingWrite>* later) {
  const ListInfo& l = *w.list;
  ListOutcome& out = w.out;
  for (const auto& p : w.parts) {
    if (!p->failure.empty()) {
      out.reason = failure_reason(w, p->failure, p->foreign);
      return;
    }
  }
  ReadSummary total;
  std::unique_ptr<Screener> merged;
  for (const auto& p : w.parts) {
    if (!p->screener) continue;
    total.entries += p->summary.entries;
    total.aliases += p->summary.aliases;
    if (total.published.empty()) total.published = p->summary.published;
    if (!merged) {
      merged = std::move(p->screener);
    } else {
      merged->merge(*p->screener);
    }
  }
  if (w.head) {
    total.entries = w.head->entries;
    total.aliases = w.head->aliases;
    total.published = w.head->published;
    out.sha256.clear();
    for (size_t i = 0; i < l.files.size(); ++i) {
      out.sha256.push_back({std::string(l.files[i].file), w.head->sha256[i]});
    }
  }
  const size_t floor = o.floors.of(l.id);
  if (total.entries < floor) {
    out.reason =
        failure_reason(w,
                       "only " + std::to_string(total.entries) + " entries, fewer than the " +
                           std::to_string(floor) + " a whole copy holds at least",
                       w.source == Source::Download);
    return;
  }
  if (l.id == ListId::OfacSdn && total.aliases < o.floors.ofac_alt) {
    out.reason = failure_reason(w,
                                "ALT.CSV has only " + std::to_string(total.aliases) +
                                    " rows, fewer than the " + std::to_string(o.floors.ofac_alt) +
                                    " a whole copy holds at least",
                                w.source == Source::Download);
    return;
  }
  // The list counts: keep the downloaded files and the parsed form.
  try {
    if (w.source == Source::Download) {
      for (size_t i = 0; i < l.files.size(); ++i) {
        const fs::path to = o.cache / l.files[i].file;
        if (::rename(w.fresh[i].path().c_str(), to.c_str()) != 0) {
          throw files::FileError(to.string(), errno);
        }
        w.fresh[i].kept();
        w.files[i] = to;
      }
    }
    if (w.source != Source::Folder && !w.head) {
      ParsedHead head;
      head.identity = identity_of(w.files);
      head.entries = total.entries;
      head.aliases = total.aliases;
      head.published = total.published;
      for (const auto& h : out.sha256) head.sha256.push_back(h.sha256);
      // One copy of the parts' text, each freed once it is in (the leaks archive's is
      // some hundred megabytes).
      std::string text = parsed_file(head, "");
      size_t size = text.size();
      for (const auto& p : w.parts) size += p->parsed.size();
      text.reserve(size);
      for (const auto& p : w.parts) {
        text += p->parsed;
        std::string().swap(p->parsed);
      }
      const fs::path path = o.cache / (std::string(l.name) + ".parsed");
      if (later && text.size() > kWriteLaterFrom) {
        later->push_back({path, std::move(text)});
      } else {
        write_parsed(path, text);
      }
    }
  } catch (const std::exception& e) {
    // The list was read and checked: the screen stands, only the cache could not be kept.
    if (w.source == Source::Download) {
      out.reason = std::string("the checked copy could not be kept: ") + e.what();
      return;
    }
  }
  out.screened = true;
  out.entries = total.entries;
  out.published = total.published;
  Clock::time_point oldest = Clock::now();
  for (const fs::path& f : w.files) oldest = std::min(oldest, mtime_of(f));
  out.fetched = oldest;
  out.results = merged ? merged->results() : std::vector<QueryResult>(o.names.size());
}

}  // namespace

std::vector<ListOutcome> screen(const Options& o, std::vector<PendingWrite>* later) {
  std::vector<Work> works(o.lists.size());
  for (size_t i = 0; i < o.lists.size(); ++i) {
    Work& w = works[i];
    w.list = o.lists[i];
    w.out.list = o.lists[i];
    get_files(w, o);
    if (w.failed()) continue;
    try {
      plan(w, o);
    } catch (const ListError& e) {
      w.out.reason = failure_reason(w, e.what(), e.foreign());
    } catch (const std::exception& e) {
      w.out.reason = failure_reason(w, e.what(), false);
    }
  }
  std::vector<Part*> parts;
  for (Work& w : works) {
    if (w.failed()) continue;
    for (auto& p : w.parts) parts.push_back(p.get());
  }
  run_parts(std::move(parts));
  // A parsed form that is damaged, or short of the entries it counts (a crash while it was
  // written), is dropped and the list itself read instead.
  parts.clear();
  for (Work& w : works) {
    if (w.failed() || !w.head) continue;
    size_t read = 0;
    bool damaged = false;
    for (const auto& p : w.parts) {
      read += p->summary.entries;
      damaged |= !p->failure.empty();
    }
    if (!damaged && read == w.head->entries) continue;
    std::error_code ec;
    fs::remove(o.cache / (std::string(w.list->name) + ".parsed"), ec);
    w.parts.clear();
    w.head.reset();
    w.parsed_view.reset();
    try {
      plan(w, o, false);
    } catch (const ListError& e) {
      w.out.reason = failure_reason(w, e.what(), e.foreign());
    } catch (const std::exception& e) {
      w.out.reason = failure_reason(w, e.what(), false);
    }
    if (w.failed()) continue;
    for (auto& p : w.parts) parts.push_back(p.get());
  }
  if (!parts.empty()) run_parts(std::move(parts));
  std::vector<ListOutcome> out;
  for (Work& w : works) {
    if (!w.failed()) finish(w, o, later);
    out.push_back(std::move(w.out));
  }
  return out;
}

}  // namespace q9::screen
