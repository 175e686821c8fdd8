// Full key paths resolved through the root-name table to a root (local, or a remote
// machine's through the one connection slot) and a subkey, and the operations on them.
#include "ops/key_path.h"

#include <string>

#include "base/ascii_case.h"
#include "registry/delete_tree.h"
#include "registry/key_names.h"
#include "report/report.h"

namespace {

struct RootName {
  std::string_view name;
  KeyHandle root;
};

// Looked up in this order; there are exactly three short forms.
constexpr RootName kRootNames[] = {
    {"HKEY_LOCAL_MACHINE", kHkeyLocalMachine},
    {"HKEY_CLASSES_ROOT", kHkeyClassesRoot},
    {"HKEY_CURRENT_USER", kHkeyCurrentUser},
    {"HKEY_USERS", kHkeyUsers},
    {"HKEY_CURRENT_CONFIG", kHkeyCurrentConfig},
    {"HKEY_PERFORMANCE_DATA", kHkeyPerformanceData},
    {"HKLM", kHkeyLocalMachine},
    {"HKCR", kHkeyClassesRoot},
    {"HKCU", kHkeyCurrentUser},
};

// Where HKEY_CLASSES_ROOT lives below HKEY_LOCAL_MACHINE, locally and remotely.
constexpr std::string_view kClassesBelowMachine = "SOFTWARE\\Classes";

bool FindRoot(std::string_view name, KeyHandle* root) {
  for (const RootName& entry : kRootNames) {
    if (EqualsIgnoringCase(entry.name, name)) {
      *root = entry.root;
      return true;
    }
  }
  return false;
}

void ReportLineText(const ScriptState& state, std::string_view text) {
  std::string line = FormatText("[Line %d]:", state.lineNumber);
  line.append(text);
  ReportError(line);
}

// "\\NAME" whatever the user typed: only the first two characters are looked at.
std::string NormaliseMachineName(std::string_view name) {
  if (name.empty() || name[0] != '\\') return "\\\\" + std::string(name);
  if (name.size() >= 2 && name[1] == '\\') return std::string(name);
  return "\\" + std::string(name);
}

}  // namespace

bool IsRootKeyPath(std::string_view path) {
  // A root name alone has no backslash: the resolvers refuse it as naming no key.
  size_t slash = path.find('\\');
  if (slash == std::string_view::npos || slash + 1 != path.size()) return false;
  KeyHandle root;
  return FindRoot(path.substr(0, slash), &root);
}

bool HasRootName(std::string_view path) {
  KeyHandle root;
  return FindRoot(path.substr(0, path.find('\\')), &root);
}

KeyAccess::KeyAccess(RegistryService& registry, const ScriptState& state)
    : registry_(registry), state_(state) {}

bool KeyAccess::ResolveKeyPath(std::string_view path, const MachineName& machine,
                               Resolver resolver, KeyHandle* root, std::string* subkey) {
  size_t slash = path.find('\\');
  if (slash == std::string_view::npos && resolver != Resolver::kOpen) {
    ReportError("Invalid Key - no root key found before \\");
    ReportLineText(state_, path);
    return false;
  }
  if (!FindRoot(path.substr(0, slash), root)) {
    ReportError("Invalid Root Key");
    ReportLineText(state_, FoldName(path.substr(0, slash)));
    return false;
  }
  subkey->assign(slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1));
  // Deleting the root itself would take everything below it.
  if (resolver == Resolver::kDelete && subkey->empty()) {
    ReportError("Invalid Key - a root key cannot be deleted");
    ReportLineText(state_, path);
    return false;
  }
  if (!machine) return true;
  if (*root == kHkeyCurrentUser) {
    ReportError("HKEY_CURRENT_USER cannot be opened on a remote machine");
    return false;
  }
  if (*root == kHkeyClassesRoot) {
    *root = kHkeyLocalMachine;
    *subkey = subkey->empty() ? std::string(kClassesBelowMachine)
                              : std::string(kClassesBelowMachine) + "\\" + *subkey;
  }
  KeyHandle connection = kNoKey;
  RegStatus code =
      registry_.RegConnectRegistryA(NormaliseMachineName(*machine), *root, &connection);
  if (code != kErrorSuccess) {
    ReportSystemError(code, "Could not connect to remote registry");
    return false;
  }
  // The slot holds one connection: one still held (the snapshot opens key after key, each
  // through a connection of its own) goes, or every key of a remote walk would leave one open.
  DropRemoteRoot();
  remoteRoot_ = connection;
  *root = connection;
  return true;
}

