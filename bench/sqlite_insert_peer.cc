// The yardstick for applying a REGEDIT4 script: SQLite alone puts the script's keys and values
// into a fresh database in one transaction with prepared statements, WAL and
// synchronous=NORMAL. It reads the forms REGEDIT4 exports write (continuation lines included).
//   sqlite_insert_peer plain DATABASE SCRIPT.reg    two tables, keys(id, parent, name) and
//                                                   values(key, name, type, data), no index
// Prints the number of value rows written.
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

namespace {

constexpr const char* kPlainSchema =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=NORMAL;"
    "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY, parent INTEGER, name BLOB);"
    "CREATE TABLE IF NOT EXISTS \"values\"(key INTEGER, name BLOB, type INTEGER, data BLOB);";

int Bind(sqlite3_stmt* stmt, int index, std::string_view bytes) {
  return sqlite3_bind_blob(stmt, index, bytes.empty() ? "" : bytes.data(),
                           static_cast<int>(bytes.size()), SQLITE_STATIC);
}

bool StepDone(sqlite3_stmt* stmt) {
  bool done = sqlite3_step(stmt) == SQLITE_DONE;
  sqlite3_reset(stmt);
  return done;
}

class Inserter {
 public:
  explicit Inserter(sqlite3* db) : db_(db) {
    Prepare("INSERT INTO keys(id, parent, name) VALUES(?1, ?2, ?3)", &addKey_);
    Prepare("INSERT INTO \"values\"(key, name, type, data) VALUES(?1, ?2, ?3, ?4)", &addValue_);
  }
  ~Inserter() {
    sqlite3_finalize(addKey_);
    sqlite3_finalize(addValue_);
  }
  bool ok() const { return ok_; }

  // Makes "HKEY_LOCAL_MACHINE\a\b..." (and every level above it) the key of later values.
  bool OpenKey(std::string_view path) { return Remember(path); }

  bool AddValue(std::string_view name, uint32_t type, std::string_view data) {
    int column = 1;
    sqlite3_bind_int64(addValue_, column++, key_);
    Bind(addValue_, column++, name);
    sqlite3_bind_int64(addValue_, column++, type);
    Bind(addValue_, column, data);
    return StepDone(addValue_);
  }

 private:
  void Prepare(const char* sql, sqlite3_stmt** stmt) {
    ok_ = ok_ && sqlite3_prepare_v2(db_, sql, -1, stmt, nullptr) == SQLITE_OK;
  }

  // The ids of the paths seen so far live in memory, as a program filling a fresh database
  // would keep them.
  bool Remember(std::string_view path) {
    std::string key(path);
    for (char& c : key)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    auto found = ids_.find(key);
    if (found != ids_.end()) {
      key_ = found->second;
      return true;
    }
    size_t cut = path.rfind('\\');
    sqlite3_int64 parent = 0;
    if (cut != std::string_view::npos) {
      if (!Remember(path.substr(0, cut))) return false;
      parent = key_;
    }
    key_ = static_cast<sqlite3_int64>(ids_.size()) + 1;
    ids_.emplace(std::move(key), key_);
    sqlite3_bind_int64(addKey_, 1, key_);
    sqlite3_bind_int64(addKey_, 2, parent);
    Bind(addKey_, 3, cut == std::string_view::npos ? path : path.substr(cut + 1));
    return StepDone(addKey_);
  }

