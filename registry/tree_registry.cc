// The registry calls over a tree store: handles, the predefined roots and their views, the
// name rules and the Win32 buffer rules. Each call is one store transaction, or, while a run
// batches its changes, part of the batch's transaction.
#include "registry/tree_registry.h"

#include <array>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/ascii_case.h"
#include "registry/key_cache.h"
#include "registry/key_names.h"
#include "registry/key_values.h"
#include "registry/listing_prefetch.h"

namespace {

// What a handle leads to in one call.
enum class Target { kKey, kAbsent, kPerformanceData };

bool IsPredefined(KeyHandle handle) {
  return handle >= kHkeyClassesRoot && handle <= kHkeyCurrentConfig;
}

// The data part of a query or enumeration: the bytes into a caller's buffer of *size bytes,
// or 234 with the needed size when it is too small. A null size asks for no data at all.
RegStatus CopyValueData(const ValueRow& row, uint8_t* data, uint32_t* size) {
  if (!size) return kErrorSuccess;
  if (data && *size < row.dataSize) {
    *size = row.dataSize;
    return kErrorMoreData;
  }
  if (data && row.dataSize) std::memcpy(data, row.data.data(), row.dataSize);
  *size = row.dataSize;
  return kErrorSuccess;
}

// The same for value data held in a listing window.
RegStatus CopyListedData(std::string_view bytes, uint8_t* data, uint32_t* size) {
  if (!size) return kErrorSuccess;
  const uint32_t needed = static_cast<uint32_t>(bytes.size());
  if (data && *size < needed) {
    *size = needed;
    return kErrorMoreData;
  }
  if (data && needed) std::memcpy(data, bytes.data(), needed);
  *size = needed;
  return kErrorSuccess;
}

class TreeRegistry final : public RegistryService {
 public:
  explicit TreeRegistry(std::unique_ptr<TreeStore> store)
      : owned_(std::move(store)),
        store_(*owned_),
        localMachine_(store_.LocalMachineKey()),
        users_(store_.UsersKey()) {
    hasCurrentUser_ = store_.CurrentUserKeyName(&userKeyName_);
    for (size_t i = 0; i < roots_.size(); ++i) roots_[i].root = kHkeyClassesRoot + i;
  }

  RegStatus RegConnectRegistryA(std::string_view, KeyHandle, KeyHandle* result) override {
    if (result) *result = kNoKey;
    return kErrorBadNetPath;  // this store reaches no other machine
  }

  RegStatus RegCreateKeyA(KeyHandle parent, std::string_view subkey,
                          KeyHandle* result) override {
    if (!result) return kErrorInvalidParameter;
    *result = kNoKey;
    OpenKey* from = nullptr;
    std::vector<std::string_view>& levels = levels_;
    if (RegStatus status = Prepare(parent, subkey, &from, &levels)) return status;
    if (from->root == kHkeyPerformanceData) return kErrorAccessDenied;
    KeyId id = 0;
    auto walk = [&](bool create) {
      if (RecallPath(parent, subkey, &id)) return kErrorSuccess;
      Target target;
      RegStatus status = ResolveKey(*from, create, &target, &id);
      if (status != kErrorSuccess) return status;
      if (target != Target::kKey) return kErrorFileNotFound;
      status = WalkPath(id, levels, create, &id);
      if (status == kErrorSuccess) RememberPath(parent, subkey, id);
      return status;
    };
    // Most creates meet a key that exists: try without taking the write lock first.
    RegStatus status = Transact(false, [&] { return walk(false); });
    if (status == kErrorFileNotFound)
      status = Transact(true, [&] { return walk(true); }, kSeveralRows);
    if (status == kErrorSuccess) *result = AddHandle(*from, levels.empty(), id, kKeyAllAccess);
    return status;
  }

