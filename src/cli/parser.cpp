// The q9 argument parser. Written here because CLI11, Boost.Program_options and cxxopts
// each lack part of this grammar (the optional middle positional, long-option prefixes,
// "--opt=" as an empty value, integer conversion) even with workarounds.
// Tests: parser_test.cpp; fuzzing: fuzz/cli/parser_fuzz.cpp.
#include "cli/parser.hpp"

#include <algorithm>

#include "cli/help_format.hpp"
#include "core/text_form.hpp"
#include "core/utf8.hpp"

namespace q9::cli {
namespace {

using help::Action;
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

// Arguments need not be UTF-8. A byte that is not shows as \udcXX, as Python shows the
// argument bytes it could not decode.
void append_stray_byte(std::string& out, char byte) {
  static const char kHex[] = "0123456789abcdef";
  const auto b = static_cast<unsigned char>(byte);
  out += "\\udc";
  out += kHex[b >> 4];
  out += kHex[b & 0xf];
}

// `s` as written in messages: UTF-8 as itself, other bytes as \udcXX.
std::string shown(std::string_view s) {
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    const size_t bad = utf8::find_invalid(s.substr(i)).value_or(s.size() - i);
    out += s.substr(i, bad);
    i += bad;
    if (i < s.size()) append_stray_byte(out, s[i++]);
  }
  return out;
}

// The quoted form of an argument in messages ('x', "it's"), stray bytes as \udcXX.
std::string quoted(std::string_view s) {
  if (!utf8::find_invalid(s)) return text::quote_text(s);
  const bool has_single = s.find('\'') != std::string_view::npos;
  const bool has_double = s.find('"') != std::string_view::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
  std::string out(1, quote);
  size_t i = 0;
  while (i < s.size()) {
    const size_t bad = utf8::find_invalid(s.substr(i)).value_or(s.size() - i);
    if (bad > 0) {
      // Quote the valid run with the quote character of the whole text: the extra
      // last character makes quote_text() choose it and is dropped again.
      std::string run =
          text::quote_text(std::string(s.substr(i, bad)) + (quote == '"' ? '\'' : '"'));
      run = run.substr(1, run.size() - 3);
      out += run;
      i += bad;
    }
    if (i < s.size()) append_stray_byte(out, s[i++]);
  }
  return out + quote;
}

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// How error messages name an argument.
std::string action_name(const Action& a) {
  if (!a.option_strings.empty()) return join(a.option_strings, "/");
  return a.dest;
}

Action help_action() {
  Action a{Action::kHelp};
  a.option_strings = {"-h", "--help"};
  a.dest = "help";
  a.help = "show this help message and exit";
  return a;
}

Level top_level(std::span<const Command> grammar) {
  Level lv{"q9", "Varnook Q9 dossier infrastructure", {help_action()}};
  Action slot{Action::kSubcommand};
  slot.dest = "cmd";
  for (const Command& c : grammar) slot.choices.push_back(c.name);
  lv.actions.push_back(std::move(slot));
  return lv;
}

Level command_level(const Command& c) {
  Level lv{std::string("q9 ") + c.name, nullptr, {help_action()}};
  for (const Argument& arg : c.arguments) {
    Action a{arg.kind == Argument::kPositional ? Action::kPositional
             : arg.kind == Argument::kFlag     ? Action::kFlag
                                               : Action::kOption};
    std::string_view name = arg.name;
    if (a.kind == Action::kPositional) {
      a.dest = name;
    } else {
      a.option_strings = {std::string(name)};
      a.dest = name.substr(2);
    }
    a.optional = arg.optional;
    a.choices = arg.choices;
    a.help = arg.help;
    a.integer = arg.integer;
    a.store = arg.store;
    lv.actions.push_back(std::move(a));
  }
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
    if (!extras.empty()) fail(top, "unrecognized arguments: " + shown(join(extras, " ")));
  }

 private:
  [[noreturn]] void fail(const Level& lv, const std::string& message) {
    io_.err << format_usage(lv) << lv.prog << ": error: " << message << '\n';
    throw Exit{2};
  }
  [[noreturn]] void fail(const Level& lv, const Action& a, const std::string& message) {
    fail(lv, "argument " + action_name(a) + ": " + message);
  }

