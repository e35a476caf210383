// How values become text in the dossier and in messages: the text form of any JSON
// value, the quoted literal form of an element, truthiness.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"

namespace q9::text {

// The text form: text as itself, integers exact, reals as real_form(), booleans
// "True"/"False", null "None", arrays "[a, b]" and objects "{k: v}" with literal forms.
std::string text_form(const json::Value& value);
void append_text_form(std::string& out, const json::Value& value);

// The literal form: the text form, except that text is quoted as quote_text() does.
std::string literal_form(const json::Value& value);

// Truthy: everything but false, null, zero, empty text, empty array, empty object.
bool truthy(const json::Value& value);

}  // namespace q9::text
