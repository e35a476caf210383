// The text and literal forms of values, and truthiness.
#include "core/text_form.hpp"

#include "core/quoted_text.hpp"
#include "core/real_form.hpp"

namespace q9::text {
namespace {

void append_literal(std::string& out, const json::Value& value);

void append_container(std::string& out, const json::Value& value) {
  if (value.is_array()) {
    out += '[';
    bool first = true;
    for (const auto& item : value.as_array()) {
      if (!first) out += ", ";
      first = false;
      append_literal(out, item);
    }
    out += ']';
  } else {
    out += '{';
    bool first = true;
    for (const auto& [key, item] : value.as_object()) {
      if (!first) out += ", ";
      first = false;
      out += quote_text(key);
      out += ": ";
      append_literal(out, item);
    }
    out += '}';
  }
}

void append_literal(std::string& out, const json::Value& value) {
  if (value.is_string()) {
    out += quote_text(value.as_string());
  } else {
    append_text_form(out, value);
  }
}

}  // namespace

void append_text_form(std::string& out, const json::Value& value) {
  switch (value.kind()) {
    case json::Kind::Null:
      out += "None";
      return;
    case json::Kind::Boolean:
      out += value.as_bool() ? "True" : "False";
      return;
    case json::Kind::Integer:
      out += value.as_integer().digits;
      return;
    case json::Kind::Real:
      out += real_form(value.as_real());
      return;
    case json::Kind::String:
      out += value.as_string();
      return;
    case json::Kind::Array:
    case json::Kind::Object:
      append_container(out, value);
      return;
  }
}

std::string text_form(const json::Value& value) {
  std::string out;
  append_text_form(out, value);
  return out;
}

std::string literal_form(const json::Value& value) {
  std::string out;
  append_literal(out, value);
  return out;
}

bool truthy(const json::Value& value) {
  switch (value.kind()) {
    case json::Kind::Null:
      return false;
    case json::Kind::Boolean:
      return value.as_bool();
    case json::Kind::Integer:
      return value.as_integer().digits != "0";
    case json::Kind::Real:
      return value.as_real() != 0.0;
    case json::Kind::String:
      return !value.as_string().empty();
    case json::Kind::Array:
      return !value.as_array().empty();
    case json::Kind::Object:
      return !value.as_object().empty();
  }
  return false;
}

}  // namespace q9::text