  RegStatus RegOpenKeyExA(KeyHandle parent, std::string_view subkey, uint32_t,
                          uint32_t access, KeyHandle* result) override {
    if (!result) return kErrorInvalidParameter;
    *result = kNoKey;
    OpenKey* from = nullptr;
    std::vector<std::string_view>& levels = levels_;
    if (RegStatus status = Prepare(parent, subkey, &from, &levels)) return status;
    KeyId id = 0;
    RegStatus status = Transact(false, [&] {
      if (RecallPath(parent, subkey, &id)) return kErrorSuccess;
      Target target;
      RegStatus status = ResolveKey(*from, false, &target, &id);
      if (status != kErrorSuccess) return status;
      // A root whose view is missing, or the empty performance root, opens as itself.
      if (target != Target::kKey) return levels.empty() ? kErrorSuccess : kErrorFileNotFound;
      status = WalkPath(id, levels, false, &id);
      if (status == kErrorSuccess) RememberPath(parent, subkey, id);
      return status;
    });
    if (status == kErrorSuccess) *result = AddHandle(*from, levels.empty(), id, access);
    return status;
  }

  RegStatus RegOpenKeyA(KeyHandle parent, std::string_view subkey, KeyHandle* result) override {
    return RegOpenKeyExA(parent, subkey, 0, kKeyAllAccess, result);
  }

  RegStatus RegQueryValueExA(KeyHandle key, std::string_view name, uint32_t* type,
                             uint8_t* data, uint32_t* size) override {
    OpenKey* open = nullptr;
    if (RegStatus status = LookUp(key, &open)) return status;
    if (data && !size) return kErrorInvalidParameter;
    if (!(open->access & kKeyQueryValue)) return kErrorAccessDenied;
    if (CheckValueName(name) != kErrorSuccess) return kErrorFileNotFound;
    ValueRow row;
    KeyValues::Value held;  // or the held copy of the value, read in place
    bool isHeld = false;
    RegStatus status = Transact(false, [&] {
      Target target;
      KeyId id;
      RegStatus status = ResolveKey(*open, false, &target, &id);
      if (status != kErrorSuccess) return status;
      if (target != Target::kKey) return kErrorFileNotFound;
      return FindValue(id, Fold(name), data != nullptr, &row, &held, &isHeld);
    });
    if (status != kErrorSuccess) return status;
    if (type) *type = isHeld ? held.type : row.type;
    return isHeld ? CopyListedData(held.data, data, size) : CopyValueData(row, data, size);
  }

  RegStatus RegSetValueExA(KeyHandle key, std::string_view name, uint32_t, uint32_t type,
                           const uint8_t* data, uint32_t size) override {
    OpenKey* open = nullptr;
    if (RegStatus status = LookUp(key, &open)) return status;
    if (CheckValueName(name) != kErrorSuccess || size > kMaxValueDataLength ||
        (size && !data))
      return kErrorInvalidParameter;
    if (!(open->access & kKeySetValue) || open->root == kHkeyPerformanceData)
      return kErrorAccessDenied;
    return Transact(true, [&] {
      Target target;
      KeyId id;
      RegStatus status = ResolveKey(*open, true, &target, &id);
      if (status != kErrorSuccess) return status;
      dirty_ = true;
      return SetValue(id, name, type, data, size);
    });
  }

  RegStatus RegDeleteValueA(KeyHandle key, std::string_view name) override {
    OpenKey* open = nullptr;
    if (RegStatus status = LookUp(key, &open)) return status;
    if (!(open->access & kKeySetValue) || open->root == kHkeyPerformanceData)
      return kErrorAccessDenied;
    if (CheckValueName(name) != kErrorSuccess) return kErrorFileNotFound;
    return Transact(true, [&] {
      Target target;
      KeyId id;
      RegStatus status = ResolveKey(*open, false, &target, &id);
      if (status != kErrorSuccess) return status;
      if (target != Target::kKey) return kErrorFileNotFound;
      std::string fold = FoldName(name);
      status = store_.DeleteValue(id, fold);
      if (status == kErrorSuccess) {
        dirty_ = true;
        if (values_.Holds(id)) values_.Erase(fold);
      }
      return status;
    });
  }

