// Tests of the `*DEFINE_FORMAT` records of "Definitions.in": the stored fields, the look-up
// by name ("_real" for "Default") and the exact text of every definition error.
#include "definitions/print_formats.h"

#include <gtest/gtest.h>

#include <string>

#include "support/study_files_fixture.h"

namespace karvo {
namespace {

using testing::fatalBlock;

class PrintFormatsTest : public testing::StudyFilesTest {};

TEST_F(PrintFormatsTest, ReadsFormatsAndLooksThemUp) {
  read("*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
       "*DEFINE_FORMAT\nname: wide\ntype: scientific\nfixed: 1\ntotal: 12\ndec: 4\nexp: 3\n"
       "expSigned: 0\n"
       "*DEFINE_FORMAT\nname: loose\ntype: float\nfixed: 0\ntotal: 9\ndec: 2\n");
  const PrintFormat* wide = findPrintFormat("wide");
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(wide->totalLength, 12);
  EXPECT_EQ(wide->exponentSigned, 0);
  // Not a fixed-length format: the total length is 0 (free format).
  EXPECT_EQ(findPrintFormat("loose")->totalLength, 0);
  EXPECT_EQ(findPrintFormat("_real"), findPrintFormat("Default"));
  EXPECT_EQ(&requirePrintFormat("wide", "x"), wide);
}

TEST_F(PrintFormatsTest, UndefinedFormatInUseEndsTheRun) {
  read("*DEFINE_FORMAT\nname: Default\ntype: automatic\n");
  EXPECT_THROW(requirePrintFormat("narrow", "thickness"), RunExit);
  EXPECT_EQ(messages(),
            "*ERROR\nThe print format \"narrow\" is being used in the project but has not been "
            "defined. Please define this format with a *DEFINE_FORMAT record (\"name: narrow\") "
            "in Definitions.in and try again. \n\n" +
                fatalBlock("The print format causing the error is being used with variable "
                           "\"thickness\"."));
}

TEST_F(PrintFormatsTest, DefinitionErrors) {
  const std::string head = "Error in the definition of the print format \"f\".";
  EXPECT_EQ(readFatal("*DEFINE_FORMAT\nname: f\ntype: hex\n"),
            fatalBlock("Unsupported print format type \"hex\" for the print format \"f\"."));
  EXPECT_EQ(readFatal("*DEFINE_FORMAT\nname: f\ntype: scientific\nexp: 0\n"),
            fatalBlock(head + " The length of the exponent field (0) for this format is <= 0. "
                              "Acceptable value is 1 or above."));
  EXPECT_EQ(readFatal("*DEFINE_FORMAT\nname: f\ntype: integer\nfixed: yes\ntotal: 0\n"),
            fatalBlock(head + " The total length of the field (0) for this format is defined as "
                              "0. Since this format was defined as a fixed length format, the "
                              "total length must be greater than 0."));
  EXPECT_EQ(readFatal("*DEFINE_FORMAT\nname: f\ntype: float\ndec: -1\n"),
            fatalBlock(head + " The number of digits after decimal (-1) for this format is "
                              "defined as negative. Acceptable value is 0 or above. 0 means that "
                              "the this is option is not being used."));
  EXPECT_EQ(readFatal("*DEFINE_FORMAT\nname: f\ntype: string\nfixed: 1\ntotal: -3\n"),
            fatalBlock(head + " The total length of the field (-3) for this format is defined as "
                              "negative. Acceptable value is 0 or above. 0 means that the this is "
                              "not a fixed length field."));
  EXPECT_EQ(readFatal("*DEFINE_FORMAT\nname: f\ntype: string\n*DEFINE_FORMAT\nname: f\n"
                      "type: float\n"),
            fatalBlock("Cannot have duplicate names for print formats. The print format \"f\" has "
                       "already been used."));
}

}  // namespace
}  // namespace karvo
