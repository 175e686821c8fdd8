// The backout promise for the multi-string edits, tested from the outside on random cases: a
// random store of multi-string values, a random script of APPEND, PREPEND, REMOVE and REPLACE
// lines applied with /BACKUP:, then the backout file applied, must leave the store exactly as
// it was.
//
// Reproduce one case with DX_ROUNDTRIP_SEED=<seed printed on failure>; DX_ROUNDTRIP_CASES sets
// how many cases run (default 100 here).
//
// The generator keeps to the edits whose record undoes them exactly. Left out by design:
//  - APPEND or PREPEND of a string the list already holds in any case (the undoing REMOVE
//    takes out every copy);
//  - REMOVE of a string held more than once, held in another case than the operand, or not
//    held last (the undoing APPEND adds one copy, as written, at the end);
//  - REPLACE whose search string matches a stored string in another case, or whose
//    replacement is already in the list in any case (the undoing REPLACE writes the search
//    string as written and also turns those back), or is empty (an empty string ends a list);
//  - any edit of a value whose bytes are not exactly the written form of its list: data that
//    begins with two zero bytes, strings after an empty one, bytes after the closing zero, a
//    missing closing zero, and the three zero bytes PREPEND leaves in a value it creates;
//  - APPEND or PREPEND under a DELETE key line of a missing key (the key is created with no
//    record);
//  - operands that begin with "ulti:" in any case (read as the "Multi:" prefix), and operands
//    or names holding control characters; an empty operand (an empty string ends a list).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tests/blackbox.h"

namespace {

using namespace std::string_literals;

constexpr uint32_t kMulti = 7;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string Written(const std::vector<std::string>& list) {
  std::string data;
  for (const std::string& text : list) data += text + '\0';
  return data + '\0';
}

// A value as the generator knows it: its list when its bytes are the list's written form.
struct Value {
  std::string name;
  std::vector<std::string> list;
  bool canonical = true;  // false: the bytes are not Written(list); no more edits
};

// A backslash before each backslash and double quote, as a script line carries a string.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

class CaseGenerator {
 public:
  explicit CaseGenerator(uint32_t seed) : random_(seed) {}

  // Seeds the store and returns the script.
  std::string Make(const BlackBox& box) {
    box.CreateKey("HKLM\\SOFTWARE\\MS");
    const int valueCount = Pick(1, 4);
    for (int i = 0; i < valueCount; ++i) {
      Value value;
      value.name = i == 0 && Chance(3) ? "" : NewName();
      if (Find(value.name) != nullptr) continue;
      const int strings = Pick(0, 4);
      for (int s = 0; s < strings; ++s) {
        // An exact copy now and then, which REPLACE turns and turns back together.
        if (!value.list.empty() && Chance(6)) {
          value.list.push_back(value.list[Pick(0, static_cast<int>(value.list.size()) - 1)]);
        } else {
          value.list.push_back(NewString());
        }
      }
      box.SetValue("HKLM\\SOFTWARE\\MS", value.name, kMulti, Written(value.list));
      values_.push_back(value);
    }
    box.SetString("HKLM\\SOFTWARE\\MS", "plain", "not a list");

    std::string script = "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\MS]\n";
    const int lines = Pick(1, 12);
    for (int i = 0; i < lines; ++i) script += Line();
    if (Chance(2)) {
      // A key the run creates: its edits are undone by deleting it.
      script += "UPDATE:[HKLM\\SOFTWARE\\MS\\Created]\nAPPEND:\"x\"=\"" + Escaped(NewString()) +
                "\"\nPREPEND:\"y\"=Multi:\"" + Escaped(NewString()) + "\"\n";
    }
    if (Chance(2)) {
      // A missing key: REMOVE and REPLACE there change nothing and must create nothing.
      script += "DELETE:[HKLM\\SOFTWARE\\MS\\Missing]\nREMOVE:\"x\"=\"a\"\n"
                "REPLACE:\"x\"=\"a\",\"b\"\n";
    }
    return script;
  }

 private:
  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  bool Chance(int oneIn) { return Pick(1, oneIn) == 1; }

  std::string NewString() {
    static const char kAlphabet[] = "abcXYZ09 ,=\\\"'.;:[]{}";
    std::string text;
    do {
      text.clear();
      const int length = Pick(1, 8);
      for (int i = 0; i < length; ++i) text += kAlphabet[Pick(0, sizeof kAlphabet - 2)];
    } while (SameText(text.substr(0, 5), "ulti:"));
    return text;
  }

  std::string NewName() {
    static const char kAlphabet[] = "abcXYZ09 \\.";
    std::string text;
    const int length = Pick(1, 6);
    for (int i = 0; i < length; ++i) text += kAlphabet[Pick(0, sizeof kAlphabet - 2)];
    return text;
  }

  Value* Find(const std::string& name) {
    for (Value& value : values_) {
      if (SameText(value.name, name)) return &value;
    }
    return nullptr;
  }

  bool Holds(const Value& value, const std::string& text) {
    for (const std::string& held : value.list) {
      if (SameText(held, text)) return true;
    }
    return false;
  }