void KeyAccess::DropRemoteRoot() {
  if (remoteRoot_ == kNoKey) return;
  registry_.RegCloseKey(remoteRoot_);
  remoteRoot_ = kNoKey;
}

bool KeyAccess::OpenKeyPath(std::string_view path, KeyHandle* handle, bool openOnly,
                            const MachineName& machine) {
  *handle = kNoKey;
  KeyHandle root;
  std::string& subkey = subkey_;  // its buffer serves line after line
  if (!ResolveKeyPath(path, machine, Resolver::kOpen, &root, &subkey)) return false;
  if (openOnly) {
    // A missing key is no error here: the handle stays empty and every query on it fails.
    if (registry_.RegOpenKeyExA(root, subkey, 0, kKeyAllAccess, handle) != kErrorSuccess)
      *handle = kNoKey;
    return true;
  }
  RegStatus code = registry_.RegCreateKeyA(root, subkey, handle);
  if (code != kErrorSuccess) {
    *handle = kNoKey;
    ReportSystemError(code, "Unable to Create Registry Key");
    ReportLineText(state_, path);
    return false;
  }
  return true;
}

bool KeyAccess::CloseKeyPath(std::string_view path, KeyHandle handle) {
  if (remoteRoot_ != kNoKey) {
    RegStatus code = registry_.RegCloseKey(remoteRoot_);
    if (code != kErrorSuccess) {
      ReportSystemError(code, "Unable to Close Remote Registry Handle");
      return false;
    }
    remoteRoot_ = kNoKey;
  }
  // An open-only OpenKeyPath of a missing key gave no handle: nothing to close.
  if (handle == kNoKey) return true;
  RegStatus code = registry_.RegCloseKey(handle);
  if (code != kErrorSuccess) {
    ReportSystemError(code, "Unable to Close Registry Key");
    ReportLineText(state_, path);
    return false;
  }
  return true;
}

void KeyAccess::ReleaseKeyPath(KeyHandle handle) {
  DropRemoteRoot();
  if (handle != kNoKey) registry_.RegCloseKey(handle);
}

bool KeyAccess::KeyPathExists(std::string_view path, const MachineName& machine,
                              bool* unknown) {
  *unknown = false;
  KeyHandle root;
  std::string subkey;
  if (!ResolveKeyPath(path, machine, Resolver::kExists, &root, &subkey)) return false;
  KeyHandle key = kNoKey;
  RegStatus code = registry_.RegOpenKeyA(root, subkey, &key);
  DropRemoteRoot();
  if (code == kErrorSuccess) registry_.RegCloseKey(key);
  if (code == kErrorSuccess || code == kErrorAccessDenied) return true;
  // A path that cannot name a key (an empty level, a name too long) names no key either.
  if (code == kErrorFileNotFound || code == kErrorPathNotFound ||
      code == kErrorInvalidParameter || code == kErrorBadKey)
    return false;
  *unknown = true;
  ReportSystemError(code, "Unable to Open Registry Key");
  ReportLineText(state_, path);
  return false;
}

bool KeyAccess::DeleteKeyPath(std::string_view path, const MachineName& machine) {
  KeyHandle root;
  std::string subkey;
  if (!ResolveKeyPath(path, machine, Resolver::kDelete, &root, &subkey)) return false;
  KeyHandle parent = kNoKey;
  RegStatus code = registry_.RegOpenKeyA(root, "", &parent);
  if (code != kErrorSuccess) {
    // A lost connection or a store that cannot be read: said, as any other failed delete is.
    DropRemoteRoot();
    ReportSystemError(code, "Unable to Open Registry Key");
    ReportLineText(state_, path);
    return false;
  }
  bool deleted = DeleteKeyTree(registry_, parent, subkey);
  DropRemoteRoot();
  registry_.RegCloseKey(parent);
  return deleted;
}
