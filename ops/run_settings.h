// The run-wide settings the operations read, filled by run control from the command line
// before the banner.
#ifndef DORVALEX_OPS_RUN_SETTINGS_H_
#define DORVALEX_OPS_RUN_SETTINGS_H_

#include <optional>
#include <string>

struct RunSettings {
  bool quiet = true;         // no /VERBOSE: no summary, success or progress lines
  bool noAction = false;     // /NOACTION: the registry is not written
  bool backoutOpen = false;  // a backout file is being written
  bool changesOnly = false;  // /CHANGES
  bool fullBackup = false;   // /REGBACKUP
  std::optional<std::string> machineName;  // /MACHINE: value; none for the local registry
  std::string inputPath;                   // /REG: value, as typed
  std::string backoutPath;                 // /BACKUP: value, as typed
};

#endif  // DORVALEX_OPS_RUN_SETTINGS_H_
