// The renderer's building blocks: each turns a few values into one HTML fragment.
// Private to the renderer (render() is the public entry point); declared here so that
// the tests and the benchmark can reach them. Every block is a pure function.
#pragma once

#include <set>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "core/utf8.hpp"

namespace q9::report {

inline constexpr std::string_view BRAND = "Varnook Q9 Agent";
inline constexpr std::string_view REPORT_LABEL = "Enterprise Research Report";

// The dossier style sheet: a line feed, then 39 lines each ending in a line feed.
extern const std::string_view CSS;

// HTML-escaped text form of any value: & < > " ' become &amp; &lt; &gt; &quot; &#x27;
// in one pass; everything else, non-ASCII included, is copied unchanged.
std::string _esc(const json::Value& s);
// The same, appended to `out`.
void _esc(std::string& out, const json::Value& s);
void _esc(std::string& out, std::string_view text);
// The entity _esc() writes for `c`, or "" for a byte it copies.
inline std::string_view _entity(char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&#x27;";
    default:
      return {};
  }
}

// The inline SVG brand logo, `height` pixels high. `gradient_id` must be unique in the
// document and is written unescaped (callers pass fixed identifiers).
std::string _logo(std::string_view gradient_id, long long height);
void _logo(std::string& out, std::string_view gradient_id, long long height);

// The fixed five-stripe flag, one line of inline SVG.
std::string _thailand_flag();
void _thailand_flag(std::string& out);

// A table with one header row and one row per element of `rows`; cells whose value is
// text starting with "<" pass through unescaped. Columns in `numeric_cols` get class
// "num". Throws RenderError when a row is not an array.
std::string _table(const json::Array& headers, const json::Array& rows,
                   const std::set<size_t>& numeric_cols = {});

// The hero grid, one cell per stat. `stats` is walked like a sequence: an array by its
// elements, a text by its characters, an object by its keys; null, numbers and booleans
// cannot be walked. Each stat must be an object with "label" and "value". Throws
// RenderError naming the problem.
// The appending form may leave part of the grid in `out` when it throws.
std::string _hero(const json::Value& stats);
void _hero(std::string& out, const json::Value& stats);

// One section element; `body` is written as its text form, unescaped.
std::string _section(const json::Value& sid, const json::Value& title, const json::Value& subtitle,
                     const json::Value& body);
void _section(std::string& out, const json::Value& sid, const json::Value& title,
              const json::Value& subtitle, const json::Value& body);

// Errors raised by the blocks and by render(): "<where>: expected <kind>, found <kind>"
// and "<where>: missing key '<key>'", where `where` names the value, e.g. "sections[2]".
[[noreturn]] void _type_error(const std::string& where, json::Kind expected,
                              const json::Value& found);
[[noreturn]] void _missing_key(const std::string& where, std::string_view key);
// "<name>[<i>]", the `where` of an element.
std::string _indexed(std::string_view name, size_t i);

// Calls `f` with each element of `v` walked as a sequence (see _hero): array elements,
// the characters of a text (each as a one-character text value), the keys of an object.
// Returns false, without calling `f`, when `v` cannot be walked.
template <typename F>
bool for_each_item(const json::Value& v, F&& f);

// Whether for_each_item() can walk `v`.
inline bool walkable(const json::Value& v) {
  return v.is_array() || v.is_string() || v.is_object();
}

template <typename F>
bool for_each_item(const json::Value& v, F&& f) {
  switch (v.kind()) {
    case json::Kind::Array: {
      size_t i = 0;
      for (const auto& item : v.as_array()) f(i++, item);
      return true;
    }
    case json::Kind::String: {
      const std::string& s = v.as_string();
      for (size_t i = 0, at = 0, next = 0; at < s.size(); ++i, at = next) {
        utf8::decode(s, next);
        f(i, json::Value(std::string_view(s).substr(at, next - at)));
      }
      return true;
    }
    case json::Kind::Object: {
      size_t i = 0;
      for (const auto& member : v.as_object()) f(i++, json::Value(member.first));
      return true;
    }
    default:
      return false;
  }
}

}  // namespace q9::report