  RegStatus RegDeleteKeyA(KeyHandle parent, std::string_view subkey) override {
    OpenKey* from = nullptr;
    std::vector<std::string_view> levels;
    if (RegStatus status = Prepare(parent, subkey, &from, &levels)) return status;
    // A root is never deleted, nor anything below the performance root.
    if ((levels.empty() && from->root != kNoKey) || from->root == kHkeyPerformanceData)
      return kErrorAccessDenied;
    return Transact(true, [&] {
      Target target;
      KeyId above;
      RegStatus status = ResolveKey(*from, false, &target, &above);
      if (status != kErrorSuccess) return status;
      if (target != Target::kKey) return kErrorFileNotFound;
      KeyId doomed = above;
      std::string fold;
      if (!levels.empty()) {
        status = WalkPath(above, std::vector<std::string_view>(levels.begin(), levels.end() - 1),
                          false, &above);
        if (status == kErrorSuccess) {
          fold = FoldName(levels.back());
          status = FindChild(above, fold, &doomed);
        }
        if (status != kErrorSuccess) return status;
      }
      bool hasChildren = false;
      values_.Drop();
      status = store_.HasChildren(doomed, &hasChildren);
      if (status != kErrorSuccess) return status;
      if (hasChildren) return kErrorAccessDenied;
      dirty_ = true;
      status = store_.DeleteKey(doomed);
      if (levels.empty())
        cache_.Clear();  // the key's own place in the cache is not known here
      else
        cache_.RemoveChild(above, fold, doomed);
      return status;
    }, kSeveralRows);
  }

  RegStatus RegEnumKeyA(KeyHandle key, uint32_t index, char* name, uint32_t size) override {
    OpenKey* open = nullptr;
    if (RegStatus status = LookUp(key, &open)) return status;
    if (!name) return kErrorInvalidParameter;
    if (!(open->access & kKeyEnumerateSubKeys)) return kErrorAccessDenied;
    const ListingWindow::Row* row = nullptr;
    RegStatus status = Transact(false, [&] {
      KeyId id;
      if (RegStatus status = ResolveListedKey(*open, &id)) return status;
      RegStatus status = SubkeyWindow(*open, id).Seek(store_, id, generation_, index, &row);
      if (status == kErrorSuccess) {
        // The caller is likely to open the child next, and then to list its subkeys.
        lastChild_.generation = generation_;
        lastChild_.parent = id;
        lastChild_.fold = open->subkeys.Other(*row);
        lastChild_.id = row->id;
        lastChild_.hasChildren = row->type != 0;
      }
      return status;
    });
    if (status == kErrorSuccess) {
      std::string_view childName = open->subkeys.Name(*row);
      if (childName.size() + 1 > size) {
        status = kErrorMoreData;
      } else {
        std::memcpy(name, childName.data(), childName.size());
        name[childName.size()] = '\0';
      }
    }
    BoundListings(*open);
    return status;
  }

  RegStatus RegEnumValueA(KeyHandle key, uint32_t index, char* name, uint32_t* nameSize,
                          uint32_t* type, uint8_t* data, uint32_t* dataSize) override {
    OpenKey* open = nullptr;
    if (RegStatus status = LookUp(key, &open)) return status;
    if (!name || !nameSize || (data && !dataSize)) return kErrorInvalidParameter;
    if (!(open->access & kKeyQueryValue)) return kErrorAccessDenied;
    const ListingWindow::Row* row = nullptr;
    RegStatus status = Transact(false, [&] {
      KeyId id;
      if (RegStatus status = ResolveListedKey(*open, &id)) return status;
      return open->values.Seek(store_, id, generation_, index, &row);
    });
    if (status == kErrorSuccess) {
      std::string_view valueName = open->values.Name(*row);
      if (valueName.size() + 1 > *nameSize) {
        status = kErrorMoreData;
      } else {
        std::memcpy(name, valueName.data(), valueName.size());
        name[valueName.size()] = '\0';
        *nameSize = static_cast<uint32_t>(valueName.size());
        if (type) *type = row->type;
        status = CopyListedData(open->values.Other(*row), data, dataSize);
      }
    }
    BoundListings(*open);
    return status;
  }

  // One listing statement for all of the key's values, stepped row by row into the visit:
  // no window is filled, and nothing is held past the row being visited.
  RegStatus ListValues(KeyHandle key, const ValueVisit& visit) override {
    OpenKey* open = nullptr;
    if (RegStatus status = LookUp(key, &open)) return status;
    if (!(open->access & kKeyQueryValue)) return kErrorAccessDenied;
    return Transact(false, [&] {
      KeyId id;
      RegStatus status = ResolveListedKey(*open, &id);
      if (status == kErrorNoMoreItems) return kErrorSuccess;  // nothing to list
      if (status != kErrorSuccess) return status;
      return store_.ListAllValues(
          id, [&](const ListedValue& value) { return visit(value.name, value.type, value.data); });
    });
  }

