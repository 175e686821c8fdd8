// The console reports: error prefixes, the system text line, and formatted texts kept whole.
#include "report/report.h"

#include <gtest/gtest.h>

#include <string>

#include "report/error_text.h"
#include "testing/capture_output.h"

TEST(ReportTest, ErrorLinesAndSystemTexts) {
  CaptureOutput out;
  ReportErrorNoNewline("[Line 3]:abc\n");
  ReportError("[Line 3]:      ^\n");
  EXPECT_EQ(out.Take(), "***ERROR : [Line 3]:abc\n***ERROR : [Line 3]:      ^\n\n");
  ReportErrorAfterProgressF("Couldn't save \"%s\"\nContinuing ...", "HKLM\\X");
  EXPECT_EQ(out.Take(), "\b***ERROR : Couldn't save \"HKLM\\X\"\nContinuing ...\n");
  ReportSystemErrorF(2, "Could not get Key information for \"%s\"", "HKLM\\A");
  EXPECT_EQ(out.Take(),
            "***ERROR : Could not get Key information for \"HKLM\\A\"\n"
            "         : (2)" + SystemErrorText(2) + "\n");
  // Long texts are never cut, and a % in an argument stays as it is.
  const std::string longPath(10000, 'k');
  ReportErrorF("Unable to Create Backout File \"%s\" %s", longPath.c_str(), "100%d");
  EXPECT_EQ(out.Take(), "***ERROR : Unable to Create Backout File \"" + longPath + "\" 100%d\n");
}
