#include "report/report.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/capture_output.h"

TEST(ReportTest, ErrorLinesHaveTheirPrefixes) {
  CaptureOutput out;
  ReportError("");
  EXPECT_EQ(out.Take(), "***ERROR : \n");
  ReportErrorNoNewline("[Line 3]:abc\n");
  ReportError("[Line 3]:      ^\n");
  EXPECT_EQ(out.Take(), "***ERROR : [Line 3]:abc\n***ERROR : [Line 3]:      ^\n\n");
  ReportErrorAfterProgressF("Couldn't save \"%s\"\nContinuing ...", "HKLM\\X");
  EXPECT_EQ(out.Take(), "\b***ERROR : Couldn't save \"HKLM\\X\"\nContinuing ...\n");
}

TEST(ReportTest, SystemErrorAddsTheSystemTextLine) {
  CaptureOutput out;
  ReportSystemError(2, "Unable to Create Registry Key");
  EXPECT_EQ(out.Take(),
            "***ERROR : Unable to Create Registry Key\n"
            "         : (2)The system cannot find the file specified.\n");
  ReportSystemErrorF(1018, "Could not get Key information for \"%s\"", "HKLM\\A");
  EXPECT_EQ(out.Take(),
            "***ERROR : Could not get Key information for \"HKLM\\A\"\n"
            "         : (1018)Illegal operation attempted on a registry key that has been "
            "marked for deletion.\n");
  PrintSystemErrorText(-7);
  EXPECT_EQ(out.Take(), "         : (-7)Unknown error.\n");
}

TEST(ReportTest, FormattedMessagesAreNeverCutAndPercentInArgumentsStays) {
  CaptureOutput out;
  std::string long_path(10000, 'k');
  ReportErrorF("Unable to Create Backout File \"%s\"", long_path.c_str());
  EXPECT_EQ(out.Take(), "***ERROR : Unable to Create Backout File \"" + long_path + "\"\n");
  ReportErrorF("%s", "100%d");
  EXPECT_EQ(out.Take(), "***ERROR : 100%d\n");
}
