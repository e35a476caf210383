// The q9 argument parser. Written here because CLI11, Boost.Program_options and cxxopts
// each lack part of this grammar (the optional middle positional, long-option prefixes,
// "--opt=" as an empty value, integer conversion) even with workarounds.
// Tests: parser_test.cpp; fuzzing: fuzz/cli/parser_fuzz.cpp.
#include "cli/parser.hpp"

#include <algorithm>
#include <type_traits>

#include "cli/help_format.hpp"
#include "core/quoted_text.hpp"
#include "core/utf8.hpp"

namespace q9::cli {
namespace {

using help::format_help;
using help::format_usage;
using help::join;
using help::Level;
using help::metavar;

// Thrown once help or a usage error has been printed.
struct Exit {
  int status;
};

// An argument string read as an option: the action it names (-1: none known), the
// option string matched and the value attached with "=" or to a short option.
struct Hit {
  int action = -1;
  std::string option_string;
  std::optional<std::string> explicit_arg;
};

// The quoted form of an argument in messages ('x', "it's"), stray bytes as \udcXX.
std::string quoted(std::string_view s) { return text::quote_text(utf8::escape_stray_bytes(s)); }

// How error messages name an argument.
std::string argument_name(const Argument& a) {
  const std::vector<std::string> options = a.option_strings();
  return options.empty() ? a.dest() : join(options, "/");
}

const Argument HELP = {
    .name = "--help", .kind = Argument::kHelp, .help = "show this help message and exit"};

Level top_level(std::span<const Command> grammar) {
  Argument slot{.name = "cmd", .kind = Argument::kSubcommand};
  for (const Command& c : grammar) slot.choices.push_back(c.name);
  return {"q9", "Varnook Q9 dossier infrastructure", {HELP, std::move(slot)}};
}

Level command_level(const Command& c) {
  Level lv{std::string("q9 ") + c.name, nullptr, {HELP}};
  lv.arguments.insert(lv.arguments.end(), c.arguments.begin(), c.arguments.end());
  return lv;
}

// "-5", "-.5", "-1.25": values, not options (no option of ours looks like a number).
bool negative_number(std::string_view s) {
  if (s.ends_with('\n')) s.remove_suffix(1);  // argparse's pattern ends in `$`, which allows one
  if (s.size() < 2 || s[0] != '-') return false;
  size_t i = 1;
  auto digit = [&](size_t k) { return s[k] >= '0' && s[k] <= '9'; };
  size_t start = i;
  while (i < s.size() && digit(i)) ++i;
  if (i == s.size()) return i > start;
  if (s[i] != '.') return false;
  size_t frac = ++i;
  while (i < s.size() && digit(i)) ++i;
  return i == s.size() && i > frac;
}

// One positional's share of the argument pattern ('A' value, 'O' option, '-' for "--").
enum class Group { kOne, kOptional, kRest };

size_t dashes(std::string_view p, size_t pos) {
  size_t n = 0;
  while (pos + n < p.size() && p[pos + n] == '-') ++n;
  return n;
}

// The lengths group `g` may take at `pos`, in the order a backtracking regular expression
// would try them: (-*A-*), (-*A?-*) and (-*A[-AO]*).
std::vector<size_t> candidates(Group g, std::string_view p, size_t pos) {
  std::vector<size_t> out;
  const size_t k = dashes(p, pos);
  for (size_t d1 = k + 1; d1-- > 0;) {
    const size_t at = pos + d1;
    const bool value = at < p.size() && p[at] == 'A';
    if (value) {
      const size_t rest = g == Group::kRest ? p.size() - at - 1 : dashes(p, at + 1);
      for (size_t d2 = rest + 1; d2-- > 0;) out.push_back(d1 + 1 + d2);
    }
    if (g == Group::kOptional) {
      for (size_t d2 = dashes(p, at) + 1; d2-- > 0;) out.push_back(d1 + d2);
    }
  }
  return out;
}

bool match_groups(const std::vector<Group>& groups, size_t gi, std::string_view p, size_t pos,
                  std::vector<size_t>& counts) {
  if (gi == groups.size()) return true;
  for (size_t len : candidates(groups[gi], p, pos)) {
    counts.push_back(len);
    if (match_groups(groups, gi + 1, p, pos + len, counts)) return true;
    counts.pop_back();
  }
  return false;
}

class Parser {
 public:
  Parser(std::span<const Command> grammar, Io& io, Args& out)
      : grammar_(grammar), io_(io), out_(out) {}

