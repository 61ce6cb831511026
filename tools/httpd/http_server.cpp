#include "tools/httpd/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>

namespace qx::httpd {

namespace {

constexpr std::size_t kMaxRequestHead = 64 * 1024;
constexpr std::size_t kSendChunk = 256 * 1024;

std::string Lower(std::string a_sText) {
  for (char& c : a_sText) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return a_sText;
}

std::string Trim(const std::string& a_sText) {
  std::size_t begin = 0;
  std::size_t end = a_sText.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(a_sText[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(a_sText[end - 1]))) --end;
  return a_sText.substr(begin, end - begin);
}

const char* Reason(int a_nStatus) {
  switch (a_nStatus) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    default: return "Unknown";
  }
}

// Waits until `fd` is ready for `events` or the server is stopping; false
// when stopping (or the wait failed). a_nTimeoutMs < 0: no limit.
bool WaitReady(int a_nFd, short a_nEvents, int a_nWakeFd, int a_nTimeoutMs = -1) {
  for (;;) {
    pollfd fds[2] = {{a_nFd, a_nEvents, 0}, {a_nWakeFd, POLLIN, 0}};
    const int rc = ::poll(fds, 2, a_nTimeoutMs);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return false;
    if (fds[1].revents) return false;
    if (rc == 0) return a_nTimeoutMs >= 0;  // time-out: nothing to report
    return true;
  }
}

// Sends everything; false when the peer went away or the server stops.
bool SendAll(int a_nFd, const char* a_pData, std::size_t a_nCount, int a_nWakeFd) {
  while (a_nCount > 0) {
    const ssize_t n = ::send(a_nFd, a_pData, a_nCount, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      a_pData += n;
      a_nCount -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitReady(a_nFd, POLLOUT, a_nWakeFd)) return false;
      continue;
    }
    return false;
  }
  return true;
}

void Reset(int a_nFd) {
  linger option{1, 0};
  ::setsockopt(a_nFd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

// Waits until the peer closes the connection or the server stops, reading
// and dropping whatever the peer sends meanwhile.
void StallUntilGone(int a_nFd, int a_nWakeFd) {
  char sink[4096];
  while (WaitReady(a_nFd, POLLIN, a_nWakeFd)) {
    const ssize_t n = ::recv(a_nFd, sink, sizeof sink, MSG_DONTWAIT);
    if (n == 0) return;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return;
  }
}

// The file path for a request target below `root`; nothing for a target
// that leaves the root or is not a plain path.
std::optional<std::string> MapTarget(const std::string& a_sRoot, const std::string& a_sTarget) {
  std::string path = a_sTarget.substr(0, a_sTarget.find_first_of("?#"));
  if (path.empty() || path[0] != '/') return std::nullopt;
  std::string decoded;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size() && std::isxdigit(static_cast<unsigned char>(path[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(path[i + 2]))) {
      decoded += static_cast<char>(std::stoi(path.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      decoded += path[i];
    }
  }
  if (decoded.find('\0') != std::string::npos) return std::nullopt;
  std::stringstream parts(decoded);
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (part == "." || part == "..") return std::nullopt;
  }
  return a_sRoot + decoded;
}

struct Range_t {
  bool present = false;
  bool valid = false;
  std::int64_t first = 0;
  std::int64_t last = -1;  // -1: to the end
};

Range_t ParseRange(const std::string& a_sValue) {
  Range_t range;
  range.present = true;
  const std::string value = Lower(Trim(a_sValue));
  if (value.rfind("bytes=", 0) != 0) return range;
  const std::string spec = value.substr(6);
  const std::size_t dash = spec.find('-');
  if (dash == std::string::npos || dash == 0 || spec.find(',') != std::string::npos) return range;
  try {
    range.first = std::stoll(spec.substr(0, dash));
    const std::string last = spec.substr(dash + 1);
    range.last = last.empty() ? -1 : std::stoll(last);
  } catch (...) {
    return range;
  }
  range.valid = range.first >= 0 && (range.last < 0 || range.last >= range.first);
  return range;
}

}  // namespace

HttpServer_c::HttpServer_c(std::string a_sRoot) : m_sRoot(std::move(a_sRoot)) {
  while (m_sRoot.size() > 1 && m_sRoot.back() == '/') m_sRoot.pop_back();
}

HttpServer_c::~HttpServer_c() { Stop(); }

bool HttpServer_c::Start(int a_nPort, const std::string& a_sBindAddress, std::string* a_psError) {
  auto fail = [&](const std::string& a_sWhat) {
    if (a_psError) *a_psError = a_sWhat + ": " + std::strerror(errno);
    if (m_nListenFd >= 0) ::close(m_nListenFd);
    if (m_nWakeFd >= 0) ::close(m_nWakeFd);
    m_nListenFd = m_nWakeFd = -1;
    return false;
  };
  if (m_nListenFd >= 0) {
    if (a_psError) *a_psError = "already started";
    return false;
  }
  m_nListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_nListenFd < 0) return fail("socket");
  const int one = 1;
  ::setsockopt(m_nListenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(a_nPort));
  if (::inet_pton(AF_INET, a_sBindAddress.c_str(), &address.sin_addr) != 1) {
    errno = EINVAL;
    return fail("address " + a_sBindAddress);
  }
  if (::bind(m_nListenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return fail("bind");
  if (::listen(m_nListenFd, 64) != 0) return fail("listen");
  socklen_t length = sizeof address;
  ::getsockname(m_nListenFd, reinterpret_cast<sockaddr*>(&address), &length);
  m_nPort = ntohs(address.sin_port);
  m_nWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_nWakeFd < 0) return fail("eventfd");
  m_bStopping = false;
  m_acceptThread = std::thread([this] { AcceptLoop(); });
  return true;
}

void HttpServer_c::Stop() {
  if (m_nListenFd < 0) return;
  m_bStopping = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(m_nWakeFd, &one, sizeof one);
  if (m_acceptThread.joinable()) m_acceptThread.join();
  ReapFinished(true);
  ::close(m_nListenFd);
  ::close(m_nWakeFd);
  m_nListenFd = m_nWakeFd = -1;
}

void HttpServer_c::AddFault(FaultRule_t a_rule) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_rules.push_back({std::move(a_rule), 0});
}

void HttpServer_c::ClearFaults() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_rules.clear();
}

