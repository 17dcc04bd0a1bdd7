// The quoting that keeps the tools' YAML readable for any text.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include "velmoraplus_trash_pose/yaml_quote.hpp"

namespace velmora::test {
namespace {

TEST(YamlQuote, AnyTextReadsBackAsItself) {
  const std::vector<std::string> texts = {
      "plain.png",
      "/data/run 1: kitchen/color.png",
      "/data/a #1/depth.png",
      "say \"cheese\" and 'hello'.png",
      "back\\slash\\",
      "图像/深度 图.png",
      "line\nbreak\ttab\rreturn",
      std::string("nul\0byte", 8),
      "- [a, b]: {c}",
      "",
      "null",
      "~",
      "true",
      "1e3",
      "\xC2\x85 next line and \xE2\x80\xA8 separator",
      "\x7F delete \x01 control",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    const YAML::Node node = YAML::Load("key: " + YamlQuoted(text) + "\n");
    EXPECT_EQ(node["key"].as<std::string>(), text);
    // Inside a flow sequence too.
    const YAML::Node list = YAML::Load("[" + YamlQuoted(text) + ", " + YamlQuoted(text) + "]");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].as<std::string>(), text);
  }
  // A byte that is not UTF-8 stays readable YAML (it reads back as U+00NN).
  const YAML::Node odd = YAML::Load("key: " + YamlQuoted("caf\xE9.png") + "\n");
  EXPECT_EQ(odd["key"].as<std::string>(), "caf\xC3\xA9.png");
}

}  // namespace
}  // namespace velmora::test
