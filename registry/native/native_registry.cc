// The native backend: the service's calls passed to ADVAPI32 as they are, and the one key kept
// open between lines.
#include "registry/native/native_registry.h"

#include <windows.h>

#include <string>
#include <unordered_set>

#include "base/ascii_case.h"

namespace {

// The interface numbers the predefined roots from 0x80000000; Windows' HKEY constants are the
// same numbers as 32-bit signed values widened to pointer size.
constexpr KeyHandle kFirstRoot = 0x80000000;
constexpr KeyHandle kLastRoot = 0x80000006;

bool IsRoot(KeyHandle key) { return key >= kFirstRoot && key <= kLastRoot; }

HKEY ToHkey(KeyHandle key) {
  if (IsRoot(key)) {
    auto widened = static_cast<LONG_PTR>(static_cast<LONG>(static_cast<uint32_t>(key)));
    return reinterpret_cast<HKEY>(widened);
  }
  return reinterpret_cast<HKEY>(static_cast<uintptr_t>(key));
}

KeyHandle FromHkey(HKEY key) {
  auto value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key));
  if ((value >> 32) == 0xFFFFFFFFu && IsRoot(value & 0xFFFFFFFFu)) return value & 0xFFFFFFFFu;
  return value;
}

// The narrow calls take NUL-terminated names, so a name holding a NUL byte cannot be passed
// on: refused as an invalid name, as the other backends do.
bool ToCString(std::string_view name, std::string* text) {
  if (name.find('\0') != std::string_view::npos) return false;
  text->assign(name);
  return true;
}

// RegCreateKeyA and RegOpenKeyA hand back the parent's own handle for an empty subkey, and
// closing that would close the parent; the interface promises a handle of its own (a root's
// own handle stays: closing a root is harmless).
LONG OpenItself(HKEY parent, HKEY* key) {
  if (IsRoot(FromHkey(parent))) {
    *key = parent;
    return ERROR_SUCCESS;
  }
  return ::RegOpenKeyExA(parent, "", 0, MAXIMUM_ALLOWED, key);
}

// RegCreateKeyA itself, with word of whether the key is new: that call is RegCreateKeyExA
// with the rights the caller may have.
LONG CreateKey(HKEY parent, const std::string& subkey, HKEY* key, bool* created) {
  DWORD disposition = 0;
  LONG status = ::RegCreateKeyExA(parent, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  MAXIMUM_ALLOWED, nullptr, key, &disposition);
  *created = status == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY;
  return status;
}

// A value name whose every letter is ASCII, folded for comparison; false for other names,
// which the system compares by rules of its own.
bool FoldAsciiName(std::string_view name, std::string* folded) {
  folded->clear();
  for (char c : name) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
    folded->push_back(FoldAsciiCase(c));
  }
  return true;
}

class NativeRegistry final : public RegistryService {
 public:
  NativeRegistry() = default;
  NativeRegistry(const NativeRegistry&) = delete;
  NativeRegistry& operator=(const NativeRegistry&) = delete;
  ~NativeRegistry() override { DropKept(); }

  RegStatus RegConnectRegistryA(std::string_view machine, KeyHandle root,
                                KeyHandle* result) override {
    *result = kNoKey;
    std::string name;
    if (!ToCString(machine, &name)) return kErrorInvalidParameter;
    HKEY key = nullptr;
    LONG status = ::RegConnectRegistryA(name.c_str(), ToHkey(root), &key);
    if (status == ERROR_SUCCESS) *result = FromHkey(key);
    return status;
  }

  RegStatus RegCreateKeyA(KeyHandle parent, std::string_view subkey,
                          KeyHandle* result) override {
    *result = kNoKey;
    std::string name;
    if (!ToCString(subkey, &name)) return kErrorInvalidParameter;
    if (kept_.key && !kept_.lent && !kept_.stale && kept_.parent == parent &&
        kept_.subkey == name) {
      kept_.lent = true;
      kept_.verified = false;
      *result = kept_.handle;
      return kErrorSuccess;
    }
    HKEY key = nullptr;
    bool created = false;
    LONG status = OnKey(parent, [&](HKEY p) {
      return name.empty() ? OpenItself(p, &key) : CreateKey(p, name, &key, &created);
    });
    if (status != ERROR_SUCCESS) return status;
    *result = FromHkey(key);
    if (!kept_.lent && !IsRoot(*result)) {
      DropKept();
      kept_.key = key;
      kept_.handle = *result;
      kept_.parent = parent;
      kept_.subkey = std::move(name);
      kept_.lent = true;
      kept_.verified = true;
      kept_.fresh = created;
    }
    return kErrorSuccess;
  }