  void parse(const std::vector<std::string>& argv) {
    const Level top = top_level(grammar_);
    std::vector<std::string> extras = parse_level(top, argv);
    extras.insert(extras.end(), unrecognized_.begin(), unrecognized_.end());
    if (!extras.empty()) fail(top, "unrecognized arguments: " + text::one_line(join(extras, " ")));
  }

 private:
  [[noreturn]] void fail(const Level& lv, const std::string& message) {
    io_.err << format_usage(lv) << lv.prog << ": error: " << message << '\n';
    throw Exit{2};
  }
  [[noreturn]] void fail(const Level& lv, const Argument& a, const std::string& message) {
    fail(lv, "argument " + argument_name(a) + ": " + message);
  }

  std::optional<int> exact(const Level& lv, std::string_view s) const {
    for (size_t i = 0; i < lv.arguments.size(); ++i) {
      for (const std::string& o : lv.arguments[i].option_strings()) {
        if (o == s) return static_cast<int>(i);
      }
    }
    return std::nullopt;
  }

  std::vector<Hit> prefix_matches(const Level& lv, const std::string& s) const {
    std::vector<Hit> hits;
    for (size_t i = 0; i < lv.arguments.size(); ++i) {
      for (const std::string& o : lv.arguments[i].option_strings()) {
        if (s[1] == '-') {
          const size_t eq = s.find('=');
          std::string prefix = s.substr(0, eq);
          std::optional<std::string> arg;
          if (eq != std::string::npos) arg = s.substr(eq + 1);
          if (o.starts_with(prefix)) hits.push_back({static_cast<int>(i), o, arg});
        } else if (o == s.substr(0, 2)) {
          hits.push_back({static_cast<int>(i), o, s.substr(2)});
        } else if (o.starts_with(s)) {
          hits.push_back({static_cast<int>(i), o, std::nullopt});
        }
      }
    }
    return hits;
  }

  std::optional<Hit> parse_optional(const Level& lv, const std::string& s) {
    if (s.empty() || s[0] != '-') return std::nullopt;
    if (auto a = exact(lv, s)) return Hit{*a, s, std::nullopt};
    if (s.size() == 1) return std::nullopt;
    if (const size_t eq = s.find('='); eq != std::string::npos) {
      if (auto a = exact(lv, s.substr(0, eq))) return Hit{*a, s.substr(0, eq), s.substr(eq + 1)};
    }
    std::vector<Hit> hits = prefix_matches(lv, s);
    if (hits.size() > 1) {
      std::vector<std::string> names;
      for (const Hit& h : hits) names.push_back(h.option_string);
      fail(lv, "ambiguous option: " + text::one_line(s) + " could match " + join(names, ", "));
    }
    if (hits.size() == 1) return hits.front();
    if (negative_number(s)) return std::nullopt;
    if (s.find(' ') != std::string::npos) return std::nullopt;
    return Hit{-1, s, std::nullopt};
  }

