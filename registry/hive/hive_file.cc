// The hive file: keys loaded from hivex when first reached, changes held per key, written
// into hivex's copy and committed to a new file at Save.
#include "registry/hive/hive_file.h"

#include <hivex.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "registry/hive/hive_text.h"
#include "registry/key_names.h"

namespace {

// Hivex gives names and data in memory the caller frees.
struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};
template <typename T>
using Owned = std::unique_ptr<T, FreeDeleter>;

// The longest data written as one cell into hives of format 1.3, whose readers take no
// big-data records; hivex itself refuses cells near a megabyte.
constexpr size_t kMaxPlainData = 512 * 1024;

RegStatus StatusFromHivexErrno() {
  switch (errno) {
    case ENOMEM: return kErrorNotEnoughMemory;
    case ENOSPC: return kErrorDiskFull;
    case EACCES: case EPERM: case EROFS: return kErrorAccessDenied;
    default: return kErrorRegistryIoFailed;
  }
}

}  // namespace

struct HiveFile::Handle {
  hive_h* hive = nullptr;
  platform::File copy;  // a hive read through a private copy; closed after hivex lets go
  ~Handle() {
    if (hive) hivex_close(hive);
  }
};

struct HiveFile::Key {
  std::string name;
  std::string fold;
  hive_node_h node = 0;  // 0 until Save writes a key created meanwhile
  Node parent = kRoot;
  bool alive = true;
  bool childrenLoaded = false;
  std::vector<Node> children;  // ascending by fold
  std::vector<hive_node_h> removed;  // deleted children still in hivex's copy
  bool valuesLoaded = false;
  bool valuesChanged = false;
  bool holdsLongData = false;  // a value needs a big-data record hivex cannot rewrite
  std::vector<HiveValue> values;
};

HiveFile::HiveFile(const std::string& path) : path_(path), hive_(std::make_unique<Handle>()) {}

HiveFile::~HiveFile() = default;

RegStatus HiveFile::Open(const std::string& path, std::unique_ptr<HiveFile>* hive) {
  std::unique_ptr<HiveFile> opened(new HiveFile(path));
  if (RegStatus status = opened->Load()) return status;
  *hive = std::move(opened);
  return kErrorSuccess;
}

RegStatus HiveFile::Load() {
  if (!platform::IdentifyFile(path_, &fileId_)) return kErrorFileNotFound;
  if (RegStatus status = ReadHiveHeader(path_, &header_)) return status;
  if (!header_.isHive) return kErrorBadDb;
  // Hivex refuses a wrong checksum outright; such a hive is read from a private copy with the
  // checksum set right (it is never written back: a dirty hive is only read).
  std::string readFrom = path_;
  if (!header_.checksumRight) {
    if (RegStatus status = CopyWithChecksumSet(path_, &hive_->copy)) return status;
    readFrom = platform::ReachingPath(hive_->copy);
  }
  int flags = HIVEX_OPEN_WRITE | (header_.clean ? 0 : HIVEX_OPEN_UNSAFE);
  hive_->hive = hivex_open(readFrom.c_str(), flags);
  if (!hive_->hive) return errno == ENOENT ? kErrorFileNotFound : kErrorBadDb;
  auto root = std::make_unique<Key>();
  root->node = hivex_root(hive_->hive);
  if (root->node == 0) return kErrorBadDb;
  keys_.push_back(std::move(root));
  return kErrorSuccess;
}

HiveFile::Key* HiveFile::Live(Node key, RegStatus* status) {
  if (lost_ != kErrorSuccess) {
    *status = lost_;
    return nullptr;
  }
  if (key >= keys_.size() || !keys_[key]->alive) {
    *status = kErrorKeyDeleted;
    return nullptr;
  }
  *status = kErrorSuccess;
  return keys_[key].get();
}

RegStatus HiveFile::LoadChildren(Node self) {
  Key* key = keys_[self].get();
  if (key->childrenLoaded) return kErrorSuccess;
  Owned<hive_node_h> nodes(hivex_node_children(hive_->hive, key->node));
  if (!nodes) return kErrorBadDb;
  for (hive_node_h* at = nodes.get(); *at; ++at) {
    Owned<char> name(hivex_node_name(hive_->hive, *at));
    if (!name) return kErrorBadDb;
    auto child = std::make_unique<Key>();
    child->name = name.get();
    child->fold = FoldName(child->name);
    child->node = *at;
    child->parent = self;
    keys_[self]->children.push_back(static_cast<Node>(keys_.size()));
    keys_.push_back(std::move(child));
  }
  key = keys_[self].get();
  std::stable_sort(key->children.begin(), key->children.end(),
                   [&](Node a, Node b) { return keys_[a]->fold < keys_[b]->fold; });
  key->childrenLoaded = true;
  return kErrorSuccess;
}