  std::optional<int> exact(const Level& lv, std::string_view s) const {
    for (size_t i = 0; i < lv.actions.size(); ++i) {
      for (const std::string& o : lv.actions[i].option_strings) {
        if (o == s) return static_cast<int>(i);
      }
    }
    return std::nullopt;
  }

  std::vector<Hit> prefix_matches(const Level& lv, const std::string& s) const {
    std::vector<Hit> hits;
    for (size_t i = 0; i < lv.actions.size(); ++i) {
      for (const std::string& o : lv.actions[i].option_strings) {
        if (s[1] == '-') {
          const size_t eq = s.find('=');
          std::string prefix = s.substr(0, eq);
          std::optional<std::string> arg;
          if (eq != std::string::npos) arg = s.substr(eq + 1);
          if (starts_with(o, prefix)) hits.push_back({static_cast<int>(i), o, arg});
        } else if (o == s.substr(0, 2)) {
          hits.push_back({static_cast<int>(i), o, s.substr(2)});
        } else if (starts_with(o, s)) {
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
      fail(lv, "ambiguous option: " + shown(s) + " could match " + join(names, ", "));
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

    std::vector<bool> seen(lv.actions.size(), false);
    std::vector<std::string> extras;
    std::vector<size_t> positionals;
    for (size_t i = 0; i < lv.actions.size(); ++i) {
      if (lv.actions[i].option_strings.empty()) positionals.push_back(i);
    }

    auto take = [&](size_t a, std::vector<std::string> values) {
      seen[a] = true;
      take_action(lv, lv.actions[a], std::move(values));
    };

    auto consume_positionals = [&](size_t start) {
      std::vector<Group> groups;
      for (size_t a : positionals) {
        const Action& act = lv.actions[a];
        groups.push_back(act.kind == Action::kSubcommand ? Group::kRest
                         : act.optional                  ? Group::kOptional
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
        const Action& act = lv.actions[static_cast<size_t>(hit.action)];
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
    for (size_t i = 0; i < lv.actions.size(); ++i) {
      if (!seen[i] && lv.actions[i].required()) missing.push_back(action_name(lv.actions[i]));
    }
    if (!missing.empty()) fail(lv, "the following arguments are required: " + join(missing, ", "));
    return extras;
  }

  void check_choice(const Level& lv, const Action& a, const std::string& value) {
    if (a.choices.empty() ||
        std::find(a.choices.begin(), a.choices.end(), value) != a.choices.end()) {
      return;
    }
    std::vector<std::string> names;
    for (std::string_view c : a.choices) names.push_back(text::quote_text(c));
    fail(lv, a, "invalid choice: " + quoted(value) + " (choose from " + join(names, ", ") + ")");
  }

  void take_action(const Level& lv, const Action& a, std::vector<std::string> values) {
    switch (a.kind) {
      case Action::kHelp:
        io_.out << format_help(lv, grammar_);
        throw Exit{0};
      case Action::kFlag:
        a.store(out_, "");
        return;
      case Action::kSubcommand: {
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
      case Action::kOption:
      case Action::kPositional:
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

// White space as Python's str.strip() sees it.
bool is_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x20) || c == 0x85 || c == 0xa0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f ||
         c == 0x205f || c == 0x3000;
}

// Decodes one well-formed UTF-8 sequence at s[i]; returns its length, 0 if malformed.
size_t decode_at(std::string_view s, size_t i, char32_t& cp) {
  const auto b = static_cast<unsigned char>(s[i]);
  size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  cp = n == 1 ? b : n == 2 ? (b & 0x1f) : n == 3 ? (b & 0x0f) : (b & 0x07);
  for (size_t k = 1; k < n; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c >> 6) != 2) return 0;
    cp = (cp << 6) | (c & 0x3f);
  }
  return n;
}

}  // namespace

std::optional<std::string> parse_integer(std::string_view text) {
  // Trim white space, including the non-ASCII spaces int() accepts.
  size_t begin = 0;
  while (begin < text.size()) {
    char32_t cp = 0;
    const size_t n = decode_at(text, begin, cp);
    if (n == 0 || !is_space(cp)) break;
    begin += n;
  }
  size_t end = text.size();
  while (end > begin) {
    size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xc0) == 0x80) --start;
    char32_t cp = 0;
    if (decode_at(text, start, cp) != end - start || !is_space(cp)) break;
    end = start;
  }
  std::string_view s = text.substr(begin, end - begin);
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
