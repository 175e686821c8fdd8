// Throughput of the local store in the patterns of a script run and of a snapshot walk:
// keys created, values set (each through an open of its key, as a value line does) and keys
// walked depth-first with their values, on a store of 100,000 keys and 1,000,000 values.
// DX_BENCH_KEYS scales the store down (the values stay at ten per key); DX_BENCH_STORE names
// the store file (default /tmp/dx-registry-bench.db, replaced on every run).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "registry/sqlite/sqlite_registry.h"

namespace {

constexpr int kKeysPerGroup = 1000;
constexpr int kValuesPerKey = 10;

int KeyCount() {
  const char* text = std::getenv("DX_BENCH_KEYS");
  return text ? std::max(kKeysPerGroup, std::atoi(text)) : 100000;
}

const std::string& StorePath() {
  static const std::string path = [] {
    const char* text = std::getenv("DX_BENCH_STORE");
    std::string chosen = text ? text : "/tmp/dx-registry-bench.db";
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(chosen + suffix);
    return chosen;
  }();
  return path;
}

// "SOFTWARE\Bench\G0012\Key00345": 100 groups of 1000 keys, three levels below SOFTWARE.
std::string KeyPath(int index) {
  char path[64];
  std::snprintf(path, sizeof path, "SOFTWARE\\Bench\\G%04d\\Key%05d", index / kKeysPerGroup,
                index % kKeysPerGroup);
  return path;
}

void BM_CreateKeys(benchmark::State& state) {
  const int keys = KeyCount();
  for (auto _ : state) {
    auto registry = OpenSqliteRegistry(StorePath());
    for (int i = 0; i < keys; ++i) {
      KeyHandle key = kNoKey;
      if (registry->RegCreateKeyA(kHkeyLocalMachine, KeyPath(i), &key) != kErrorSuccess) {
        state.SkipWithError("create failed");
        return;
      }
      registry->RegCloseKey(key);
    }
  }
  state.counters["keys/s"] = benchmark::Counter(keys, benchmark::Counter::kIsRate);
}

void BM_SetValues(benchmark::State& state) {
  const int keys = KeyCount();
  for (auto _ : state) {
    auto registry = OpenSqliteRegistry(StorePath());
    for (int i = 0; i < keys; ++i) {
      const std::string path = KeyPath(i);
      for (int v = 0; v < kValuesPerKey; ++v) {
        // One value line: open the key (creating it if need be), set, close.
        KeyHandle key = kNoKey;
        if (registry->RegCreateKeyA(kHkeyLocalMachine, path, &key) != kErrorSuccess) {
          state.SkipWithError("open failed");
          return;
        }
        char name[16], data[32];
        std::snprintf(name, sizeof name, "Value%d", v);
        int size = std::snprintf(data, sizeof data, "data of %d/%d", i, v) + 1;
        if (registry->RegSetValueExA(key, name, 0, kRegSz, reinterpret_cast<uint8_t*>(data),
                                     size) != kErrorSuccess) {
          state.SkipWithError("set failed");
          return;
        }
        registry->RegCloseKey(key);
      }
    }
  }
  state.counters["values/s"] =
      benchmark::Counter(double(keys) * kValuesPerKey, benchmark::Counter::kIsRate);
}

// Reads a key the way the snapshot does: lengths, every value, then every subkey.
int64_t WalkKey(RegistryService& registry, KeyHandle key, int64_t* values) {
  uint32_t maxSubkey = 0, maxName = 0, maxData = 0;
  if (registry.RegQueryInfoKeyA(key, &maxSubkey, &maxName, &maxData) != kErrorSuccess) return 0;
  std::vector<char> name(maxName + 10);
  std::vector<uint8_t> data(maxData + 10);
  for (uint32_t index = 0;; ++index) {
    uint32_t nameSize = static_cast<uint32_t>(name.size());
    uint32_t dataSize = static_cast<uint32_t>(data.size());
    uint32_t type = 0;
    if (registry.RegEnumValueA(key, index, name.data(), &nameSize, &type, data.data(),
                               &dataSize) != kErrorSuccess)
      break;
    ++*values;
  }
  int64_t keys = 1;
  std::vector<char> child(maxSubkey + 10);
  for (uint32_t index = 0; registry.RegEnumKeyA(key, index, child.data(),
                                                static_cast<uint32_t>(child.size())) ==
                           kErrorSuccess;
       ++index) {
    KeyHandle sub = kNoKey;
    if (registry.RegOpenKeyExA(key, child.data(), 0, kKeyAllAccess, &sub) != kErrorSuccess)
      continue;
    keys += WalkKey(registry, sub, values);
    registry.RegCloseKey(sub);
  }
  return keys;
}

void BM_WalkKeys(benchmark::State& state) {
  int64_t keys = 0, values = 0;
  for (auto _ : state) {
    auto registry = OpenSqliteRegistry(StorePath());
    // Argument 1: the walk runs in one consistent read, as the full backup's does.
    if (state.range(0) == 1 &&
        registry->BeginConsistentRead(RegistryService::ReadSpan::kWholeTree) != kErrorSuccess) {
      state.SkipWithError("no consistent read");
      return;
    }
    KeyHandle root = kNoKey;
    if (registry->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\Bench", &root) != kErrorSuccess) {
      state.SkipWithError("no store to walk");
      return;
    }
    values = 0;
    keys = WalkKey(*registry, root, &values);
    registry->RegCloseKey(root);
    if (state.range(0) == 1) registry->EndConsistentRead();
  }
  state.counters["keys/s"] = benchmark::Counter(double(keys), benchmark::Counter::kIsRate);
  state.counters["values"] = double(values);
}

void BM_QueryValues(benchmark::State& state) {
  auto registry = OpenSqliteRegistry(StorePath());
  const int keys = KeyCount();
  int64_t done = 0;
  uint32_t seed = 12345;
  for (auto _ : state) {
    seed = seed * 1103515245 + 12345;
    KeyHandle key = kNoKey;
    registry->RegOpenKeyA(kHkeyLocalMachine, KeyPath(int(seed >> 8) % keys), &key);
    uint8_t data[64];
    uint32_t size = sizeof data;
    benchmark::DoNotOptimize(registry->RegQueryValueExA(key, "Value3", nullptr, data, &size));
    registry->RegCloseKey(key);
    ++done;
  }
  state.counters["lookups/s"] = benchmark::Counter(double(done), benchmark::Counter::kIsRate);
}

// The store is built by the first two and read by the last two, so each runs exactly once.
BENCHMARK(BM_CreateKeys)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SetValues)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WalkKeys)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(
    benchmark::kMillisecond);
BENCHMARK(BM_QueryValues)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
