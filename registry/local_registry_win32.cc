// The local registry on Windows is the system's own, which reaches other machines itself
// (RegConnectRegistryA through the remote registry service).
#include "registry/local_registry.h"

#include "registry/native/native_registry.h"

std::string LocalRegistryPath() { return ""; }

// No file of ours holds the registry, and no run of ours locks it.
bool IsLocalRegistryFile(const std::string&) { return false; }
std::string LocalRegistryLockPath() { return ""; }

std::unique_ptr<RegistryService> OpenLocalRegistry() { return OpenNativeRegistry(); }

// Each change reaches the other machine's registry at its call: there is no batch to send.
std::unique_ptr<RegistryService> OpenRunRegistry(bool /*batchRemote*/) {
  return OpenNativeRegistry();
}