std::vector<Request_t> HttpServer_c::GetRequests() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_requests;
}

void HttpServer_c::ClearRequests() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_requests.clear();
}

void HttpServer_c::ReapFinished(bool a_bAll) {
  std::list<std::unique_ptr<Connection>> done;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto it = m_connections.begin(); it != m_connections.end();) {
      if (a_bAll || (*it)->finished) {
        done.push_back(std::move(*it));
        it = m_connections.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& connection : done) {
    if (connection->thread.joinable()) connection->thread.join();
  }
}

void HttpServer_c::AcceptLoop() {
  while (!m_bStopping) {
    if (!WaitReady(m_nListenFd, POLLIN, m_nWakeFd)) break;
    const int fd = ::accept4(m_nListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ReapFinished(false);
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->number = ++m_nConnections;
    Connection* raw = connection.get();
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_connections.push_back(std::move(connection));
    }
    raw->thread = std::thread([this, raw] {
      Serve(*raw);
      ::close(raw->fd);
      raw->finished = true;
    });
  }
}

FaultRule_t HttpServer_c::PickFault(const std::string& a_sMethod, const std::string& a_sPath) {
  std::lock_guard<std::mutex> guard(m_lock);
  for (RuleState& state : m_rules) {
    const FaultRule_t& rule = state.rule;
    if (!rule.method.empty() && rule.method != a_sMethod) continue;
    if (!rule.path.empty()) {
      if (rule.path.back() == '*') {
        if (a_sPath.rfind(rule.path.substr(0, rule.path.size() - 1), 0) != 0) continue;
      } else if (rule.path != a_sPath) {
        continue;
      }
    }
    const int index = state.matched++;
    if (index < rule.skip) continue;
    if (rule.times >= 0 && index >= rule.skip + rule.times) continue;
    return rule;
  }
  return FaultRule_t{};
}

