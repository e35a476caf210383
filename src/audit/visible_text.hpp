// The text a reader sees of a section's HTML: tags dropped, character references decoded.
#pragma once

#include <string>
#include <string_view>

namespace q9::audit {

// Marks the edge of a block, cell or line in visible_text(): no figure runs across it.
inline constexpr char BREAK = '\n';

// The visible text of `html`: the contents of comments, scripts and style sheets dropped,
// every tag dropped (attribute values are never read), character references decoded as
// browsers decode them in text, runs of HTML white space as one space. A tag other than
// the inline ones (b, i, span, a, ...) leaves BREAK in its place. Linear in `html`'s length.
std::string visible_text(std::string_view html);

}  // namespace q9::audit
