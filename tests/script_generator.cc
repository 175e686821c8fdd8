// The random cases of script_generator.h: a model of the three subtrees that every generated
// line updates, so that each line is picked to be one its backout record undoes exactly.
#include "tests/script_generator.h"

#include <gtest/gtest.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/blackbox.h"

namespace {

using namespace std::string_literals;

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}
// A string as a script line carries it: quoted, a backslash before each backslash and quote.
std::string Quote(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) quoted += (c == '\\' || c == '"' ? "\\"s : ""s) + c;
  return quoted + '"';
}
// The bytes of a multi-string value holding `list`.
std::string Written(const std::vector<std::string>& list) {
  std::string data;
  for (const std::string& text : list) data += text + '\0';
  return data + '\0';
}

struct Value {
  std::string name;
  uint32_t type = 0;
  std::string data;

  // The strings of a multi-string value whose bytes are exactly their written form.
  std::optional<std::vector<std::string>> List() const {
    std::vector<std::string> list;
    for (size_t start = 0, end; type == 7 && (end = data.find('\0', start)) != data.npos;) {
      if (end == start) return Written(list) == data ? std::optional(list) : std::nullopt;
      list.push_back(data.substr(start, end - start));
      start = end + 1;
    }
    return std::nullopt;
  }
};

struct Key {
  std::string name;
  Key* parent = nullptr;
  std::vector<Value> values;
  std::vector<std::unique_ptr<Key>> children;

  Value* FindValue(const std::string& wanted) {
    for (Value& value : values)
      if (SameName(value.name, wanted)) return &value;
    return nullptr;
  }
};

// A subtree the script works in: where it is in the store and the paths that name it.
struct Base {
  KeyHandle root;
  std::string storePath;             // below the root, all but the last level existing
  std::vector<std::string> aliases;  // full key paths naming the base key
  std::unique_ptr<Key> key = std::make_unique<Key>("RT");  // null once the script deleted it
};

}  // namespace

class ScriptGenerator::Impl {
 public:
  Impl(uint32_t seed, bool stringEdits) : random_(seed), stringEdits_(stringEdits) {
    bases_.push_back({kHkeyLocalMachine, "SOFTWARE\\RT",
                      {"HKLM\\SOFTWARE\\RT", "HKEY_LOCAL_MACHINE\\Software\\rt",
                       "hklm\\software\\Rt"}});
    bases_.push_back({kHkeyLocalMachine, "SOFTWARE\\Classes\\RT",
                      {"HKCR\\RT", "HKEY_CLASSES_ROOT\\rt", "HKLM\\SOFTWARE\\Classes\\RT"}});
    // HKEY_USERS holds only the user hives of a Windows folder or system: the cases work
    // inside one.
    if (HiveStoreUnderTest() || BoxTraits().liveRegistry)
      bases_.push_back({kHkeyUsers, ".DEFAULT\\RT",
                        {"HKEY_USERS\\.DEFAULT\\RT", "hkey_users\\.default\\rt"}});
    else
      bases_.push_back({kHkeyUsers, "RT", {"HKEY_USERS\\RT", "hkey_users\\rt"}});
    for (Base& base : bases_) Populate(base.key.get(), 0);
  }

  // Writes the starting state into the store.
  void Seed(RegistryService& store) {
    for (Base& base : bases_) SeedKey(store, base.root, base.storePath, *base.key);
  }

  // A script in either dialect; `withFailure` puts a line that stops the run somewhere inside.
  std::string Script(bool regedit4, bool withFailure, int lineCount) {
    regedit4_ = regedit4;
    std::string script = regedit4 ? "REGEDIT4\n\n" : Pick({"DORVALEX\n", "dorvalex\n\n"});
    int lines = lineCount > 0 ? lineCount : Between(3, 40);
    int failAt = withFailure ? Between(1, lines - 1) : -1;
    for (int line = 0; line < lines; ++line) {
      if (line == failAt)
        script += regedit4 ? "[HKLM\\SOFTWARE\\RT key line without its bracket\n"
                           : "APPEND:[HKLM\\SOFTWARE\\RT]\n";
      if (Chance(8)) script += Pick({";a comment\n", "\n", "   \n"});
      script += !currentKnown_ || Chance(current_ == nullptr ? 50 : 20) ? KeyLine() : ValueLine();
    }
    return script;
  }

 private:
  int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  bool Chance(int percent) { return Between(1, 100) <= percent; }
  template <typename T>
  T Pick(std::initializer_list<T> all) { return all.begin()[Between(0, int(all.size()) - 1)]; }
  template <typename T>
  T& Any(std::vector<T>& all) { return all[Between(0, int(all.size()) - 1)]; }