void HttpServer_c::Serve(Connection& a_rConnection) {
  const int fd = a_rConnection.fd;
  std::string buffer;
  char chunk[8192];
  for (;;) {
    // One request head.
    std::size_t headEnd;
    while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
      if (buffer.size() > kMaxRequestHead) return;
      if (!WaitReady(fd, POLLIN, m_nWakeFd)) return;
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n == 0) return;
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
        return;
      }
      buffer.append(chunk, static_cast<std::size_t>(n));
    }
    Request_t request;
    request.raw = buffer.substr(0, headEnd + 4);
    request.connection = a_rConnection.number;
    buffer.erase(0, headEnd + 4);

    std::istringstream lines(request.raw);
    std::string line;
    std::getline(lines, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string version;
    {
      std::istringstream words(line);
      words >> request.method >> request.target >> version;
    }
    std::map<std::string, std::string> headers;
    while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      headers[Lower(Trim(line.substr(0, colon)))] = Trim(line.substr(colon + 1));
    }
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_requests.push_back(request);
    }
    if (m_bLogRequests) {
      std::printf("qxhttpd: #%d %s %s\n", request.connection, request.method.c_str(), request.target.c_str());
      std::fflush(stdout);
    }

    bool keepAlive = m_bKeepAlive && version == "HTTP/1.1" && Lower(headers["connection"]) != "close";
    const FaultRule_t fault = PickFault(request.method, request.target.substr(0, request.target.find('?')));

    switch (fault.fault) {
      case Fault::kCloseBeforeHeader: return;
      case Fault::kResetBeforeHeader: Reset(fd); return;
      case Fault::kStall: StallUntilGone(fd, m_nWakeFd); return;
      default: break;
    }

    auto sendSimple = [&](int a_nStatus, const std::string& a_sExtraHeaders) {
      const std::string body = "<html><body><h1>" + std::to_string(a_nStatus) + " " + Reason(a_nStatus) +
                               "</h1></body></html>\r\n";
      std::string head = "HTTP/1.1 " + std::to_string(a_nStatus) + " " + Reason(a_nStatus) +
                         "\r\nServer: qxhttpd\r\nContent-Type: text/html\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n" + a_sExtraHeaders +
                         (keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n") + "\r\n";
      if (request.method != "HEAD") head += body;
      return SendAll(fd, head.data(), head.size(), m_nWakeFd);
    };

    bool sent = true;
    if (request.method != "GET" && request.method != "HEAD") {
      keepAlive = false;
      sent = sendSimple(501, "");
    } else if (fault.fault == Fault::kNotFound) {
      sent = sendSimple(404, "");
    } else if (fault.fault == Fault::kServerError) {
      sent = sendSimple(500, "");
    } else if (fault.fault == Fault::kRedirect) {
      sent = sendSimple(302, "Location: " + fault.location + "\r\n");
    } else {
      const std::optional<std::string> path = MapTarget(m_sRoot, request.target);
      struct stat st {};
      const int file = path ? ::open(path->c_str(), O_RDONLY | O_CLOEXEC) : -1;
      if (!path) {
        sent = sendSimple(400, "");
      } else if (file < 0 || ::fstat(file, &st) != 0 || !S_ISREG(st.st_mode)) {
        sent = sendSimple(404, "");
      } else {
        const std::int64_t size = st.st_size;
        std::int64_t first = 0;
        std::int64_t count = size;
        int status = 200;
        std::string extra = "Accept-Ranges: bytes\r\n";
        const auto rangeHeader = headers.find("range");
        if (rangeHeader != headers.end() && fault.fault != Fault::kIgnoreRange) {
          const Range_t range = ParseRange(rangeHeader->second);
          if (range.valid && range.first >= size) {
            status = 416;
          } else if (range.valid) {
            const std::int64_t last = range.last < 0 ? size - 1 : std::min(range.last, size - 1);
            first = range.first;
            count = last - first + 1;
            status = 206;
            extra += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                     std::to_string(size) + "\r\n";
          }
        }
        if (status == 416) {
          sent = sendSimple(416, "Content-Range: bytes */" + std::to_string(size) + "\r\n");
        } else {
          std::int64_t announced = count;
          if (fault.fault == Fault::kWrongLength) {
            announced = std::max<std::int64_t>(0, count + fault.delta);
            keepAlive = false;
          }
          const bool cut = fault.fault == Fault::kCloseMidBody || fault.fault == Fault::kResetMidBody ||
                           fault.fault == Fault::kStallMidBody;
          if (cut) keepAlive = false;
          std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) +
                             "\r\nServer: qxhttpd\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                             std::to_string(announced) + "\r\n" + extra +
                             (keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n");
          if (fault.fault == Fault::kLongHeader) {
            const std::size_t used = head.size() + 2 + std::strlen("X-Padding: \r\n");
            const std::size_t pad = used < static_cast<std::size_t>(fault.headerSize)
                                        ? static_cast<std::size_t>(fault.headerSize) - used
                                        : 0;
            head += "X-Padding: " + std::string(pad, 'x') + "\r\n";
          }
          head += "\r\n";
          sent = SendAll(fd, head.data(), head.size(), m_nWakeFd);

          std::int64_t toSend = request.method == "HEAD" ? 0 : count;
          if (cut) toSend = std::min(toSend, fault.after);
          std::vector<char> data(kSendChunk);
          ::lseek(file, static_cast<off_t>(first), SEEK_SET);
          while (sent && toSend > 0) {
            std::size_t piece = static_cast<std::size_t>(std::min<std::int64_t>(toSend, kSendChunk));
            if (fault.fault == Fault::kTrickle) piece = std::min(piece, static_cast<std::size_t>(fault.chunk));
            const ssize_t n = ::read(file, data.data(), piece);
            if (n <= 0) break;
            sent = SendAll(fd, data.data(), static_cast<std::size_t>(n), m_nWakeFd);
            toSend -= n;
            if (fault.fault == Fault::kTrickle && toSend > 0) {
              // A stop request ends the pause at once.
              if (!WaitReady(m_nWakeFd, POLLIN, m_nWakeFd, fault.delayMs) && m_bStopping) sent = false;
            }
          }
          if (sent && request.method != "HEAD") {
            if (fault.fault == Fault::kResetMidBody) {
              Reset(fd);
              sent = false;
            } else if (fault.fault == Fault::kStallMidBody) {
              StallUntilGone(fd, m_nWakeFd);
              sent = false;
            } else if (fault.fault == Fault::kCloseMidBody) {
              sent = false;
            }
          }
        }
      }
      if (file >= 0) ::close(file);
    }
    if (!sent || !keepAlive) return;
  }
}

