// Text that older stores took without checking it was UTF-8: what an upgrade and recall
// make of it.
#pragma once

#include <string>
#include <string_view>

namespace q9::memory {

// `text` when it is UTF-8; otherwise the whole text decoded as windows-1252 as the WHATWG
// Encoding Standard defines it (its five unassigned bytes 0x81, 0x8D, 0x8F, 0x90 and 0x9D
// become the C1 code points), which is what such bytes almost always were. Unlike U+FFFD
// it keeps different names apart ("M\xfcller AG" and "M\xf6ller AG") and readable.
std::string as_utf8(std::string_view text);

}  // namespace q9::memory
