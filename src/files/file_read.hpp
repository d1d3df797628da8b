// Reading a whole file into memory.
#pragma once

#include <string>

#include "result.hpp"

namespace tallyfit {

// The file's bytes, or the error number of the step that failed. A directory gives EISDIR. At
// most the size the file has when it is opened is read, so a file that grows meanwhile (or a
// device that never ends) cannot make this allocate more.
Result<std::string, int> read_whole_file(const std::string &path);

} // namespace tallyfit
