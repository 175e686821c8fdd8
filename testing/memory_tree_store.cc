// A tree store in memory: nodes in a map by id, children ordered by folded name, values in
// creation order. A write transaction and a mark keep a copy of the tree to go back to.
#include "testing/memory_tree_store.h"

#include <algorithm>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "registry/key_names.h"
#include "registry/tree_registry.h"

namespace {

// Matches the value of folded name `fold`.
auto Named(std::string_view fold) {
  return [fold](const ValueRow& value) { return FoldName(value.name) == fold; };
}

class MemoryTreeStore final : public TreeStore {
 public:
  explicit MemoryTreeStore(std::string currentUser) : currentUser_(std::move(currentUser)) {
    const KeyId machine = NewNode(kNoKeyId, "HKEY_LOCAL_MACHINE", 0);
    const KeyId users = NewNode(kNoKeyId, "HKEY_USERS", 0);
    NewNode(NewNode(machine, "SOFTWARE", 1), "Classes", 2);
    const KeyId set = NewNode(NewNode(machine, "SYSTEM", 1), "CurrentControlSet", 2);
    NewNode(NewNode(set, "Hardware Profiles", 3), "Current", 4);
    NewNode(users, ".DEFAULT", 1);
  }

  RegStatus status() const override { return kErrorSuccess; }
  bool readOnly() const override { return false; }
  KeyId LocalMachineKey() const override { return 1; }
  KeyId UsersKey() const override { return 2; }
  bool CurrentUserKeyName(std::string* name) const override {
    *name = currentUser_;
    return !currentUser_.empty();
  }
  RegStatus AcquireRunLock() override { return kErrorSuccess; }
  void ReleaseRunLock() override {}

  RegStatus BeginRead() override { return Begin(false); }
  RegStatus BeginWrite() override { return Begin(true); }
  RegStatus Commit() override {
    if (!inTransaction_) return kErrorInvalidParameter;
    before_.reset();
    Rollback();
    return kErrorSuccess;
  }
  void Rollback() override {
    if (before_) nodes_ = std::move(*before_);
    before_.reset();
    mark_.reset();
    inTransaction_ = false;
  }
  bool InTransaction() const override { return inTransaction_; }
  RegStatus Mark() override {
    if (!before_ || mark_) return kErrorInvalidParameter;
    mark_ = nodes_;
    return kErrorSuccess;
  }
  RegStatus ReleaseMark() override {
    mark_.reset();
    return kErrorSuccess;
  }
  void RollbackToMark() override {
    if (mark_) nodes_ = std::move(*mark_);
    mark_.reset();
  }
  RegStatus DataVersion(int64_t* version) override {
    *version = 1;  // nobody else commits to this store
    return kErrorSuccess;
  }

  RegStatus FindChild(KeyId parent, std::string_view fold, KeyId* child) override {
    const auto& children = Read(parent).children;
    auto found = children.find(std::string(fold));
    if (found == children.end()) return kErrorFileNotFound;
    *child = found->second;
    return kErrorSuccess;
  }
  RegStatus InsertKey(KeyId parent, std::string_view name, std::string_view, int64_t depth,
                      KeyId* id) override {
    if (RegStatus status = CheckWrite(parent)) return status;
    *id = NewNode(parent, name, depth);
    return kErrorSuccess;
  }
  RegStatus KeyDepth(KeyId id, int64_t* depth) override {
    if (!nodes_.count(id)) return kErrorKeyDeleted;
    *depth = nodes_[id].depth;
    return kErrorSuccess;
  }
  RegStatus HasChildren(KeyId id, bool* has) override {
    *has = !Read(id).children.empty();
    return kErrorSuccess;
  }
  RegStatus DeleteKey(KeyId id) override {
    if (RegStatus status = CheckWrite(id)) return status;
    if (!nodes_[id].children.empty()) return kErrorAccessDenied;
    nodes_[nodes_[id].parent].children.erase(FoldName(nodes_[id].name));
    nodes_.erase(id);
    return kErrorSuccess;
  }

