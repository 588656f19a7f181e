// tds-relay: a man in the middle for tests. It passes TCP between its clients
// and one server, and can rewrite the ENCRYPTION answer of the server's PRELOGIN
// reply, the one unprotected decision of a TDS 7.x connection, so tests can
// make a downgrade happen instead of describing it. Everything else is passed
// on byte for byte; what each side asked and answered is logged.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: tds-relay --to-port N [--encryption-answer off|on|not-supported|required] "
    "[--log FILE]\n";

// TDS framing: an 8-byte header whose bytes 2-3 hold the packet length (big
// endian) and whose status bit 0 ends a message.
constexpr std::size_t kHeaderSize = 8;
constexpr std::uint8_t kStatusEndOfMessage = 0x01;
constexpr std::uint8_t kTypePrelogin = 0x12;
constexpr std::uint8_t kOptionEncryption = 0x01;
constexpr std::uint8_t kOptionTerminator = 0xFF;
constexpr std::size_t kLargestFirstMessage = 1 << 20;

struct EncryptionName {
  const char* name;
  std::uint8_t value;
};
constexpr EncryptionName kEncryptionNames[] = {
    {"off", 0x00}, {"on", 0x01}, {"not-supported", 0x02}, {"required", 0x03}};

std::string NameOf(std::uint8_t value) {
  for (const EncryptionName& e : kEncryptionNames)
    if (e.value == value) return e.name;
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", value);
  return text;
}

std::optional<std::uint8_t> ValueOf(std::string_view name) {
  for (const EncryptionName& e : kEncryptionNames)
    if (name == e.name) return e.value;
  return std::nullopt;
}

class Log {
 public:
  void Open(const std::string& path) { file_.open(path, std::ios::app); }
  void Line(const std::string& text) {
    std::lock_guard lock(mutex_);
    std::ostream& out = file_.is_open() ? static_cast<std::ostream&>(file_) : std::cerr;
    out << text << '\n';
    out.flush();
  }

 private:
  std::mutex mutex_;
  std::ofstream file_;
};

Log logger;

bool SendAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= std::size_t(sent);
  }
  return true;
}

bool ReadExactly(int fd, std::uint8_t* out, std::size_t size) {
  while (size > 0) {
    const ssize_t got = ::recv(fd, out, size, 0);
    if (got <= 0) return false;
    out += got;
    size -= std::size_t(got);
  }
  return true;
}

// One whole message (its packets, headers kept) and where each payload starts.
struct Message {
  std::vector<std::uint8_t> bytes;
  std::vector<std::pair<std::size_t, std::size_t>> payloads;  // offset, size
  std::uint8_t type = 0;
};

std::optional<Message> ReadMessage(int fd) {
  Message message;
  for (;;) {
    std::uint8_t header[kHeaderSize];
    if (!ReadExactly(fd, header, kHeaderSize)) return std::nullopt;
    const std::size_t length = std::size_t(header[2]) << 8 | header[3];
    if (length < kHeaderSize || message.bytes.size() + length > kLargestFirstMessage)
      return std::nullopt;
    message.type = header[0];
    const std::size_t at = message.bytes.size();
    message.bytes.insert(message.bytes.end(), header, header + kHeaderSize);
    message.bytes.resize(at + length);
    if (!ReadExactly(fd, message.bytes.data() + at + kHeaderSize, length - kHeaderSize))
      return std::nullopt;
    message.payloads.emplace_back(at + kHeaderSize, length - kHeaderSize);
    if (header[1] & kStatusEndOfMessage) return message;
  }
}

// Where the ENCRYPTION option's byte sits in a one-packet PRELOGIN message, or
// nothing when the message holds none (every PRELOGIN a client or server sends
// before TLS fits one packet).
std::optional<std::size_t> EncryptionByte(const Message& message) {
  if (message.payloads.size() != 1) return std::nullopt;
  const auto [start, size] = message.payloads.front();
  for (std::size_t at = 0; at < size && message.bytes[start + at] != kOptionTerminator; at += 5) {
    if (at + 5 > size) return std::nullopt;
    const std::uint8_t* option = &message.bytes[start + at];
    const std::size_t offset = std::size_t(option[1]) << 8 | option[2];
    const std::size_t length = std::size_t(option[3]) << 8 | option[4];
    if (option[0] == kOptionEncryption && length >= 1 && offset < size) return start + offset;
  }
  return std::nullopt;
}

void Pump(int a, int b) {
  std::uint8_t buffer[16384];
  pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) return;
    for (int side = 0; side < 2; ++side) {
      if (!(fds[side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t got = ::recv(fds[side].fd, buffer, sizeof buffer, 0);
      if (got <= 0 || !SendAll(fds[1 - side].fd, buffer, std::size_t(got))) return;
    }
  }
}

int ConnectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(std::uint16_t(port));
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
    return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// The client's first message goes on as it is, logged; the server's answer to
// it has its encryption byte replaced when asked to.
bool PassPrelogin(int client, int server, std::optional<std::uint8_t> answer) {
  std::optional<Message> request = ReadMessage(client);
  if (!request) return false;
  const auto asked = EncryptionByte(*request);
  if (request->type == kTypePrelogin && asked) {
    logger.Line("client: prelogin encryption=" + NameOf(request->bytes[*asked]));
  } else {
    logger.Line("client: first message type " + NameOf(request->type) + ", no prelogin");
  }
  if (!SendAll(server, request->bytes.data(), request->bytes.size())) return false;
  if (request->type != kTypePrelogin) return true;
  std::optional<Message> reply = ReadMessage(server);
  if (!reply) return false;
  if (const auto answered = EncryptionByte(*reply)) {
    const std::uint8_t original = reply->bytes[*answered];
    if (answer) reply->bytes[*answered] = *answer;
    logger.Line("server: prelogin encryption=" + NameOf(original) + ", passed on as " +
                NameOf(reply->bytes[*answered]));
  }
  return SendAll(client, reply->bytes.data(), reply->bytes.size());
}

void Serve(int client, int serverPort, std::optional<std::uint8_t> answer) {
  const int server = ConnectTo(serverPort);
  if (server < 0) {
    logger.Line("relay: cannot reach the server");
  } else {
    if (PassPrelogin(client, server, answer)) Pump(client, server);
    logger.Line("relay: connection closed");
    ::close(server);
  }
  ::close(client);
}

int Listen(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return -1;
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  int serverPort = 0;
  std::optional<std::uint8_t> answer;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view option = argv[i];
    if (option == "--to-port") {
      serverPort = std::atoi(argv[i + 1]);
    } else if (option == "--encryption-answer" && ValueOf(argv[i + 1])) {
      answer = ValueOf(argv[i + 1]);
    } else if (option == "--log") {
      logger.Open(argv[i + 1]);
    } else {
      std::cerr << kUsage;
      return 2;
    }
  }
  if (serverPort <= 0 || serverPort > 65535 || argc % 2 == 0) {
    std::cerr << kUsage;
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  int port = 0;
  const int listener = Listen(port);
  if (listener < 0) {
    std::cerr << "tds-relay: cannot listen: " << std::strerror(errno) << '\n';
    return 1;
  }
  std::cout << "listening on 127.0.0.1:" << port << std::endl;
  for (;;) {
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::thread(Serve, client, serverPort, answer).detach();
  }
}
