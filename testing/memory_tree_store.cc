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

class MemoryTreeStore final : public TreeStore {
 public:
  explicit MemoryTreeStore(std::string currentUser) : currentUser_(std::move(currentUser)) {
    const KeyId machine = NewNode(kNoKeyId, "HKEY_LOCAL_MACHINE", 0);
    const KeyId users = NewNode(kNoKeyId, "HKEY_USERS", 0);
    KeyId id = NewNode(NewNode(machine, "SOFTWARE", 1), "Classes", 2);
    id = NewNode(NewNode(machine, "SYSTEM", 1), "CurrentControlSet", 2);
    NewNode(NewNode(id, "Hardware Profiles", 3), "Current", 4);
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
    inTransaction_ = false;
    before_.reset();
    mark_.reset();
    return kErrorSuccess;
  }
  void Rollback() override {
    if (before_) tree_ = std::move(*before_);
    before_.reset();
    mark_.reset();
    inTransaction_ = false;
  }
  bool InTransaction() const override { return inTransaction_; }
  RegStatus Mark() override {
    if (!before_ || mark_) return kErrorInvalidParameter;
    mark_ = tree_;
    return kErrorSuccess;
  }
  RegStatus ReleaseMark() override {
    mark_.reset();
    return kErrorSuccess;
  }
  void RollbackToMark() override {
    if (mark_) tree_ = std::move(*mark_);
    mark_.reset();
  }
  RegStatus DataVersion(int64_t* version) override {
    *version = 1;  // nobody else commits to this store
    return kErrorSuccess;
  }

  RegStatus FindChild(KeyId parent, std::string_view fold, KeyId* child) override {
    const Node& node = Read(parent);
    auto found = node.children.find(std::string(fold));
    if (found == node.children.end()) return kErrorFileNotFound;
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
    Node* node = Find(id);
    if (!node) return kErrorKeyDeleted;
    *depth = node->depth;
    return kErrorSuccess;
  }
  RegStatus HasChildren(KeyId id, bool* has) override {
    *has = !Read(id).children.empty();
    return kErrorSuccess;
  }
  RegStatus DeleteKey(KeyId id) override {
    if (RegStatus status = CheckWrite(id)) return status;
    Node& node = tree_.nodes[id];
    if (!node.children.empty()) return kErrorAccessDenied;
    tree_.nodes[node.parent].children.erase(FoldName(node.name));
    tree_.nodes.erase(id);
    return kErrorSuccess;
  }

