#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for tests: fixed replies by request
// target, plus the misbehaving servers a client must survive (one that never
// answers, one whose body never ends, one that announces a huge body).
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testing_support {

class LocalHttpServer {
 public:
  struct Response {
    enum class Kind {
      Reply,      // status, headers and body, then close
      Silent,     // read the request, never answer
      Endless,    // 200 with a body (no length) that goes on until the client leaves
      Oversized,  // announces a 1 GiB body, then sends until the client leaves
    };
    Kind kind = Kind::Reply;
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
  };
  struct Request {
    std::string method;
    std::string target;                          // as sent: path and query, or absolute for a proxy
    std::map<std::string, std::string> headers;  // names in lower case
  };

  LocalHttpServer();
  // Ends every connection and joins every thread.
  ~LocalHttpServer();
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by target.
  std::string Url(const std::string& target) const;
  // Unknown targets get a 404.
  void Route(const std::string& target, Response response);
  std::vector<Request> Requests() const;

 private:
  void AcceptLoop();
  void Serve(int fd);
  bool SendAll(int fd, const std::string& data);
  void WaitForStop(int fd);

  int listenFd_ = -1;
  int wakeFd_ = -1;  // eventfd: readable once the server stops
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::map<std::string, Response> routes_;
  std::vector<Request> requests_;
  std::vector<int> openFds_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace testing_support
