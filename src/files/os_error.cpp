#include "files/os_error.hpp"

#include <system_error>

namespace tallyfit {

std::string os_error_text(int error_number) {
    return std::system_category().message(error_number) + " (os error " +
           std::to_string(error_number) + ")";
}

} // namespace tallyfit