  RegStatus FindValue(KeyId key, std::string_view fold, bool withData,
                      ValueRow* row) override {
    const auto& values = Read(key).values;
    auto found = std::find_if(values.begin(), values.end(), Named(fold));
    if (found == values.end()) return kErrorFileNotFound;
    *row = *found;
    if (!withData) row->data.clear();
    return kErrorSuccess;
  }
  RegStatus SetValue(KeyId key, std::string_view name, std::string_view fold, uint32_t type,
                     const uint8_t* data, uint32_t size) override {
    ValueRow row;
    if (FindValue(key, fold, false, &row) == kErrorSuccess)
      return ReplaceValueData(key, row.id, type, data, size);
    return InsertValue(key, name, fold, type, data, size, &row.id);
  }
  RegStatus InsertValue(KeyId key, std::string_view name, std::string_view, uint32_t type,
                        const uint8_t* data, uint32_t size, int64_t* id) override {
    if (RegStatus status = CheckWrite(key)) return status;
    ValueRow& value = nodes_[key].values.emplace_back();
    value.id = *id = ++lastValue_;
    value.name = name;
    return ReplaceValueData(key, value.id, type, data, size);
  }
  RegStatus ReplaceValueData(KeyId key, int64_t id, uint32_t type, const uint8_t* data,
                             uint32_t size) override {
    if (RegStatus status = CheckWrite(key)) return status;
    for (ValueRow& value : nodes_[key].values) {
      if (value.id != id) continue;
      value.type = type;
      value.data.assign(size ? reinterpret_cast<const char*>(data) : "", size);
      value.dataSize = size;
      return kErrorSuccess;
    }
    return kErrorFileNotFound;
  }
  RegStatus DeleteValue(KeyId key, std::string_view fold) override {
    if (RegStatus status = CheckWrite(key)) return status;
    auto& values = nodes_[key].values;
    auto found = std::find_if(values.begin(), values.end(), Named(fold));
    if (found == values.end()) return kErrorFileNotFound;
    values.erase(found);
    return kErrorSuccess;
  }
  RegStatus LongestSubkey(KeyId key, uint32_t* maxSubkey) override {
    *maxSubkey = 0;
    for (const auto& [fold, child] : Read(key).children)
      *maxSubkey = std::max(*maxSubkey, static_cast<uint32_t>(fold.size()));
    return kErrorSuccess;
  }
  RegStatus LongestValue(KeyId key, uint32_t* maxValueName, uint32_t* maxValueData) override {
    *maxValueName = *maxValueData = 0;
    for (const ValueRow& value : Read(key).values) {
      *maxValueName = std::max(*maxValueName, static_cast<uint32_t>(value.name.size()));
      *maxValueData = std::max(*maxValueData, value.dataSize);
    }
    return kErrorSuccess;
  }

  RegStatus ListValues(KeyId key, uint32_t offset, const int64_t* afterId, uint32_t limit,
                       const ValueVisitor& visit, bool* ended) override {
    const auto& values = Read(key).values;
    auto it = values.begin() + std::min<size_t>(offset, values.size());
    if (afterId) {
      it = std::find_if(values.begin(), values.end(),
                        [&](const ValueRow& value) { return value.id > *afterId; });
    }
    return List(it, values.end(), limit, ended, [&](const ValueRow& value) {
      return visit({value.id, value.name, value.type, value.data});
    });
  }
  RegStatus ListChildren(KeyId parent, uint32_t offset, const std::string* afterFold,
                         uint32_t limit, const ChildVisitor& visit, bool* ended) override {
    const auto& children = Read(parent).children;
    auto it = children.begin();
    if (afterFold)
      it = children.upper_bound(*afterFold);
    else
      std::advance(it, std::min<size_t>(offset, children.size()));
    return List(it, children.end(), limit, ended, [&](const auto& entry) {
      const Node& child = Read(entry.second);
      return visit({entry.second, child.name, entry.first, !child.children.empty()});
    });
  }

 private:
  struct Node {
    KeyId parent = kNoKeyId;
    std::string name;
    int64_t depth = 0;
    std::map<std::string, KeyId> children;  // by folded name
    std::vector<ValueRow> values;           // in creation order
  };
  using Nodes = std::unordered_map<KeyId, Node>;

  RegStatus Begin(bool write) {
    if (inTransaction_) return kErrorInvalidParameter;
    inTransaction_ = true;
    if (write) before_ = nodes_;
    return kErrorSuccess;
  }
  // A key that does not exist reads as one without children or values.
  const Node& Read(KeyId id) const {
    static const Node kMissing;
    auto found = nodes_.find(id);
    return found == nodes_.end() ? kMissing : found->second;
  }
  RegStatus CheckWrite(KeyId id) const {
    if (!before_) return kErrorAccessDenied;  // outside a write transaction
    return nodes_.count(id) ? kErrorSuccess : kErrorKeyDeleted;
  }
  // Visits rows from `it` on, at most `limit` of them.
  template <typename It, typename Visit>
  static RegStatus List(It it, It end, uint32_t limit, bool* ended, Visit visit) {
    *ended = false;
    for (uint32_t rows = 0; it != end; ++it, ++rows) {
      if (rows == limit || !visit(*it)) return kErrorSuccess;
    }
    *ended = true;
    return kErrorSuccess;
  }
  KeyId NewNode(KeyId parent, std::string_view name, int64_t depth) {
    const KeyId id = ++lastKey_;
    nodes_[id] = Node{parent, std::string(name), depth, {}, {}};
    if (parent != kNoKeyId) nodes_[parent].children[FoldName(name)] = id;
    return id;
  }

  const std::string currentUser_;
  Nodes nodes_;
  std::optional<Nodes> before_;  // the tree at the start of the write transaction
  std::optional<Nodes> mark_;
  // Ids count on through rolled-back changes: an id is never given twice.
  KeyId lastKey_ = 0;
  int64_t lastValue_ = 0;
  bool inTransaction_ = false;
};

}  // namespace

std::unique_ptr<TreeStore> NewMemoryTreeStore(const std::string& currentUser) {
  return std::make_unique<MemoryTreeStore>(currentUser);
}

std::unique_ptr<RegistryService> OpenMemoryRegistry(const std::string& currentUser) {
  return OpenTreeRegistry(NewMemoryTreeStore(currentUser));
}
