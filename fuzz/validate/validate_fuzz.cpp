// validate_text on arbitrary bytes: it must never fail, and its verdict must agree
// with its own findings and with the split scanners' whole-pattern equivalents.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/utf8.hpp"
#include "validate/patterns.hpp"
#include "validate/validate.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const q9::validate::Report r = q9::validate::validate_text(text);
  if (r.ok != r.errors.empty() || r.stats.size() != 6) std::abort();
  if (!q9::utf8::find_invalid(text)) {
    using namespace q9::validate;
    static const Pattern resource(RESOURCE_SOURCE, true);
    static const Pattern section_id(SECTION_ID_SOURCE, true);
    static const Pattern empty_section(EMPTY_SECTION_SOURCE, true);
    if (count_resource_loads(text) != resource.count(text)) std::abort();
    if (count_sections(text) != section_id.count(text)) std::abort();
    if (empty_section_ids(text).size() != empty_section.count(text)) std::abort();
  }
  return 0;
}
