// The backout promise, tested from the outside on random cases: from a random store, a random
// script of UPDATE and DELETE lines (native or REGEDIT4) applied with /BACKUP:, then the backout
// file applied, must leave the store exactly as it was (keys, names with their case, types,
// bytes). Some runs are made to fail part way; their backout file must undo them as well.
//
// Reproduce one case with DX_ROUNDTRIP_SEED=<seed printed on failure>; DX_ROUNDTRIP_CASES sets
// how many cases run (default 200).
//
// Kept out of the generator, because the tool cannot undo them exactly by design:
//  - an UPDATE value line under a key that is missing at that point (the key is created with
//    no record);
//  - DELETE of a value or a key, and the "-" deletion of REGEDIT4, naming it in another case
//    than the stored one (restored in the case of the script line);
//  - value names with a double quote later followed by "=", and names with control characters
//    (no line form carries them); key names with "]" or control characters; values of type 255
//    (the form "hex(255):" reads as unrecognised data); /CHANGES runs (they omit records on
//    purpose).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <random>
#include <string>
#include <vector>

#include "tests/blackbox.h"

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

struct Value {
  std::string name;
  uint32_t type = 0;
  std::string data;
};

struct Key {
  std::string name;
  Key* parent = nullptr;
  std::vector<Value> values;
  std::vector<std::unique_ptr<Key>> children;

  Value* FindValue(const std::string& wanted) {
    for (Value& value : values) {
      if (SameName(value.name, wanted)) return &value;
    }
    return nullptr;
  }
  Key* FindChild(const std::string& wanted) {
    for (auto& child : children) {
      if (SameName(child->name, wanted)) return child.get();
    }
    return nullptr;
  }
};

// A subtree the script works in: where it is in the store and the paths that name it.
struct Base {
  KeyHandle root;
  std::vector<std::string> storePath;  // levels below the root, all but the last existing
  std::vector<std::string> aliases;    // full key paths naming the base key
  std::unique_ptr<Key> key;            // null once the script deleted it
};

class CaseGenerator {
 public:
  explicit CaseGenerator(uint32_t seed) : random_(seed) {
    AddBase(kHkeyLocalMachine, {"SOFTWARE", "RT"},
            {"HKLM\\SOFTWARE\\RT", "HKEY_LOCAL_MACHINE\\Software\\rt", "hklm\\software\\Rt"});
    AddBase(kHkeyLocalMachine, {"SOFTWARE", "Classes", "RT"},
            {"HKCR\\RT", "HKEY_CLASSES_ROOT\\rt", "HKLM\\SOFTWARE\\Classes\\RT"});
    AddBase(kHkeyUsers, {"RT"}, {"HKEY_USERS\\RT", "hkey_users\\rt"});
    for (Base& base : bases_) Populate(base.key.get(), 0);
  }

  // Writes the starting state into the store.
  void Seed(RegistryService& store) {
    for (Base& base : bases_) {
      KeyHandle parent = base.root;
      std::vector<KeyHandle> opened;
      for (const std::string& level : base.storePath) {
        KeyHandle next = kNoKey;
        ASSERT_EQ(store.RegCreateKeyA(parent, level, &next), 0) << level;
        opened.push_back(next);
        parent = next;
      }
      SeedKey(store, parent, *base.key);
      for (KeyHandle handle : opened) store.RegCloseKey(handle);
    }
  }

  // A script in either dialect; `withFailure` puts a line that stops the run somewhere in it.
  std::string Script(bool regedit4, bool withFailure) {
    regedit4_ = regedit4;
    std::string script = regedit4 ? "REGEDIT4\n\n" : Pick({"DORVALEX\n", "dorvalex\n\n"});
    int lines = Between(3, 40);
    int failAt = withFailure ? Between(1, lines - 1) : -1;
    current_ = nullptr;
    currentKnown_ = false;
    failInserted_ = false;
    for (int line = 0; line < lines; ++line) {
      if (line == failAt) {
        failInserted_ = true;
        script += regedit4 ? "\"broken line without an equals sign\"\n"
                           : "APPEND:[HKLM\\SOFTWARE\\RT]\n";
      }
      if (Chance(8)) script += Pick({";a comment\n", "\n", "   \n"});
      if (!currentKnown_ || Chance(current_ == nullptr ? 50 : 20)) {
        script += KeyLine();
      } else {
        script += ValueLine();
      }
    }
    return script;
  }

