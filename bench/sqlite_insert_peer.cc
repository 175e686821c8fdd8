// The yardstick for applying a REGEDIT4 script: SQLite alone puts the script's keys and values
// into tables laid out like the tool's store, in one transaction with prepared statements, with
// the store's journal settings. It parses only the forms bench/run generates.
//   sqlite_insert_peer DATABASE SCRIPT.reg   (prints the number of value rows written)
#include <sqlite3.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char* kSchema =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=NORMAL;"
    "PRAGMA cache_size=-32768;"
    "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER NOT NULL, name BLOB NOT NULL, fold BLOB NOT NULL, depth INTEGER NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS keys_by_parent ON keys(parent, fold);"
    "CREATE TABLE IF NOT EXISTS vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL,"
    " name BLOB NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS vals_by_name ON vals(key, fold);"
    "CREATE INDEX IF NOT EXISTS vals_by_key ON vals(key);"
    "INSERT OR IGNORE INTO keys(id, parent, name, fold, depth) VALUES"
    " (1, 0, CAST('HKEY_LOCAL_MACHINE' AS BLOB), CAST('HKEY_LOCAL_MACHINE' AS BLOB), 0);";

std::string Fold(const std::string& text) {
  std::string folded = text;
  for (char& c : folded) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return folded;
}

class Peer {
 public:
  explicit Peer(sqlite3* db) : db_(db) {
    sqlite3_prepare_v2(db, "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2", -1, &find_,
                       nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO keys(parent, name, fold, depth) VALUES(?1, ?2, ?3, ?4)",
                       -1, &addKey_, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
                       " ON CONFLICT(key, fold) DO UPDATE SET name = excluded.name,"
                       " type = excluded.type, data = excluded.data",
                       -1, &setValue_, nullptr);
  }
  ~Peer() {
    sqlite3_finalize(find_);
    sqlite3_finalize(addKey_);
    sqlite3_finalize(setValue_);
  }
  bool Ready() const { return find_ && addKey_ && setValue_; }

  // Finds or creates every level of "HKEY_LOCAL_MACHINE\a\b..." below the root row.
  bool OpenKey(const std::string& path) {
    size_t start = path.find('\\');
    if (path.compare(0, start, "HKEY_LOCAL_MACHINE") != 0) return false;
    sqlite3_int64 id = 1;
    for (int depth = 1; start != std::string::npos; ++depth) {
      size_t end = path.find('\\', start + 1);
      std::string name = path.substr(start + 1, end == std::string::npos ? end : end - start - 1);
      std::string fold = Fold(name);
      sqlite3_bind_int64(find_, 1, id);
      sqlite3_bind_blob(find_, 2, fold.data(), static_cast<int>(fold.size()), SQLITE_STATIC);
      if (sqlite3_step(find_) == SQLITE_ROW) {
        id = sqlite3_column_int64(find_, 0);
      } else {
        sqlite3_bind_int64(addKey_, 1, id);
        sqlite3_bind_blob(addKey_, 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
        sqlite3_bind_blob(addKey_, 3, fold.data(), static_cast<int>(fold.size()), SQLITE_STATIC);
        sqlite3_bind_int(addKey_, 4, depth);
        if (sqlite3_step(addKey_) != SQLITE_DONE) return false;
        sqlite3_reset(addKey_);
        id = sqlite3_last_insert_rowid(db_);
      }
      sqlite3_reset(find_);
      start = end;
    }
    key_ = id;
    return true;
  }

  bool SetValue(const std::string& name, uint32_t type, const std::string& data) {
    std::string fold = Fold(name);
    sqlite3_bind_int64(setValue_, 1, key_);
    sqlite3_bind_blob(setValue_, 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    sqlite3_bind_blob(setValue_, 3, fold.data(), static_cast<int>(fold.size()), SQLITE_STATIC);
    sqlite3_bind_int64(setValue_, 4, type);
    sqlite3_bind_blob(setValue_, 5, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
    bool done = sqlite3_step(setValue_) == SQLITE_DONE;
    sqlite3_reset(setValue_);
    return done;
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* find_ = nullptr;
  sqlite3_stmt* addKey_ = nullptr;
  sqlite3_stmt* setValue_ = nullptr;
  sqlite3_int64 key_ = 0;
};

// A quoted text from `pos` (just after the opening quote), its escapes removed; `pos` ends
// after the closing quote.
std::string Quoted(const std::string& line, size_t& pos) {
  std::string text;
  for (; pos < line.size() && line[pos] != '"'; ++pos) {
    if (line[pos] == '\\' && pos + 1 < line.size()) ++pos;
    text.push_back(line[pos]);
  }
  ++pos;
  return text;
}

std::string HexBytes(const char* text) {
  std::string bytes;
  while (isxdigit(static_cast<unsigned char>(text[0])) &&
         isxdigit(static_cast<unsigned char>(text[1]))) {
    bytes.push_back(static_cast<char>(strtoul(std::string(text, 2).c_str(), nullptr, 16)));
    text += text[2] == ',' ? 3 : 2;
  }
  return bytes;
}

// Value data text: "string", dword:XXXXXXXX, hex:.. or hex(N):..
bool ParseData(const std::string& line, size_t pos, uint32_t& type, std::string& data) {
  const char* text = line.c_str() + pos;
  if (*text == '"') {
    ++pos;
    data = Quoted(line, pos);
    data.push_back('\0');
    type = 1;
  } else if (strncmp(text, "dword:", 6) == 0) {
    uint32_t number = static_cast<uint32_t>(strtoul(text + 6, nullptr, 16));
    data.assign(reinterpret_cast<const char*>(&number), 4);
    type = 4;
  } else if (strncmp(text, "hex:", 4) == 0) {
    data = HexBytes(text + 4);
    type = 3;
  } else if (strncmp(text, "hex(", 4) == 0) {
    char* end = nullptr;
    type = static_cast<uint32_t>(strtoul(text + 4, &end, 16));
    if (strncmp(end, "):", 2) != 0) return false;
    data = HexBytes(end + 2);
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s DATABASE SCRIPT.reg\n", argv[0]);
    return 2;
  }
  FILE* script = fopen(argv[2], "r");
  sqlite3* db = nullptr;
  if (script == nullptr || sqlite3_open(argv[1], &db) != SQLITE_OK ||
      sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    fprintf(stderr, "cannot open %s or %s\n", argv[1], argv[2]);
    return 1;
  }
  long rows = 0;
  bool ok = true;
  {
    Peer peer(db);
    ok = peer.Ready();
    char* buffer = nullptr;
    size_t capacity = 0;
    ssize_t length = 0;
    while (ok && (length = getline(&buffer, &capacity, script)) > 0) {
      std::string line(buffer, static_cast<size_t>(length));
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      if (line.empty() || line[0] == ';' || line == "REGEDIT4") continue;
      if (line[0] == '[') {
        ok = peer.OpenKey(line.substr(1, line.find(']') - 1));
        continue;
      }
      size_t pos = 1;
      std::string name = line[0] == '@' ? std::string() : Quoted(line, pos);
      uint32_t type = 0;
      std::string data;
      ok = pos < line.size() && line[pos] == '=' && ParseData(line, pos + 1, type, data) &&
           peer.SetValue(name, type, data);
      ++rows;
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
