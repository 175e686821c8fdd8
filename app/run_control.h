// Run control: the program's entry point. Reads the options, creates the backout file, prints
// the banner, applies the script (or makes the full backup), closes and reverses the backout
// file and returns the exit code.
#ifndef DORVALEX_APP_RUN_CONTROL_H_
#define DORVALEX_APP_RUN_CONTROL_H_

#include "app/os_description.h"

// Fills the operating-system record; false when the system refuses to say.
using OsVersionQuery = bool (*)(OsInfo* info);

// Runs the program with its command line and returns the process exit code: 0 after a script
// was applied or a full backup was made, 1 on every failure. `queryOs` is replaceable so that
// tests can make the system query fail.
int RunDorvalex(int argc, const char* const* argv, OsVersionQuery queryOs = QueryOsVersion);

// The usage text: a blank line, the two banner lines and the option list. The remote-machine
// option is listed only on the NT family, where it is served.
void PrintUsage(const OsInfo& os);

#endif  // DORVALEX_APP_RUN_CONTROL_H_
