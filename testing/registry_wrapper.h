// Test support: a registry service that forwards every call to another one. Tests derive from
// it and override the calls they want to fail, count or interleave with other work.
#ifndef DORVALEX_TESTING_REGISTRY_WRAPPER_H_
#define DORVALEX_TESTING_REGISTRY_WRAPPER_H_

#include "registry/registry_service.h"

class RegistryWrapper : public RegistryService {
 public:
  explicit RegistryWrapper(RegistryService& inner) : inner_(inner) {}

  RegStatus RegConnectRegistryA(std::string_view machine, KeyHandle root,
                                KeyHandle* result) override {
    return inner_.RegConnectRegistryA(machine, root, result);
  }
  RegStatus RegCreateKeyA(KeyHandle parent, std::string_view subkey,
                          KeyHandle* result) override {
    return inner_.RegCreateKeyA(parent, subkey, result);
  }
  RegStatus RegOpenKeyExA(KeyHandle parent, std::string_view subkey, uint32_t options,
                          uint32_t access, KeyHandle* result) override {
    return inner_.RegOpenKeyExA(parent, subkey, options, access, result);
  }
  RegStatus RegOpenKeyA(KeyHandle parent, std::string_view subkey, KeyHandle* result) override {
    return inner_.RegOpenKeyA(parent, subkey, result);
  }
  RegStatus RegQueryValueExA(KeyHandle key, std::string_view name, uint32_t* type,
                             uint8_t* data, uint32_t* size) override {
    return inner_.RegQueryValueExA(key, name, type, data, size);
  }
  RegStatus RegSetValueExA(KeyHandle key, std::string_view name, uint32_t reserved,
                           uint32_t type, const uint8_t* data, uint32_t size) override {
    return inner_.RegSetValueExA(key, name, reserved, type, data, size);
  }
  RegStatus RegDeleteValueA(KeyHandle key, std::string_view name) override {
    return inner_.RegDeleteValueA(key, name);
  }
  RegStatus RegDeleteKeyA(KeyHandle parent, std::string_view subkey) override {
    return inner_.RegDeleteKeyA(parent, subkey);
  }
  RegStatus RegEnumKeyA(KeyHandle key, uint32_t index, char* name, uint32_t size) override {
    return inner_.RegEnumKeyA(key, index, name, size);
  }
  RegStatus RegEnumValueA(KeyHandle key, uint32_t index, char* name, uint32_t* nameSize,
                          uint32_t* type, uint8_t* data, uint32_t* dataSize) override {
    return inner_.RegEnumValueA(key, index, name, nameSize, type, data, dataSize);
  }
  RegStatus RegQueryInfoKeyA(KeyHandle key, uint32_t* maxSubkeyLength,
                             uint32_t* maxValueNameLength, uint32_t* maxValueLength) override {
    return inner_.RegQueryInfoKeyA(key, maxSubkeyLength, maxValueNameLength, maxValueLength);
  }
  RegStatus RegCloseKey(KeyHandle key) override { return inner_.RegCloseKey(key); }
  RegStatus BeginConsistentRead(ReadSpan span) override {
    return inner_.BeginConsistentRead(span);
  }
  RegStatus EndConsistentRead() override { return inner_.EndConsistentRead(); }
  RegStatus BeginChanges() override { return inner_.BeginChanges(); }
  RegStatus SaveChanges() override { return inner_.SaveChanges(); }
  void DiscardChanges() override { inner_.DiscardChanges(); }
  void EndChanges() override { inner_.EndChanges(); }

 protected:
  RegistryService& inner_;
};

#endif  // DORVALEX_TESTING_REGISTRY_WRAPPER_H_
