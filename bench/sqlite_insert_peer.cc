// The yardsticks for applying a REGEDIT4 script: SQLite alone puts the script's keys and values
// into a fresh database in one transaction with prepared statements, WAL and
// synchronous=NORMAL. It reads the forms REGEDIT4 exports write (continuation lines included).
//   sqlite_insert_peer plain DATABASE SCRIPT.reg    two tables, keys(id, parent, name) and
//                                                   values(key, name, type, data), no index
//   sqlite_insert_peer mirror DATABASE SCRIPT.reg   tables and indexes laid out like the tool's
//                                                   store, every value line an upsert
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

constexpr const char* kMirrorSchema =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=NORMAL;"
    "PRAGMA cache_size=-32768;"
    "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER NOT NULL, name BLOB NOT NULL, fold BLOB NOT NULL, depth INTEGER NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS keys_by_parent ON keys(parent, fold);"
    "CREATE TABLE IF NOT EXISTS vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL,"
    " name BLOB NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS vals_by_name ON vals(key, fold);"
    "CREATE INDEX IF NOT EXISTS vals_by_key ON vals(key);";

std::string_view Fold(std::string_view text, std::string* buffer) {
  buffer->assign(text);
  for (char& c : *buffer)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return *buffer;
}

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
  Inserter(sqlite3* db, bool mirror) : db_(db), mirror_(mirror) {
    if (mirror) {
      Prepare("INSERT OR IGNORE INTO keys(id, parent, name, fold, depth)"
              " VALUES(1, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE', 0)", &addKey_);
      ok_ = ok_ && StepDone(addKey_);
      sqlite3_finalize(addKey_);
      Prepare("SELECT id FROM keys WHERE parent = ?1 AND fold = ?2", &find_);
      Prepare("INSERT INTO keys(parent, name, fold, depth) VALUES(?1, ?2, ?3, ?4)", &addKey_);
      Prepare("INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
              " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data",
              &addValue_);
    } else {
      Prepare("INSERT INTO keys(id, parent, name) VALUES(?1, ?2, ?3)", &addKey_);
      Prepare("INSERT INTO \"values\"(key, name, type, data) VALUES(?1, ?2, ?3, ?4)", &addValue_);
    }
  }
  ~Inserter() {
    sqlite3_finalize(find_);
    sqlite3_finalize(addKey_);
    sqlite3_finalize(addValue_);
  }
  bool ok() const { return ok_; }

  // Makes "HKEY_LOCAL_MACHINE\a\b..." (and every level above it) the key of later values.
  bool OpenKey(std::string_view path) { return mirror_ ? FindOrAdd(path) : Remember(path); }

  bool AddValue(std::string_view name, uint32_t type, std::string_view data) {
    int column = 1;
    sqlite3_bind_int64(addValue_, column++, key_);
    Bind(addValue_, column++, name);
    if (mirror_) Bind(addValue_, column++, Fold(name, &fold_));
    sqlite3_bind_int64(addValue_, column++, type);
    Bind(addValue_, column, data);
    return StepDone(addValue_);
  }

 private:
  void Prepare(const char* sql, sqlite3_stmt** stmt) {
    ok_ = ok_ && sqlite3_prepare_v2(db_, sql, -1, stmt, nullptr) == SQLITE_OK;
  }

  // Plain: the ids of the paths seen so far live in memory, as a program filling a fresh
  // database would keep them.
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

  // Mirror: every level looked up in the keys table, as the tool's store does.
  bool FindOrAdd(std::string_view path) {
    size_t start = path.find('\\');
    if (path.substr(0, start) != "HKEY_LOCAL_MACHINE") return false;
    sqlite3_int64 id = 1;
    for (int depth = 1; start != std::string_view::npos; ++depth) {
      size_t end = path.find('\\', start + 1);
      std::string_view name = path.substr(start + 1, end == std::string_view::npos
                                                         ? std::string_view::npos
                                                         : end - start - 1);
      std::string_view fold = Fold(name, &fold_);
      sqlite3_bind_int64(find_, 1, id);
      Bind(find_, 2, fold);
      if (sqlite3_step(find_) == SQLITE_ROW) {
        id = sqlite3_column_int64(find_, 0);
      } else {
        sqlite3_bind_int64(addKey_, 1, id);
        Bind(addKey_, 2, name);
        Bind(addKey_, 3, fold);
        sqlite3_bind_int(addKey_, 4, depth);
        if (!StepDone(addKey_)) return false;
        id = sqlite3_last_insert_rowid(db_);
      }
      sqlite3_reset(find_);
      start = end;
    }
    key_ = id;
    return true;
  }

  sqlite3* db_;
  bool mirror_;
  bool ok_ = true;
  sqlite3_stmt* find_ = nullptr;
  sqlite3_stmt* addKey_ = nullptr;
  sqlite3_stmt* addValue_ = nullptr;
  sqlite3_int64 key_ = 0;
  std::string fold_;
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
  if (argc != 4 || (strcmp(argv[1], "plain") != 0 && strcmp(argv[1], "mirror") != 0)) {
    fprintf(stderr, "usage: %s plain|mirror DATABASE SCRIPT.reg\n", argv[0]);
    return 2;
  }
  const bool mirror = strcmp(argv[1], "mirror") == 0;
  FILE* script = fopen(argv[3], "r");
  sqlite3* db = nullptr;
  if (script == nullptr || sqlite3_open(argv[2], &db) != SQLITE_OK ||
      sqlite3_exec(db, mirror ? kMirrorSchema : kPlainSchema, nullptr, nullptr, nullptr) !=
          SQLITE_OK ||
      sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    fprintf(stderr, "cannot open %s or %s\n", argv[2], argv[3]);
    return 1;
  }
  long rows = 0;
  bool ok = true;
  {
    Inserter inserter(db, mirror);
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
