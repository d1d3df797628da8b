// The text of an operating-system error number in file messages.
#pragma once

#include <string>

namespace tallyfit {

// The system's description followed by " (os error N)", e.g.
// "No such file or directory (os error 2)".
std::string os_error_text(int error_number);

} // namespace tallyfit
