// Full key paths ("HKLM\SOFTWARE\Example") resolved to a root and a subkey on the local
// registry or a remote machine, and the open, close, existence and delete operations on them.
#ifndef DORVALEX_OPS_KEY_PATH_H_
#define DORVALEX_OPS_KEY_PATH_H_

#include <string>
#include <string_view>

#include "backout/key_opener.h"
#include "registry/registry_service.h"
#include "script/script_state.h"

// True for a path that names a root key itself ("HKLM\", "HKEY_USERS\"): such a key is never
// deleted.
bool IsRootKeyPath(std::string_view path);

// True when the path's root part (before the first backslash) is one of the root names.
bool HasRootName(std::string_view path);

class KeyAccess final : public KeyOpener {
 public:
  // `state` gives the line number of the messages.
  KeyAccess(RegistryService& registry, const ScriptState& state);

  // Opens the key (openOnly) or opens and creates it. With openOnly a missing key is not an
  // error: true with *handle == kNoKey. False after the report.
  [[nodiscard]] bool OpenKeyPath(std::string_view path, KeyHandle* handle, bool openOnly,
                                 const MachineName& machine);
  // Closes the handle and the remote connection. False after the report.
  [[nodiscard]] bool CloseKeyPath(std::string_view path, KeyHandle handle);
  // Closes the handle (if any) and the remote connection without any message.
  void ReleaseKeyPath(KeyHandle handle);
  // True when the key exists (it opens, or it is there but may not be opened); false when the
  // path names no key or the registry says it is not there, silently unless the path itself
  // is wrong. Any other answer (a store that cannot be read or is kept by another run) is no
  // proof of absence: false with *unknown set, after the report, so that nobody records the
  // deletion of a key that may well exist.
  bool KeyPathExists(std::string_view path, const MachineName& machine, bool* unknown);
  // Deletes the key with everything below it. Refuses a root key. False after the report.
  [[nodiscard]] bool DeleteKeyPath(std::string_view path, const MachineName& machine);

  // The snapshot's view: an open-only OpenKeyPath.
  bool OpenExistingKey(std::string_view path, KeyHandle* handle,
                       const MachineName& machine) override {
    return OpenKeyPath(path, handle, true, machine);
  }
  RegistryService& registry() override { return registry_; }

 private:
  enum class Resolver { kOpen, kExists, kDelete };
  // Root and subkey of `path` (on `machine`, through a connection kept in remoteRoot_).
  // False after the report.
  bool ResolveKeyPath(std::string_view path, const MachineName& machine, Resolver resolver,
                      KeyHandle* root, std::string* subkey);
  // Closes the remote connection, if any, without looking at the result.
  void DropRemoteRoot();

  RegistryService& registry_;
  const ScriptState& state_;
  KeyHandle remoteRoot_ = kNoKey;
  std::string subkey_;
};

#endif  // DORVALEX_OPS_KEY_PATH_H_