  RegStatus RegQueryInfoKeyA(KeyHandle key, uint32_t* maxSubkeyLength,
                             uint32_t* maxValueNameLength, uint32_t* maxValueLength) override {
    OpenKey* open = nullptr;
    if (RegStatus status = LookUp(key, &open)) return status;
    if (!(open->access & kKeyQueryValue)) return kErrorAccessDenied;
    uint32_t lengths[3] = {0, 0, 0};
    RegStatus status = Transact(false, [&] {
      Target target;
      KeyId id;
      RegStatus status = ResolveKey(*open, false, &target, &id);
      if (status != kErrorSuccess || target != Target::kKey) return status;
      // Read as the first window of each listing, which the enumeration then goes on with.
      if (maxSubkeyLength)
        status = SubkeyWindow(*open, id).Longest(store_, id, generation_, &lengths[0], nullptr);
      if (status == kErrorSuccess && (maxValueNameLength || maxValueLength))
        status = open->values.Longest(store_, id, generation_, &lengths[1], &lengths[2]);
      return status;
    });
    BoundListings(*open);
    if (status != kErrorSuccess) return status;
    if (maxSubkeyLength) *maxSubkeyLength = lengths[0];
    if (maxValueNameLength) *maxValueNameLength = lengths[1];
    if (maxValueLength) *maxValueLength = lengths[2];
    return kErrorSuccess;
  }

  RegStatus RegCloseKey(KeyHandle key) override {
    if (IsPredefined(key)) return kErrorSuccess;
    auto found = handles_.find(key);
    if (found == handles_.end()) return kErrorInvalidHandle;
    listingBytes_ -= found->second.listingBytes;
    handles_.erase(found);
    return kErrorSuccess;
  }

 private:
  // An open handle: a predefined root (its view resolved at every call) or a key by id.
  struct OpenKey {
    KeyHandle root = kNoKey;
    KeyId id = 0;
    uint32_t access = kKeyAllAccess;
    // The rows of the last enumerations, valid while generation_ is unchanged.
    ListingWindow subkeys{Listing::kSubkeys};
    ListingWindow values{Listing::kValues};
    size_t listingBytes = 0;  // what the two windows held at the end of the last call
  };

  // What the listing windows of all handles may hold together between calls. A client may
  // keep many handles open (the agent's clients up to 1024); without this bound each would
  // keep its windows for as long as it stays open.
  static constexpr size_t kMaxListingBytes = 16u << 20;

  // Called after each call that read `open`'s windows: a window that had to take one value
  // larger than a window is let go at once, and once all windows together pass
  // kMaxListingBytes the windows of every other handle are let go (they are read again when
  // their handles list again).
  void BoundListings(OpenKey& open) {
    open.values.ReleaseIfOversized();
    open.subkeys.ReleaseIfOversized();
    const size_t held = open.values.HeldBytes() + open.subkeys.HeldBytes();
    listingBytes_ = listingBytes_ - open.listingBytes + held;
    open.listingBytes = held;
    if (listingBytes_ <= kMaxListingBytes) return;
    auto release = [&](OpenKey& other) {
      if (&other == &open) return;
      other.values.Release();
      other.subkeys.Release();
      listingBytes_ -= other.listingBytes;
      other.listingBytes = 0;
    };
    for (OpenKey& root : roots_) release(root);
    for (auto& [handle, other] : handles_) release(other);
  }

  RegStatus LookUp(KeyHandle handle, OpenKey** open) {
    if (IsPredefined(handle)) {
      // A store without a current user answers for it as another machine does.
      if (handle == kHkeyCurrentUser && !hasCurrentUser_) return kErrorInvalidHandle;
      *open = &roots_[handle - kHkeyClassesRoot];
      return kErrorSuccess;
    }
    auto found = handles_.find(handle);
    if (found == handles_.end()) return kErrorInvalidHandle;
    *open = &found->second;
    return kErrorSuccess;
  }

  RegStatus Prepare(KeyHandle parent, std::string_view subkey, OpenKey** from,
                    std::vector<std::string_view>* levels) {
    if (RegStatus status = LookUp(parent, from)) return status;
    return SplitSubkeyPath(subkey, levels);
  }

