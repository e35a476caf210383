// The JSON value shared by the reader, the writers, the renderer and the commands.
// Objects keep their members in insertion order; integers keep their exact digits at any size.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace q9::json {

class Value;
class Object;

using Array = std::vector<Value>;

// An integer of any size, held as its canonical decimal text: an optional "-"
// then digits without leading zeros ("-0" is normalised to "0").
struct Integer {
  std::string digits;
  bool operator==(const Integer&) const = default;
};

enum class Kind { Null, Boolean, Integer, Real, String, Array, Object };

// The name of a kind as it appears in error messages ("object", "array", ...).
const char* kind_name(Kind kind);

class Value {
 public:
  Value() : v_(nullptr) {}
  Value(std::nullptr_t) : v_(nullptr) {}
  Value(bool b) : v_(b) {}
  Value(int i) : v_(Integer{std::to_string(i)}) {}
  Value(long i) : v_(Integer{std::to_string(i)}) {}
  Value(long long i) : v_(Integer{std::to_string(i)}) {}
  Value(Integer i) : v_(std::move(i)) {}
  Value(double d) : v_(d) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(Array a);
  Value(Object o);

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_null() const { return kind() == Kind::Null; }
  bool is_bool() const { return kind() == Kind::Boolean; }
  bool is_integer() const { return kind() == Kind::Integer; }
  bool is_real() const { return kind() == Kind::Real; }
  bool is_string() const { return kind() == Kind::String; }
  bool is_array() const { return kind() == Kind::Array; }
  bool is_object() const { return kind() == Kind::Object; }

  // Accessors; calling one on a value of another kind is a programming error
  // and throws std::bad_variant_access.
  bool as_bool() const { return std::get<bool>(v_); }
  const Integer& as_integer() const { return std::get<Integer>(v_); }
  double as_real() const { return std::get<double>(v_); }
  const std::string& as_string() const { return std::get<std::string>(v_); }
  const Array& as_array() const { return *std::get<std::shared_ptr<Array>>(v_); }
  Array& as_array();
  const Object& as_object() const { return *std::get<std::shared_ptr<Object>>(v_); }
  Object& as_object();

  // Deep equality (reals compare as doubles, so NaN differs from itself).
  bool operator==(const Value& other) const;

 private:
  // Arrays and objects are shared between copies until one of them is changed.
  template <typename T>
  T& mutable_ptr() {
    auto& p = std::get<std::shared_ptr<T>>(v_);
    if (p.use_count() > 1) p = std::make_shared<T>(*p);
    return *p;
  }

  std::variant<std::nullptr_t, bool, Integer, double, std::string, std::shared_ptr<Array>,
               std::shared_ptr<Object>>
      v_;
};

// An insertion-ordered object. Keys are unique: set() on an existing key replaces
// the value and keeps the key's first position.
using Member = std::pair<std::string, Value>;

class Object {
 public:
  Object() = default;
  Object(std::initializer_list<Member> members);

  // nullptr when the key is absent.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  // Inserts at the end, or replaces the value of an existing key in place.
  void set(std::string key, Value value);

  size_t size() const { return members_.size(); }
  bool empty() const { return members_.empty(); }
  auto begin() const { return members_.begin(); }
  auto end() const { return members_.end(); }
  bool operator==(const Object& other) const;

 private:
  // Past a few members, look-ups go through an index so that large objects stay linear to build.
  static constexpr size_t kIndexThreshold = 16;
  std::vector<Member> members_;
  std::unordered_map<std::string, size_t> index_;
};

inline Value::Value(Array a) : v_(std::make_shared<Array>(std::move(a))) {}
inline Value::Value(Object o) : v_(std::make_shared<Object>(std::move(o))) {}
inline Array& Value::as_array() { return mutable_ptr<Array>(); }
inline Object& Value::as_object() { return mutable_ptr<Object>(); }

// Raised by parse() with a message "<source>: line L column C: <problem>".
class ParseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads one JSON value from `text`. `source` names the text in error messages
// (usually the file name). See json_reader.cpp for the accepted dialect.
Value parse(std::string_view text, std::string_view source = "<string>");

// The indented output form: two spaces per level, one element or member per line,
// "," at the end of the line between members, ": " between key and value, "[]" and
// "{}" for empty containers. No newline is added at the end.
enum class Encoding {
  Ascii,  // every character outside U+0020..U+007E without a short escape as \uXXXX
  Utf8,   // non-ASCII characters written as themselves
};
std::string write(const Value& value, Encoding encoding);

// The output form written piece by piece, so that a large document goes out while it is
// being written rather than built whole first. Each call writes its part; whenever some
// tens of kilobytes are complete they are handed to `sink`, and the rest at finish().
// Without a sink, finish() returns the whole text. In an array each value is an element;
// in an object each value follows its key(). write() is this writer over one Value.
class Writer {
 public:
  using Sink = std::function<void(std::string_view)>;
  explicit Writer(Encoding encoding, Sink sink = nullptr);

  void begin_object();
  void begin_array();
  void end();  // closes the innermost object or array
  void key(std::string_view key);
  void value(const Value& value);
  void string(std::string_view text);  // a string value, without making a Value of it
  // The document must be complete.
  std::string finish();

 private:
  struct Open {
    char close;  // '}' or ']'
    bool empty;
  };
  char* _room(size_t n);  // where to write n more bytes
  void _grow(size_t n);
  void _put(std::string_view text);
  void _element();
  void _newline(size_t level);
  void _string(std::string_view text);
  void _hand_over();

  Encoding encoding_;
  Sink sink_;
  // The text not yet handed over: written through a pointer, a byte or a run at a time,
  // which std::string's appends make several times slower.
  std::unique_ptr<char[]> out_;
  size_t size_ = 0, capacity_ = 0;
  std::vector<Open> open_;
};

}  // namespace q9::json