RegStatus HiveFile::LoadValues(Key* key) {
  if (key->valuesLoaded) return kErrorSuccess;
  if (key->node == 0) {
    key->valuesLoaded = true;
    return kErrorSuccess;
  }
  Owned<hive_value_h> handles(hivex_node_values(hive_->hive, key->node));
  if (!handles) return kErrorBadDb;
  std::vector<HiveValue> values;
  for (hive_value_h* at = handles.get(); *at; ++at) {
    Owned<char> name(hivex_value_key(hive_->hive, *at));
    // Hivex keeps any 32-bit type in its enum; the bytes are read as the number they are.
    uint32_t type = 0;
    static_assert(sizeof(hive_type) == sizeof type);
    size_t length = 0;
    Owned<char> data(
        hivex_value_value(hive_->hive, *at, reinterpret_cast<hive_type*>(&type), &length));
    if (!name || !data) return kErrorBadDb;
    HiveValue value;
    value.id = ++lastValueId_;
    value.name = name.get();
    value.fold = FoldName(value.name);
    value.type = type;
    std::string_view bytes(data.get(), length);
    value.data = IsStringType(value.type) ? Utf16ToUtf8(bytes) : std::string(bytes);
    if (length > kMaxCellData && header_.minor >= 4) key->holdsLongData = true;
    values.push_back(std::move(value));
  }
  key->values = std::move(values);
  key->valuesLoaded = true;
  return kErrorSuccess;
}

RegStatus HiveFile::CheckChange() const {
  if (lost_ != kErrorSuccess) return lost_;
  return header_.clean ? kErrorSuccess : kErrorBadDb;
}

RegStatus HiveFile::FindChild(Node parent, std::string_view name, Node* child) {
  RegStatus status;
  Key* key = Live(parent, &status);
  if (!key) return status;
  if ((status = LoadChildren(parent))) return status;
  std::string fold = FoldName(name);
  auto at = std::lower_bound(key->children.begin(), key->children.end(), fold,
                             [&](Node n, const std::string& f) { return keys_[n]->fold < f; });
  if (at == key->children.end() || keys_[*at]->fold != fold) return kErrorFileNotFound;
  *child = *at;
  return kErrorSuccess;
}

RegStatus HiveFile::Children(Node key, const std::vector<Node>** children) {
  RegStatus status;
  Key* found = Live(key, &status);
  if (!found) return status;
  if ((status = LoadChildren(key))) return status;
  *children = &found->children;
  return kErrorSuccess;
}

bool HiveFile::Unchanged() const {
  platform::FileId now;
  return platform::IdentifyFile(path_, &now) && now == fileId_;
}

const std::string& HiveFile::Name(Node key) const { return keys_[key]->name; }

const std::string& HiveFile::Fold(Node key) const { return keys_[key]->fold; }

RegStatus HiveFile::HasChildren(Node node, bool* has) {
  RegStatus status;
  Key* key = Live(node, &status);
  if (!key) return status;
  // Reading the count from the file spares loading the names of keys only listed.
  *has = key->childrenLoaded ? !key->children.empty()
                             : hivex_node_nr_children(hive_->hive, key->node) > 0;
  return kErrorSuccess;
}

RegStatus HiveFile::Values(Node key, const std::vector<HiveValue>** values) {
  RegStatus status;
  Key* found = Live(key, &status);
  if (!found) return status;
  if ((status = LoadValues(found))) return status;
  *values = &found->values;
  return kErrorSuccess;
}

RegStatus HiveFile::Depth(Node node, int64_t* depth) {
  RegStatus status;
  if (!Live(node, &status)) return status;
  *depth = 0;
  for (Node at = node; at != kRoot; at = keys_[at]->parent) ++*depth;
  return kErrorSuccess;
}

RegStatus HiveFile::CreateChild(Node parent, std::string_view name, Node* child) {
  RegStatus status;
  Key* key = Live(parent, &status);
  if (!key) return status;
  if (FindChild(parent, name, child) == kErrorSuccess) return kErrorSuccess;
  if (name.empty() || Utf16Length(name) > kMaxKeyNameLength ||
      name.find_first_of(std::string_view("\\\0", 2)) != std::string_view::npos) {
    return kErrorInvalidParameter;
  }
  if ((status = CheckChange())) return status;
  // Hivex orders and hashes names outside ASCII wrongly; Windows would not find such a key.
  if (!IsAscii(name)) return kErrorNotSupported;
  auto created = std::make_unique<Key>();
  created->name = std::string(name);
  created->fold = FoldName(name);
  created->parent = parent;
  created->childrenLoaded = true;
  created->valuesLoaded = true;
  *child = static_cast<Node>(keys_.size());
  auto at = std::upper_bound(key->children.begin(), key->children.end(), created->fold,
                             [&](const std::string& f, Node n) { return f < keys_[n]->fold; });
  key->children.insert(at, *child);
  keys_.push_back(std::move(created));
  undo_.push_back(Undo{Undo::kCreateKey, *child, 0, {}, false, changed_});
  changed_ = true;
  return kErrorSuccess;
}