  KeyHandle AddHandle(const OpenKey& from, bool itself, KeyId id, uint32_t access) {
    OpenKey open;
    open.root = itself ? from.root : kNoKey;
    open.id = id;
    open.access = access;
    KeyHandle handle = nextHandle_;
    nextHandle_ += 4;
    if (IsPredefined(nextHandle_)) nextHandle_ = kHkeyCurrentConfig + 4;
    handles_.emplace(handle, open);
    return handle;
  }

  // A call that may change more than one row; inside a batch it needs a mark of its own.
  static constexpr bool kSeveralRows = true;

  // Runs `work` in one transaction: committed when it succeeds; a write that fails after
  // changing rows is rolled back whole. Inside a batch, `work` joins the batch's transaction.
  template <typename Work>
  RegStatus Transact(bool write, Work work, bool severalRows = false) {
    if (consistentRead_) return write ? kErrorAccessDenied : work();  // joins the held read
    if (store_.status() != kErrorSuccess) return store_.status();
    if (write && store_.readOnly()) return kErrorAccessDenied;
    if (batching_) return TransactInBatch(write, work, severalRows);
    RegStatus status = write ? store_.BeginWrite() : store_.BeginRead();
    if (status != kErrorSuccess) return status;
    dirty_ = false;
    status = SyncWithStore();
    if (status == kErrorSuccess) status = work();
    if (status != kErrorSuccess && dirty_) {
      store_.Rollback();
      Forget();
      return status;
    }
    RegStatus committed = store_.Commit();
    if (committed != kErrorSuccess) {
      store_.Rollback();
      if (dirty_) Forget();
      return committed;
    }
    if (dirty_) ++generation_;
    return status;
  }

  // The batch's transaction takes the write lock at its first call, reads included, so that
  // it never has to be upgraded. A failed call is undone alone: a single store call undoes
  // itself, several rows go back to the call's mark. When the store gives up the whole
  // transaction (a full disk, an I/O error), the batch is lost and later changes refused.
  template <typename Work>
  RegStatus TransactInBatch(bool write, Work work, bool severalRows) {
    if (lost_ != kErrorSuccess) return lost_;
    if (!store_.InTransaction()) {
      RegStatus status = store_.BeginWrite();
      if (status == kErrorSuccess) status = SyncWithStore();
      if (status != kErrorSuccess) {
        store_.Rollback();
        return status;
      }
    }
    dirty_ = false;
    bool marked = write && severalRows;
    if (marked) {
      if (RegStatus status = store_.Mark()) return LoseBatchIfEnded(status);
    }
    RegStatus status = work();
    if (marked) {
      if (status != kErrorSuccess)
        store_.RollbackToMark();
      else
        status = store_.ReleaseMark();
    }
    if (status != kErrorSuccess) {
      if (dirty_) Forget();  // the cache may hold rows that were undone
      return LoseBatchIfEnded(status);
    }
    if (dirty_) ++generation_;
    return status;
  }

  RegStatus LoseBatchIfEnded(RegStatus status) {
    if (!store_.InTransaction()) {
      lost_ = status;
      Forget();
    }
    return status;
  }

  RegStatus BeginChanges() override {
    if (batching_ || consistentRead_) return kErrorInvalidParameter;
    if (store_.status() != kErrorSuccess || store_.readOnly()) return kErrorSuccess;
    if (RegStatus status = store_.AcquireRunLock()) return status;
    batching_ = true;
    lost_ = kErrorSuccess;
    return kErrorSuccess;
  }

  RegStatus SaveChanges() override {
    if (!batching_) return kErrorSuccess;
    if (lost_ != kErrorSuccess) return lost_;
    if (!store_.InTransaction()) return kErrorSuccess;
    RegStatus status = store_.Commit();
    if (status != kErrorSuccess) {
      store_.Rollback();
      lost_ = status;
      Forget();
    }
    return status;
  }

  void DiscardChanges() override {
    if (!batching_) return;
    if (store_.InTransaction()) {
      store_.Rollback();
      Forget();
    }
    if (lost_ == kErrorSuccess) lost_ = kErrorRegistryIoFailed;
  }

  void EndChanges() override {
    if (!batching_) return;
    if (store_.InTransaction()) {
      store_.Rollback();
      Forget();
    }
    batching_ = false;
    lost_ = kErrorSuccess;
    store_.ReleaseRunLock();
  }

