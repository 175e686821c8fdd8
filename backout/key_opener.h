// What the key snapshot and the full backup need of the key access above them: the registry,
// and keys opened by their full path on the local registry or a remote machine.
#ifndef DORVALEX_BACKOUT_KEY_OPENER_H_
#define DORVALEX_BACKOUT_KEY_OPENER_H_

#include <optional>
#include <string>
#include <string_view>

#include "registry/registry_service.h"

// The machine whose registry a key path names; none for the local registry.
using MachineName = std::optional<std::string>;

class KeyOpener {
 public:
  virtual RegistryService& registry() = 0;
  // Opens the key of a full path ("HKLM\SOFTWARE\Example") without creating it. A missing key
  // is not an error: true with *handle == kNoKey. False after the report (a path that names no
  // key, a machine that cannot be reached).
  [[nodiscard]] virtual bool OpenExistingKey(std::string_view path, KeyHandle* handle,
                                             const MachineName& machine) = 0;

 protected:
  ~KeyOpener() = default;
};

#endif  // DORVALEX_BACKOUT_KEY_OPENER_H_
