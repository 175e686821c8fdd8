// The fault-injecting, call-logging registry used by the key path and deletion tests.
#include "testing/fault_registry.h"

namespace {

const char* CallName(RegCall call) {
  static constexpr const char* kNames[] = {
      "RegConnectRegistryA", "RegCreateKeyA",    "RegOpenKeyExA",  "RegOpenKeyA",
      "RegQueryValueExA",    "RegSetValueExA",   "RegDeleteValueA", "RegDeleteKeyA",
      "RegEnumKeyA",         "RegEnumValueA",    "RegQueryInfoKeyA", "RegCloseKey"};
  return kNames[static_cast<int>(call)];
}

const char* RootName(KeyHandle root) {
  switch (root) {
    case kHkeyClassesRoot: return "HKEY_CLASSES_ROOT";
    case kHkeyCurrentUser: return "HKEY_CURRENT_USER";
    case kHkeyLocalMachine: return "HKEY_LOCAL_MACHINE";
    case kHkeyUsers: return "HKEY_USERS";
    case kHkeyPerformanceData: return "HKEY_PERFORMANCE_DATA";
    case kHkeyCurrentConfig: return "HKEY_CURRENT_CONFIG";
    default: return nullptr;
  }
}

bool TakesName(RegCall call) {
  return call != RegCall::kEnumKey && call != RegCall::kEnumValue &&
         call != RegCall::kQueryInfo && call != RegCall::kClose;
}

}  // namespace

void FaultRegistry::FailCall(RegCall call, RegStatus code, std::string match, int times) {
  faults_.push_back({call, code, std::move(match), times});
}

std::string FaultRegistry::PathOf(KeyHandle key) const {
  if (const char* root = RootName(key)) return root;
  auto found = paths_.find(key);
  return found == paths_.end() ? "?" : found->second;
}

KeyHandle FaultRegistry::Inner(KeyHandle key) const {
  auto found = connections_.find(key);
  return found == connections_.end() ? key : found->second;
}

void FaultRegistry::Remember(KeyHandle parent, std::string_view subkey, KeyHandle result) {
  std::string path = PathOf(parent);
  if (!subkey.empty()) path.append("\\").append(subkey);
  paths_[result] = path;
}

bool FaultRegistry::Intercept(RegCall call, KeyHandle key, std::string_view name,
                              RegStatus* code) {
  ++calls_;
  std::string line = CallName(call);
  if (call == RegCall::kConnect) {
    line.append(" ").append(name).append(" ").append(PathOf(key));
  } else {
    line.append(" ").append(PathOf(key));
    if (!name.empty()) line.append(" ").append(name);
  }
  log_.push_back(line);
  if (calls_ == failNth_) {
    *code = failNthCode_;
    return true;
  }
  const std::string path = PathOf(key);
  for (Fault& fault : faults_) {
    if (fault.call != call || fault.times == 0) continue;
    if (!fault.match.empty() && fault.match != (TakesName(call) ? std::string(name) : path))
      continue;
    if (fault.times > 0) --fault.times;
    *code = fault.code;
    return true;
  }
  return false;
}

RegStatus FaultRegistry::RegConnectRegistryA(std::string_view machine, KeyHandle root,
                                             KeyHandle* result) {
  RegStatus code = kErrorBadNetPath;  // no machine answers unless connections are accepted
  if (Intercept(RegCall::kConnect, root, machine, &code) || !acceptConnections_) {
    if (result) *result = kNoKey;
    return code;
  }
  *result = nextConnection_++;
  connections_[*result] = root;
  paths_[*result] = std::string(machine) + "\\" + PathOf(root);
  return kErrorSuccess;
}

template <typename Open>
RegStatus FaultRegistry::Opening(RegCall call, KeyHandle parent, std::string_view subkey,
                                 KeyHandle* result, Open open) {
  RegStatus code;
  if (Intercept(call, parent, subkey, &code)) {
    *result = kNoKey;
    return code;
  }
  code = open(Inner(parent));
  if (code == kErrorSuccess) Remember(parent, subkey, *result);
  return code;
}