  // A consistent read is one read transaction held from Begin to End: every call in between
  // joins it (Transact) and so reads the store as it was at the first read, while other
  // users of the store go on committing.
  RegStatus BeginConsistentRead(ReadSpan span) override {
    if (store_.status() != kErrorSuccess) return store_.status();
    if (consistentRead_ || batching_) return kErrorInvalidParameter;
    RegStatus status = store_.BeginRead();
    if (status != kErrorSuccess) return status;
    // The first read fixes the view; the cache is then checked against that view.
    bool any = false;
    status = store_.HasChildren(localMachine_, &any);
    if (status == kErrorSuccess) status = SyncWithStore();
    if (status != kErrorSuccess) {
      store_.Rollback();
      return status;
    }
    consistentRead_ = true;
    wholeTree_ = span == ReadSpan::kWholeTree;
    if (wholeTree_) store_.ReadingWholeTree(true);
    return kErrorSuccess;
  }

  RegStatus EndConsistentRead() override {
    if (!consistentRead_) return kErrorInvalidParameter;
    consistentRead_ = false;
    if (wholeTree_) store_.ReadingWholeTree(false);
    wholeTree_ = false;
    RegStatus status = store_.Commit();
    if (status != kErrorSuccess) store_.Rollback();
    return status;
  }

  // Another user's commit may have deleted or moved anything that was cached.
  RegStatus SyncWithStore() {
    int64_t version = 0;
    RegStatus status = store_.DataVersion(&version);
    if (status != kErrorSuccess) return status;
    if (version != dataVersion_) {
      dataVersion_ = version;
      Forget();
    }
    return kErrorSuccess;
  }

  void Forget() {
    cache_.Clear();
    values_.Drop();
    ++generation_;
  }

  // The subkey window of `open`, which resolved to key `id`: known empty without a statement
  // when the last subkey enumeration found that key without children.
  ListingWindow& SubkeyWindow(OpenKey& open, KeyId id) {
    if (lastChild_.generation == generation_ && lastChild_.id == id && !lastChild_.hasChildren)
      open.subkeys.MarkEmpty(id, generation_);
    return open.subkeys;
  }

  // The key whose subkeys or values are listed; a key with nothing to list (HKPD, an empty
  // view) ends the listing at once.
  RegStatus ResolveListedKey(OpenKey& open, KeyId* id) {
    Target target;
    if (RegStatus status = ResolveKey(open, false, &target, id)) return status;
    return target == Target::kKey ? kErrorSuccess : kErrorNoMoreItems;
  }

  RegStatus ResolveKey(const OpenKey& open, bool create, Target* target, KeyId* id) {
    *target = Target::kKey;
    if (open.root == kNoKey) {
      *id = open.id;
      return CheckLive(open.id);
    }
    static constexpr std::string_view kClasses[] = {"SOFTWARE", "Classes"};
    static constexpr std::string_view kConfig[] = {"SYSTEM", "CurrentControlSet",
                                                   "Hardware Profiles", "Current"};
    std::vector<std::string_view> view;
    KeyId base = localMachine_;
    switch (open.root) {
      case kHkeyLocalMachine:
        *id = localMachine_;
        return kErrorSuccess;
      case kHkeyUsers:
        *id = users_;
        return kErrorSuccess;
      case kHkeyPerformanceData:
        *target = Target::kPerformanceData;
        return kErrorSuccess;
      case kHkeyClassesRoot:
        view.assign(std::begin(kClasses), std::end(kClasses));
        break;
      case kHkeyCurrentConfig:
        view.assign(std::begin(kConfig), std::end(kConfig));
        break;
      default:  // kHkeyCurrentUser
        base = users_;
        view.push_back(userKeyName_);
        break;
    }
    RegStatus status = WalkPath(base, view, create, id);
    if (status == kErrorFileNotFound && !create) {
      *target = Target::kAbsent;  // the view's key is missing: it reads as empty
      return kErrorSuccess;
    }
    return status;
  }

  RegStatus CheckLive(KeyId id) {
    if (id == localMachine_ || id == users_ || cache_.IsLive(id)) return kErrorSuccess;
    // A child listed within this consistent read lives as long as the read.
    if (consistentRead_ && lastChild_.generation == generation_ && lastChild_.id == id)
      return kErrorSuccess;
    int64_t depth = 0;
    RegStatus status = store_.KeyDepth(id, &depth);
    if (status != kErrorSuccess) return status;
    cache_.AddLive(id);
    return kErrorSuccess;
  }

