// Starting the remote shell command (never through a shell) and the frames to and from it.
#include "registry/remote/remote_transport.h"

namespace {

constexpr std::string_view kDefaultRsh = "ssh";
constexpr std::string_view kDefaultAgent = "dorvalex-agent";

void AppendWords(std::string_view text, std::vector<std::string>* words) {
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
    if (i > start) words->emplace_back(text.substr(start, i - start));
  }
}

}  // namespace

std::vector<std::string> TransportCommand(std::string_view rsh, std::string_view agent,
                                          const std::string& host) {
  std::vector<std::string> argv;
  AppendWords(rsh, &argv);
  if (argv.empty()) argv.emplace_back(kDefaultRsh);
  argv.emplace_back("--");
  argv.push_back(host);
  size_t before = argv.size();
  AppendWords(agent, &argv);
  if (argv.size() == before) argv.emplace_back(kDefaultAgent);
  return argv;
}

RemoteTransport::~RemoteTransport() { Close(); }

RegStatus RemoteTransport::Start(const std::vector<std::string>& argv) {
  if (!process_.Start(argv)) return kErrorBadNetPath;
  connected_ = true;

  // The agent greets first without waiting for us, so both greetings cross in one round trip.
  bool sent = Send(EncodeGreeting(kClientMagic));
  while (sent && splitter_.pending() < kGreetingBytes && ReadSome()) {
  }
  std::string head(kGreetingBytes, '\0');
  uint32_t version = 0;
  if (!sent || !splitter_.TakeRaw(head.data(), head.size()) ||
      !DecodeGreeting(head, kAgentMagic, &version) || version != kProtocolVersion) {
    Close();
    return kErrorBadNetPath;
  }
  return kErrorSuccess;
}

bool RemoteTransport::Send(std::string_view bytes) {
  return connected_ && process_.Send(bytes);
}

bool RemoteTransport::ReadSome() {
  char buffer[1 << 16];
  size_t got = 0;
  if (!connected_ || !process_.ReceiveSome(buffer, sizeof buffer, &got)) return false;
  splitter_.Append(buffer, got);
  return true;
}

bool RemoteTransport::Receive(std::string* payload) {
  std::string_view frame;
  for (;;) {
    switch (splitter_.Next(&frame)) {
      case FrameSplitter::kFrame:
        payload->assign(frame);
        return true;
      case FrameSplitter::kOversized:
        return false;
      case FrameSplitter::kNeedMore:
        if (!ReadSome()) return false;
        break;
    }
  }
}

void RemoteTransport::Close() {
  process_.Close();
  connected_ = false;
}
