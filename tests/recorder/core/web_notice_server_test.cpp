// The real notice over HTTP against a small server on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>

#include "recorder/core/web_notice.h"
#include "test_support.h"

using namespace orvweb;
using testing_support::ScopedEnv;

namespace {

// Answers each connection with the given reply (or by closing at once) and
// keeps the request heads it read.
class TinyServer {
 public:
  explicit TinyServer(std::string reply) : reply_(std::move(reply)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    ::listen(fd_, 4);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TinyServer() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  int port() const { return port_; }
  std::string requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void Serve() {
    for (;;) {
      const int client = ::accept(fd_, nullptr, nullptr);
      if (client < 0) return;
      std::string head;
      char buffer[1024];
      while (head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        head.append(buffer, static_cast<size_t>(n));
      }
      {
        std::lock_guard lock(mutex_);
        requests_ += head;
      }
      if (!reply_.empty()) ::send(client, reply_.data(), reply_.size(), MSG_NOSIGNAL);
      ::close(client);
    }
  }

  std::string reply_;
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::string requests_;
};

// A proxy of the machine must not carry the test's traffic.
class WebNoticeServer : public ::testing::Test {
 protected:
  ScopedEnv noProxy{"no_proxy", "127.0.0.1"};
  ScopedEnv noProxyUpper{"NO_PROXY", "127.0.0.1"};
};

std::string Base(int port) { return "http://127.0.0.1:" + std::to_string(port) + "/notice"; }

TEST_F(WebNoticeServer, TheRequestNamesThePageAndTheAgent) {
  for (const char* reply : {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nthanks",
                            "HTTP/1.1 500 Oops\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
                            ""}) {  // closed without an answer
    TinyServer server(reply);
    ScopedEnv base("ORVWEB_NOTICE_BASE", Base(server.port()));
    WebNotice notice;
    notice.Send(u"Start2.htm");
    const std::string head = server.requests();
    EXPECT_EQ(head.rfind("GET /notice/Start2.htm HTTP/1.1\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("\r\nUser-Agent: OrvWeb\r\n"), std::string::npos) << head;
  }
}

TEST_F(WebNoticeServer, NobodyListeningIsNoFailure) {
  int port = 0;
  {
    TinyServer gone("");
    port = gone.port();
  }
  ScopedEnv base("ORVWEB_NOTICE_BASE", Base(port));
  WebNotice notice;
  EXPECT_NO_THROW(notice.Send(u"stop.htm"));
}

}  // namespace
