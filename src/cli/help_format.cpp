// Usage lines and help screens of the q9 parser.
#include "cli/help_format.hpp"

#include <algorithm>

namespace q9::cli::help {
namespace {

constexpr size_t kWidth = 78;  // an 80-column terminal less the margin argparse keeps
constexpr size_t kMaxHelpPosition = 24;

std::string choices_metavar(const std::vector<std::string_view>& choices) {
  std::string out = "{";
  for (size_t i = 0; i < choices.size(); ++i) {
    if (i) out += ',';
    out += choices[i];
  }
  return out + "}";
}

std::string upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

}  // namespace

std::string join(const std::vector<std::string>& items, std::string_view sep) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += sep;
    out += items[i];
  }
  return out;
}

std::string metavar(const Argument& a) {
  if (a.kind == Argument::kOption) return upper(a.dest());
  return a.choices.empty() ? a.dest() : choices_metavar(a.choices);
}

namespace {

std::string invocation(const Argument& a) {
  std::vector<std::string> parts = a.option_strings();
  if (parts.empty()) return metavar(a);
  if (a.kind == Argument::kOption) {
    const std::string m = metavar(a);
    for (std::string& s : parts) s.append(1, ' ').append(m);
  }
  return join(parts, ", ");
}

// Greedy word wrap at white space, as the help screens use it.
std::vector<std::string> wrap(std::string_view text, size_t width) {
  std::vector<std::string> lines;
  std::string line;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    size_t j = text.find(' ', i);
    if (j == std::string_view::npos) j = text.size();
    if (i == j) break;
    std::string_view word = text.substr(i, j - i);
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      lines.push_back(line);
      line.clear();
    }
    if (!line.empty()) line += ' ';
    line += word;
    i = j;
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace

std::string format_usage(const Level& lv) {
  std::vector<std::string> opt_parts, pos_parts;
  for (const Argument& a : lv.arguments) {
    switch (a.kind) {
      case Argument::kHelp:
      case Argument::kFlag:
        opt_parts.push_back("[" + a.option_strings().front() + "]");
        break;
      case Argument::kOption:
        opt_parts.push_back("[" + a.option_strings().front() + " " + metavar(a) + "]");
        break;
      case Argument::kPositional:
        // Appended, not "[" + ...: g++ 12 at -O3 warns falsely (-Wrestrict) on that form.
        pos_parts.push_back(a.optional ? std::string("[").append(metavar(a)).append("]")
                                       : metavar(a));
        break;
      case Argument::kSubcommand:
        pos_parts.push_back(metavar(a));
        pos_parts.push_back("...");
        break;
    }
  }
  const std::string prefix = "usage: ";
  std::vector<std::string> all = opt_parts;
  all.insert(all.end(), pos_parts.begin(), pos_parts.end());
  std::string usage = lv.prog;
  if (!all.empty()) usage.append(" ").append(join(all, " "));
  if (prefix.size() + usage.size() <= kWidth) return prefix + usage + "\n";

  // Too long for one line: the options, then the positionals, aligned after the program name.
  const std::string indent(prefix.size() + lv.prog.size() + 1, ' ');
  auto lines_of = [&](const std::vector<std::string>& parts, bool first) {
    std::vector<std::string> lines;
    std::vector<std::string> line;
    size_t len = first ? prefix.size() - 1 : indent.size() - 1;
    for (const std::string& part : parts) {
      if (len + 1 + part.size() > kWidth && !line.empty()) {
        lines.push_back(indent + join(line, " "));
        line.clear();
        len = indent.size() - 1;
      }
      line.push_back(part);
      len += part.size() + 1;
    }
    if (!line.empty()) lines.push_back(indent + join(line, " "));
    if (first && !lines.empty()) lines[0] = lines[0].substr(indent.size());
    return lines;
  };
  std::vector<std::string> head = {lv.prog};
  const std::vector<std::string>& after_prog = opt_parts.empty() ? pos_parts : opt_parts;
  head.insert(head.end(), after_prog.begin(), after_prog.end());
  std::vector<std::string> lines = lines_of(head, true);
  if (!opt_parts.empty()) {
    std::vector<std::string> rest = lines_of(pos_parts, false);
    lines.insert(lines.end(), rest.begin(), rest.end());
  }
  return prefix + join(lines, "\n") + "\n";
}

namespace {

// A subcommand listed under its slot: name and help (only subcommands that have help).
struct Entry {
  std::string invocation;
  const char* help;
  size_t indent;
};

}  // namespace

std::string format_help(const Level& lv, std::span<const Command> grammar) {
  std::vector<Entry> positionals, options;
  for (const Argument& a : lv.arguments) {
    auto& section = a.option_strings().empty() ? positionals : options;
    section.push_back({invocation(a), a.help, 2});
    if (a.kind == Argument::kSubcommand) {
      for (const Command& c : grammar) {
        if (c.help) section.push_back({c.name, c.help, 4});
      }
    }
  }
  size_t longest = 0;
  for (const auto* section : {&positionals, &options}) {
    for (const Entry& e : *section) longest = std::max(longest, e.invocation.size() + e.indent);
  }
  const size_t help_position = std::min(longest + 2, kMaxHelpPosition);
  const size_t help_width = std::max<size_t>(kWidth - help_position, 11);

  std::string out = format_usage(lv) + "\n";
  if (lv.description) out += std::string(lv.description) + "\n\n";
  auto section = [&](const char* title, const std::vector<Entry>& entries) {
    if (entries.empty()) return;
    out += title;
    out += ":\n";
    for (const Entry& e : entries) {
      const std::string pad(e.indent, ' ');
      if (!e.help) {
        out += pad + e.invocation + "\n";
        continue;
      }
      std::vector<std::string> lines = wrap(e.help, help_width);
      const size_t action_width = help_position - e.indent - 2;
      if (e.invocation.size() <= action_width) {
        out += pad + e.invocation + std::string(action_width - e.invocation.size(), ' ') + "  ";
      } else {
        out += pad + e.invocation + "\n" + std::string(help_position, ' ');
      }
      for (size_t i = 0; i < lines.size(); ++i) {
        if (i) out += std::string(help_position, ' ');
        out += lines[i] + "\n";
      }
    }
    out += "\n";
  };
  section("positional arguments", positionals);
  section("options", options);
  while (out.size() > 1 && out[out.size() - 2] == '\n') out.pop_back();
  return out;
}

}  // namespace q9::cli::help