template <typename Call>
RegStatus FaultRegistry::Forward(RegCall call, KeyHandle key, std::string_view name, Call inner) {
  RegStatus code;
  return Intercept(call, key, name, &code) ? code : inner(Inner(key));
}

RegStatus FaultRegistry::RegCreateKeyA(KeyHandle parent, std::string_view subkey,
                                       KeyHandle* result) {
  return Opening(RegCall::kCreate, parent, subkey, result,
                 [&](KeyHandle p) { return inner_.RegCreateKeyA(p, subkey, result); });
}

RegStatus FaultRegistry::RegOpenKeyExA(KeyHandle parent, std::string_view subkey,
                                       uint32_t options, uint32_t access, KeyHandle* result) {
  return Opening(RegCall::kOpenEx, parent, subkey, result, [&](KeyHandle p) {
    return inner_.RegOpenKeyExA(p, subkey, options, access, result);
  });
}

RegStatus FaultRegistry::RegOpenKeyA(KeyHandle parent, std::string_view subkey,
                                     KeyHandle* result) {
  return Opening(RegCall::kOpen, parent, subkey, result,
                 [&](KeyHandle p) { return inner_.RegOpenKeyA(p, subkey, result); });
}

RegStatus FaultRegistry::RegQueryValueExA(KeyHandle key, std::string_view name, uint32_t* type,
                                          uint8_t* data, uint32_t* size) {
  return Forward(RegCall::kQueryValue, key, name,
                 [&](KeyHandle k) { return inner_.RegQueryValueExA(k, name, type, data, size); });
}

RegStatus FaultRegistry::RegSetValueExA(KeyHandle key, std::string_view name, uint32_t reserved,
                                        uint32_t type, const uint8_t* data, uint32_t size) {
  return Forward(RegCall::kSetValue, key, name, [&](KeyHandle k) {
    return inner_.RegSetValueExA(k, name, reserved, type, data, size);
  });
}

RegStatus FaultRegistry::RegDeleteValueA(KeyHandle key, std::string_view name) {
  return Forward(RegCall::kDeleteValue, key, name,
                 [&](KeyHandle k) { return inner_.RegDeleteValueA(k, name); });
}

RegStatus FaultRegistry::RegDeleteKeyA(KeyHandle parent, std::string_view subkey) {
  return Forward(RegCall::kDeleteKey, parent, subkey,
                 [&](KeyHandle k) { return inner_.RegDeleteKeyA(k, subkey); });
}

RegStatus FaultRegistry::RegEnumKeyA(KeyHandle key, uint32_t index, char* name, uint32_t size) {
  return Forward(RegCall::kEnumKey, key, std::to_string(index),
                 [&](KeyHandle k) { return inner_.RegEnumKeyA(k, index, name, size); });
}

RegStatus FaultRegistry::RegEnumValueA(KeyHandle key, uint32_t index, char* name,
                                       uint32_t* nameSize, uint32_t* type, uint8_t* data,
                                       uint32_t* dataSize) {
  return Forward(RegCall::kEnumValue, key, std::to_string(index), [&](KeyHandle k) {
    return inner_.RegEnumValueA(k, index, name, nameSize, type, data, dataSize);
  });
}

RegStatus FaultRegistry::RegQueryInfoKeyA(KeyHandle key, uint32_t* maxSubkeyLength,
                                          uint32_t* maxValueNameLength,
                                          uint32_t* maxValueLength) {
  return Forward(RegCall::kQueryInfo, key, "", [&](KeyHandle k) {
    return inner_.RegQueryInfoKeyA(k, maxSubkeyLength, maxValueNameLength, maxValueLength);
  });
}

RegStatus FaultRegistry::RegCloseKey(KeyHandle key) {
  RegStatus code;
  if (Intercept(RegCall::kClose, key, "", &code)) return code;
  if (connections_.erase(key)) {
    paths_.erase(key);
    return kErrorSuccess;
  }
  code = inner_.RegCloseKey(key);
  if (code == kErrorSuccess) paths_.erase(key);
  return code;
}
