// The decimal text of a double in model files.
#pragma once

#include <string>

namespace tallyfit {

// The shortest digits that read back as exactly `value`, laid out without an exponent from
// 1e-5 up to (not including) 1e16 and with one outside that range: "1.0", "0.00001", "1e-6",
// "1e16", "-0.0", "5e-324". `value` must be finite.
std::string format_double(double value);

} // namespace tallyfit