  RegStatus FindValue(KeyId key, std::string_view fold, bool withData,
                      ValueRow* row) override {
    const ValueRow* value = FindIn(Read(key), fold);
    if (!value) return kErrorFileNotFound;
    *row = *value;
    if (!withData) row->data.clear();
    return kErrorSuccess;
  }
  RegStatus SetValue(KeyId key, std::string_view name, std::string_view fold, uint32_t type,
                     const uint8_t* data, uint32_t size) override {
    if (RegStatus status = CheckWrite(key)) return status;
    if (ValueRow* value = FindIn(tree_.nodes[key], fold))
      return ReplaceValueData(key, value->id, type, data, size);
    int64_t id = 0;
    return InsertValue(key, name, fold, type, data, size, &id);
  }
  RegStatus InsertValue(KeyId key, std::string_view name, std::string_view, uint32_t type,
                        const uint8_t* data, uint32_t size, int64_t* id) override {
    if (RegStatus status = CheckWrite(key)) return status;
    ValueRow& value = tree_.nodes[key].values.emplace_back();
    value.id = *id = ++lastValue_;
    value.name = name;
    value.type = type;
    value.data.assign(reinterpret_cast<const char*>(data), size);
    value.dataSize = size;
    return kErrorSuccess;
  }
  RegStatus ReplaceValueData(KeyId key, int64_t id, uint32_t type, const uint8_t* data,
                             uint32_t size) override {
    if (RegStatus status = CheckWrite(key)) return status;
    for (ValueRow& value : tree_.nodes[key].values) {
      if (value.id != id) continue;
      value.type = type;
      value.data.assign(reinterpret_cast<const char*>(data), size);
      value.dataSize = size;
      return kErrorSuccess;
    }
    return kErrorFileNotFound;
  }
  RegStatus DeleteValue(KeyId key, std::string_view fold) override {
    if (RegStatus status = CheckWrite(key)) return status;
    std::vector<ValueRow>& values = tree_.nodes[key].values;
    for (auto it = values.begin(); it != values.end(); ++it) {
      if (FoldName(it->name) != fold) continue;
      values.erase(it);
      return kErrorSuccess;
    }
    return kErrorFileNotFound;
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
    const std::vector<ValueRow>& values = Read(key).values;
    auto it = values.begin();
    if (afterId) {
      while (it != values.end() && it->id <= *afterId) ++it;
    } else {
      it += std::min<size_t>(offset, values.size());
    }
    *ended = false;
    for (uint32_t rows = 0; it != values.end(); ++it, ++rows) {
      if (rows == limit || !visit({it->id, it->name, it->type, it->data})) return kErrorSuccess;
    }
    *ended = true;
    return kErrorSuccess;
  }
  RegStatus ListChildren(KeyId parent, uint32_t offset, const std::string* afterFold,
                         uint32_t limit, const ChildVisitor& visit, bool* ended) override {
    const std::map<std::string, KeyId>& children = Read(parent).children;
    auto it = afterFold ? children.upper_bound(*afterFold) : children.begin();
    for (uint32_t skipped = 0; !afterFold && skipped < offset && it != children.end(); ++skipped)
      ++it;
    *ended = false;
    for (uint32_t rows = 0; it != children.end(); ++it, ++rows) {
      const Node& child = Read(it->second);
      if (rows == limit || !visit({it->second, child.name, it->first, !child.children.empty()}))
        return kErrorSuccess;
    }
    *ended = true;
    return kErrorSuccess;
  }

 private:
  struct Node {
    KeyId parent = kNoKeyId;
    std::string name;
    int64_t depth = 0;
    std::map<std::string, KeyId> children;  // by folded name
    std::vector<ValueRow> values;           // in creation order
  };
  struct Tree {
    std::unordered_map<KeyId, Node> nodes;
  };

  RegStatus Begin(bool write) {
    if (inTransaction_) return kErrorInvalidParameter;
    inTransaction_ = true;
    if (write) before_ = tree_;
    return kErrorSuccess;
  }
  Node* Find(KeyId id) {
    auto found = tree_.nodes.find(id);
    return found == tree_.nodes.end() ? nullptr : &found->second;
  }
  // A key that does not exist reads as one without children or values.
  const Node& Read(KeyId id) {
    static const Node kMissing;
    const Node* node = Find(id);
    return node ? *node : kMissing;
  }
  RegStatus CheckWrite(KeyId id) {
    if (!before_) return kErrorAccessDenied;  // outside a write transaction
    return Find(id) ? kErrorSuccess : kErrorKeyDeleted;
  }
  template <typename N>
  static auto FindIn(N& node, std::string_view fold) -> decltype(&node.values[0]) {
    for (auto& value : node.values)
      if (FoldName(value.name) == fold) return &value;
    return nullptr;
  }
  KeyId NewNode(KeyId parent, std::string_view name, int64_t depth) {
    const KeyId id = ++lastKey_;
    Node& node = tree_.nodes[id];
    node.parent = parent;
    node.name = name;
    node.depth = depth;
    if (parent != kNoKeyId) tree_.nodes[parent].children[FoldName(name)] = id;
    return id;
  }

  const std::string currentUser_;
  Tree tree_;
  // Ids count on through rolled-back changes: an id is never given twice.
  KeyId lastKey_ = 0;
  int64_t lastValue_ = 0;
  std::optional<Tree> before_;  // the tree at the start of the write transaction
  std::optional<Tree> mark_;
  bool inTransaction_ = false;
};

}  // namespace

std::unique_ptr<TreeStore> NewMemoryTreeStore(const std::string& currentUser) {
  return std::make_unique<MemoryTreeStore>(currentUser);
}

std::unique_ptr<RegistryService> OpenMemoryRegistry(const std::string& currentUser) {
  return OpenTreeRegistry(NewMemoryTreeStore(currentUser));
}
