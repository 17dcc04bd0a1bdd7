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

// Class lists.
#include <stdexcept>

#include <gtest/gtest.h>

#include "test_util.hpp"
#include "velmora_model_zoo/class_names.hpp"

TEST(ReadClassName, SkipsBlankLinesAndCarriageReturns) {
  const std::string path =
    test_util::write_file("classes.txt", "paper\r\nmask\r\n\r\n  \nwaiting_bench \r\nother");
  std::vector<std::string> names{"stale"};
  det::read_class_name(path, names);
  EXPECT_EQ(names, (std::vector<std::string>{"paper", "mask", "waiting_bench", "other"}));
}

TEST(ReadClassName, MissingOrEmptyListIsAnError) {
  std::vector<std::string> names;
  try {
    det::read_class_name("/nonexistent/classes.txt", names);
    FAIL() << "no exception";
  } catch (const std::runtime_error & e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/classes.txt"), std::string::npos);
  }
  EXPECT_THROW(
    det::read_class_name(test_util::write_file("blank.txt", "\n\r\n"), names),
    std::runtime_error);
}
