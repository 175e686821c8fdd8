// What the tree stores share beside their interface: the wait for a store another run keeps.
#include "registry/tree_store.h"

#include <cstdlib>
#include <string>

int StoreWaitMilliseconds() {
  constexpr int kDefaultMs = 60000;
  const char* value = std::getenv("DORVALEX_STORE_WAIT");
  std::string text = value ? value : "";
  if (text.empty()) return kDefaultMs;
  char* end = nullptr;
  double seconds = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !(seconds >= 0) || seconds > 86400) return kDefaultMs;
  return static_cast<int>(seconds * 1000);
}