  sqlite3* db_;
  bool ok_ = true;
  sqlite3_stmt* addKey_ = nullptr;
  sqlite3_stmt* addValue_ = nullptr;
  sqlite3_int64 key_ = 0;
  std::unordered_map<std::string, sqlite3_int64> ids_;
};

// A quoted text from `pos` (just after the opening quote) with its escapes removed into
// `text`; `pos` ends after the closing quote.
void Quoted(std::string_view line, size_t& pos, std::string* text) {
  text->clear();
  for (; pos < line.size() && line[pos] != '"'; ++pos) {
    if (line[pos] == '\\' && pos + 1 < line.size()) ++pos;
    text->push_back(line[pos]);
  }
  ++pos;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "xx,xx,..." with blanks between the pairs.
void HexBytes(std::string_view text, std::string* bytes) {
  bytes->clear();
  int high = -1;
  for (char c : text) {
    int digit = HexDigit(c);
    if (digit < 0) continue;
    if (high < 0) {
      high = digit;
    } else {
      bytes->push_back(static_cast<char>(high * 16 + digit));
      high = -1;
    }
  }
}

// Value data text: "string", dword:XXXXXXXX, hex:.. or hex(N):..
bool ParseData(std::string_view line, size_t pos, uint32_t* type, std::string* data) {
  std::string_view text = line.substr(pos);
  if (text.starts_with('"')) {
    ++pos;
    Quoted(line, pos, data);
    data->push_back('\0');
    *type = 1;
  } else if (text.starts_with("dword:")) {
    uint32_t number = static_cast<uint32_t>(strtoul(std::string(text.substr(6)).c_str(),
                                                    nullptr, 16));
    data->assign(reinterpret_cast<const char*>(&number), 4);
    *type = 4;
  } else if (text.starts_with("hex:")) {
    HexBytes(text.substr(4), data);
    *type = 3;
  } else if (text.starts_with("hex(")) {
    size_t close = text.find("):");
    if (close == std::string_view::npos) return false;
    *type = static_cast<uint32_t>(strtoul(std::string(text.substr(4, close - 4)).c_str(),
                                          nullptr, 16));
    HexBytes(text.substr(close + 2), data);
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || strcmp(argv[1], "plain") != 0) {
    fprintf(stderr, "usage: %s plain DATABASE SCRIPT.reg\n", argv[0]);
    return 2;
  }
  FILE* script = fopen(argv[3], "r");
  sqlite3* db = nullptr;
  if (script == nullptr || sqlite3_open(argv[2], &db) != SQLITE_OK ||
      sqlite3_exec(db, kPlainSchema, nullptr, nullptr, nullptr) !=
          SQLITE_OK ||
      sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    fprintf(stderr, "cannot open %s or %s\n", argv[2], argv[3]);
    return 1;
  }
  long rows = 0;
  bool ok = true;
  {
    Inserter inserter(db);
    ok = inserter.ok();
    char* buffer = nullptr;
    size_t capacity = 0;
    ssize_t length = 0;
    std::string line, name, data;
    while (ok && (length = getline(&buffer, &capacity, script)) > 0) {
      std::string_view piece(buffer, static_cast<size_t>(length));
      while (!piece.empty() && (piece.back() == '\n' || piece.back() == '\r'))
        piece.remove_suffix(1);
      if (!line.empty()) piece.remove_prefix(std::min(piece.find_first_not_of(' '),
                                                      piece.size()));
      line.append(piece);
      if (!line.empty() && line.back() == '\\' && line[0] != '[') {  // continued below
        line.pop_back();
        continue;
      }
      std::string_view text = line;
      if (text.empty() || text[0] == ';' || text == "REGEDIT4") {
        line.clear();
        continue;
      }
      if (text[0] == '[') {
        ok = inserter.OpenKey(text.substr(1, text.find(']') - 1));
      } else {
        size_t pos = 1;
        if (text[0] == '@')
          name.clear();
        else
          Quoted(text, pos, &name);
        uint32_t type = 0;
        ok = pos < text.size() && text[pos] == '=' && ParseData(text, pos + 1, &type, &data) &&
             inserter.AddValue(name, type, data);
        ++rows;
      }
      line.clear();
    }
    free(buffer);
  }
  ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!ok) fprintf(stderr, "failed near row %ld: %s\n", rows, sqlite3_errmsg(db));
  sqlite3_close(db);
  fclose(script);
  printf("%ld\n", rows);
  return ok ? 0 : 1;
}
