// Test support: a registry that forwards to another, logs every call with the key path it
// acts on, fails chosen calls, and can stand in for a remote machine by accepting
// connections (each a handle that stands for a root of the registry behind it).
#ifndef DORVALEX_TESTING_FAULT_REGISTRY_H_
#define DORVALEX_TESTING_FAULT_REGISTRY_H_

#include <string>
#include <unordered_map>
#include <vector>

#include "testing/registry_wrapper.h"

enum class RegCall {
  kConnect, kCreate, kOpenEx, kOpen, kQueryValue, kSetValue, kDeleteValue, kDeleteKey,
  kEnumKey, kEnumValue, kQueryInfo, kClose
};

class FaultRegistry : public RegistryWrapper {
 public:
  explicit FaultRegistry(RegistryService& inner) : RegistryWrapper(inner) {}

  // Makes the next `times` calls of `call` give `code` without reaching the registry behind
  // (times < 0: every such call). With a `match`, only calls whose name argument (subkey,
  // value name, machine) equals it count; for the calls that take only a handle the match is
  // the key path of the handle ("HKEY_LOCAL_MACHINE\SOFTWARE\X").
  void FailCall(RegCall call, RegStatus code, std::string match = "", int times = 1);
  // Makes call number `n` (counted from 1 over all calls) give `code`: for fault sweeps.
  void FailNthCall(int n, RegStatus code) { failNth_ = n, failNthCode_ = code; }
  // RegConnectRegistryA succeeds from now on, with a fresh handle for the root it names.
  void AcceptConnections() { acceptConnections_ = true; }

  // One line per call: "<call> <key path>[ <name or index>]"; connections as
  // "RegConnectRegistryA <machine> <root name>".
  const std::vector<std::string>& log() const { return log_; }
  void ClearLog() { log_.clear(); }
  int calls() const { return calls_; }
  // Handles given out for connections and not yet closed.
  size_t openConnections() const { return connections_.size(); }

  RegStatus RegConnectRegistryA(std::string_view machine, KeyHandle root,
                                KeyHandle* result) override;
  RegStatus RegCreateKeyA(KeyHandle parent, std::string_view subkey,
                          KeyHandle* result) override;
  RegStatus RegOpenKeyExA(KeyHandle parent, std::string_view subkey, uint32_t options,
                          uint32_t access, KeyHandle* result) override;
  RegStatus RegOpenKeyA(KeyHandle parent, std::string_view subkey, KeyHandle* result) override;
  RegStatus RegQueryValueExA(KeyHandle key, std::string_view name, uint32_t* type,
                             uint8_t* data, uint32_t* size) override;
  RegStatus RegSetValueExA(KeyHandle key, std::string_view name, uint32_t reserved,
                           uint32_t type, const uint8_t* data, uint32_t size) override;
  RegStatus RegDeleteValueA(KeyHandle key, std::string_view name) override;
  RegStatus RegDeleteKeyA(KeyHandle parent, std::string_view subkey) override;
  RegStatus RegEnumKeyA(KeyHandle key, uint32_t index, char* name, uint32_t size) override;
  RegStatus RegEnumValueA(KeyHandle key, uint32_t index, char* name, uint32_t* nameSize,
                          uint32_t* type, uint8_t* data, uint32_t* dataSize) override;
  RegStatus RegQueryInfoKeyA(KeyHandle key, uint32_t* maxSubkeyLength,
                             uint32_t* maxValueNameLength, uint32_t* maxValueLength) override;
  RegStatus RegCloseKey(KeyHandle key) override;

 private:
  struct Fault {
    RegCall call;
    RegStatus code;
    std::string match;
    int times;
  };

  // Logs the call and answers whether a fault replaces it (*code then holds the answer).
  bool Intercept(RegCall call, KeyHandle key, std::string_view name, RegStatus* code);
  std::string PathOf(KeyHandle key) const;
  KeyHandle Inner(KeyHandle key) const;
  void Remember(KeyHandle parent, std::string_view subkey, KeyHandle result);
  // Intercept, then `open` on the handle behind `parent`; remembers the key's path.
  template <typename Open>
  RegStatus Opening(RegCall call, KeyHandle parent, std::string_view subkey, KeyHandle* result,
                    Open open);
  // Intercept, then `inner` on the handle behind `key`.
  template <typename Call>
  RegStatus Forward(RegCall call, KeyHandle key, std::string_view name, Call inner);

  std::vector<Fault> faults_;
  std::vector<std::string> log_;
  std::unordered_map<KeyHandle, std::string> paths_;
  std::unordered_map<KeyHandle, KeyHandle> connections_;  // connection -> root behind it
  KeyHandle nextConnection_ = 0x7F000000;
  int calls_ = 0;
  int failNth_ = 0;
  RegStatus failNthCode_ = 0;
  bool acceptConnections_ = false;
};

#endif  // DORVALEX_TESTING_FAULT_REGISTRY_H_
