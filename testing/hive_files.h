// Hive files for tests: an empty hive (no library call creates one) to build on, and the
// independent readers that must accept every hive the tool writes.
#ifndef DORVALEX_TESTING_HIVE_FILES_H_
#define DORVALEX_TESTING_HIVE_FILES_H_

#include <cstdint>
#include <string>

namespace dx_testing {

// Writes the hive at `path` in format 1.`minor`. False when the file cannot be written.
bool WriteEmptyHive(const std::string& path, uint32_t minor = 3);

// What regfexport (libregf) reads from the hive: its keys, values and data as text, or
// "regfexport: " and its complaint when it cannot read all of it.
std::string RegfExport(const std::string& path);

// Empty when both regfexport and hivexml read the whole hive; else what they complained of.
std::string ReaderComplaints(const std::string& path);

}  // namespace dx_testing

#endif  // DORVALEX_TESTING_HIVE_FILES_H_