  // Characters from `alphabet`, or any bytes without one.
  std::string RandomText(const char* alphabet, int low, int high) {
    std::string text;
    int last = alphabet ? static_cast<int>(strlen(alphabet)) - 1 : 255;
    for (int i = Between(low, high); i > 0; --i)
      text.push_back(alphabet ? alphabet[Between(0, last)] : static_cast<char>(Between(0, last)));
    return text;
  }
  std::string NewKeyName(Key* parent) {
    for (;;) {
      std::string name = RandomText("abcXYZ019._-{}@=\" ", 1, 8);
      auto same = [&](auto& child) { return SameName(child->name, name); };
      if (name[0] == ' ' || name.back() == ' ') continue;
      if (!parent || std::ranges::none_of(parent->children, same)) return name;
    }
  }
  std::string NewValueName(Key* key) {
    for (;;) {
      std::string name = RandomText("abcXYZ01 \\\"=@,;.", 1, 8);
      bool carried = name.find('=', name.find('"')) == std::string::npos;  // no quote, then "="
      if (carried && (key == nullptr || key->FindValue(name) == nullptr)) return name;
    }
  }

  // A string of a list, also one that a string edit can carry as its operand.
  std::string NewString() {
    std::string text;
    do text = RandomText("abcXYZ09 ,=\\\"'.;:[]{}", 1, 8);
    while (SameName(text.substr(0, 5), "ULTI:"));
    return text;
  }
  std::string RandomCase(std::string name) {
    for (char& c : name) c = static_cast<char>(Chance(70) ? c : c ^ (isalpha(c) ? 0x20 : 0));
    return name;
  }

  // Data of every kind: readable forms, and the bytes that no readable form carries.
  Value RandomValue(const std::string& name) {
    Value value{name, stringEdits_ && Chance(40)
                          ? 7u
                          : Pick({0u, 1u, 1u, 2u, 3u, 3u, 4u, 4u, 5u, 6u, 7u, 7u, 8u, 10u, 11u,
                                  12u, 16u, 1000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}),
                ""};
    std::string& data = value.data;
    if (value.type == 1 || value.type == 2) {
      data = RandomText("abc XYZ\\\",=;'09", 0, 12);
      data += Chance(80) ? "\0"s : Pick({"\0x\0"s, "\n\0"s, "\x1a\0"s, "\r\n"s, ""s});
    } else if (value.type == 4) {
      data = Chance(85) ? RandomText(nullptr, 4, 4) : RandomText(nullptr, 0, 7);
    } else if (value.type == 7 && Chance(70)) {
      std::vector<std::string> list;  // now and then an exact copy, which REPLACE turns together
      for (int i = Between(0, 4); i > 0; --i)
        list.push_back(!list.empty() && Chance(15) ? Any(list) : NewString());
      data = Written(list);
    } else if (value.type == 7) {
      data = Pick({"a,b\0\0"s, "\"q\"\0\0"s, "a\0\0b\0\0"s, "a\0"s, ""s, "\0\0"s});
    } else {
      data = RandomText(nullptr, 0, 24);
    }
    return value;
  }

  void Populate(Key* key, int depth) {
    if (Chance(30)) key->values.push_back(RandomValue(""));
    for (int i = Between(0, 4); i > 0; --i) key->values.push_back(RandomValue(NewValueName(key)));
    if (depth >= 4) return;
    for (int i = Between(0, depth == 0 ? 4 : 3); i > 0; --i) Populate(AddChild(key), depth + 1);
  }
  Key* AddChild(Key* parent) {
    parent->children.push_back(std::make_unique<Key>(NewKeyName(parent), parent));
    return parent->children.back().get();
  }

