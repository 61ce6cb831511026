// HttpServer_c: a small HTTP/1.1 static file server with fault injection,
// for tests and for the demo.
//
// It serves the files below one folder to GET and HEAD requests: a file's
// path is the request path below the root, exactly as written (letter case
// counts, as on a typical web server; "." and ".." components are refused).
// It answers Range requests ("bytes=a-b", "bytes=a-") with 206 and a
// Content-Range, a range that starts beyond the end with 416, and a missing
// file or a folder with 404. Connections are kept open between requests
// (HTTP/1.1) unless the request asks for "Connection: close", speaks
// HTTP/1.0, or the server is set not to keep them.
//
// Faults: each FaultRule_t names a fault and which requests get it (method,
// path or path prefix, how many matching requests to let through first and
// how many to hit). A rule without method and path is a server-wide option.
// The first rule that matches a request decides; a request that no rule
// hits is served normally. The kinds:
//
//   kCloseBeforeHeader   read the request, close the connection without an answer
//   kResetBeforeHeader   the same with a reset (SO_LINGER 0) instead of a close
//   kStall               read the request and never answer
//   kCloseMidBody        send the header and `after` body bytes, then close
//   kResetMidBody        ... then reset
//   kStallMidBody        ... then send nothing more
//   kNotFound / kServerError / kRedirect   answer 404 / 500 / 302 (Location: `location`)
//   kIgnoreRange         answer a Range request with 200 and the whole file
//   kWrongLength         announce the file size + `delta` as Content-Length
//                        (the body is the file as it is), then close
//   kTrickle             send the body in pieces of `chunk` bytes, `delayMs` apart
//   kLongHeader          pad the response header to at least `headerSize` bytes
//
// Every request is recorded with its exact bytes (request line and header
// lines through the blank line) and the number of the connection it came
// on; tests read the record with GetRequests.
//
// Thread-safety: one thread accepts, one thread serves each connection. All
// public operations may be called from any thread while the server runs.
// Stop (or the destructor) wakes every connection, stalled ones included,
// and waits for their threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qx::httpd {

enum class Fault {
  kNone,
  kCloseBeforeHeader,
  kResetBeforeHeader,
  kStall,
  kCloseMidBody,
  kResetMidBody,
  kStallMidBody,
  kNotFound,
  kServerError,
  kRedirect,
  kIgnoreRange,
  kWrongLength,
  kTrickle,
  kLongHeader,
};

struct FaultRule_t {
  Fault fault = Fault::kNone;
  std::string method;         // "GET", "HEAD", or "" for any
  std::string path;           // "/a/b.rtp"; a trailing '*' matches a prefix; "" matches every path
  int skip = 0;               // matching requests served normally before the fault starts
  int times = -1;             // matching requests that get the fault then; -1: all of them
  std::int64_t after = 0;     // mid-body faults: body bytes sent first
  std::int64_t delta = 0;     // kWrongLength: added to the true length
  int chunk = 1024;           // kTrickle
  int delayMs = 10;           // kTrickle
  int headerSize = 600;       // kLongHeader: at least this many header bytes
  std::string location = "/"; // kRedirect

  // The rule for `fault` on `times` requests of `method` to `path`.
  static FaultRule_t For(Fault a_fault, std::string a_sMethod = "", std::string a_sPath = "", int a_nTimes = -1) {
    FaultRule_t rule;
    rule.fault = a_fault;
    rule.method = std::move(a_sMethod);
    rule.path = std::move(a_sPath);
    rule.times = a_nTimes;
    return rule;
  }
};

struct Request_t {
  std::string raw;     // exact bytes, through the blank line
  std::string method;
  std::string target;  // as sent, e.g. "/patch/map"
  int connection = 0;  // 1 for the first connection accepted, 2 for the next, ...
};

class HttpServer_c {
 public:
  explicit HttpServer_c(std::string a_sRoot);
  ~HttpServer_c();
  HttpServer_c(const HttpServer_c&) = delete;
  HttpServer_c& operator=(const HttpServer_c&) = delete;

  // Listens on a_sBindAddress:a_nPort (0: a free port). False, with a_psError
  // set, when the socket cannot be bound.
  bool Start(int a_nPort = 0, const std::string& a_sBindAddress = "127.0.0.1", std::string* a_psError = nullptr);
  void Stop();
  int GetPort() const { return m_nPort; }
  const std::string& GetRoot() const { return m_sRoot; }

  void AddFault(FaultRule_t a_rule);
  void ClearFaults();
  void SetKeepAlive(bool a_bKeepAlive) { m_bKeepAlive = a_bKeepAlive; }

  std::vector<Request_t> GetRequests() const;
  void ClearRequests();
  int GetConnectionCount() const { return m_nConnections.load(); }

  // Each request line as it arrives, for a program's console ("" to stay quiet).
  void SetRequestLog(bool a_bLog) { m_bLogRequests = a_bLog; }

 private:
  struct Connection {
    int fd = -1;
    int number = 0;
    std::thread thread;
    std::atomic<bool> finished{false};
  };

  void AcceptLoop();
  void Serve(Connection& a_rConnection);
  FaultRule_t PickFault(const std::string& a_sMethod, const std::string& a_sPath);
  void ReapFinished(bool a_bAll);

  std::string m_sRoot;
  int m_nListenFd = -1;
  int m_nWakeFd = -1;
  int m_nPort = 0;
  std::atomic<bool> m_bStopping{false};
  std::atomic<bool> m_bKeepAlive{true};
  std::atomic<bool> m_bLogRequests{false};
  std::atomic<int> m_nConnections{0};
  std::thread m_acceptThread;

  mutable std::mutex m_lock;
  struct RuleState {
    FaultRule_t rule;
    int matched = 0;
  };
  std::vector<RuleState> m_rules;
  std::vector<Request_t> m_requests;
  std::list<std::unique_ptr<Connection>> m_connections;
};

// Reads a fault from its text form, as the program's --fault option takes it:
//   KIND[:key=value[,key=value...]]
// KIND is one of close-before-header, reset-before-header, stall,
// close-mid-body, reset-mid-body, stall-mid-body, 404, 500, 302,
// ignore-range, wrong-length, trickle, long-header; keys are method, path,
// skip, times, after, delta, chunk, delay, size (kLongHeader) and location.
// False, with a_rsError set, for anything else.
bool ParseFaultRule(const std::string& a_sText, FaultRule_t& a_rRule, std::string& a_rsError);

}  // namespace qx::httpd