  // The last script holds a line that stops the run.
  bool failInserted() const { return failInserted_; }

 private:
  int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  bool Chance(int percent) { return Between(1, 100) <= percent; }
  template <typename T>
  T Pick(std::initializer_list<T> items) {
    return *(items.begin() + Between(0, static_cast<int>(items.size()) - 1));
  }
  std::string Pick(std::initializer_list<const char*> items) {
    return *(items.begin() + Between(0, static_cast<int>(items.size()) - 1));
  }

  void AddBase(KeyHandle root, std::vector<std::string> storePath,
               std::vector<std::string> aliases) {
    Base base{root, std::move(storePath), std::move(aliases), std::make_unique<Key>()};
    base.key->name = base.storePath.back();
    bases_.push_back(std::move(base));
  }

  std::string RandomText(const char* alphabet, int low, int high) {
    std::string text;
    int length = Between(low, high);
    size_t size = strlen(alphabet);
    for (int i = 0; i < length; ++i) text.push_back(alphabet[Between(0, static_cast<int>(size) - 1)]);
    return text;
  }

  std::string NewKeyName(Key* parent) {
    for (;;) {
      std::string name = RandomText("abcXYZ019._-{}@=\" ", 1, 8);
      if (name[0] == ' ' || name.back() == ' ') continue;
      if (parent == nullptr || parent->FindChild(name) == nullptr) return name;
    }
  }

  std::string NewValueName(Key* key) {
    for (;;) {
      std::string name = RandomText("abcXYZ01 \\\"=@,;.", 1, 8);
      size_t quote = name.find('"');
      if (quote != std::string::npos && name.find('=', quote) != std::string::npos) continue;
      if (key == nullptr || key->FindValue(name) == nullptr) return name;
    }
  }