  RegStatus FindChild(KeyId parent, const std::string& fold, KeyId* child) {
    // Only a consistent read is sure that no write of this connection moved the child since.
    if (consistentRead_ && lastChild_.generation == generation_ && lastChild_.parent == parent &&
        lastChild_.fold == fold) {
      *child = lastChild_.id;
      return kErrorSuccess;
    }
    if (cache_.FindChild(parent, fold, child)) return kErrorSuccess;
    RegStatus status = store_.FindChild(parent, fold, child);
    if (status == kErrorSuccess) cache_.AddChild(parent, fold, *child);
    return status;
  }

  // Inside a batch the values of the key being worked on are read once and then answered
  // from memory; outside one every call asks the store, which others may be changing.
  bool HoldValues(KeyId key) {
    if (!batching_ || values_.TooLarge(key)) return false;
    if (values_.Holds(key)) return true;
    // The listing goes straight into the held copy, and stops once the key proves too large.
    values_.Hold(key);
    bool ended = false;
    RegStatus status = store_.ListValues(key, 0, nullptr, KeyValues::kMaxValues,
                                         [&](const ListedValue& value) {
                                           values_.Add(value);
                                           return values_.Holds(key);
                                         },
                                         &ended);
    if (status != kErrorSuccess) {
      values_.Drop();
      return false;
    }
    if (!ended) {
      values_.MarkTooLarge(key);
      return false;
    }
    return values_.Holds(key);
  }

  // The value from the store into *row, or, while the key's values are held, *held the held
  // copy (valid until the next change) and *isHeld true.
  RegStatus FindValue(KeyId key, const std::string& fold, bool withData, ValueRow* row,
                      KeyValues::Value* held, bool* isHeld) {
    if (!HoldValues(key)) {
      RegStatus status = store_.FindValue(key, fold, withData, row);
      if (status == kErrorSuccess || status == kErrorFileNotFound) {
        // A line reads a value just before it sets it: the set then needs no second lookup.
        lastLookup_.generation = generation_;
        lastLookup_.key = key;
        lastLookup_.fold = fold;
        lastLookup_.id = status == kErrorSuccess ? row->id : 0;
        // Its data too, unless large, so that setting the same data again writes nothing.
        lastLookup_.hasData = lastLookup_.id && withData && row->dataSize <= kLookupDataKept;
        if (lastLookup_.hasData) {
          lastLookup_.type = row->type;
          lastLookup_.data.assign(row->data);
        }
      }
      return status;
    }
    *isHeld = values_.Find(fold, held);
    return *isHeld ? kErrorSuccess : kErrorFileNotFound;
  }

  RegStatus SetValue(KeyId key, std::string_view name, uint32_t type, const uint8_t* data,
                     uint32_t size) {
    const std::string& fold = Fold(name);
    if (!HoldValues(key)) {
      if (lastLookup_.generation != generation_ || lastLookup_.key != key ||
          lastLookup_.fold != fold)
        return store_.SetValue(key, name, fold, type, data, size);
      if (lastLookup_.hasData && lastLookup_.type == type &&
          lastLookup_.data == std::string_view(reinterpret_cast<const char*>(data), size))
        return kErrorSuccess;
      if (lastLookup_.id) return store_.ReplaceValueData(key, lastLookup_.id, type, data, size);
      int64_t id = 0;
      return store_.InsertValue(key, name, fold, type, data, size, &id);
    }
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    KeyValues::Value held;
    if (values_.Find(fold, &held)) {
      // Data the value holds already needs no write (a script applied again).
      if (held.type == type && held.data == bytes) return kErrorSuccess;
      // A value keeps the name it was created with; its copy takes the new data in place.
      RegStatus status = store_.ReplaceValueData(key, held.id, type, data, size);
      if (status == kErrorSuccess) values_.Replace(fold, type, bytes);
      return status;
    }
    int64_t id = 0;
    RegStatus status = store_.InsertValue(key, name, fold, type, data, size, &id);
    if (status == kErrorSuccess) values_.Put(fold, id, type, bytes);
    return status;
  }

