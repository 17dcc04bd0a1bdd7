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

#include "velmoraplus_trash_pose/core/yaml_quote.hpp"

#include <cstdint>
#include <cstdio>

namespace velmora
{

namespace
{

// Length of the valid UTF-8 sequence starting at `i` and its code point; 0 when invalid.
std::size_t Utf8Sequence(const std::string & text, std::size_t i, std::uint32_t & code_point)
{
  const auto byte = [&](std::size_t k) {return static_cast<unsigned char>(text[k]);};
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  std::uint32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1FU;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0FU;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07U;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) {
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0U) != 0x80U) {
      return 0;
    }
    code_point = (code_point << 6) | (byte(i + k) & 0x3FU);
  }
  const bool surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
  if (code_point < minimum || code_point > 0x10FFFF || surrogate) {
    return 0;
  }
  return length;
}

std::string Escape(const char * format, std::uint32_t value)
{
  char text[16];
  std::snprintf(text, sizeof(text), format, static_cast<unsigned>(value));
  return text;
}

}  // namespace

bool IsUtf8(const std::string & text)
{
  std::uint32_t code_point = 0;
  for (std::size_t i = 0; i < text.size(); ) {
    const std::size_t length = static_cast<unsigned char>(text[i]) < 0x80 ? 1 :
      Utf8Sequence(text, i, code_point);
    if (length == 0) {
      return false;
    }
    i += length;
  }
  return true;
}

std::string YamlQuoted(const std::string & text)
{
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
          if (c < 0x20 || c == 0x7F) {
            out += Escape("\\x%02X", c);
          } else {
            out += static_cast<char>(c);
          }
      }
      ++i;
      continue;
    }
    std::uint32_t code_point = 0;
    const std::size_t length = Utf8Sequence(text, i, code_point);
    if (length == 0) {
      out += Escape("\\x%02X", c);
      ++i;
    } else if (code_point <= 0x9F) {
      // C1 controls (NEL among them) are not printable in YAML.
      out += Escape("\\x%02X", code_point);
      i += length;
    } else if (code_point == 0x2028 || code_point == 0x2029 || code_point == 0xFEFF ||
      code_point == 0xFFFE || code_point == 0xFFFF)
    {
      // Line and paragraph separators read as line breaks in YAML 1.1.
      out += Escape("\\u%04X", code_point);
      i += length;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  out += '"';
  return out;
}

}  // namespace velmora