  std::string RandomCase(const std::string& name) {
    std::string changed = name;
    for (char& c : changed) {
      if (Chance(30)) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      }
    }
    return changed;
  }

  std::string StringData(int low, int high) {
    return RandomText("abc XYZ\\\",=;'09", low, high);
  }

  // Data of every kind: readable forms, and the bytes that no readable form carries.
  Value RandomValue(const std::string& name) {
    Value value{name, 0, ""};
    value.type = Pick({0u, 1u, 1u, 2u, 3u, 3u, 4u, 4u, 5u, 6u, 7u, 7u, 8u, 10u, 11u, 12u, 16u,
                       1000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu});
    switch (value.type) {
      case 1:
      case 2:
        value.data = StringData(0, 12);
        if (Chance(80)) {
          value.data.push_back('\0');
        } else {
          value.data += Pick({std::string("\0x\0", 3), std::string("\n\0", 2),
                              std::string("\x1a\0", 2), std::string("\r\n", 2), std::string()});
        }
        break;
      case 4:
        value.data = Chance(85) ? RandomBytes(4, 4) : RandomBytes(0, 7);
        break;
      case 7:
        if (Chance(70)) {
          for (int i = Between(0, 4); i > 0; --i) {
            value.data += RandomText("abcXY\\ ;09", 1, 6);
            value.data.push_back('\0');
          }
          value.data.push_back('\0');
          if (value.data.size() == 1) value.data.push_back('\0');
        } else {
          value.data = Pick({std::string("a,b\0\0", 5), std::string("\"q\"\0\0", 5),
                             std::string("a\0\0b\0\0", 6), std::string("a\0", 2), std::string(),
                             std::string("\0", 1)});
        }
        break;
      default:
        value.data = RandomBytes(0, 24);
    }
    return value;
  }

  std::string RandomBytes(int low, int high) {
    std::string bytes;
    for (int i = Between(low, high); i > 0; --i) bytes.push_back(static_cast<char>(Between(0, 255)));
    return bytes;
  }

  void Populate(Key* key, int depth) {
    if (Chance(30)) key->values.push_back(RandomValue(""));
    for (int i = Between(0, 4); i > 0; --i) key->values.push_back(RandomValue(NewValueName(key)));
    if (depth >= 4) return;
    for (int i = Between(0, depth == 0 ? 4 : 3); i > 0; --i) {
      auto child = std::make_unique<Key>();
      child->name = NewKeyName(key);
      child->parent = key;
      Populate(child.get(), depth + 1);
      key->children.push_back(std::move(child));
    }
  }

  void SeedKey(RegistryService& store, KeyHandle handle, const Key& key) {
    for (const Value& value : key.values) {
      ASSERT_EQ(store.RegSetValueExA(handle, value.name, 0, value.type,
                                     reinterpret_cast<const uint8_t*>(value.data.data()),
                                     static_cast<uint32_t>(value.data.size())),
                0);
    }
    for (const auto& child : key.children) {
      KeyHandle sub = kNoKey;
      ASSERT_EQ(store.RegCreateKeyA(handle, child->name, &sub), 0) << child->name;
      SeedKey(store, sub, *child);
      store.RegCloseKey(sub);
    }
  }

  // Every existing key with the base it lies in.
  void Collect(Key* key, int base, std::vector<std::pair<int, Key*>>* out) {
    out->emplace_back(base, key);
    for (auto& child : key->children) Collect(child.get(), base, out);
  }
  std::vector<std::pair<int, Key*>> ExistingKeys() {
    std::vector<std::pair<int, Key*>> keys;
    for (size_t i = 0; i < bases_.size(); ++i) {
      if (bases_[i].key) Collect(bases_[i].key.get(), static_cast<int>(i), &keys);
    }
    return keys;
  }

  // The path of `key`, every level in a random case except the last when `exactLeaf`.
  std::string PathOf(int base, Key* key, bool exactLeaf) {
    std::vector<Key*> chain;
    for (Key* k = key; k != nullptr; k = k->parent) chain.insert(chain.begin(), k);
    const std::vector<std::string>& aliases = bases_[base].aliases;
    std::string path = aliases[Between(0, static_cast<int>(aliases.size()) - 1)];
    if (chain.size() == 1 && exactLeaf) {
      // The base itself: its own case comes from the store path.
      path = path.substr(0, path.rfind('\\') + 1) + key->name;
    }
    for (size_t i = 1; i < chain.size(); ++i) {
      bool last = i + 1 == chain.size();
      path += "\\" + (last && exactLeaf ? chain[i]->name : RandomCase(chain[i]->name));
    }
    return path;
  }

  std::string KeyLineText(const std::string& op, const std::string& path) {
    if (regedit4_) return "[" + path + "]\n";
    return op + ":[" + path + "]\n";
  }

  std::string KeyLine() {
    std::vector<std::pair<int, Key*>> keys = ExistingKeys();
    int roll = Between(1, 100);
    int action = roll <= 35 ? 0 : roll <= 60 || regedit4_ ? 1 : roll <= 85 ? 2 : 3;
    currentKnown_ = true;
    if (action <= 1 || keys.empty()) {
      // UPDATE of an existing key, or of a new child of one (or of a deleted base).
      for (size_t i = 0; i < bases_.size(); ++i) {
        if (!bases_[i].key && (keys.empty() || Chance(40))) {
          bases_[i].key = std::make_unique<Key>();
          bases_[i].key->name = RandomCase(bases_[i].storePath.back());
          current_ = bases_[i].key.get();
          std::string alias = bases_[i].aliases[0];
          return KeyLineText(Pick({"UPDATE", "update"}),
                             alias.substr(0, alias.rfind('\\') + 1) + current_->name);
        }
      }
      auto [base, key] = keys[Between(0, static_cast<int>(keys.size()) - 1)];
      if (action == 0) {
        current_ = key;
        return KeyLineText(Pick({"UPDATE", "Update"}), PathOf(base, key, false));
      }
      auto child = std::make_unique<Key>();
      child->name = NewKeyName(key);
      child->parent = key;
      current_ = child.get();
      key->children.push_back(std::move(child));
      if (Chance(30)) {
        // Two levels at once: the backout must remove the missing parent as well.
        auto grandchild = std::make_unique<Key>();
        grandchild->name = NewKeyName(current_);
        grandchild->parent = current_;
        Key* parent = current_;
        current_ = grandchild.get();
        parent->children.push_back(std::move(grandchild));
      }
      return KeyLineText("UPDATE", PathOf(base, current_, true));
    }
    current_ = nullptr;
    if (action == 2) {
      auto [base, key] = keys[Between(0, static_cast<int>(keys.size()) - 1)];
      std::string path = PathOf(base, key, true);
      if (key->parent == nullptr) {
        bases_[base].key.reset();
      } else {
        auto& siblings = key->parent->children;
        for (auto it = siblings.begin(); it != siblings.end(); ++it) {
          if (it->get() == key) {
            siblings.erase(it);
            break;
          }
        }
      }
      return KeyLineText(Pick({"DELETE", "delete"}), path);
    }
    // DELETE of a key that is not there.
    std::string path = bases_[Between(0, 2)].aliases[0] + "\\" + NewKeyName(nullptr) + "Gone";
    if (Chance(50)) path += "\\" + NewKeyName(nullptr);
    return KeyLineText("DELETE", path);
  }

  std::string Escape(const std::string& text) {
    std::string escaped;
    for (char c : text) {
      if (c == '\\' || c == '"') escaped.push_back('\\');
      escaped.push_back(c);
    }
    return escaped;
  }

  bool PlainText(const std::string& text) {
    for (char c : text) {
      if (c == '\0' || c == '\n' || c == '\x1a') return false;
    }
    return true;
  }

  // The data text of a value in a form that reads back to exactly its type and bytes.
  std::string DataText(const Value& value) {
    const std::string& data = value.data;
    bool lower = regedit4_ && Chance(50);
    if ((value.type == 1 || value.type == 2) && !data.empty() && data.back() == '\0' &&
        PlainText(data.substr(0, data.size() - 1))) {
      std::string quoted = "\"" + Escape(data.substr(0, data.size() - 1)) + "\"";
      return value.type == 1 ? quoted : Pick({"Expand:", "expand:"}) + quoted;
    }
    if (value.type == 4 && data.size() == 4) {
      uint32_t number = static_cast<uint8_t>(data[0]) | static_cast<uint8_t>(data[1]) << 8 |
                        static_cast<uint8_t>(data[2]) << 16 |
                        static_cast<uint32_t>(static_cast<uint8_t>(data[3])) << 24;
      char text[16];
      snprintf(text, sizeof text, lower ? "%08x" : "%08X", number);
      return (lower ? "dword:" : "Dword:") + std::string(text);
    }
    if (value.type == 7 && data.size() >= 2 && data.substr(data.size() - 2) == std::string("\0\0", 2)) {
      bool readable = true;
      std::string list;
      size_t start = 0;
      if (data.size() > 2) {
        for (size_t end = data.find('\0'); start < data.size() - 1; end = data.find('\0', start)) {
          std::string item = data.substr(start, end - start);
          if (item.empty() || item.find_first_of("\",\n\x1a") != std::string::npos) readable = false;
          list += (list.empty() ? "\"" : ",\"") + Escape(item) + "\"";
          start = end + 1;
        }
      } else {
        list = "\"\"";
      }
      if (readable) return "Multi:" + list;
    }
    char prefix[32];
    if (value.type == 3) {
      snprintf(prefix, sizeof prefix, "hex:");
    } else if (regedit4_ && Chance(50)) {
      // Exports write the type in hex; with no letter in it, it would read as decimal.
      snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
      if (std::string(prefix).find_first_of("abcdef", 4) == std::string::npos) {
        snprintf(prefix, sizeof prefix, "hex(%u):", value.type);
      }
    } else {
      snprintf(prefix, sizeof prefix, "hex(%u):", value.type);
    }
    std::string text = prefix;
    for (size_t i = 0; i < data.size(); ++i) {
      char pair[4];
      snprintf(pair, sizeof pair, lower ? "%02x" : "%02X", static_cast<uint8_t>(data[i]));
      if (i > 0) text += ",";
      if (i > 0 && i % 9 == 0 && regedit4_) text += "\\\n  ";
      text += pair;
    }
    return text;
  }

  std::string NameText(const std::string& name, bool deleting) {
    if (name.empty()) {
      if (deleting && !regedit4_) return Pick({"@", "@=", "\"\"="});
      return Pick({"@=", "\"\"="});
    }
    return "\"" + Escape(name) + "\"=";
  }

  std::string ValueLine() {
    bool update = current_ != nullptr && (regedit4_ ? Chance(85) : Chance(65));
    if (update) {
      std::string name;
      if (!current_->values.empty() && Chance(50)) {
        name = RandomCase(current_->values[Between(0, static_cast<int>(current_->values.size()) - 1)].name);
      } else {
        name = Chance(15) ? std::string() : NewValueName(current_);
      }
      Value value = RandomValue(name);
      std::string line = NameText(name, false) + DataText(value) + "\n";
      if (Value* old = current_->FindValue(name)) {
        old->type = value.type;
        old->data = value.data;
      } else {
        current_->values.push_back(value);
      }
      return regedit4_ ? line : Pick({"UPDATE:", "update:"}) + line;
    }
    std::string name;
    if (current_ != nullptr && !current_->values.empty() && Chance(70)) {
      auto& values = current_->values;
      size_t index = Between(0, static_cast<int>(values.size()) - 1);
      name = values[index].name;
      values.erase(values.begin() + index);
    } else {
      name = NewValueName(current_);
    }
    if (regedit4_) {
      if (current_ == nullptr) return "\n";
      return NameText(name, true) + "-\n";
    }
    return Pick({"DELETE:", "Delete:"}) + NameText(name, true) + "\n";
  }

  std::mt19937 random_;
  std::vector<Base> bases_;
  bool regedit4_ = false;
  Key* current_ = nullptr;     // the current key, null when the script line left it missing
  bool currentKnown_ = false;  // a key line has been written
  bool failInserted_ = false;
};

