// Where a command's text goes: a file descriptor (q9's standard output and error) or a
// stream (tests, the installer). The descriptor form needs no iostream set-up, so a call
// that prints one line pays for nothing else; it hands the text over in large writes.
#pragma once

#include <charconv>
#include <concepts>
#include <iosfwd>
#include <string>
#include <string_view>

namespace q9 {

class Out {
 public:
  // Each insertion goes straight to `stream`. Implicit, so that a test hands a command
  // its string streams as they are.
  Out(std::ostream& stream) : stream_(&stream) {}  // NOLINT(google-explicit-constructor)
  // Writes to the descriptor `fd`. When `buffered`, text is held until flush() or until
  // some tens of kilobytes are pending; otherwise each insertion is written at once.
  Out(int fd, bool buffered) : fd_(fd), buffered_(buffered) {}
  ~Out();
  Out(const Out&) = delete;
  Out& operator=(const Out&) = delete;

  Out& operator<<(std::string_view text);
  Out& operator<<(const std::string& text) { return *this << std::string_view(text); }
  Out& operator<<(const char* text) { return *this << std::string_view(text); }
  Out& operator<<(char c) { return *this << std::string_view(&c, 1); }
  template <std::integral T>
    requires(!std::same_as<T, char> && !std::same_as<T, bool>)
  Out& operator<<(T number) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    return *this << std::string_view(digits, static_cast<size_t>(end - digits));
  }

  // Hands everything pending to the descriptor or stream.
  void flush();
  // 0 while every write has succeeded; else the errno of the first one that failed
  // (EIO from a stream). Text after a failure is dropped.
  int error() const { return error_; }

 private:
  void _write(std::string_view text);

  std::ostream* stream_ = nullptr;
  int fd_ = -1;
  bool buffered_ = false;
  int error_ = 0;
  std::string pending_;
};

}  // namespace q9