  void SeedKey(RegistryService& store, KeyHandle parent, const std::string& path, const Key& key) {
    KeyHandle handle = kNoKey;
    ASSERT_EQ(store.RegCreateKeyA(parent, path, &handle), 0) << path;
    for (const Value& v : key.values)
      ASSERT_EQ(store.RegSetValueExA(handle, v.name, 0, v.type, (const uint8_t*)v.data.data(),
                                     static_cast<uint32_t>(v.data.size())), 0);
    for (const auto& child : key.children) SeedKey(store, handle, child->name, *child);
    store.RegCloseKey(handle);
  }
  // Every existing key with the base it lies in.
  void Collect(Key* key, int base, std::vector<std::pair<int, Key*>>& out) {
    out.emplace_back(base, key);
    for (auto& child : key->children) Collect(child.get(), base, out);
  }
  // The path of `key`, every level in a random case except the last when `exactLeaf`.
  std::string PathOf(int base, Key* key, bool exactLeaf) {
    std::string path = Any(bases_[base].aliases), below;
    for (Key* k = key; k->parent != nullptr; k = k->parent)
      below = "\\" + (k == key && exactLeaf ? k->name : RandomCase(k->name)) + below;
    // The base itself, named exactly: its case is the one the model holds.
    if (!key->parent && exactLeaf) path = path.substr(0, path.rfind('\\') + 1) + key->name;
    return path + below;
  }
  // In exports "[-path]" deletes.
  std::string KeyLineText(const std::string& op, const std::string& path) {
    if (!regedit4_) return op + ":[" + path + "]\n";
    return (op[0] == 'D' || op[0] == 'd' ? "[-" : "[") + path + "]\n";
  }
  std::string KeyLine() {
    std::vector<std::pair<int, Key*>> keys;
    for (int i = 0; i < 3; ++i)
      if (bases_[i].key) Collect(bases_[i].key.get(), i, keys);
    int roll = Between(1, 100);
    int action = roll <= 35 ? 0 : roll <= 60 ? 1 : roll <= 85 ? 2 : 3;
    currentKnown_ = true;
    if (action <= 1 || keys.empty()) {
      // UPDATE of an existing key, or of a new child of one (or of a deleted base).
      for (Base& base : bases_) {
        if (base.key || !(keys.empty() || Chance(40))) continue;
        current_ = (base.key = std::make_unique<Key>(RandomCase("RT"))).get();
        return KeyLineText(Pick({"UPDATE", "update"}),
                           PathOf(int(&base - bases_.data()), current_, true));
      }
      auto [base, key] = Any(keys);
      if (action == 0)
        return KeyLineText(Pick({"UPDATE", "Update"}), PathOf(base, current_ = key, false));
      current_ = AddChild(key);
      // Two levels at once: the backout must remove the missing parent as well.
      if (Chance(30)) current_ = AddChild(current_);
      return KeyLineText("UPDATE", PathOf(base, current_, true));
    }
    current_ = nullptr;
    if (action == 2) {
      auto [base, key] = Any(keys);
      std::string path = PathOf(base, key, true);
      if (key->parent == nullptr) bases_[base].key.reset();
      else std::erase_if(key->parent->children, [&](auto& child) { return child.get() == key; });
      return KeyLineText(Pick({"DELETE", "delete"}), path);
    }
    // DELETE of a key that is not there.
    std::string path = bases_[Between(0, 2)].aliases[0] + "\\" + NewKeyName(nullptr) + "Gone";
    if (Chance(50)) path += "\\" + NewKeyName(nullptr);
    return KeyLineText("DELETE", path);
  }

  // The data text of a value in a form that reads back to exactly its type and bytes.
  std::string DataText(const Value& value) {
    const std::string& data = value.data;
    bool lower = regedit4_ && Chance(50);
    if ((value.type == 1 || value.type == 2) && !data.empty() && data.back() == '\0' &&
        data.find_first_of("\n\x1a"s + '\0') == data.size() - 1) {
      std::string quoted = Quote(data.substr(0, data.size() - 1));
      return value.type == 1 ? quoted : Pick({"Expand:", "expand:"}) + quoted;
    }
    char text[32];
    if (uint32_t number; value.type == 4 && data.size() == 4) {
      memcpy(&number, data.data(), 4);
      snprintf(text, sizeof text, lower ? "dword:%08x" : "Dword:%08X", number);
      return text;
    }
    if (value.type == 7 && data == "\0\0"s) return "Multi:\"\"";
    auto list = value.List();
    if (list && !list->empty() && data.find_first_of(",\"") == data.npos) {
      std::string form;
      for (const std::string& item : *list) form += (form.empty() ? "" : ",") + Quote(item);
      return "Multi:" + form;
    }
    std::string form = value.type == 3 ? "hex:" : "hex(" + std::to_string(value.type) + "):";
    for (size_t i = 0; i < data.size(); form += text, ++i)  // REGEDIT4 lines wrap now and then
      snprintf(text, sizeof text, lower ? "%s%02x" : "%s%02X",
               i == 0 ? "" : i % 9 == 0 && regedit4_ ? ",\\\n  " : ",", data[i] & 0xff);
    return form;
  }
  std::string NameText(const std::string& name, bool deleting) {
    if (!name.empty()) return Quote(name) + "=";
    return deleting && !regedit4_ ? Pick({"@", "@=", "\"\"="}) : Pick({"@=", "\"\"="});
  }
  std::string Operand(const std::string& s) { return (Chance(25) ? "Multi:" : "") + Quote(s); }

