#pragma once

#include <string>
#include <vector>

namespace det {

// Reads a class list, one name per line; a name's line index (blank lines not counted) is the
// label that indexes it.  Replaces the contents of `names`.  Blank lines, surrounding
// whitespace and a trailing carriage return are ignored.  Throws std::runtime_error when the
// file cannot be read or holds no name.
void read_class_name(std::string path, std::vector<std::string>& names);

}  // namespace det
