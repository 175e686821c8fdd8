// Builds the store that the full-backup benchmark reads: under HKLM\SOFTWARE\Bench a tree of
// three levels with `fanout` keys at each, and five values of different types in every key of
// the last level (fanout 100: 1,010,101 keys below SOFTWARE and 5,000,000 values).
// bench/run then times the backup of that store against a plain dump of the same file.
//
// One key is made through the registry calls, so that the rows are in the store's own form;
// the rest are copies of it written in one transaction, since six million single-call
// transactions would take the better part of an hour. This ties the builder (not the tool) to
// the store's table layout.
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "registry/sqlite/sqlite_registry.h"

namespace {

using namespace std::string_literals;

bool Check(RegStatus status, const char* what) {
  if (status == kErrorSuccess) return true;
  fprintf(stderr, "%s failed with %d\n", what, status);
  return false;
}

bool SetValue(RegistryService& store, KeyHandle key, const char* name, uint32_t type,
              const std::string& data) {
  return Check(store.RegSetValueExA(key, name, 0, type,
                                    reinterpret_cast<const uint8_t*>(data.data()),
                                    static_cast<uint32_t>(data.size())),
               "RegSetValueExA");
}

// The template key HKLM\SOFTWARE\Bench\G000\H000\K000 with its five values.
bool MakeTemplate(const std::string& path) {
  std::unique_ptr<RegistryService> store = OpenSqliteRegistry(path);
  KeyHandle key = kNoKey;
  const uint32_t dword = 0x2A;
  return Check(store->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Bench\\G000\\H000\\K000",
                                    &key),
               "RegCreateKeyA") &&
         SetValue(*store, key, "Path", kRegSz, "C:\\Program Files\\Bench\\0000000\0"s) &&
         SetValue(*store, key, "Count", kRegDword,
                  std::string(reinterpret_cast<const char*>(&dword), 4)) &&
         SetValue(*store, key, "Blob", kRegBinary, std::string(24, '\x5A')) &&
         SetValue(*store, key, "List", kRegMultiSz, "first\0second \"quoted\"\0third\0\0"s) &&
         SetValue(*store, key, "", kRegExpandSz, "%SystemRoot%\\bench\0"s) &&
         Check(store->RegCloseKey(key), "RegCloseKey");
}

bool Exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK) return true;
  fprintf(stderr, "%s\n  in: %.200s\n", error, sql.c_str());
  sqlite3_free(error);
  return false;
}

// Copies the template key's siblings and parents up to fanout at each level, and its values
// into every new key of the last level.
bool Replicate(const std::string& path, int fanout) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  const std::string n = std::to_string(fanout);
  // Names G000..G<n-1>, H..., K...: a number table, then one insert per level.
  auto insertLevel = [&](const std::string& parents, char letter, int depth) {
    const std::string name = std::string("printf('") + letter + "%03d', i.v)";
    return "INSERT OR IGNORE INTO keys(parent, name, fold, depth) SELECT p.id, CAST(" + name +
           " AS BLOB), CAST(" + name + " AS BLOB), " + std::to_string(depth) + " FROM (" +
           parents + ") p, nums i ORDER BY p.id, i.v;";
  };
  const std::string bench =
      "SELECT id FROM keys WHERE parent = 3 AND fold = CAST('BENCH' AS BLOB)";
  const std::string gs = "SELECT id FROM keys WHERE depth = 3 AND parent IN (" + bench + ")";
  const std::string hs = "SELECT id FROM keys WHERE depth = 4 AND parent IN (" + gs + ")";
  const std::string ks = "SELECT id FROM keys WHERE depth = 5 AND parent IN (" + hs + ")";
  const std::string templateKey = "SELECT min(id) FROM (" + ks + ")";
  const bool done =
      Exec(db, "PRAGMA synchronous=OFF; BEGIN IMMEDIATE;") &&
      Exec(db, "CREATE TEMP TABLE nums(v INTEGER PRIMARY KEY);"
               "WITH RECURSIVE c(v) AS (SELECT 0 UNION ALL SELECT v + 1 FROM c WHERE v + 1 < " +
                   n + ") INSERT INTO nums SELECT v FROM c;") &&
      Exec(db, insertLevel(bench, 'G', 3)) && Exec(db, insertLevel(gs, 'H', 4)) &&
      Exec(db, insertLevel(hs, 'K', 5)) &&
      // A value's id is its key's id and its place (registry/sqlite/sqlite_store.cc).
      Exec(db, "INSERT OR IGNORE INTO vals(id, name, type, data)"
               " SELECT (k.id << 24) + (v.id & 16777215), v.name, v.type, v.data FROM (" + ks +
               ") k, vals v WHERE v.id >> 24 = (" + templateKey + ") ORDER BY k.id, v.id;") &&
      Exec(db, "COMMIT;");
  sqlite3_close(db);
  return done;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s STORE [FANOUT]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  const int fanout = argc > 2 ? atoi(argv[2]) : 100;
  if (fanout < 1 || fanout > 1000 || !MakeTemplate(path) || !Replicate(path, fanout)) return 1;
  const long leaves = 1L * fanout * fanout * fanout;
  printf("keys %ld values %ld\n", leaves + 1L * fanout * fanout + fanout + 1, leaves * 5);
  return 0;
}
