// The full backup: HKEY_LOCAL_MACHINE to HKLM_backup.reg and HKEY_USERS to HKU_backup.reg in
// the current folder, as backout-file records.
#ifndef DORVALEX_BACKOUT_FULL_BACKUP_H_
#define DORVALEX_BACKOUT_FULL_BACKUP_H_

#include "registry/key_path.h"

// True when both files were written. `overwrite`: /OVERWRITE was given.
[[nodiscard]] bool FullBackup(KeyAccess& keys, bool overwrite);

#endif  // DORVALEX_BACKOUT_FULL_BACKUP_H_
