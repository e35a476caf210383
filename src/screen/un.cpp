// The UN Security Council consolidated list: CONSOLIDATED_LIST (dateGenerated) holding
// INDIVIDUALS/INDIVIDUAL and ENTITIES/ENTITY, names in FIRST_NAME..FOURTH_NAME, aliases
// in *_ALIAS/ALIAS_NAME. Read with expat, which streams and guards against entity bombs.
#include <expat.h>

#include <cstring>
#include <limits>
#include <string>

#include "screen/readers.hpp"

namespace q9::screen {
namespace {

constexpr int kMaxDepth = 32;         // the list nests 5 deep
constexpr size_t kMaxText = 1 << 16;  // no value of the list comes near

// The fields of the entry being read, owned, so that the views handed on stay put.
struct Current {
  std::string id, dataid, type, listed_on, list_type;
  std::string name_parts[4];
  std::vector<std::string> aliases, dob, nationality, scripts;
  std::string dob_date, dob_year, dob_from, dob_to;
};

struct Parser {
  XML_Parser xml;
  const EntrySink* sink;
  ReadSummary summary;
  int depth = 0;
  bool root_seen = false;
  bool in_entry = false;
  std::string path_top[kMaxDepth + 1];  // element names by depth
  std::string text;
  std::string failure;  // set when a handler stops the parser
  Current cur;
  EntryView view;

