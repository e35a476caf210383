// The one error the memory store throws.
#pragma once

#include <stdexcept>

namespace q9::memory {

// A refused record or a store that cannot be opened; the message is a one-line diagnostic.
class MemoryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace q9::memory
