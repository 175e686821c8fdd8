// The tree of a Windows image: HKLM and HKU hold the images' hives ("mounts"), each a
// HiveFile opened when first reached; the registry core builds the Win32 calls on top.
#include "registry/hive/hive_store.h"

#include <algorithm>
#include <cstdlib>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "platform/platform.h"
#include "registry/hive/hive_disk.h"
#include "registry/hive/hive_file.h"
#include "registry/hive/hive_text.h"
#include "registry/key_names.h"
#include "registry/tree_registry.h"

namespace {

// Key ids: HKLM and HKU are 1 and 2; a hive's key is its mount number (from 1), the mount's
// generation (bumped when another run replaced the file) and its node in the hive.
constexpr KeyId kLocalMachine = 1;
constexpr KeyId kUsers = 2;
constexpr int kMountShift = 48;
constexpr int kGenerationShift = 32;

constexpr std::string_view kCurrentControlSet = "CURRENTCONTROLSET";
constexpr std::string_view kProfileList[] = {"MICROSOFT", "WINDOWS NT", "CURRENTVERSION",
                                             "PROFILELIST"};

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string UpperCased(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The config folder of a Windows folder, empty when there is none.
std::string ConfigFolder(const std::string& root) {
  std::string at = root;
  for (const char* level : {"Windows", "System32", "config"}) {
    at = FindCaseless(at, level);
    if (at.empty() || !platform::IsDirectory(at)) return "";
  }
  return at;
}

struct Mount {
  KeyId top = kLocalMachine;  // HKLM or HKU
  std::string name;
  std::string fold;
  std::string path;
  std::string folder;  // a profile's folder name, which $DORVALEX_HIVE_USER may give
  std::unique_ptr<HiveFile> hive;
  RegStatus openStatus = kErrorSuccess;
  uint32_t generation = 0;
  bool controlSets = false;  // the SYSTEM hive, whose root shows CurrentControlSet
};

class HiveStore final : public TreeStore {
 public:
  explicit HiveStore(const std::string& path) : path_(path) { Open(); }

  RegStatus status() const override { return status_; }
  bool readOnly() const override { return false; }
  KeyId LocalMachineKey() const override { return kLocalMachine; }
  KeyId UsersKey() const override { return kUsers; }
  bool CurrentUserKeyName(std::string* name) const override {
    if (currentUser_.empty()) return false;
    *name = currentUser_;
    return true;
  }

  RegStatus AcquireRunLock() override {
    std::vector<std::string> folders;
    for (const Mount& mount : mounts_) folders.push_back(FolderOf(mount.path));
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    locks_.clear();
    for (const std::string& folder : folders) {
      locks_.push_back(std::make_unique<platform::FileLock>());
      switch (locks_.back()->Acquire(folder, StoreWaitMilliseconds())) {
        case platform::FileLock::kLocked:
          break;
        case platform::FileLock::kBusy:
          locks_.clear();
          return kErrorBusy;
        case platform::FileLock::kUnavailable:  // no locks there: the saves say what fails
          locks_.pop_back();
          continue;
      }
      platform::StagedReplacement::RemoveLeftovers(folder);
    }
    return kErrorSuccess;
  }
  void ReleaseRunLock() override { locks_.clear(); }

  RegStatus BeginRead() override { return Begin(); }
  RegStatus BeginWrite() override { return Begin(); }
  // Every changed hive is written whole before any replaces its file, so that a crash
  // between the renames (microseconds) is the only moment that finds some hives saved and
  // others not.
  RegStatus Commit() override {
    inTransaction_ = false;
    marked_ = false;
    std::vector<std::pair<HiveFile*, std::unique_ptr<Replacement>>> copies;
    for (Mount& mount : mounts_) {
      if (!mount.hive) continue;
      bool changed = mount.hive->changed();
      auto copy = std::make_unique<Replacement>();
      if (RegStatus status = mount.hive->WriteCopy(copy.get())) {
        // Hivex's copies of the hives prepared so far hold changes that were not saved.
        for (auto& prepared : copies) prepared.first->Saved(false);
        return status;
      }
      if (changed) copies.emplace_back(mount.hive.get(), std::move(copy));
    }
    RegStatus status = kErrorSuccess;
    for (auto& [hive, copy] : copies) {
      if (status == kErrorSuccess) status = copy->Publish();
      hive->Saved(status == kErrorSuccess);
    }
    for (auto& [hive, copy] : copies) {
      if (status == kErrorSuccess) status = copy->Finish();
    }
    return status;
  }
  void Rollback() override {
    inTransaction_ = false;
    marked_ = false;
    for (Mount& mount : mounts_) {
      if (mount.hive) mount.hive->Rollback();
    }
  }
  bool InTransaction() const override { return inTransaction_; }
  RegStatus Mark() override {
    marked_ = true;
    for (Mount& mount : mounts_) {
      if (mount.hive) mount.hive->Mark();
    }
    return kErrorSuccess;
  }
  RegStatus ReleaseMark() override {
    marked_ = false;
    for (Mount& mount : mounts_) {
      if (mount.hive) mount.hive->ReleaseMark();
    }
    return kErrorSuccess;
  }
  void RollbackToMark() override {
    marked_ = false;
    for (Mount& mount : mounts_) {
      if (mount.hive) mount.hive->RollbackToMark();
    }
  }
  RegStatus DataVersion(int64_t* version) override {
    *version = dataVersion_;
    return kErrorSuccess;
  }

  RegStatus FindChild(KeyId parent, std::string_view fold, KeyId* child) override {
    if (IsTop(parent)) {
      for (size_t m = 0; m < mounts_.size(); ++m) {
        if (mounts_[m].top != parent || mounts_[m].fold != fold) continue;
        HiveFile* hive = nullptr;
        if (RegStatus status = Hive(m, &hive)) return status;
        *child = Encode(m, HiveFile::kRoot);
        return kErrorSuccess;
      }
      return kErrorFileNotFound;
    }
    Place at;
    if (RegStatus status = Decode(parent, &at)) return status;
    HiveFile::Node node = 0;
    RegStatus status = kNoLink;
    if (IsControlSetName(at, fold)) status = CurrentControlSet(at, &node);
    if (status == kNoLink) status = at.hive->FindChild(at.node, fold, &node);
    if (status == kErrorSuccess) *child = Encode(at.mount, node);
    return status;
  }

  RegStatus InsertKey(KeyId parent, std::string_view name, std::string_view fold, int64_t,
                      KeyId* id) override {
    if (IsTop(parent)) return kErrorAccessDenied;  // only hives hang there
    Place at;
    if (RegStatus status = Decode(parent, &at)) return status;
    // CurrentControlSet is a link Windows makes at boot; the file holds no such key.
    HiveFile::Node target = 0;
    if (IsControlSetName(at, fold) && CurrentControlSet(at, &target) != kNoLink) {
      return kErrorAccessDenied;
    }
    HiveFile::Node node = 0;
    RegStatus status = at.hive->CreateChild(at.node, name, &node);
    if (status == kErrorSuccess) *id = Encode(at.mount, node);
    return status;
  }

  RegStatus KeyDepth(KeyId id, int64_t* depth) override {
    if (IsTop(id)) {
      *depth = 0;
      return kErrorSuccess;
    }
    Place at;
    if (RegStatus status = Decode(id, &at)) return status;
    RegStatus status = at.hive->Depth(at.node, depth);
    ++*depth;
    return status;
  }

  RegStatus HasChildren(KeyId id, bool* has) override {
    if (IsTop(id)) {
      *has = std::any_of(mounts_.begin(), mounts_.end(),
                         [&](const Mount& m) { return m.top == id; });
      return kErrorSuccess;
    }
    Place at;
    if (RegStatus status = Decode(id, &at)) return status;
    return at.hive->HasChildren(at.node, has);
  }

  RegStatus DeleteKey(KeyId id) override {
    Place at;
    if (IsTop(id)) return kErrorAccessDenied;
    if (RegStatus status = Decode(id, &at)) return status;
    if (at.node == HiveFile::kRoot) return kErrorAccessDenied;
    return at.hive->DeleteKey(at.node);
  }

  RegStatus FindValue(KeyId key, std::string_view fold, bool withData, ValueRow* row) override {
    const std::vector<HiveValue>* values = nullptr;
    if (RegStatus status = Values(key, &values)) return status;
    for (size_t i = 0; i < values->size(); ++i) {
      const HiveValue& value = (*values)[i];
      if (value.fold != fold) continue;
      row->id = value.id;
      row->name = value.name;
      row->type = value.type;
      row->dataSize = static_cast<uint32_t>(value.data.size());
      if (withData) row->data = value.data;
      return kErrorSuccess;
    }
    return kErrorFileNotFound;
  }

  RegStatus SetValue(KeyId key, std::string_view name, std::string_view, uint32_t type,
                     const uint8_t* data, uint32_t size) override {
    int64_t id = 0;
    return InsertValue(key, name, {}, type, data, size, &id);
  }

  RegStatus InsertValue(KeyId key, std::string_view name, std::string_view, uint32_t type,
                        const uint8_t* data, uint32_t size, int64_t* id) override {
    Place at;
    if (IsTop(key)) return kErrorAccessDenied;
    if (RegStatus status = Decode(key, &at)) return status;
    return at.hive->SetValue(at.node, name, type, Bytes(data, size), id);
  }

  RegStatus ReplaceValueData(KeyId key, int64_t id, uint32_t type, const uint8_t* data,
                             uint32_t size) override {
    Place at;
    if (IsTop(key)) return kErrorAccessDenied;
    if (RegStatus status = Decode(key, &at)) return status;
    return at.hive->ReplaceValue(at.node, id, type, Bytes(data, size));
  }

  RegStatus DeleteValue(KeyId key, std::string_view fold) override {
    Place at;
    if (IsTop(key)) return kErrorFileNotFound;
    if (RegStatus status = Decode(key, &at)) return status;
    return at.hive->DeleteValue(at.node, fold);
  }

  RegStatus LongestSubkey(KeyId key, uint32_t* maxSubkey) override {
    *maxSubkey = 0;
    return ListChildren(key, 0, nullptr, UINT32_MAX, [&](const ListedChild& child) {
      *maxSubkey = std::max(*maxSubkey, static_cast<uint32_t>(child.name.size()));
      return true;
    }, nullptr);
  }

  RegStatus LongestValue(KeyId key, uint32_t* maxValueName, uint32_t* maxValueData) override {
    *maxValueName = *maxValueData = 0;
    const std::vector<HiveValue>* values = nullptr;
    if (RegStatus status = Values(key, &values)) return status;
    for (const HiveValue& value : *values) {
      *maxValueName = std::max(*maxValueName, static_cast<uint32_t>(value.name.size()));
      *maxValueData = std::max(*maxValueData, static_cast<uint32_t>(value.data.size()));
    }
    return kErrorSuccess;
  }

  RegStatus ListValues(KeyId key, uint32_t offset, const int64_t* afterId, uint32_t limit,
                       const ValueVisitor& visit, bool* ended) override {
    const std::vector<HiveValue>* values = nullptr;
    if (RegStatus status = Values(key, &values)) return status;
    size_t at = offset;
    if (afterId) {
      auto after = std::find_if(values->begin(), values->end(),
                                [&](const HiveValue& v) { return v.id == *afterId; });
      if (after != values->end()) at = after - values->begin() + 1;
    }
    for (uint32_t listed = 0; at < values->size() && listed < limit; ++at, ++listed) {
      const HiveValue& value = (*values)[at];
      if (!visit(ListedValue{value.id, value.name, value.type, value.data})) {
        ++at;
        break;
      }
    }
    if (ended) *ended = at >= values->size();
    return kErrorSuccess;
  }

  RegStatus ListChildren(KeyId parent, uint32_t offset, const std::string* afterFold,
                         uint32_t limit, const ChildVisitor& visit, bool* ended) override {
    std::vector<ListedChild> rows;
    if (RegStatus status = ChildRows(parent, &rows)) return status;
    size_t at = offset;
    if (afterFold) {
      at = std::upper_bound(rows.begin(), rows.end(), *afterFold,
                            [](const std::string& f, const ListedChild& row) {
                              return f < row.fold;
                            }) - rows.begin();
    }
    for (uint32_t listed = 0; at < rows.size() && listed < limit; ++at, ++listed) {
      if (!visit(rows[at])) {
        ++at;
        break;
      }
    }
    if (ended) *ended = at >= rows.size();
    return kErrorSuccess;
  }

 private:
  struct Place {
    size_t mount = 0;
    HiveFile* hive = nullptr;
    HiveFile::Node node = 0;
  };

  static bool IsTop(KeyId id) { return id == kLocalMachine || id == kUsers; }
  static std::string_view Bytes(const uint8_t* data, uint32_t size) {
    return size ? std::string_view(reinterpret_cast<const char*>(data), size) : "";
  }

  KeyId Encode(size_t mount, HiveFile::Node node) const {
    return static_cast<KeyId>((mount + 1) << kMountShift) |
           static_cast<KeyId>(mounts_[mount].generation & 0xFFFF) << kGenerationShift | node;
  }

  RegStatus Decode(KeyId id, Place* at) {
    size_t mount = static_cast<size_t>(id >> kMountShift);
    if (mount == 0 || mount > mounts_.size()) return kErrorKeyDeleted;
    at->mount = mount - 1;
    Mount& m = mounts_[at->mount];
    if (((id >> kGenerationShift) & 0xFFFF) != (m.generation & 0xFFFF)) return kErrorKeyDeleted;
    if (RegStatus status = Hive(at->mount, &at->hive)) return status;
    at->node = static_cast<HiveFile::Node>(id & 0xFFFFFFFF);
    return kErrorSuccess;
  }

  RegStatus Hive(size_t mount, HiveFile** hive) {
    Mount& m = mounts_[mount];
    if (!m.hive) {
      if (m.openStatus != kErrorSuccess) return m.openStatus;
      if ((m.openStatus = HiveFile::Open(m.path, &m.hive))) return m.openStatus;
      if (marked_) m.hive->Mark();
    }
    *hive = m.hive.get();
    return kErrorSuccess;
  }

  RegStatus Values(KeyId key, const std::vector<HiveValue>** values) {
    static const std::vector<HiveValue> kNone;
    if (IsTop(key)) {
      *values = &kNone;
      return kErrorSuccess;
    }
    Place at;
    if (RegStatus status = Decode(key, &at)) return status;
    return at.hive->Values(at.node, values);
  }

  // A transaction starts from the files as they are now: a hive another run replaced since
  // it was read is read again, and the keys reached before count as deleted.
  RegStatus Begin() {
    for (Mount& mount : mounts_) {
      if (!mount.hive || mount.hive->changed() || mount.hive->Unchanged()) continue;
      mount.hive.reset();
      mount.openStatus = kErrorSuccess;
      ++mount.generation;
      ++dataVersion_;
    }
    inTransaction_ = true;
    return kErrorSuccess;
  }

  bool IsControlSetName(const Place& at, std::string_view fold) const {
    return mounts_[at.mount].controlSets && at.node == HiveFile::kRoot &&
           fold == kCurrentControlSet;
  }

  // The control set Select\Current names ("ControlSet%03u"); 2 when that set is missing.
  // kNoLink when SYSTEM has no Select\Current: CurrentControlSet is then an ordinary key.
  static constexpr RegStatus kNoLink = -1;
  RegStatus CurrentControlSet(const Place& at, HiveFile::Node* node) {
    HiveFile::Node select = 0;
    RegStatus status = at.hive->FindChild(HiveFile::kRoot, "SELECT", &select);
    if (status != kErrorSuccess) return status == kErrorFileNotFound ? kNoLink : status;
    const std::vector<HiveValue>* values = nullptr;
    if (RegStatus status = at.hive->Values(select, &values)) return status;
    for (const HiveValue& value : *values) {
      if (value.fold != "CURRENT" || value.type != kRegDword || value.data.size() != 4) continue;
      uint32_t number = 0;
      std::memcpy(&number, value.data.data(), 4);
      char name[32];
      std::snprintf(name, sizeof name, "CONTROLSET%03u", number);
      return at.hive->FindChild(HiveFile::kRoot, name, node);
    }
    return kNoLink;
  }

  RegStatus ChildRows(KeyId parent, std::vector<ListedChild>* rows) {
    if (IsTop(parent)) {
      for (size_t m = 0; m < mounts_.size(); ++m) {
        if (mounts_[m].top != parent) continue;
        rows->push_back(ListedChild{Encode(m, HiveFile::kRoot), mounts_[m].name, mounts_[m].fold,
                                    true});
      }
      std::sort(rows->begin(), rows->end(),
                [](const ListedChild& a, const ListedChild& b) { return a.fold < b.fold; });
      return kErrorSuccess;
    }
    Place at;
    if (RegStatus status = Decode(parent, &at)) return status;
    const std::vector<HiveFile::Node>* children = nullptr;
    if (RegStatus status = at.hive->Children(at.node, &children)) return status;
    for (HiveFile::Node child : *children) {
      bool has = false;
      if (RegStatus status = at.hive->HasChildren(child, &has)) return status;
      rows->push_back(ListedChild{Encode(at.mount, child), at.hive->Name(child),
                                  at.hive->Fold(child), has});
    }
    HiveFile::Node current = 0;
    if (IsControlSetName(at, kCurrentControlSet) &&
        CurrentControlSet(at, &current) == kErrorSuccess &&
        std::none_of(rows->begin(), rows->end(),
                     [](const ListedChild& row) { return row.fold == kCurrentControlSet; })) {
      static const std::string kName = "CurrentControlSet";
      bool has = false;
      at.hive->HasChildren(current, &has);
      ListedChild link{Encode(at.mount, current), kName, kCurrentControlSet, has};
      auto place = std::lower_bound(rows->begin(), rows->end(), link.fold,
                                    [](const ListedChild& row, std::string_view f) {
                                      return row.fold < f;
                                    });
      rows->insert(place, link);
    }
    return kErrorSuccess;
  }

  void AddMount(KeyId top, const std::string& name, const std::string& path) {
    Mount mount;
    mount.top = top;
    mount.name = name;
    mount.fold = FoldName(name);
    mount.path = path;
    mount.controlSets = top == kLocalMachine && mount.fold == "SYSTEM";
    mounts_.push_back(std::move(mount));
  }

  void Open() {
    HiveHeader header;
    if (platform::IsRegularFile(path_)) {
      if ((status_ = ReadHiveHeader(path_, &header))) return;
      if (!header.isHive) {
        status_ = kErrorBadDb;
        return;
      }
      OpenSingleFile();
      return;
    }
    std::string config = ConfigFolder(path_);
    if (config.empty()) {
      status_ = kErrorPathNotFound;
      return;
    }
    for (const std::string& entry : platform::ListFolder(config)) {
      std::string path = config + "/" + entry;
      // Logs (.LOG1, .LOG2) and backups carry a dot and may begin like a hive too.
      if (entry.find('.') != std::string::npos || !platform::IsRegularFile(path) ||
          ReadHiveHeader(path, &header) != kErrorSuccess || !header.isHive) {
        continue;
      }
      std::string upper = UpperCased(entry);
      if (upper == "DEFAULT") {
        AddMount(kUsers, ".DEFAULT", path);
      } else {
        AddMount(kLocalMachine, upper, path);
      }
    }
    AddProfiles();
    std::string user = FoldName(EnvironmentValue("DORVALEX_HIVE_USER"));
    for (const Mount& mount : mounts_) {
      if (!user.empty() && mount.top == kUsers && !mount.folder.empty() &&
          (mount.fold == user || FoldName(mount.folder) == user)) {
        currentUser_ = mount.name;
      }
    }
  }

  void OpenSingleFile() {
    std::string upper = UpperCased(BaseName(path_));
    if (upper == "DEFAULT") {
      AddMount(kUsers, ".DEFAULT", path_);
    } else if (upper == "NTUSER.DAT") {
      std::string user = EnvironmentValue("DORVALEX_HIVE_USER");
      currentUser_ = user.empty() ? "CurrentUser" : user;
      AddMount(kUsers, currentUser_, path_);
    } else {
      AddMount(kLocalMachine, upper, path_);
    }
  }

  // HKU\<SID> for every profile whose ProfileImagePath leads to an NTUSER.DAT in the folder.
  void AddProfiles() {
    auto software = std::find_if(mounts_.begin(), mounts_.end(), [](const Mount& m) {
      return m.top == kLocalMachine && m.fold == "SOFTWARE";
    });
    if (software == mounts_.end()) return;
    HiveFile* hive = nullptr;
    if (Hive(software - mounts_.begin(), &hive) != kErrorSuccess) return;
    HiveFile::Node list = HiveFile::kRoot;
    for (std::string_view level : kProfileList) {
      if (hive->FindChild(list, level, &list) != kErrorSuccess) return;
    }
    const std::vector<HiveFile::Node>* sids = nullptr;
    if (hive->Children(list, &sids) != kErrorSuccess) return;
    std::vector<std::pair<std::string, std::string>> found;  // SID, NTUSER.DAT
    for (HiveFile::Node sid : *sids) {
      const std::vector<HiveValue>* values = nullptr;
      if (hive->Values(sid, &values) != kErrorSuccess) continue;
      for (const HiveValue& value : *values) {
        if (value.fold != "PROFILEIMAGEPATH" || !IsStringType(value.type)) continue;
        std::string hivePath = ProfileHive(value.data);
        if (!hivePath.empty()) found.emplace_back(hive->Name(sid), hivePath);
      }
    }
    for (const auto& [sid, hivePath] : found) {
      AddMount(kUsers, sid, hivePath);
      mounts_.back().folder = BaseName(FolderOf(hivePath));
    }
  }

  // The NTUSER.DAT of a profile folder given as Windows writes it (C:\Users\ana or
  // %SystemDrive%\Users\ana), found in this folder; empty when it is not there.
  std::string ProfileHive(std::string text) {
    text = text.substr(0, text.find('\0'));
    constexpr std::string_view kDrive = "%SYSTEMDRIVE%";
    if (FoldName(text.substr(0, kDrive.size())) == kDrive) {
      text.erase(0, kDrive.size());
    } else if (text.size() >= 2 && std::isalpha(static_cast<unsigned char>(text[0])) &&
               text[1] == ':') {
      text.erase(0, 2);
    } else {
      return "";
    }
    std::string at = path_;
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = std::min(text.find('\\', start), text.size());
      std::string level = text.substr(start, end - start);
      start = end + 1;
      if (level.empty() || level == ".") continue;
      if (level == ".." || (at = FindCaseless(at, level)).empty() || !platform::IsDirectory(at)) return "";
    }
    std::string hivePath = FindCaseless(at, "NTUSER.DAT");
    return !hivePath.empty() && platform::IsRegularFile(hivePath) ? hivePath : "";
  }

  std::string path_;
  RegStatus status_ = kErrorSuccess;
  std::vector<Mount> mounts_;
  std::string currentUser_;
  std::vector<std::unique_ptr<platform::FileLock>> locks_;
  int64_t dataVersion_ = 1;
  bool inTransaction_ = false;
  bool marked_ = false;
};

}  // namespace

bool IsHiveImage(const std::string& path) {
  if (platform::IsDirectory(path)) return !ConfigFolder(path).empty();
  HiveHeader header;
  return platform::IsRegularFile(path) && ReadHiveHeader(path, &header) == kErrorSuccess && header.isHive;
}

std::unique_ptr<TreeStore> OpenHiveStore(const std::string& path) {
  return std::make_unique<HiveStore>(path);
}

std::unique_ptr<RegistryService> OpenHiveRegistry(const std::string& path) {
  return OpenTreeRegistry(OpenHiveStore(path));
}
