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

#pragma once

#include <string>
#include <vector>

namespace det
{

// Reads a class list, one name per line; a name's line index (blank lines not counted) is the
// label that indexes it.  Replaces the contents of `names`.  Blank lines, surrounding
// whitespace and a trailing carriage return are ignored.  Throws std::runtime_error when the
// file cannot be read or holds no name.
void read_class_name(std::string path, std::vector<std::string> & names);

}  // namespace det