RegStatus HiveFile::DeleteKey(Node node) {
  RegStatus status;
  Key* key = Live(node, &status);
  if (!key) return status;
  if (node == kRoot) return kErrorInvalidParameter;
  if ((status = CheckChange()) || (status = LoadChildren(node))) return status;
  if (!key->children.empty()) return kErrorAccessDenied;
  Key* parent = keys_[key->parent].get();
  if (key->node != 0) parent->removed.push_back(key->node);
  parent->children.erase(std::find(parent->children.begin(), parent->children.end(), node));
  key->alive = false;
  undo_.push_back(Undo{Undo::kDeleteKey, node, 0, {}, false, changed_});
  changed_ = true;
  return kErrorSuccess;
}

RegStatus HiveFile::CheckData(Key* key, uint32_t type, std::string_view data) const {
  size_t stored = IsStringType(type) ? Utf8ToUtf16(data).size() : data.size();
  if (stored > (header_.minor >= 4 ? kMaxCellData : kMaxPlainData)) return kErrorNotSupported;
  // Hivex rewrites every value of a key it sets one of, a big-data value as a plain cell.
  return key->holdsLongData ? kErrorNotSupported : kErrorSuccess;
}

RegStatus HiveFile::ReplaceValue(Node node, int64_t id, uint32_t type, std::string_view data) {
  RegStatus status;
  Key* key = Live(node, &status);
  if (!key) return status;
  if ((status = CheckChange()) || (status = LoadValues(key))) return status;
  auto at = std::find_if(key->values.begin(), key->values.end(),
                         [&](const HiveValue& v) { return v.id == id; });
  if (at == key->values.end()) return kErrorFileNotFound;
  if ((status = CheckData(key, type, data))) return status;
  undo_.push_back(Undo{Undo::kReplaceValue, node, static_cast<size_t>(at - key->values.begin()),
                       *at, key->valuesChanged, changed_});
  at->type = type;
  at->data = std::string(data);
  key->valuesChanged = true;
  changed_ = true;
  return kErrorSuccess;
}

RegStatus HiveFile::SetValue(Node node, std::string_view name, uint32_t type,
                             std::string_view data, int64_t* id) {
  RegStatus status;
  Key* key = Live(node, &status);
  if (!key) return status;
  if (Utf16Length(name) > kMaxValueNameLength ||
      name.find('\0') != std::string_view::npos || !IsUtf8(name)) {
    return kErrorInvalidParameter;
  }
  if ((status = CheckChange()) || (status = LoadValues(key))) return status;
  std::string fold = FoldName(name);
  auto at = std::find_if(key->values.begin(), key->values.end(),
                         [&](const HiveValue& v) { return v.fold == fold; });
  if (at != key->values.end()) {
    if (id) *id = at->id;
    return ReplaceValue(node, at->id, type, data);
  }
  if ((status = CheckData(key, type, data))) return status;
  undo_.push_back(Undo{Undo::kAppendValue, node, key->values.size(), {}, key->valuesChanged,
                       changed_});
  key->values.push_back(HiveValue{++lastValueId_, std::string(name), fold, type,
                                  std::string(data)});
  if (id) *id = key->values.back().id;
  key->valuesChanged = true;
  changed_ = true;
  return kErrorSuccess;
}

RegStatus HiveFile::DeleteValue(Node node, std::string_view name) {
  RegStatus status;
  Key* key = Live(node, &status);
  if (!key) return status;
  if ((status = CheckChange()) || (status = LoadValues(key))) return status;
  std::string fold = FoldName(name);
  auto at = std::find_if(key->values.begin(), key->values.end(),
                         [&](const HiveValue& v) { return v.fold == fold; });
  if (at == key->values.end()) return kErrorFileNotFound;
  if (key->holdsLongData) return kErrorNotSupported;
  size_t place = at - key->values.begin();
  undo_.push_back(Undo{Undo::kDeleteValue, node, place, std::move(*at), key->valuesChanged,
                       changed_});
  key->values.erase(at);
  key->valuesChanged = true;
  changed_ = true;
  return kErrorSuccess;
}

