// The registry service: the twelve registry calls the tool makes, with Win32 result codes.
// Everything above this interface (key paths, operations, snapshot) calls only these; the
// store behind it (the local SQLite store, a remote agent, a native registry) is a backend.
#ifndef DORVALEX_REGISTRY_REGISTRY_SERVICE_H_
#define DORVALEX_REGISTRY_REGISTRY_SERVICE_H_

#include <cstdint>
#include <functional>
#include <string_view>

#include "registry/win32_codes.h"

// An opaque key handle. 0 names no key; the predefined roots have fixed values.
using KeyHandle = uint64_t;

inline constexpr KeyHandle kNoKey = 0;
inline constexpr KeyHandle kHkeyClassesRoot = 0x80000000;
inline constexpr KeyHandle kHkeyCurrentUser = 0x80000001;
inline constexpr KeyHandle kHkeyLocalMachine = 0x80000002;
inline constexpr KeyHandle kHkeyUsers = 0x80000003;
inline constexpr KeyHandle kHkeyPerformanceData = 0x80000004;
inline constexpr KeyHandle kHkeyCurrentConfig = 0x80000005;

// Names (subkey paths, key names, value names) are byte strings compared without regard to
// ASCII case. A subkey path may hold several levels separated by backslashes; an empty subkey
// names `parent` itself. An empty value name is the default value.
class RegistryService {
 public:
  virtual ~RegistryService() = default;

  // Connects to `root` (a predefined root) of `machine` ("\\\\NAME").
  // 0: *result is a handle standing for the remote root. 53: the machine cannot be reached.
  virtual RegStatus RegConnectRegistryA(std::string_view machine, KeyHandle root,
                                        KeyHandle* result) = 0;
  // Opens parent\subkey, creating it and any missing keys above it. 0: *result is open.
  virtual RegStatus RegCreateKeyA(KeyHandle parent, std::string_view subkey,
                                  KeyHandle* result) = 0;
  // Opens an existing parent\subkey with `access`. 2: no such key; *result is then kNoKey.
  virtual RegStatus RegOpenKeyExA(KeyHandle parent, std::string_view subkey, uint32_t options,
                                  uint32_t access, KeyHandle* result) = 0;
  // Opens an existing parent\subkey. 2: no such key; *result is then kNoKey.
  virtual RegStatus RegOpenKeyA(KeyHandle parent, std::string_view subkey,
                                KeyHandle* result) = 0;
  // Reads value `name`. *size holds the buffer's capacity on entry and the value's byte count
  // on return. 0: *type and data filled (data may be null to ask for the size only).
  // 234: the buffer is too small; *size holds the needed byte count. 2: no such value.
  virtual RegStatus RegQueryValueExA(KeyHandle key, std::string_view name, uint32_t* type,
                                     uint8_t* data, uint32_t* size) = 0;
  // Creates or replaces value `name` with `type` and `size` bytes of `data`.
  virtual RegStatus RegSetValueExA(KeyHandle key, std::string_view name, uint32_t reserved,
                                   uint32_t type, const uint8_t* data, uint32_t size) = 0;
  // Deletes value `name`. 2: no such value.
  virtual RegStatus RegDeleteValueA(KeyHandle key, std::string_view name) = 0;
  // Deletes parent\subkey, which must have no subkeys (5 if it has). 2: no such key.
  virtual RegStatus RegDeleteKeyA(KeyHandle parent, std::string_view subkey) = 0;
  // Copies the name of subkey number `index` (ascending by upper-cased name) into `name`, a
  // buffer of `size` bytes, NUL-terminated. 259: no such index. 234: the buffer is too small.
  virtual RegStatus RegEnumKeyA(KeyHandle key, uint32_t index, char* name, uint32_t size) = 0;
  // Reads value number `index` (creation order). *nameSize holds the name buffer's capacity
  // in bytes on entry and the name's length without its NUL on return; *dataSize the data
  // buffer's capacity, then the byte count. 259: no such index. 234: a buffer is too small.
  virtual RegStatus RegEnumValueA(KeyHandle key, uint32_t index, char* name, uint32_t* nameSize,
                                  uint32_t* type, uint8_t* data, uint32_t* dataSize) = 0;
  // The longest subkey name and value name (in bytes, without NUL) and the largest value data.
  // Any of the outputs may be null. Where names and string data are converted on their way
  // out (the system's registry), the lengths are the most the conversion can give.
  virtual RegStatus RegQueryInfoKeyA(KeyHandle key, uint32_t* maxSubkeyLength,
                                     uint32_t* maxValueNameLength,
                                     uint32_t* maxValueLength) = 0;
  // Closes a handle that an open, create or connect call gave. 6: not an open handle.
  virtual RegStatus RegCloseKey(KeyHandle key) = 0;

  // The values of `key` in the order RegEnumValueA numbers them, each handed to `visit` with
  // its name, type and data, valid during that visit only. A visit must not call this
  // registry; it returns false to stop the listing. The backend holds one value at a time,
  // however many the key has. 50 (before any visit) from a backend that lists values only
  // through RegEnumValueA; otherwise RegEnumValueA's codes, 0 once every value was visited or
  // a visit stopped the listing.
  using ValueVisit = std::function<bool(std::string_view name, uint32_t type,
                                        std::string_view data)>;
  virtual RegStatus ListValues(KeyHandle, const ValueVisit&) { return kErrorNotSupported; }

  // Reads between BeginConsistentRead and EndConsistentRead all see the store as it was at
  // the begin, whatever another process writes meanwhile, so that a walk of the whole tree
  // (the full backup) sees each change wholly or not at all. A backend without such a view
  // reads live. Not nested; no write may come in between. kWholeTree: the reads go through
  // the whole tree about once, so a backend may keep less of it cached meanwhile.
  enum class ReadSpan { kSome, kWholeTree };
  virtual RegStatus BeginConsistentRead(ReadSpan) { return kErrorSuccess; }
  virtual RegStatus EndConsistentRead() { return kErrorSuccess; }

  // Changes saved in batches. Between BeginChanges and EndChanges a backend may hold changes
  // back and save them together at SaveChanges: a crash before then loses all of them, never
  // some, and no other run changes the store meanwhile. The caller saves only once what it
  // needs to undo them is safe. A backend that saves every call at once does nothing here.
  // BeginChanges: 170 when another run keeps the store for longer than the wait.
  virtual RegStatus BeginChanges() { return kErrorSuccess; }
  // Nonzero: none of the changes since the last save are in the store, and every later
  // change is refused with that code.
  virtual RegStatus SaveChanges() { return kErrorSuccess; }
  // Drops the changes since the last save; later changes are refused.
  virtual void DiscardChanges() {}
  // Drops what was not saved and lets other runs change the store again.
  virtual void EndChanges() {}
  // False for a backend whose every change is in the store when its call returns, whatever
  // BeginChanges and SaveChanges say: a caller keeping records before changes must then
  // write each record out before its change.
  virtual bool HoldsChanges() const { return true; }
};

#endif  // DORVALEX_REGISTRY_REGISTRY_SERVICE_H_