  // Parses one level; returns the arguments it did not recognise.
  std::vector<std::string> parse_level(const Level& lv, const std::vector<std::string>& args) {
    std::string pattern;
    std::vector<std::optional<Hit>> hits(args.size());
    for (size_t i = 0; i < args.size(); ++i) {
      if (args[i] == "--") {
        pattern += '-';
        pattern.append(args.size() - i - 1, 'A');
        break;
      }
      hits[i] = parse_optional(lv, args[i]);
      pattern += hits[i] ? 'O' : 'A';
    }

    std::vector<bool> seen(lv.arguments.size(), false);
    std::vector<std::string> extras;
    std::vector<size_t> positionals;
    for (size_t i = 0; i < lv.arguments.size(); ++i) {
      if (lv.arguments[i].option_strings().empty()) positionals.push_back(i);
    }

    auto take = [&](size_t a, std::vector<std::string> values) {
      seen[a] = true;
      take_action(lv, lv.arguments[a], std::move(values));
    };

    auto consume_positionals = [&](size_t start) {
      std::vector<Group> groups;
      for (size_t a : positionals) {
        const Argument& act = lv.arguments[a];
        groups.push_back(act.kind == Argument::kSubcommand ? Group::kRest
                         : act.optional                    ? Group::kOptional
                                                           : Group::kOne);
      }
      const std::string_view rest = std::string_view(pattern).substr(start);
      std::vector<size_t> counts;
      for (size_t n = groups.size(); n > 0; --n) {
        groups.resize(n);
        counts.clear();
        if (match_groups(groups, 0, rest, 0, counts)) break;
        counts.clear();
      }
      for (size_t i = 0; i < counts.size(); ++i) {
        take(positionals[i], {args.begin() + static_cast<long>(start),
                              args.begin() + static_cast<long>(start + counts[i])});
        start += counts[i];
      }
      positionals.erase(positionals.begin(),
                        positionals.begin() + static_cast<long>(counts.size()));
      return start;
    };

    auto consume_optional = [&](size_t start) -> size_t {
      Hit hit = *hits[start];
      std::vector<std::pair<size_t, std::vector<std::string>>> taken;
      size_t stop = start + 1;
      for (;;) {
        if (hit.action < 0) {
          extras.push_back(args[start]);
          return start + 1;
        }
        const Argument& act = lv.arguments[static_cast<size_t>(hit.action)];
        if (hit.explicit_arg) {
          if (!act.takes_value() && hit.option_string[1] != '-' && !hit.explicit_arg->empty()) {
            // "-hX": a short flag followed by more short options.
            taken.push_back({static_cast<size_t>(hit.action), {}});
            std::string next = std::string("-") + hit.explicit_arg->front();
            auto a = exact(lv, next);
            if (!a) fail(lv, act, "ignored explicit argument " + quoted(*hit.explicit_arg));
            std::string more = hit.explicit_arg->substr(1);
            hit = Hit{*a, next, more.empty() ? std::nullopt : std::optional<std::string>(more)};
            continue;
          }
          if (act.takes_value()) {
            taken.push_back({static_cast<size_t>(hit.action), {*hit.explicit_arg}});
            break;
          }
          fail(lv, act, "ignored explicit argument " + quoted(*hit.explicit_arg));
        }
        if (act.takes_value()) {
          if (start + 1 >= pattern.size() || pattern[start + 1] != 'A') {
            fail(lv, act, "expected one argument");
          }
          taken.push_back({static_cast<size_t>(hit.action), {args[start + 1]}});
          stop = start + 2;
        } else {
          taken.push_back({static_cast<size_t>(hit.action), {}});
        }
        break;
      }
      for (auto& [a, values] : taken) take(a, std::move(values));
      return stop;
    };

    size_t start = 0;
    size_t end_of_options = 0;  // one past the last option
    for (size_t i = 0; i < hits.size(); ++i) {
      if (hits[i]) end_of_options = i + 1;
    }
    while (start < end_of_options) {
      size_t next = start;
      while (!hits[next]) ++next;
      if (start != next) {
        const size_t end = consume_positionals(start);
        if (end > start) {
          start = end;
          continue;
        }
      }
      if (!hits[start]) {
        extras.insert(extras.end(), args.begin() + static_cast<long>(start),
                      args.begin() + static_cast<long>(next));
        start = next;
      }
      start = consume_optional(start);
    }
    const size_t stop = consume_positionals(start);
    extras.insert(extras.end(), args.begin() + static_cast<long>(std::min(stop, args.size())),
                  args.end());

    std::vector<std::string> missing;
    for (size_t i = 0; i < lv.arguments.size(); ++i) {
      if (!seen[i] && lv.arguments[i].required()) missing.push_back(argument_name(lv.arguments[i]));
    }
    if (!missing.empty()) fail(lv, "the following arguments are required: " + join(missing, ", "));
    return extras;
  }

