// Copyright 2026 Velmora robotics team
//
// Licensed under the Apache License, Version 2.0 (the "License");
// you may not use this file except in compliance with the License.
// You may obtain a copy of the License at
//
//     http://www.apache.org/licenses/LICENSE-2.0
//
// Unless required by applicable law or agreed to in writing, software
// distributed under the License is distributed on an "AS IS" BASIS,
// WITHOUT WARRANTIES OR CONDITIONS OF ANY KIND, either express or implied.
// See the License for the specific language governing permissions and
// limitations under the License.

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

// Whether `text` is valid UTF-8 (what YAML, and so an answer file, can hold as it is).
bool IsUtf8(const std::string & text);

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__CORE__YAML_QUOTE_HPP_
