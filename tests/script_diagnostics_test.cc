// Script reading from the outside: the diagnostics a script line gets (line numbers, caret
// lines, the blank line after each quoted line) and the exit code of the run.
#include <gtest/gtest.h>

#include <string>

#include "tests/blackbox.h"

namespace {

using namespace std::string_literals;

TEST(ScriptDiagnosticsTest, LinesAreReportedAsTheyStandInTheFile) {
  struct Case {
    const char* name;
    std::string script, output;  // output after the banner and, for /VERBOSE, the summary
    int exitCode;
  };
  const Case cases[] = {
      {"orphaned backslashes are all marked; after the first no line runs, none is refused",
       "DORVALEX\n"
       "UPDATE:[HKLM\\SOFTWARE\\A]\n"
       "UPDATE:\"v\"=\"C:\\temp\"\n"
       "APPEND:[HKLM\\SOFTWARE\\A]\n"
       "UPDATE:\"w\"=\"x\"\n"
       "UPDATE:\"y\"=\"\\q\"\n",
       "***ERROR : An orphaned \\ character was found\n"
       "***ERROR : [Line 3]:UPDATE:\"v\"=\"C:\\temp\"\n"
       "***ERROR : [Line 3]:              ^\n\n"
       "***ERROR : An orphaned \\ character was found\n"
       "***ERROR : [Line 6]:UPDATE:\"y\"=\"\\q\"\n"
       "***ERROR : [Line 6]:            ^\n\n"
       "***ERROR : Single Backslash errors were found - Exiting\n",
       1},
      {"physical line numbers across CRLF, blank, continued and unknown lines",
       "; two words\r\n"
       "DORVALEX\r\n"
       "UPDATE:[HKLM\\SOFTWARE\\A]\r\n"
       "\r\n"
       "UPDATE:\"b\"=hex:01,\\\r\n"
       "    02\r\n"
       "UPDAT:\"w\"=\"x\"\r\n"
       "UPDATE:\"w\"=\"x\"",
       "UPDATE : [3] Success - [HKLM\\SOFTWARE\\A]\n"
       "UPDATE : [5] Success - \"b\"=hex:01,02\n"
       "***ERROR : Unknown Operation Type - ignoring this line\n"
       "***ERROR : [Line 7]:UPDAT:\"w\"=\"x\"\n\n"
       "UPDATE : [8] Success - \"w\"=\"x\"\n"
       "in.txt was applied.\n",
       0},
      {"REGEDIT4 export with CRLF, a minus deletion, a continued qword and escapes",
       "REGEDIT4\r\n\r\n"
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n"
       "\"w\"=\"x\"\r\n"
       "\"w\"=-\r\n"
       "\"q\"=hex(b):01,00,00,00,\\\r\n"
       "  00,00,00,00\r\n"
       "\"w\"=\"a\\\\b\\\"c\"\r\n",
       "UPDATE : [3] Success - [HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n"
       "UPDATE : [4] Success - \"w\"=\"x\"\n"
       "DELETE : [5] Success - \"w\"=-\n"
       "UPDATE : [6] Success - \"q\"=hex(b):01,00,00,00,00,00,00,00\n"
       "UPDATE : [8] Success - \"w\"=\"a\\b\"c\"\n"
       "in.txt was applied.\n",
       0},
      {"unknown header", "REGEDIT5\nUPDATE:[HKLM\\SOFTWARE\\A]\n",
       "***ERROR : Registry file is not a DORVALEX or REGEDIT4 file type\n"
       "***ERROR : The file begins with \"REGEDIT5\"\n", 1},
      {"UTF-16 without its mark", "R\0E\0G\0E\0D\0I\0T\0\xE9\0\r\0\n\0"s,
       "***ERROR : Registry file is not a DORVALEX or REGEDIT4 file type\n"
       "***ERROR : The file begins with \"R\\x00E\\x00G\\x00E\\x00D\\x00I\\x00T\\x00\\xE9\\x00\" - "
       "it looks like UTF-16 text without its byte-order mark\n", 1},
      {"a lone surrogate in UTF-16", "\xFF\xFER\0E\0G\0E\0D\0I\0T\0" "4\0\n\0\n\0\"\0\xE9\0\x01\xD8\n\0"s,
       "***ERROR : Invalid UTF-16 Text - a lone surrogate\n"
       "***ERROR : [Line 3]:\"\xC3\xA9\n\n***ERROR : Fatal Error - Program Exit\n", 1},
      {"text after a string's closing quote",
       "REGEDIT4\n[HKLM\\SOFTWARE\\A]\n\"v\"=\"x\" ;\"\n\"w\"=\"x\" y\"\n",
       "***ERROR : Invalid Value - text after the closing double quote\n"
       "***ERROR : [Line 4]:\"w\"=\"x\" y\"\n\n***ERROR : Fatal Error - Program Exit\n", 1},
      {"root deletion", "REGEDIT4\n[-hkey_users\\]\n",
       "***ERROR : Invalid Key - a root key cannot be deleted\n***ERROR : [Line 2]:hkey_users\\\n"
       "***ERROR : Fatal Error - Program Exit\n", 1},
      {"unknown words run on; a root key line needs no key before it",
       "DORVALEX\nUPDATE:[HKLM]\n UPDATE:[HKLM\\A]\nUPDATE :\"v\"=\"x\"\nno colon\n"
       "UPDATE:[HKLM\\SOFTWARE\\A]\nUPDATE:\"w\"=\"x\"\n",
       "UPDATE : [2] Success - [HKLM]\n***ERROR : Unknown Operation Type - ignoring this line\n"
       "***ERROR : [Line 3]: UPDATE:[HKLM\\A]\n\n***ERROR : Unknown Operation Type - ignoring "
       "this line\n***ERROR : [Line 4]:UPDATE :\"v\"=\"x\"\n\n***ERROR : Unknown Operation Type - "
       "ignoring this line\n***ERROR : [Line 5]:no colon\n\nUPDATE : [6] Success - "
       "[HKLM\\SOFTWARE\\A]\nUPDATE : [7] Success - \"w\"=\"x\"\nin.txt was applied.\n", 0},
      {"a string edit on a key line", "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\A]\nprepend:[HKLM\\A]\n",
       "***ERROR : PREPEND operation is not allowed on KEY types\n"
       "***ERROR : [Line 3]:prepend:[HKLM\\A]\n\n***ERROR : Fatal Error - Program Exit\n", 1},
      {"native value before any key, even on an unknown word", "DORVALEX\nBOGUS:\"v\"=\"a\\b\"\n",
       "***ERROR : A registry key must be specified before a value\n"
       "***ERROR : [Line 2]:BOGUS:\"v\"=\"a\\b\"\n\n***ERROR : Fatal Error - Program Exit\n", 1},
      {"export value before any key", "REGEDIT4\n\"v\"=\"x\"\n",
       "***ERROR : A registry key must be specified before a value\n"
       "***ERROR : [Line 2]:\"v\"=\"x\"\n\n***ERROR : Fatal Error - Program Exit\n", 1},
      {"export comments after data, escaped names, values under a deleted key",
       "REGEDIT4\n[HKLM\\SOFTWARE\\A]\n\"v\"=\"x\"\n\"d\"=dword:1 ;c\n"
       "\"s\"=\"a;b\\\"c;\"\t ; c \"\n\"a\\\\b\"=\"x\"\n\"a\\\\b\"=-\n@=\"x\"\n@=- ;c\n\"v\"=-\n"
       "[-HKLM\\SOFTWARE\\A] ;c\n\"v\"=\"x\"\n"
       "[HKLM\\SOFTWARE\\A]\n\"w\"=\"x\"\n",
       "UPDATE : [2] Success - [HKLM\\SOFTWARE\\A]\nUPDATE : [3] Success - \"v\"=\"x\"\n"
       "UPDATE : [4] Success - \"d\"=dword:1\nUPDATE : [5] Success - \"s\"=\"a;b\"c;\"\n"
       "UPDATE : [6] Success - \"a\\b\"=\"x\"\nDELETE : [7] Success - \"a\\b\"=-\n"
       "UPDATE : [8] Success - @=\"x\"\nDELETE : [9] Success - @=-\nDELETE : [10] Success - "
       "\"v\"=-\nDELETE : [11] Success - [HKLM\\SOFTWARE\\A] ;c\n***ERROR : Value of a deleted key"
       " - ignoring this line\n***ERROR : [Line 12]:\"v\"=\"x\"\n\nUPDATE : [13] Success - "
       "[HKLM\\SOFTWARE\\A]\nUPDATE : [14] Success - \"w\"=\"x\"\nin.txt was applied.\n", 0},
      {"an indented export key line has orphaned backslashes",
       "REGEDIT4\n[HKLM\\SOFTWARE\\A]\n  [HKLM\\A]\n\"w\"=\"x\"\n",
       "***ERROR : An orphaned \\ character was found\n***ERROR : [Line 3]:  [HKLM\\A]\n"
       "***ERROR : [Line 3]:       ^\n\n***ERROR : Single Backslash errors were found - Exiting\n",
       1},
      {"a key without its ]", "DORVALEX\nUPDATE:[HKLM\\A\nUPDATE:\"w\"=\"x\"\n",
       "***ERROR : Invalid Key - no ] specified\n***ERROR : [Line 2]:[HKLM\\A\n\n"
       "***ERROR : Fatal Error - Program Exit\n", 1},
      {"a value without its =", "DORVALEX\nUPDATE:[HKLM\\A]\nUPDATE:\"v=x\n",
       "***ERROR : Invalid Value - no = found\n***ERROR : [Line 3]:\"v=x\n\n"
       "***ERROR : Fatal Error - Program Exit\n", 1},
      {"a blank after the minus: no deletion", "REGEDIT4\n[- HKEY_LOCAL_MACHINE\\SOFTWARE]\n",
       "***ERROR : Invalid Root Key\n***ERROR : [Line 2]:- HKEY_LOCAL_MACHINE\n"
       "***ERROR : Fatal Error - Program Exit\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BlackBox box;
    box.WriteFile("in.txt", c.script);
    const bool verbose = c.exitCode == 0;
    RunResult run = verbose ? box.Run({"/REG:in.txt", "/VERBOSE"}) : box.Run({"/REG:in.txt"});
    const char* summary = "Registry Input:\"in.txt\"\nNo Backout\nNoAction: False\n\n";
    EXPECT_EQ(run.output, kBanner + (verbose ? summary : "") + c.output);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(box.DumpStore().find("\"w\"") != std::string::npos, verbose);
  }
}

}  // namespace
