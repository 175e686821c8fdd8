// The client's connection to an agent, and the process that carries it: the remote shell
// command started without a shell, its standard input and output joined to one socket of ours.
#ifndef DORVALEX_REGISTRY_REMOTE_REMOTE_TRANSPORT_H_
#define DORVALEX_REGISTRY_REMOTE_REMOTE_TRANSPORT_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "registry/remote/remote_protocol.h"
#include "registry/win32_codes.h"

// The argument vector for reaching `host`: the words of `rsh` (default "ssh"), "--", the host,
// then the words of `agent` (default "dorvalex-agent"). Words are separated by blanks or tabs.
std::vector<std::string> TransportCommand(std::string_view rsh, std::string_view agent,
                                          const std::string& host);

// The client's connection to one agent: greetings, then request frames out and answer frames
// in. RemoteTransport is the real one; the client fuzzer's fake agent is another.
class AgentConnection {
 public:
  virtual ~AgentConnection() = default;
  // Every wait for the other side (the greeting included) gives up after `ms` milliseconds
  // without progress, which then shows as a connection that ended. Negative: no limit.
  virtual void SetTimeout(int ms) = 0;
  // Starts `argv` and exchanges greetings. 0: connected. 53: the command could not be started,
  // or it ended or said something else before the agent's greeting.
  virtual RegStatus Start(const std::vector<std::string>& argv) = 0;
  // Sends all of `bytes`. False: the connection is gone.
  virtual bool Send(std::string_view bytes) = 0;
  // Waits for the next whole frame. False: the connection ended, or the other side sent a
  // frame longer than the limit.
  virtual bool Receive(std::string* payload) = 0;
  // Closes our side and waits (briefly) for the process to end.
  virtual void Close() = 0;
};

class RemoteTransport final : public AgentConnection {
 public:
  RemoteTransport() = default;
  // Ends the connection: closes our side, gives the process a moment to finish, then ends it.
  ~RemoteTransport() override;
  RemoteTransport(const RemoteTransport&) = delete;
  RemoteTransport& operator=(const RemoteTransport&) = delete;

  void SetTimeout(int ms) override { process_.SetTimeout(ms); }
  RegStatus Start(const std::vector<std::string>& argv) override;
  bool Send(std::string_view bytes) override;
  bool Receive(std::string* payload) override;
  void Close() override;

 private:
  bool ReadSome();

  platform::Subprocess process_;
  bool connected_ = false;
  FrameSplitter splitter_;
};

#endif  // DORVALEX_REGISTRY_REMOTE_REMOTE_TRANSPORT_H_
