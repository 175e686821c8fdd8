// Routing of registry calls between the local store and the remote backend by handle.
#include "registry/machine_registry.h"

#include <unordered_map>

namespace {

class MachineRegistry final : public RegistryService {
 public:
  MachineRegistry(std::unique_ptr<RegistryService> local, std::unique_ptr<RemoteRegistry> remote,
                  bool batchRemote)
      : local_(std::move(local)), remote_(std::move(remote)), batchRemote_(batchRemote) {}

  RegStatus RegConnectRegistryA(std::string_view machine, KeyHandle root,
                                KeyHandle* result) override {
    RemoteRegistry* remote = Remote();
    return Issue(remote, remote->RegConnectRegistryA(machine, root, result), result);
  }
  RegStatus RegCreateKeyA(KeyHandle parent, std::string_view subkey, KeyHandle* result) override {
    Route r = Resolve(parent);
    return Issue(r.service, r.service->RegCreateKeyA(r.handle, subkey, result), result);
  }
  RegStatus RegOpenKeyExA(KeyHandle parent, std::string_view subkey, uint32_t options,
                          uint32_t access, KeyHandle* result) override {
    Route r = Resolve(parent);
    return Issue(r.service, r.service->RegOpenKeyExA(r.handle, subkey, options, access, result),
                 result);
  }
  RegStatus RegOpenKeyA(KeyHandle parent, std::string_view subkey, KeyHandle* result) override {
    Route r = Resolve(parent);
    return Issue(r.service, r.service->RegOpenKeyA(r.handle, subkey, result), result);
  }
  RegStatus RegQueryValueExA(KeyHandle key, std::string_view name, uint32_t* type, uint8_t* data,
                             uint32_t* size) override {
    Route r = Resolve(key);
    return r.service->RegQueryValueExA(r.handle, name, type, data, size);
  }
  RegStatus RegSetValueExA(KeyHandle key, std::string_view name, uint32_t reserved, uint32_t type,
                           const uint8_t* data, uint32_t size) override {
    Route r = Resolve(key);
    return r.service->RegSetValueExA(r.handle, name, reserved, type, data, size);
  }
  RegStatus RegDeleteValueA(KeyHandle key, std::string_view name) override {
    Route r = Resolve(key);
    return r.service->RegDeleteValueA(r.handle, name);
  }
  RegStatus RegDeleteKeyA(KeyHandle parent, std::string_view subkey) override {
    Route r = Resolve(parent);
    return r.service->RegDeleteKeyA(r.handle, subkey);
  }
  RegStatus RegEnumKeyA(KeyHandle key, uint32_t index, char* name, uint32_t size) override {
    Route r = Resolve(key);
    return r.service->RegEnumKeyA(r.handle, index, name, size);
  }
  RegStatus RegEnumValueA(KeyHandle key, uint32_t index, char* name, uint32_t* nameSize,
                          uint32_t* type, uint8_t* data, uint32_t* dataSize) override {
    Route r = Resolve(key);
    return r.service->RegEnumValueA(r.handle, index, name, nameSize, type, data, dataSize);
  }
  RegStatus ListValues(KeyHandle key, const ValueVisit& visit) override {
    Route r = Resolve(key);
    return r.service->ListValues(r.handle, visit);
  }
  RegStatus RegQueryInfoKeyA(KeyHandle key, uint32_t* maxSubkeyLength,
                             uint32_t* maxValueNameLength, uint32_t* maxValueLength) override {
    Route r = Resolve(key);
    return r.service->RegQueryInfoKeyA(r.handle, maxSubkeyLength, maxValueNameLength,
                                       maxValueLength);
  }
  RegStatus RegCloseKey(KeyHandle key) override {
    Route r = Resolve(key);
    RegStatus status = r.service->RegCloseKey(r.handle);
    // The remote backend forgets a handle even when its close fails (its host is gone).
    if (r.routed && (status == kErrorSuccess || r.service == remote_.get())) handles_.erase(key);
    return status;
  }
  // Only the local store is ever walked whole (the full backup reads the local machine).
  RegStatus BeginConsistentRead(ReadSpan span) override {
    return local_->BeginConsistentRead(span);
  }
  RegStatus EndConsistentRead() override { return local_->EndConsistentRead(); }
  RegStatus BeginChanges() override { return Batched()->BeginChanges(); }
  RegStatus SaveChanges() override { return Batched()->SaveChanges(); }
  void DiscardChanges() override { Batched()->DiscardChanges(); }
  void EndChanges() override { Batched()->EndChanges(); }

 private:
  struct Route {
    RegistryService* service;
    KeyHandle handle;
    bool routed;
  };
  struct Entry {
    RegistryService* service;
    KeyHandle handle;
  };

  RemoteRegistry* Remote() {
    if (!remote_) remote_ = RemoteRegistry::FromEnvironment();
    return remote_.get();
  }
  RegistryService* Batched() { return batchRemote_ ? Remote() : local_.get(); }

  // Handles of both backends are renumbered here, so that neither needs to know the other's
  // numbers. Predefined roots and handles nobody gave pass to the local store as they are,
  // which answers them as it always does.
  Route Resolve(KeyHandle handle) {
    auto it = handles_.find(handle);
    if (it == handles_.end()) return {local_.get(), handle, false};
    return {it->second.service, it->second.handle, true};
  }

  RegStatus Issue(RegistryService* service, RegStatus status, KeyHandle* result) {
    if (status != kErrorSuccess || !result || *result == kNoKey) return status;
    if (service == local_.get() && *result >= kHkeyClassesRoot && *result <= kHkeyCurrentConfig) {
      return status;  // a root opened as itself keeps its own value
    }
    while (handles_.count(next_) || (next_ >= kHkeyClassesRoot && next_ <= kHkeyCurrentConfig)) {
      ++next_;
    }
    handles_[next_] = {service, *result};
    *result = next_++;
    return status;
  }

  std::unique_ptr<RegistryService> local_;
  std::unique_ptr<RemoteRegistry> remote_;
  const bool batchRemote_;
  std::unordered_map<KeyHandle, Entry> handles_;
  KeyHandle next_ = 0x10000;
};

}  // namespace

std::unique_ptr<RegistryService> OpenMachineRegistry(std::unique_ptr<RegistryService> local,
                                                     std::unique_ptr<RemoteRegistry> remote,
                                                     bool batchRemote) {
  return std::make_unique<MachineRegistry>(std::move(local), std::move(remote), batchRemote);
}