  void check_choice(const Level& lv, const Argument& a, const std::string& value) {
    if (a.choices.empty() ||
        std::find(a.choices.begin(), a.choices.end(), value) != a.choices.end()) {
      return;
    }
    std::vector<std::string> names;
    for (std::string_view c : a.choices) names.push_back(text::quote_text(c));
    fail(lv, a, "invalid choice: " + quoted(value) + " (choose from " + join(names, ", ") + ")");
  }

  void take_action(const Level& lv, const Argument& a, std::vector<std::string> values) {
    switch (a.kind) {
      case Argument::kHelp:
        io_.out << format_help(lv, grammar_);
        throw Exit{0};
      case Argument::kFlag:
        a.store(out_, "");
        return;
      case Argument::kSubcommand: {
        check_choice(lv, a, values.front());
        const Command& c = *std::find_if(grammar_.begin(), grammar_.end(),
                                         [&](const Command& c) { return c.name == values[0]; });
        out_.cmd = c.name;
        out_.func = c.handler;
        std::vector<std::string> rest(values.begin() + 1, values.end());
        std::vector<std::string> extras = parse_level(command_level(c), rest);
        unrecognized_.insert(unrecognized_.end(), extras.begin(), extras.end());
        return;
      }
      case Argument::kOption:
      case Argument::kPositional:
        break;
    }
    // The first "--" among a value's strings is the end-of-options marker, not a value.
    if (auto dd = std::find(values.begin(), values.end(), "--"); dd != values.end()) {
      values.erase(dd);
    }
    if (values.empty()) {
      if (a.optional) return;  // an optional positional left out keeps its default
      values.push_back("");    // only "--" was given where a value belongs
    }
    std::string value = std::move(values.front());
    if (a.integer) {
      std::optional<std::string> number = parse_integer(value);
      if (!number) fail(lv, a, "invalid int value: " + quoted(value));
      value = std::move(*number);
    }
    check_choice(lv, a, value);
    a.store(out_, std::move(value));
  }

  std::span<const Command> grammar_;
  Io& io_;
  Args& out_;
  std::vector<std::string> unrecognized_;  // left over by the subcommand's parser
};

}  // namespace

std::vector<std::string> Argument::option_strings() const {
  if (kind == kHelp) return {"-h", "--help"};
  if (kind == kFlag || kind == kOption) return {name};
  return {};
}

std::string Argument::dest() const {
  return kind == kHelp ? "help" : (kind == kFlag || kind == kOption) ? name + 2 : name;
}

void Argument::store(Args& args, std::string value) const {
  std::visit(
      [&](auto member) {
        using Member = decltype(member);
        if constexpr (std::is_same_v<Member, bool Args::*>) {
          args.*member = true;
        } else if constexpr (!std::is_same_v<Member, std::monostate>) {
          args.*member = std::move(value);
        }
      },
      field);
}

std::optional<std::string> parse_integer(std::string_view text) {
  std::string_view s = utf8::trim_space(text);  // the non-ASCII spaces int() accepts too
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  std::string digits;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] >= '0' && s[i] <= '9') {
      digits += s[i];
    } else if (s[i] == '_' && i > 0 && i + 1 < s.size() && s[i - 1] != '_' && s[i + 1] >= '0' &&
               s[i + 1] <= '9') {
      continue;
    } else {
      return std::nullopt;
    }
  }
  if (digits.empty()) return std::nullopt;
  const size_t nonzero = digits.find_first_not_of('0');
  if (nonzero == std::string::npos) return "0";
  return (negative ? "-" : "") + digits.substr(nonzero);
}

std::optional<Args> parse_command_line(const std::vector<std::string>& argv,
                                       std::span<const Command> grammar, Io& io, int& status) {
  Args args;
  try {
    Parser(grammar, io, args).parse(argv);
  } catch (const Exit& e) {
    status = e.status;
    return std::nullopt;
  }
  status = 0;
  return args;
}

}  // namespace q9::cli