  // A script names the same key on line after line: the last path resolved is kept with its
  // id until a key leaves the cache (a deletion, another user's commit).
  bool RecallPath(KeyHandle parent, std::string_view subkey, KeyId* id) const {
    if (memo_.epoch != cache_.epoch() || memo_.parent != parent || memo_.subkey != subkey)
      return false;
    *id = memo_.id;
    return true;
  }
  void RememberPath(KeyHandle parent, std::string_view subkey, KeyId id) {
    memo_.parent = parent;
    memo_.subkey.assign(subkey);
    memo_.id = id;
    memo_.epoch = cache_.epoch();
  }

  // Follows `levels` down from `from`; 2 at the first missing level unless `create`.
  RegStatus WalkPath(KeyId from, const std::vector<std::string_view>& levels, bool create,
                     KeyId* id) {
    KeyId current = from;
    int64_t depth = -1;  // looked up at the first key to create
    bool created = false;  // the levels below a key just created are new too
    for (std::string_view level : levels) {
      const std::string& fold = Fold(level);
      KeyId child = 0;
      RegStatus status = created ? kErrorFileNotFound : FindChild(current, fold, &child);
      if (status == kErrorFileNotFound && create) {
        created = true;
        status = depth < 0 ? store_.KeyDepth(current, &depth) : kErrorSuccess;
        if (status != kErrorSuccess) return status;
        // Walkers recurse once per level: the depth stays within what they can hold.
        if (++depth > kMaxKeyDepth) return kErrorInvalidParameter;
        dirty_ = true;
        status = store_.InsertKey(current, level, fold, depth, &child);
        if (status == kErrorSuccess) {
          cache_.AddChild(current, fold, child);
          if (batching_) values_.Hold(child);  // a new key has no values yet
        }
      } else if (status == kErrorSuccess && depth >= 0) {
        ++depth;
      }
      if (status != kErrorSuccess) return status;
      current = child;
    }
    *id = current;
    return kErrorSuccess;
  }

  const std::unique_ptr<TreeStore> owned_;
  TreeStore& store_;
  const KeyId localMachine_;
  const KeyId users_;
  std::string userKeyName_;
  bool hasCurrentUser_ = false;
  // The folded form of the name a call works on, in one buffer for every call: calls do not
  // nest, and each is done with the fold before it folds another name.
  const std::string& Fold(std::string_view name) {
    FoldAsciiCaseInto(name, &fold_);
    return fold_;
  }
  std::string fold_;
  KeyCache cache_;
  KeyValues values_;
  struct PathMemo {
    KeyHandle parent = kNoKey;
    std::string subkey;
    KeyId id = 0;
    uint64_t epoch = ~uint64_t{0};
  } memo_;
  std::array<OpenKey, 6> roots_;
  // The levels of the path that RegCreateKeyA or RegOpenKeyExA is working on: one buffer for
  // every call, which are never nested.
  std::vector<std::string_view> levels_;
  std::unordered_map<KeyHandle, OpenKey> handles_;
  size_t listingBytes_ = 0;  // the sum of every handle's listingBytes
  KeyHandle nextHandle_ = 0x1000;
  int64_t dataVersion_ = -1;
  uint64_t generation_ = 1;
  bool dirty_ = false;
  bool consistentRead_ = false;  // inside BeginConsistentRead .. EndConsistentRead
  bool wholeTree_ = false;       // that read goes through the whole tree
  bool batching_ = false;        // inside BeginChanges .. EndChanges
  RegStatus lost_ = kErrorSuccess;  // why the batch was lost; refuses every later call
  // The value that FindValue last looked up in the store (id 0: there was none), valid while
  // generation_ is unchanged.
  static constexpr uint32_t kLookupDataKept = 64 * 1024;
  struct {
    uint64_t generation = 0;
    KeyId key = 0;
    std::string fold;
    int64_t id = 0;
    bool hasData = false;  // type and data hold the value's
    uint32_t type = 0;
    std::string data;
  } lastLookup_;
  // The child that the last subkey enumeration gave, valid while generation_ is unchanged: a
  // walk opens it next and lists its subkeys.
  struct {
    uint64_t generation = 0;
    KeyId parent = 0;
    std::string fold;
    KeyId id = 0;
    bool hasChildren = true;
  } lastChild_;
};

}  // namespace

std::unique_ptr<RegistryService> OpenTreeRegistry(std::unique_ptr<TreeStore> store) {
  return std::make_unique<TreeRegistry>(std::move(store));
}
