// The JSON value: ordered objects and deep equality.
#include "core/json.hpp"

namespace q9::json {

Object::Object(std::initializer_list<Member> members) {
  for (const auto& m : members) set(m.first, m.second);
}

const Value* Object::find(std::string_view key) const {
  if (!index_.empty()) {
    auto it = index_.find(std::string(key));
    return it == index_.end() ? nullptr : &members_[it->second].second;
  }
  for (const auto& m : members_) {
    if (m.first == key) return &m.second;
  }
  return nullptr;
}

Value* Object::find(std::string_view key) {
  return const_cast<Value*>(static_cast<const Object*>(this)->find(key));
}

void Object::set(std::string key, Value value) {
  if (Value* existing = find(key)) {
    *existing = std::move(value);
    return;
  }
  members_.emplace_back(std::move(key), std::move(value));
  if (!index_.empty()) {
    index_.emplace(members_.back().first, members_.size() - 1);
  } else if (members_.size() > kIndexThreshold) {
    for (size_t i = 0; i < members_.size(); ++i) index_.emplace(members_[i].first, i);
  }
}

bool Object::operator==(const Object& other) const { return members_ == other.members_; }

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::Null:
      return "null";
    case Kind::Boolean:
      return "boolean";
    case Kind::Integer:
      return "integer";
    case Kind::Real:
      return "real";
    case Kind::String:
      return "string";
    case Kind::Array:
      return "array";
    case Kind::Object:
      return "object";
  }
  return "value";
}

bool Value::operator==(const Value& other) const {
  if (kind() != other.kind()) return false;
  switch (kind()) {
    case Kind::Null:
      return true;
    case Kind::Boolean:
      return as_bool() == other.as_bool();
    case Kind::Integer:
      return as_integer() == other.as_integer();
    case Kind::Real:
      return as_real() == other.as_real();
    case Kind::String:
      return as_string() == other.as_string();
    case Kind::Array:
      return as_array() == other.as_array();
    case Kind::Object:
      return as_object() == other.as_object();
  }
  return false;
}

}  // namespace q9::json