  RegStatus RegOpenKeyExA(KeyHandle parent, std::string_view subkey, uint32_t options,
                          uint32_t access, KeyHandle* result) override {
    *result = kNoKey;
    std::string name;
    if (!ToCString(subkey, &name)) return kErrorInvalidParameter;
    HKEY key = nullptr;
    LONG status = OnKey(
        parent, [&](HKEY p) { return ::RegOpenKeyExA(p, name.c_str(), options, access, &key); });
    if (status == ERROR_SUCCESS) *result = FromHkey(key);
    return status;
  }

  RegStatus RegOpenKeyA(KeyHandle parent, std::string_view subkey, KeyHandle* result) override {
    *result = kNoKey;
    std::string name;
    if (!ToCString(subkey, &name)) return kErrorInvalidParameter;
    HKEY key = nullptr;
    LONG status = OnKey(parent, [&](HKEY p) {
      return name.empty() ? OpenItself(p, &key) : ::RegOpenKeyA(p, name.c_str(), &key);
    });
    if (status == ERROR_SUCCESS) *result = FromHkey(key);
    return status;
  }

  RegStatus RegQueryValueExA(KeyHandle key, std::string_view name, uint32_t* type,
                             uint8_t* data, uint32_t* size) override {
    std::string text;
    if (!ToCString(name, &text)) return kErrorFileNotFound;
    if (KnownAbsent(key, name)) return kErrorFileNotFound;
    DWORD valueType = 0, byteCount = size ? *size : 0;
    LONG status = OnKey(key, [&](HKEY k) {
      return ::RegQueryValueExA(k, text.c_str(), nullptr, &valueType, data,
                                size ? &byteCount : nullptr);
    });
    if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
      if (type) *type = valueType;
      if (size) *size = byteCount;
    }
    return status;
  }

  RegStatus RegSetValueExA(KeyHandle key, std::string_view name, uint32_t reserved,
                           uint32_t type, const uint8_t* data, uint32_t size) override {
    std::string text;
    if (!ToCString(name, &text)) return kErrorInvalidParameter;
    // String data that does not end in NUL gets one byte more from the system when the byte
    // after it is NUL (taken as a terminator the caller forgot to count), and that byte is
    // read past the data: such data goes from a copy followed by another byte, so that
    // exactly `size` bytes are stored.
    std::string copy;
    if ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) && size > 0 &&
        data[size - 1] != 0) {
      copy.assign(reinterpret_cast<const char*>(data), size).push_back('\x01');
      data = reinterpret_cast<const uint8_t*>(copy.data());
    }
    NoteValueChange(key, name);
    return OnKey(key, [&](HKEY k) {
      return ::RegSetValueExA(k, text.c_str(), reserved, type, data, size);
    });
  }

  RegStatus RegDeleteValueA(KeyHandle key, std::string_view name) override {
    std::string text;
    if (!ToCString(name, &text)) return kErrorFileNotFound;
    NoteValueChange(key, name);
    return OnKey(key, [&](HKEY k) { return ::RegDeleteValueA(k, text.c_str()); });
  }

  RegStatus RegDeleteKeyA(KeyHandle parent, std::string_view subkey) override {
    std::string name;
    if (!ToCString(subkey, &name)) return kErrorFileNotFound;
    LONG status = OnKey(parent, [&](HKEY p) { return ::RegDeleteKeyA(p, name.c_str()); });
    // The kept key may be the one deleted or lie below it: never hand it out again.
    if (status == ERROR_SUCCESS) DropKeptWhenFree();
    return status;
  }

  RegStatus RegEnumKeyA(KeyHandle key, uint32_t index, char* name, uint32_t size) override {
    return OnKey(key, [&](HKEY k) { return ::RegEnumKeyA(k, index, name, size); });
  }

  RegStatus RegEnumValueA(KeyHandle key, uint32_t index, char* name, uint32_t* nameSize,
                          uint32_t* type, uint8_t* data, uint32_t* dataSize) override {
    DWORD nameCount = *nameSize, valueType = 0, byteCount = dataSize ? *dataSize : 0;
    LONG status = OnKey(key, [&](HKEY k) {
      return ::RegEnumValueA(k, index, name, &nameCount, nullptr, &valueType, data,
                             dataSize ? &byteCount : nullptr);
    });
    if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
      *nameSize = nameCount;
      if (type) *type = valueType;
      if (dataSize) *dataSize = byteCount;
    }
    return status;
  }

  RegStatus RegQueryInfoKeyA(KeyHandle key, uint32_t* maxSubkeyLength,
                             uint32_t* maxValueNameLength, uint32_t* maxValueLength) override {
    DWORD subkey = 0, valueName = 0, value = 0;
    LONG status = OnKey(key, [&](HKEY k) {
      return ::RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, nullptr, &subkey, nullptr,
                                nullptr, &valueName, &value, nullptr, nullptr);
    });
    // The system counts names in UTF-16 units and string data in its UTF-16 bytes, but the
    // narrow calls hand both out in UTF-8: up to three bytes a unit, so that much room.
    if (status == ERROR_SUCCESS) {
      if (maxSubkeyLength) *maxSubkeyLength = subkey * 3;
      if (maxValueNameLength) *maxValueNameLength = valueName * 3;
      if (maxValueLength) *maxValueLength = value + (value + 1) / 2;
    }
    return status;
  }

  bool HoldsChanges() const override { return false; }

  RegStatus RegCloseKey(KeyHandle key) override {
    if (kept_.key && key == kept_.handle) {
      if (!kept_.lent) return kErrorInvalidHandle;
      kept_.lent = false;
      if (kept_.stale) DropKept();
      return kErrorSuccess;
    }
    LONG status = ::RegCloseKey(ToHkey(key));
    // A closed parent (a remote machine's root) may come back as another handle of the same
    // number: the key kept below it is no longer found by that number.
    if (kept_.key && key == kept_.parent && !IsRoot(key)) DropKeptWhenFree();
    return status;
  }

 private:
  // The key that RegCreateKeyA opened last. `lent` while the caller holds it; `verified` once
  // a call on it succeeded since it was handed out, so that a 1018 afterwards is the caller's
  // own answer (the key went while held), not a key deleted between two lines. `fresh` while
  // the key is one this service created and whose values were all set through it: `changed`
  // holds their folded names, and any other name is known to be absent without asking.
  struct KeptKey {
    HKEY key = nullptr;
    HKEY replaced = nullptr;  // the deleted key's handle, closed with the entry
    KeyHandle handle = kNoKey;  // the number the caller knows it by
    KeyHandle parent = kNoKey;
    std::string subkey;
    bool lent = false;
    bool verified = false;
    bool stale = false;
    bool fresh = false;
    std::unordered_set<std::string> changed;
  };

  // Whether value `name` of `key` cannot be there: the kept key is one this run created, and
  // no value of that name was set through it. Saves a query per line in a new key.
  bool KnownAbsent(KeyHandle key, std::string_view name) {
    if (!kept_.fresh || !kept_.lent || key != kept_.handle) return false;
    std::string folded;
    return FoldAsciiName(name, &folded) && !kept_.changed.count(folded);
  }

  // Before a value of `key` changes: the kept key's record of its own values follows, and a
  // change through any other handle (maybe to the same key) ends what it knows.
  void NoteValueChange(KeyHandle key, std::string_view name) {
    if (!kept_.fresh) return;
    std::string folded;
    if (key == kept_.handle && FoldAsciiName(name, &folded)) {
      kept_.changed.insert(std::move(folded));
    } else {
      kept_.fresh = false;
    }
  }

  // Runs `call` on the Windows handle for `key`. On the kept key: 6 once the caller closed it;
  // a key deleted before this line began is created again and the call repeated once.
  template <typename Call>
  LONG OnKey(KeyHandle key, Call call) {
    if (!kept_.key || key != kept_.handle) return call(ToHkey(key));
    if (!kept_.lent) return ERROR_INVALID_HANDLE;
    LONG status = call(kept_.key);
    if (status == ERROR_KEY_DELETED && !kept_.verified && !kept_.replaced) {
      HKEY again = nullptr;
      bool created = false;
      if (CreateKey(ToHkey(kept_.parent), kept_.subkey, &again, &created) == ERROR_SUCCESS) {
        // The old handle stays open until the entry goes, so that Windows cannot give its
        // number to another key while the caller still holds it.
        kept_.replaced = kept_.key;
        kept_.key = again;
        kept_.fresh = false;
        status = call(kept_.key);
      }
    }
    if (status != ERROR_KEY_DELETED) kept_.verified = true;
    return status;
  }

  void DropKeptWhenFree() {
    if (kept_.lent) {
      kept_.stale = true;
    } else {
      DropKept();
    }
  }

  void DropKept() {
    if (kept_.key) ::RegCloseKey(kept_.key);
    if (kept_.replaced) ::RegCloseKey(kept_.replaced);
    kept_ = KeptKey();
  }

  KeptKey kept_;
};

}  // namespace

std::unique_ptr<RegistryService> OpenNativeRegistry() {
  return std::make_unique<NativeRegistry>();
}
