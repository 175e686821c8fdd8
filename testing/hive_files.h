// Hive files for tests: an empty hive (no library call creates one) to build on, and the
// independent readers that must accept every hive the tool writes.
#ifndef DORVALEX_TESTING_HIVE_FILES_H_
#define DORVALEX_TESTING_HIVE_FILES_H_

#include <cstdint>
#include <string>

namespace dx_testing {

// Writes the hive at `path` in format 1.`minor`. With `bigValue`, the root key holds the
// value "Big" (REG_BINARY, byte i being i % 251) of that many bytes in a big-data record, as
// Windows writes long data in format 1.4 and later. False when the file cannot be written.
bool WriteEmptyHive(const std::string& path, uint32_t minor = 3, uint32_t bigValue = 0);

// Merges `regText` (a .reg file of format 5.00 whose keys all begin with `prefix`, every
// level named before its children) into the hive at `path` with hivexregedit, an independent
// writer. False when it fails.
bool MergeIntoHive(const std::string& path, const std::string& prefix,
                   const std::string& regText);

// The .reg text form of a string of REG_EXPAND_SZ: hex(2): and its UTF-16LE bytes with NUL.
std::string ExpandSzText(const std::string& ascii);

// A small Windows folder at `root` (which exists): Windows/System32/config holds SOFTWARE,
// SYSTEM (ControlSet001 and ControlSet002, Select\Current = 2), SAM, SECURITY and DEFAULT;
// SOFTWARE's ProfileList names S-1-5-21-7-1001 at C:\Users\ana, S-1-5-21-7-1002 at
// %SystemDrive%\users\Bob (stored as Users/BOB) and S-1-5-18 in the system folder, which
// has no NTUSER.DAT; ana's hive is Users/ana/NTUSER.DAT, Bob's Users/BOB/ntuser.dat. False
// when a file cannot be written.
bool BuildWindowsFolder(const std::string& root);

// What regfexport (libregf) reads from the hive: its keys, values and data as text, or
// "regfexport: " and its complaint when it cannot read all of it.
std::string RegfExport(const std::string& path);

// Empty when both regfexport and hivexml read the whole hive; else what they complained of.
std::string ReaderComplaints(const std::string& path);

}  // namespace dx_testing

#endif  // DORVALEX_TESTING_HIVE_FILES_H_
