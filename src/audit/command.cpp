// q9-audit: reads the report data file and the entity's records in memory, judges every
// figure and prints the result. The command line is three arguments, read here rather than
// through q9's parser of subcommands.
#include "audit/command.hpp"

#include <exception>
#include <optional>

#include "audit/dossier.hpp"
#include "audit/output.hpp"
#include "core/json.hpp"
#include "core/quoted_text.hpp"
#include "core/read_file.hpp"
#include "core/utf8.hpp"
#include "memory/store.hpp"

namespace q9::audit {
namespace {

constexpr std::string_view USAGE_LINE = "usage: q9-audit [-h] [--entity NAME] [--json] data\n";
constexpr std::string_view HELP =
    "\n"
    "Trace every figure of a report data file to a sourced fact in the entity memory.\n"
    "\n"
    "positional arguments:\n"
    "  data           the report data file given to q9 report\n"
    "\n"
    "options:\n"
    "  -h, --help     show this help message and exit\n"
    "  --entity NAME  the name the facts were recorded under (default: the file's company)\n"
    "  --json         print the whole audit as JSON\n"
    "\n"
    "exit status: 0 nothing unsourced, 1 a figure unsourced, 2 usage error, 3 the data file\n"
    "or the memory store cannot be read\n";

struct Options {
  std::string data;
  std::optional<std::string> entity;
  bool json = false;
};

int _usage_error(Io& io, const std::string& message) {
  io.err << USAGE_LINE << "q9-audit: error: " << text::one_line(message) << "\n";
  return USAGE;
}

int _fail(Io& io, const std::string& message) {
  io.out.flush();
  io.err << "q9-audit: error: " << text::one_line(message) << "\n";
  return UNREADABLE;
}

// nullopt once help or a usage error has been printed; `status` then holds the exit status.
std::optional<Options> _parse(const std::vector<std::string>& args, Io& io, int& status) {
  Options o;
  std::vector<std::string> positional;
  bool options_end = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_end || a == "-" || !a.starts_with("-")) {
      positional.push_back(a);
    } else if (a == "--") {
      options_end = true;
    } else if (a == "-h" || a == "--help") {
      io.out << USAGE_LINE << HELP;
      status = OK;
      return std::nullopt;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--entity" || a.starts_with("--entity=")) {
      if (a == "--entity") {
        if (i + 1 >= args.size()) {
          status = _usage_error(io, "argument --entity: expected one argument");
          return std::nullopt;
        }
        o.entity = args[++i];
      } else {
        o.entity = a.substr(std::string_view("--entity=").size());
      }
    } else {
      status = _usage_error(io, "unrecognized arguments: " + utf8::escape_stray_bytes(a));
      return std::nullopt;
    }
  }
  if (positional.empty()) {
    status = _usage_error(io, "the following arguments are required: data");
    return std::nullopt;
  }
  if (positional.size() > 1) {
    status = _usage_error(io, "unrecognized arguments: " + utf8::escape_stray_bytes(positional[1]));
    return std::nullopt;
  }
  o.data = positional[0];
  if (o.entity && utf8::trim_space(*o.entity).empty()) {
    status = _usage_error(io, "argument --entity: the entity name is blank");
    return std::nullopt;
  }
  return o;
}

}  // namespace

int run(const std::vector<std::string>& args, Io& io) {
  int status = OK;
  const std::optional<Options> o = _parse(args, io, status);
  if (!o) return status;

  json::Value data;
  try {
    const files::FileBytes file(o->data);
    files::check_utf8(o->data, file.bytes());
    data = json::parse(file.bytes(), o->data);
  } catch (const std::exception& e) {  // FileError, json::ParseError
    return _fail(io, e.what());
  }
  Audit result;
  try {
    result = read_dossier(data);
  } catch (const DataError& e) {
    return _fail(io, o->data + ": " + e.what());
  }
  std::string entity;
  if (o->entity) {
    entity = *o->entity;
  } else {
    const json::Value* company = data.as_object().find("company");
    if (!company || !company->is_string() || utf8::trim_space(company->as_string()).empty()) {
      return _usage_error(io, o->data + " names no company: give the entity with --entity");
    }
    entity = company->as_string();
  }

  Evidence evidence;
  expect_figures(result, evidence);
  try {
    const auto store = memory::open_store();
    store->read(entity, [&](const memory::Store::Record& r) {
      if (r.kind == memory::RecordKind::Fact) {
        evidence.add_fact(r.section, r.text, r.source, r.date);
      } else if (r.kind == memory::RecordKind::Contradiction) {
        evidence.add_contradiction(r.section, r.text);
      }
    });
  } catch (const std::exception& e) {  // MemoryError, and whatever else reading failed with
    return _fail(io, e.what());
  }
  judge_figures(result, evidence);
  if (o->json) {
    write_json(entity, result, evidence, io.out);
  } else {
    write_text(result, io.out);
  }
  return result.counts[static_cast<size_t>(Status::Unsourced)] ? UNSOURCED : OK;
}

}  // namespace q9::audit