bool ParseFaultRule(const std::string& a_sText, FaultRule_t& a_rRule, std::string& a_rsError) {
  static const std::map<std::string, Fault> kKinds = {
      {"close-before-header", Fault::kCloseBeforeHeader},
      {"reset-before-header", Fault::kResetBeforeHeader},
      {"stall", Fault::kStall},
      {"close-mid-body", Fault::kCloseMidBody},
      {"reset-mid-body", Fault::kResetMidBody},
      {"stall-mid-body", Fault::kStallMidBody},
      {"404", Fault::kNotFound},
      {"500", Fault::kServerError},
      {"302", Fault::kRedirect},
      {"ignore-range", Fault::kIgnoreRange},
      {"wrong-length", Fault::kWrongLength},
      {"trickle", Fault::kTrickle},
      {"long-header", Fault::kLongHeader},
  };
  FaultRule_t rule;
  const std::size_t colon = a_sText.find(':');
  const std::string kind = a_sText.substr(0, colon);
  const auto found = kKinds.find(kind);
  if (found == kKinds.end()) {
    a_rsError = "unknown fault '" + kind + "'";
    return false;
  }
  rule.fault = found->second;
  if (colon != std::string::npos) {
    std::stringstream pairs(a_sText.substr(colon + 1));
    std::string pair;
    while (std::getline(pairs, pair, ',')) {
      const std::size_t equals = pair.find('=');
      if (equals == std::string::npos) {
        a_rsError = "expected key=value, got '" + pair + "'";
        return false;
      }
      const std::string key = pair.substr(0, equals);
      const std::string value = pair.substr(equals + 1);
      try {
        std::size_t used = 0;
        auto number = [&] {
          const long long v = std::stoll(value, &used);
          if (used != value.size()) throw std::invalid_argument(value);
          return v;
        };
        if (key == "method") {
          rule.method = value;
        } else if (key == "path") {
          rule.path = value;
        } else if (key == "location") {
          rule.location = value;
        } else if (key == "skip") {
          rule.skip = static_cast<int>(number());
        } else if (key == "times") {
          rule.times = static_cast<int>(number());
        } else if (key == "after") {
          rule.after = number();
        } else if (key == "delta") {
          rule.delta = number();
        } else if (key == "chunk") {
          rule.chunk = static_cast<int>(std::max(1LL, number()));
        } else if (key == "delay") {
          rule.delayMs = static_cast<int>(std::max(0LL, number()));
        } else if (key == "size") {
          rule.headerSize = static_cast<int>(number());
        } else {
          a_rsError = "unknown key '" + key + "'";
          return false;
        }
      } catch (const std::exception&) {
        a_rsError = "'" + key + "' needs a number, got '" + value + "'";
        return false;
      }
    }
  }
  a_rRule = rule;
  return true;
}

}  // namespace qx::httpd
