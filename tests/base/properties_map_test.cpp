// Tests of PropertiesMap: look-ups with the default value, the modified flag, and the
// serialised form byte for byte, with round trips of awkward bytes and refusal of
// malformed input.
#include "base/properties_map.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace karvo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(PropertiesMap, LooksUpBothMapsAndAnswersTheDefaultForMissingKeys) {
  PropertiesMap map("n/a");
  map.setValue("queue", "long");
  map.setValue("cpus", "4");
  map.setSecondValue("queue", "other");
  EXPECT_THAT(map.keys(), ElementsAre("cpus", "queue"));  // ordered by key
  EXPECT_EQ(map.value("queue"), "long");
  EXPECT_EQ(map.secondValue("queue"), "other");
  EXPECT_EQ(map.value("absent"), "n/a");
  EXPECT_EQ(map.secondValue("cpus"), "n/a");
  EXPECT_TRUE(map.has("cpus"));
  EXPECT_FALSE(map.has("absent"));

  map.setValue("cpus", "8");  // replaces
  EXPECT_EQ(map.value("cpus"), "8");

  map.erase("queue");
  EXPECT_THAT(map.keys(), ElementsAre("cpus"));
  EXPECT_EQ(map.value("queue"), "n/a");

  PropertiesMap plain;
  EXPECT_EQ(plain.value("absent"), "");
  EXPECT_THAT(plain.keys(), IsEmpty());
}

TEST(PropertiesMap, ModifiedFlagFollowsEveryChange) {
  PropertiesMap map;
  EXPECT_FALSE(map.modified());
  map.setValue("a", "1");
  EXPECT_TRUE(map.modified());
  map.clearModified();
  map.erase("absent");
  EXPECT_FALSE(map.modified());  // nothing was erased
  map.erase("a");
  EXPECT_TRUE(map.modified());
  map.clearModified();
  map.setSecondValue("b", "2");
  EXPECT_TRUE(map.modified());
  map.clearModified();
  map.clear();
  EXPECT_TRUE(map.modified());
  EXPECT_THAT(map.keys(), IsEmpty());
  EXPECT_TRUE(map.secondMap().empty());
}

TEST(PropertiesMap, SerialisedFormIsLengthCountedLinesPropertiesFirst) {
  PropertiesMap map;
  map.setValue("b", "2");
  map.setValue("a", "x y");
  map.setSecondValue("k", "");
  EXPECT_EQ(map.serialize(), "P 1 a 3 x y\nP 1 b 1 2\nS 1 k 0 \n");
  EXPECT_EQ(PropertiesMap().serialize(), "");
}

TEST(PropertiesMap, RoundTripKeepsAnyBytesAndReplacesEarlierContents) {
  PropertiesMap map;
  const char bytes[] = "line1\nline2\r\n: P 3 \0end";
  const std::string awkward(bytes, sizeof bytes - 1);  // the 0 byte included
  map.setValue("", "empty key");
  map.setValue("text", awkward);
  map.setValue(awkward, "as key");
  map.setSecondValue("remote", "ssh host");

  PropertiesMap back("dflt");
  back.setValue("stale", "gone");
  back.clearModified();
  ASSERT_TRUE(back.deserialize(map.serialize()));
  EXPECT_EQ(back.properties(), map.properties());
  EXPECT_EQ(back.secondMap(), map.secondMap());
  EXPECT_FALSE(back.has("stale"));
  EXPECT_TRUE(back.modified());
  EXPECT_EQ(back.value("text"), awkward);
  EXPECT_EQ(back.value("missing"), "dflt");  // the default is not part of the form

  EXPECT_TRUE(back.deserialize(""));
  EXPECT_THAT(back.keys(), IsEmpty());
}

TEST(PropertiesMap, MalformedFormIsRefusedAndLeavesTheMapEmpty) {
  const char* malformed[] = {
      "X 1 a 1 b\n",                 // unknown tag
      "P1 a 1 b\n",                  // no blank after the tag
      "P 1 a 1 b",                   // no newline at the end
      "P 1 a 1 bc\n",                // value longer than its length
      "P x a 1 b\n",                 // length not a number
      "P 1 a 99 b\n",                // value length beyond the text
      "P 1234567890123 a 1 b\n",     // absurd length
      "P 1 a 1 b\nS",                // truncated second entry
      "P 1 a 1 b\n\n",               // empty line
  };
  for (const char* text : malformed) {
    PropertiesMap map;
    map.setValue("keep", "1");
    map.setSecondValue("keep", "2");
    EXPECT_FALSE(map.deserialize(text)) << text;
    EXPECT_THAT(map.keys(), IsEmpty()) << text;
    EXPECT_TRUE(map.secondMap().empty()) << text;
  }
}

}  // namespace
}  // namespace karvo