  // The name as a line writes it, in a random case.
  std::string LineName(const std::string& name) {
    if (name.empty()) return "@";
    std::string cased = name;
    for (char& c : cased) {
      if (Chance(2)) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : Lower(c);
    }
    return "\"" + Escaped(cased) + "\"";
  }

  std::string Operand(const std::string& text) {
    return (Chance(4) ? "Multi:\"" : "\"") + Escaped(text) + "\"";
  }

  // One edit line that can be undone exactly, applied to the model.
  std::string Line() {
    for (;;) {
      const int op = Pick(0, 3);
      const bool fresh = Chance(5);
      Value* value = fresh ? nullptr : &values_[Pick(0, static_cast<int>(values_.size()) - 1)];
      if (value == nullptr) {
        const std::string name = NewName();
        if (Find(name) != nullptr) continue;
        const std::string text = NewString();
        if (op == 3 && text.find(',') != std::string::npos) continue;
        if (op == 2 || op == 3) {  // absent: nothing happens, nothing is recorded
          return (op == 2 ? "REMOVE:" : "REPLACE:") + LineName(name) + "=" +
                 (op == 2 ? Operand(text) : "\"" + Escaped(text) + "\",\"x\"") + "\n";
        }
        Value created;
        created.name = name;
        created.list = {text};
        created.canonical = op == 0;  // PREPEND writes a third zero byte
        values_.push_back(created);
        return (op == 0 ? "APPEND:" : "PREPEND:") + LineName(name) + "=" + Operand(text) + "\n";
      }
      if (!value->canonical) continue;
      if (op == 0 || op == 1) {
        const std::string text = NewString();
        if (Holds(*value, text)) continue;
        if (op == 0) {
          value->list.push_back(text);
        } else {
          value->list.insert(value->list.begin(), text);
        }
        return (op == 0 ? "APPEND:" : "PREPEND:") + LineName(value->name) + "=" +
               Operand(text) + "\n";
      }
      if (op == 2) {
        // The last string, held once, named exactly; or a string not held at all.
        if (value->list.empty() || Chance(4)) {
          const std::string text = NewString();
          if (Holds(*value, text)) continue;
          return "REMOVE:" + LineName(value->name) + "=" + Operand(text) + "\n";
        }
        const std::string last = value->list.back();
        int copies = 0;
        for (const std::string& held : value->list) copies += SameText(held, last) ? 1 : 0;
        if (copies != 1) continue;
        value->list.pop_back();
        return "REMOVE:" + LineName(value->name) + "=" + Operand(last) + "\n";
      }
      // REPLACE: the search string as stored (or not held at all), a replacement not held.
      std::string search = value->list.empty() || Chance(4)
                               ? NewString()
                               : value->list[Pick(0, static_cast<int>(value->list.size()) - 1)];
      if (search.find(',') != std::string::npos) continue;
      bool exact = true;
      for (const std::string& held : value->list) {
        if (SameText(held, search) && held != search) exact = false;
      }
      const std::string replacement = NewString();
      if (!exact || Holds(*value, replacement) || SameText(search, replacement)) continue;
      for (std::string& held : value->list) {
        if (held == search) held = replacement;
      }
      return "REPLACE:" + LineName(value->name) + "=\"" + Escaped(search) + "\",\"" +
             Escaped(replacement) + "\"\n";
    }
  }

  std::mt19937 random_;
  std::vector<Value> values_;
};

int EnvNumber(const char* name, int fallback) {
  const char* text = getenv(name);
  return text != nullptr ? atoi(text) : fallback;
}

TEST(MultiStringRoundTripTest, ApplyingTheBackoutFileRestoresTheStore) {
  const char* fixedSeed = getenv("DX_ROUNDTRIP_SEED");
  const int cases = fixedSeed != nullptr ? 1 : EnvNumber("DX_ROUNDTRIP_CASES", 100);
  const uint32_t first = fixedSeed != nullptr ? static_cast<uint32_t>(atol(fixedSeed)) : 1;
  for (int i = 0; i < cases; ++i) {
    const uint32_t seed = first + static_cast<uint32_t>(i);
    BlackBox box;
    CaseGenerator generator(seed);
    const std::string script = generator.Make(box);
    const std::string before = box.DumpStore();
    box.WriteFile("EDITS.TXT", script);
    const RunResult run = box.Run({"/REG:EDITS.TXT", "/BACKUP:UNDO.TXT"});
    const std::string trace = "seed " + std::to_string(seed) +
                              " (reproduce with DX_ROUNDTRIP_SEED=" + std::to_string(seed) +
                              ")\nscript:\n" + script + "output:\n" + run.output;
    ASSERT_EQ(run.exitCode, 0) << trace;
    const RunResult undo = box.Run({"/REG:UNDO.TXT"});
    ASSERT_EQ(undo.exitCode, 0) << trace << "backout:\n" << *box.ReadFile("UNDO.TXT");
    ASSERT_EQ(box.DumpStore(), before) << trace << "backout:\n" << *box.ReadFile("UNDO.TXT");
  }
}

}  // namespace
