// The text of a real number, as the dossier and every JSON output write it.
#pragma once

#include <string>

namespace q9::text {

// The shortest decimal that reads back as `d`: positional with at least one digit
// after the point for decimal exponents -4..15 ("2.0", "0.0001"), otherwise
// scientific with a sign and two or more exponent digits ("1e+16", "1.5e-07");
// "nan", "inf", "-inf" for non-finite values.
std::string real_form(double d);

}  // namespace q9::text