  // A string edit of the current key that its record undoes exactly, applied to the model;
  // empty when the pick allows none.
  std::string StringEdit() {
    const int op = Between(0, 3);
    const std::string kOps[] = {"APPEND:", "PREPEND:", "REMOVE:", "REPLACE:"};
    std::string text = NewString();
    bool held = current_ != nullptr && !current_->values.empty() && Chance(80);
    Value* value = held ? &Any(current_->values) : nullptr;
    if (value == nullptr) {
      std::string name = NewValueName(current_);
      if (op == 2) return kOps[op] + NameText(name, false) + Operand(text) + "\n";
      if (op == 3 && text.find(',') != text.npos) return "";
      if (op == 3) return kOps[op] + NameText(name, false) + Quote(text) + ",\"x\"\n";
      if (current_ == nullptr) return "";
      // PREPEND leaves a third zero byte in a value it creates.
      current_->values.push_back({name, 7, text + (op == 0 ? "\0\0"s : "\0\0\0"s)});
      return kOps[op] + NameText(name, false) + Operand(text) + "\n";
    }
    auto list = value->List();
    if (!list) return "";
    std::string name = NameText(RandomCase(value->name), false);
    if (op <= 1) {
      if (!list->empty() && Chance(20)) text = RandomCase(Any(*list));  // a second copy
      list->insert(op == 0 ? list->end() : list->begin(), text);
    } else if (op == 2) {
      // Every copy goes, in any case.
      if (!list->empty() && Chance(75)) text = RandomCase(Any(*list));
      std::erase_if(*list, [&](auto& s) { return SameName(s, text); });
    } else {
      // Every copy of the search string, in any case, becomes the replacement.
      std::string search = list->empty() || Chance(25) ? NewString() : RandomCase(Any(*list));
      if (search.find(',') != std::string::npos) return "";
      for (std::string& s : *list) s = SameName(s, search) ? text : s;
      value->data = Written(*list);
      return kOps[op] + name + Quote(search) + "," + Quote(text) + "\n";
    }
    value->data = Written(*list);
    return kOps[op] + name + Operand(text) + "\n";
  }

  std::string ValueLine() {
    if (std::string edit; stringEdits_ && Chance(60) && !(edit = StringEdit()).empty()) return edit;
    if (current_ != nullptr && (regedit4_ ? Chance(85) : Chance(65))) {
      std::string name = Chance(15) ? std::string() : NewValueName(current_);
      if (!current_->values.empty() && Chance(50)) name = RandomCase(Any(current_->values).name);
      Value value = RandomValue(name);
      std::string line = NameText(name, false) + DataText(value) + "\n";
      if (Value* old = current_->FindValue(name))
        *old = {old->name, value.type, value.data};  // the stored name keeps its case
      else
        current_->values.push_back(value);
      if (regedit4_ && Chance(20)) line.insert(line.size() - 1, Pick({" ;c", "\t; \"c\\d"}));
      return regedit4_ ? line : Pick({"UPDATE:", "update:"}) + line;
    }
    std::string name = NewValueName(current_);
    if (current_ != nullptr && !current_->values.empty() && Chance(70)) {
      name = Any(current_->values).name;  // names in a key differ even in case
      std::erase_if(current_->values, [&](const Value& value) { return value.name == name; });
    }
    if (regedit4_) return current_ == nullptr ? "\n" : NameText(name, true) + Pick({"-", "- ;"}) + "\n";
    return Pick({"DELETE:", "Delete:"}) + NameText(name, true) + "\n";
  }

  std::mt19937 random_;
  bool stringEdits_;
  std::vector<Base> bases_;
  bool regedit4_ = false;
  Key* current_ = nullptr;     // the current key, null when the script line left it missing
  bool currentKnown_ = false;  // a key line has been written
};

ScriptGenerator::ScriptGenerator(uint32_t seed, bool stringEdits)
    : impl_(std::make_unique<Impl>(seed, stringEdits)) {}
ScriptGenerator::~ScriptGenerator() = default;
void ScriptGenerator::Seed(RegistryService& store) { impl_->Seed(store); }
std::string ScriptGenerator::Script(bool regedit4, bool withFailure, int lineCount) {
  return impl_->Script(regedit4, withFailure, lineCount);
}