  void stop(std::string why) {
    if (failure.empty()) failure = std::move(why);
    XML_StopParser(xml, XML_FALSE);
  }
};

void XMLCALL on_start(void* data, const XML_Char* name, const XML_Char** attrs) {
  auto& p = *static_cast<Parser*>(data);
  if (!p.failure.empty()) return;
  if (++p.depth > kMaxDepth) return p.stop("elements nested deeper than 32");
  p.path_top[p.depth] = name;
  p.text.clear();
  if (p.depth == 1) {
    if (std::strcmp(name, "CONSOLIDATED_LIST") != 0) {
      return p.stop(std::strcmp(name, "html") == 0 ? "an HTML page" : std::string("root ") + name);
    }
    p.root_seen = true;
    for (int i = 0; attrs[i]; i += 2) {
      if (std::strcmp(attrs[i], "dateGenerated") == 0) p.summary.published = attrs[i + 1];
    }
    return;
  }
  if (p.depth == 3 && (std::strcmp(name, "INDIVIDUAL") == 0 || std::strcmp(name, "ENTITY") == 0)) {
    p.cur = Current();
    p.cur.type = name[0] == 'I' ? "individual" : "entity";
    p.in_entry = true;
  }
  if (p.in_entry && std::strcmp(name, "INDIVIDUAL_DATE_OF_BIRTH") == 0) {
    p.cur.dob_date.clear(), p.cur.dob_year.clear(), p.cur.dob_from.clear(), p.cur.dob_to.clear();
  }
}

void XMLCALL on_text(void* data, const XML_Char* s, int len) {
  auto& p = *static_cast<Parser*>(data);
  if (!p.in_entry || !p.failure.empty()) return;
  if (p.text.size() + static_cast<size_t>(len) > kMaxText)
    return p.stop("a value longer than 64 KiB");
  p.text.append(s, static_cast<size_t>(len));
}

void finish_entry(Parser& p) {
  Current& c = p.cur;
  std::string whole;
  for (const std::string& part : c.name_parts) {
    const std::string_view t = trim(part);
    if (t.empty()) continue;
    if (!whole.empty()) whole += ' ';
    whole += t;
  }
  p.view.clear();
  p.view.id = c.id.empty() ? std::string_view(c.dataid) : std::string_view(c.id);
  p.view.type = c.type;
  p.view.listed_on = c.listed_on;
  if (!whole.empty()) p.view.names.push_back(whole);
  for (const auto& a : c.aliases) p.view.names.push_back(a);
  for (const auto& a : c.scripts) p.view.names.push_back(a);
  if (!c.list_type.empty()) p.view.programs.push_back(c.list_type);
  for (const auto& d : c.dob) p.view.dob.push_back(d);
  for (const auto& n : c.nationality) p.view.nationality.push_back(n);
  (*p.sink)(p.view);
  ++p.summary.entries;
}

void XMLCALL on_end(void* data, const XML_Char* name) {
  auto& p = *static_cast<Parser*>(data);
  const int depth = p.depth--;
  if (!p.in_entry || !p.failure.empty() || depth > kMaxDepth) return;
  const std::string_view value = trim(p.text);
  const std::string_view parent = depth >= 2 ? std::string_view(p.path_top[depth - 1]) : "";
  Current& c = p.cur;
  if (depth == 3) {
    p.in_entry = false;
    finish_entry(p);
  } else if (depth == 4) {
    if (std::strcmp(name, "REFERENCE_NUMBER") == 0)
      c.id = value;
    else if (std::strcmp(name, "DATAID") == 0)
      c.dataid = value;
    else if (std::strcmp(name, "LISTED_ON") == 0)
      c.listed_on = value;
    else if (std::strcmp(name, "UN_LIST_TYPE") == 0)
      c.list_type = value;
    else if (std::strcmp(name, "FIRST_NAME") == 0)
      c.name_parts[0] = value;
    else if (std::strcmp(name, "SECOND_NAME") == 0)
      c.name_parts[1] = value;
    else if (std::strcmp(name, "THIRD_NAME") == 0)
      c.name_parts[2] = value;
    else if (std::strcmp(name, "FOURTH_NAME") == 0)
      c.name_parts[3] = value;
    else if (std::strcmp(name, "NAME_ORIGINAL_SCRIPT") == 0 && !value.empty())
      c.scripts.emplace_back(value);
    else if (std::strcmp(name, "INDIVIDUAL_DATE_OF_BIRTH") == 0) {
      std::string d = !c.dob_date.empty()   ? c.dob_date
                      : !c.dob_year.empty() ? c.dob_year
                      : !c.dob_from.empty() ? c.dob_from + "-" + c.dob_to
                                            : std::string();
      if (!d.empty()) c.dob.push_back(std::move(d));
    }
  } else if (depth == 5) {
    if (std::strcmp(name, "ALIAS_NAME") == 0 && !value.empty())
      c.aliases.emplace_back(value);
    else if (parent == "NATIONALITY" && std::strcmp(name, "VALUE") == 0 && !value.empty())
      c.nationality.emplace_back(value);
    else if (parent == "INDIVIDUAL_DATE_OF_BIRTH") {
      if (std::strcmp(name, "DATE") == 0)
        c.dob_date = value;
      else if (std::strcmp(name, "YEAR") == 0)
        c.dob_year = value;
      else if (std::strcmp(name, "FROM_YEAR") == 0)
        c.dob_from = value;
      else if (std::strcmp(name, "TO_YEAR") == 0)
        c.dob_to = value;
    }
  }
  p.text.clear();
}

}  // namespace

ReadSummary read_un(std::string_view xml, const EntrySink& sink) {
  refuse_foreign(xml, "the UN list");
  Parser p;
  p.sink = &sink;
  p.xml = XML_ParserCreate("UTF-8");
  if (!p.xml) throw std::bad_alloc();
  struct Free {
    XML_Parser x;
    ~Free() { XML_ParserFree(x); }
  } free_parser{p.xml};
  XML_SetUserData(p.xml, &p);
  XML_SetElementHandler(p.xml, on_start, on_end);
  XML_SetCharacterDataHandler(p.xml, on_text);
  // Fed in slices, as XML_Parse takes an int length.
  constexpr size_t kSlice = 1 << 24;
  XML_Status status = XML_STATUS_OK;
  size_t at = 0;
  do {
    const size_t n = std::min(kSlice, xml.size() - at);
    const bool last = at + n == xml.size();
    status = XML_Parse(p.xml, xml.data() + at, static_cast<int>(n), last);
    at += n;
  } while (status == XML_STATUS_OK && at < xml.size());
  if (!p.root_seen) {
    const std::string why = p.failure.empty() ? "no CONSOLIDATED_LIST root" : p.failure;
    throw ListError("not the UN list (" + why + ")", true);
  }
  if (status != XML_STATUS_OK) {
    const std::string why =
        !p.failure.empty() ? p.failure : XML_ErrorString(XML_GetErrorCode(p.xml));
    throw ListError("the UN list is damaged: line " +
                    std::to_string(XML_GetCurrentLineNumber(p.xml)) + ": " + why);
  }
  return p.summary;
}

}  // namespace q9::screen
