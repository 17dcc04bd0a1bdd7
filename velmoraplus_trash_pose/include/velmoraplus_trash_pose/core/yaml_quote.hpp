#ifndef VELMORAPLUS_TRASH_POSE__CORE__YAML_QUOTE_HPP_
#define VELMORAPLUS_TRASH_POSE__CORE__YAML_QUOTE_HPP_

#include <string>

namespace velmora
{

// `text` as a YAML double-quoted scalar that reads back as the same text,
// whatever it holds (": ", " #", quotes, backslashes, line breaks, unicode).
// Valid UTF-8 is kept as it is; a byte that is not part of valid UTF-8 is
// written as \xNN, which reads back as the character U+00NN.
std::string YamlQuoted(const std::string & text);

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__CORE__YAML_QUOTE_HPP_
