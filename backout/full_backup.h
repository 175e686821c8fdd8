// The full backup: HKEY_LOCAL_MACHINE to HKLM_backup.reg and HKEY_USERS to HKU_backup.reg in
// the current folder, as backout-file records.
#ifndef DORVALEX_BACKOUT_FULL_BACKUP_H_
#define DORVALEX_BACKOUT_FULL_BACKUP_H_

#include <functional>
#include <string>

#include "backout/key_opener.h"

// True when both files were written. Both are created (private, exclusively unless
// `overwrite`: /OVERWRITE was given, never through another user's link) before either root is
// read, so nothing planted under the second name during the first walk is written through.
// A name for which `isStoreFile` holds is refused: it would overwrite the store.
[[nodiscard]] bool FullBackup(KeyOpener& keys, bool overwrite,
                              const std::function<bool(const std::string&)>& isStoreFile);

#endif  // DORVALEX_BACKOUT_FULL_BACKUP_H_
