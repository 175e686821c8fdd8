// The registry of other machines, reached through the registry agent over a remote shell.
// One transport per host serves the whole run. Handles name keys on the agent; a connect is a
// new handle for a root on an open transport and costs no round trip.
//
// Round trips: the client gives each key its id itself, so calls need never wait for an id.
// A close is sent with the next call that waits for an answer. An open for writing brings the
// values of a small key along, and queries on that handle are answered from them. So a value
// line (open or create, query, set, close) costs two round trips: the open, and the set.
#ifndef DORVALEX_REGISTRY_REMOTE_REMOTE_REGISTRY_H_
#define DORVALEX_REGISTRY_REMOTE_REMOTE_REGISTRY_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "registry/registry_service.h"

class AgentConnection;

struct RemoteStats {
  uint64_t roundTrips = 0;  // times the client waited for the agent (greetings included)
  uint64_t requests = 0;    // calls sent to an agent
  uint64_t localAnswers = 0;  // queries answered from values an open brought along
};

class RemoteRegistry : public RegistryService {
 public:
  // Transport words: $DORVALEX_RSH and $DORVALEX_AGENT as read by FromEnvironment. A host
  // that gives no answer for `timeoutMs` counts as lost (1722); negative: wait for ever.
  // `lockWaitMs` is how much longer a batch's start may wait for the host's store.
  RemoteRegistry(std::string rsh, std::string agent, int timeoutMs = kDefaultTimeoutMs,
                 int lockWaitMs = 0);
  ~RemoteRegistry() override;

  // Hosts reached through the connections that `connect` makes instead of remote shell
  // processes (each is started with the command a transport would run).
  using Connector = std::function<std::unique_ptr<AgentConnection>()>;
  RemoteRegistry(Connector connect, int timeoutMs);

  static constexpr int kDefaultTimeoutMs = 60 * 1000;
  // Reads DORVALEX_RSH and DORVALEX_AGENT (an unset or blank one takes the default),
  // DORVALEX_REMOTE_TIMEOUT (seconds, 60 by default) and DORVALEX_STORE_WAIT (seconds, 60 by
  // default: how long the agent, if it runs with the same setting, waits for its store).
  static std::unique_ptr<RemoteRegistry> FromEnvironment();

  // 0: a handle for `root` of the host. 53: empty host, a host beginning with "-", or a
  // transport that cannot be started or ends before the agent's greeting. 1722: the host's
  // transport was lost earlier. 6: HKEY_CURRENT_USER, which no other machine serves.
  RegStatus RegConnectRegistryA(std::string_view machine, KeyHandle root,
                                KeyHandle* result) override;
  RegStatus RegCreateKeyA(KeyHandle parent, std::string_view subkey, KeyHandle* result) override;
  RegStatus RegOpenKeyExA(KeyHandle parent, std::string_view subkey, uint32_t options,
                          uint32_t access, KeyHandle* result) override;
  RegStatus RegOpenKeyA(KeyHandle parent, std::string_view subkey, KeyHandle* result) override;
  RegStatus RegQueryValueExA(KeyHandle key, std::string_view name, uint32_t* type,
                             uint8_t* data, uint32_t* size) override;
  RegStatus RegSetValueExA(KeyHandle key, std::string_view name, uint32_t reserved,
                           uint32_t type, const uint8_t* data, uint32_t size) override;
  RegStatus RegDeleteValueA(KeyHandle key, std::string_view name) override;
  RegStatus RegDeleteKeyA(KeyHandle parent, std::string_view subkey) override;
  RegStatus RegEnumKeyA(KeyHandle key, uint32_t index, char* name, uint32_t size) override;
  RegStatus RegEnumValueA(KeyHandle key, uint32_t index, char* name, uint32_t* nameSize,
                          uint32_t* type, uint8_t* data, uint32_t* dataSize) override;
  RegStatus RegQueryInfoKeyA(KeyHandle key, uint32_t* maxSubkeyLength,
                             uint32_t* maxValueNameLength, uint32_t* maxValueLength) override;
  // A remote root closes only that handle; a key's close travels with the next call.
  RegStatus RegCloseKey(KeyHandle key) override;

  // A run's batch on every host it reaches: each agent holds its store for the run (a host
  // reached later joins at its connect, which then fails with 170 when another run keeps that
  // store) and saves only at SaveChanges, which the caller sends once the records are safe. A
  // lost connection, or an agent whose client ends without saving, drops what was not saved.
  RegStatus BeginChanges() override;
  RegStatus SaveChanges() override;
  void DiscardChanges() override;
  void EndChanges() override;

  const RemoteStats& stats() const { return stats_; }

 private:
  struct Host;
  struct Key;
  struct State;
  std::unique_ptr<State> state_;
  RemoteStats stats_;
};

// The host part of a machine name: the name without its leading backslashes.
std::string HostOfMachine(std::string_view machine);

#endif  // DORVALEX_REGISTRY_REMOTE_REMOTE_REGISTRY_H_