int EnvNumber(const char* name, int fallback) {
  const char* text = getenv(name);
  return text != nullptr && *text != '\0' ? atoi(text) : fallback;
}

struct CaseOutcome {
  std::string script;
  std::string backout;
  RunResult apply;
  RunResult undo;
};

TEST(RoundTripTest, ApplyingTheBackoutFileRestoresTheStore) {
  const char* fixedSeed = getenv("DX_ROUNDTRIP_SEED");
  int cases = fixedSeed != nullptr ? 1 : EnvNumber("DX_ROUNDTRIP_CASES", 200);
  uint32_t firstSeed = fixedSeed != nullptr ? static_cast<uint32_t>(strtoul(fixedSeed, nullptr, 10))
                                            : static_cast<uint32_t>(EnvNumber("DX_ROUNDTRIP_FIRST", 1));
  int failures = 0;
  for (int i = 0; i < cases && failures < 3; ++i) {
    uint32_t seed = firstSeed + static_cast<uint32_t>(i);
    BlackBox box;
    CaseGenerator generator(seed);
    {
      std::unique_ptr<RegistryService> store = box.OpenStore();
      generator.Seed(*store);
    }
    std::string before = box.DumpStore();
    bool regedit4 = seed % 3 == 0;
    CaseOutcome outcome;
    outcome.script = generator.Script(regedit4, seed % 4 == 1);
    box.WriteFile("script.txt", outcome.script);
    outcome.apply = box.Run({"/REG:script.txt", "/BACKUP:undo.txt"});
    outcome.backout = box.ReadFile("undo.txt").value_or("<missing>");
    outcome.undo = box.Run({"/REG:undo.txt"});
    std::string after = box.DumpStore();
    bool stops = generator.failInserted();
    bool applied = stops ? outcome.apply.exitCode == 1 &&
                               outcome.apply.output.find("Fatal Error - Program Exit") !=
                                   std::string::npos
                         : outcome.apply.exitCode == 0 &&
                               outcome.apply.output.find("***ERROR") == std::string::npos;
    bool undone = outcome.undo.exitCode == 0 &&
                  outcome.undo.output.find("***ERROR") == std::string::npos;
    bool ok = applied && undone && after == before;
    if (!ok || getenv("DX_ROUNDTRIP_SHOW") != nullptr) {
      std::ostringstream report;
      report << "round trip " << (ok ? "passed" : "failed")
             << "; reproduce with DX_ROUNDTRIP_SEED=" << seed << "\n--- script\n"
             << outcome.script << "--- apply (exit " << outcome.apply.exitCode << ")\n"
             << outcome.apply.output << "--- backout\n" << outcome.backout << "--- undo (exit "
             << outcome.undo.exitCode << ")\n" << outcome.undo.output << "--- store before\n"
             << before << "--- store after\n" << after;
      if (ok) {
        std::cout << report.str();
      } else {
        ++failures;
        ADD_FAILURE() << report.str();
      }
    }
  }
}

}  // namespace