RegStatus HiveFile::WriteValues(Key* key) {
  std::vector<std::string> stored;
  stored.reserve(key->values.size());
  std::vector<hive_set_value> values;
  values.reserve(key->values.size());
  for (const HiveValue& value : key->values) {
    stored.push_back(IsStringType(value.type) ? Utf8ToUtf16(value.data) : value.data);
    hive_set_value& set = values.emplace_back();
    set.key = const_cast<char*>(value.name.c_str());
    std::memcpy(&set.t, &value.type, sizeof value.type);  // any 32-bit type, as it is
    set.len = stored.back().size();
    set.value = stored.back().data();
  }
  if (hivex_node_set_values(hive_->hive, key->node, values.size(), values.data(), 0) != 0) {
    return StatusFromHivexErrno();
  }
  key->valuesChanged = false;
  return kErrorSuccess;
}

RegStatus HiveFile::WriteKey(Key* key) {
  // Deletions first: a key deleted and created again under the same name is added anew.
  for (hive_node_h removed : key->removed) {
    if (hivex_node_delete_child(hive_->hive, removed) != 0) return StatusFromHivexErrno();
  }
  key->removed.clear();
  if (key->childrenLoaded) {
    for (Node n : key->children) {
      Key* child = keys_[n].get();
      if (child->node == 0) {
        child->node = hivex_node_add_child(hive_->hive, key->node, child->name.c_str());
        if (child->node == 0) return StatusFromHivexErrno();
      }
      if (RegStatus status = WriteKey(child)) return status;
    }
  }
  return key->valuesChanged ? WriteValues(key) : kErrorSuccess;
}

RegStatus HiveFile::Save() {
  bool pending = changed_;
  Replacement copy;
  RegStatus status = WriteCopy(&copy);
  if (status != kErrorSuccess || !pending) return status;
  if ((status = copy.Publish()) == kErrorSuccess) status = copy.Finish();
  Saved(status == kErrorSuccess);
  return status == kErrorSuccess ? kErrorSuccess : lost_;
}

RegStatus HiveFile::WriteCopy(Replacement* copy) {
  if (lost_ != kErrorSuccess) return lost_;
  mark_ = SIZE_MAX;
  if (!changed_) {
    undo_.clear();
    return kErrorSuccess;
  }
  RegStatus status = WriteKey(keys_[kRoot].get());
  if (status == kErrorSuccess) {
    status = copy->Prepare(path_, [&](const std::string& temp) {
      return hivex_commit(hive_->hive, temp.c_str(), 0) == 0 ? kErrorSuccess
                                                             : StatusFromHivexErrno();
    });
  }
  if (status != kErrorSuccess) lost_ = status;
  return status;
}

void HiveFile::Saved(bool published) {
  if (!published) {
    if (lost_ == kErrorSuccess) lost_ = kErrorRegistryIoFailed;
    return;
  }
  platform::IdentifyFile(path_, &fileId_);
  changed_ = false;
  undo_.clear();
  mark_ = SIZE_MAX;
}

void HiveFile::Discard() {
  if (lost_ == kErrorSuccess) lost_ = kErrorRegistryIoFailed;
  changed_ = false;
}

void HiveFile::Mark() { mark_ = undo_.size(); }

void HiveFile::ReleaseMark() { mark_ = SIZE_MAX; }

void HiveFile::RollbackToMark() {
  if (mark_ != SIZE_MAX) UndoTo(mark_);
  mark_ = SIZE_MAX;
}

void HiveFile::Rollback() {
  UndoTo(0);
  mark_ = SIZE_MAX;
}

void HiveFile::UndoTo(size_t size) {
  while (undo_.size() > size) {
    Undo& undo = undo_.back();
    Key* key = keys_[undo.key].get();
    Key* parent = keys_[key->parent].get();
    switch (undo.kind) {
      case Undo::kCreateKey:
        key->alive = false;
        parent->children.erase(
            std::find(parent->children.begin(), parent->children.end(), undo.key));
        break;
      case Undo::kDeleteKey: {
        key->alive = true;
        if (key->node != 0) parent->removed.pop_back();
        auto at = std::upper_bound(
            parent->children.begin(), parent->children.end(), key->fold,
            [&](const std::string& f, Node n) { return f < keys_[n]->fold; });
        parent->children.insert(at, undo.key);
        break;
      }
      case Undo::kAppendValue:
        key->values.pop_back();
        break;
      case Undo::kReplaceValue:
        key->values[undo.index] = std::move(undo.old);
        break;
      case Undo::kDeleteValue:
        key->values.insert(key->values.begin() + undo.index, std::move(undo.old));
        break;
    }
    if (undo.kind != Undo::kCreateKey && undo.kind != Undo::kDeleteKey) {
      key->valuesChanged = undo.valuesChanged;
    }
    changed_ = undo.changed;
    undo_.pop_back();
  }
}
