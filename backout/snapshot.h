// The key snapshot: a key with all its values and subkeys written as UPDATE records that
// recreate it, depth first.
#ifndef DORVALEX_BACKOUT_SNAPSHOT_H_
#define DORVALEX_BACKOUT_SNAPSHOT_H_

#include <string_view>

#include "backout/backout_file.h"
#include "backout/key_opener.h"

// The full backup's progress indicator: one character per subkey, turning in place.
struct Spinner {
  char characters[4] = {'|', '/', '-', '\\'};
  int position = 0;
};

// Writes the blocks of `path` and everything below it to `out`, all of them on the file when
// it returns. With a spinner (full-backup mode) an unreadable subkey is reported and skipped;
// without one it fails the snapshot. False after the report.
[[nodiscard]] bool SnapshotKey(KeyOpener& keys, BackoutFile& out, std::string_view path,
                               const MachineName& machine, Spinner* spinner);

#endif  // DORVALEX_BACKOUT_SNAPSHOT_H_
