#include "local_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace testing_support {
namespace {

constexpr size_t kMaxRequestBytes = 64 * 1024;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

}  // namespace

LocalHttpServer::LocalHttpServer() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listenFd_ < 0 || wakeFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listenFd_, 16) != 0 || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("LocalHttpServer: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

LocalHttpServer::~LocalHttpServer() {
  stopping_ = true;
  const uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof(one));
  {
    std::lock_guard lock(mutex_);
    // Unblocks a worker stuck in send() towards a client that stopped reading.
    for (const int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
  }
  acceptor_.join();
  for (std::thread& worker : workers_) worker.join();
  ::close(listenFd_);
  ::close(wakeFd_);
}

std::string LocalHttpServer::Url(const std::string& target) const {
  return "http://127.0.0.1:" + std::to_string(port_) + target;
}

void LocalHttpServer::Route(const std::string& target, Response response) {
  std::lock_guard lock(mutex_);
  routes_[target] = std::move(response);
}

std::vector<LocalHttpServer::Request> LocalHttpServer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void LocalHttpServer::AcceptLoop() {
  while (!stopping_) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) break;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(fd);
      break;
    }
    openFds_.push_back(fd);
    workers_.emplace_back([this, fd] { Serve(fd); });
  }
}

bool LocalHttpServer::SendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size() && !stopping_) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return sent == data.size();
}

void LocalHttpServer::WaitForStop(int fd) {
  while (!stopping_) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) return;
    char buffer[512];
    if (::recv(fd, buffer, sizeof(buffer), 0) <= 0) return;  // the client left
  }
}

void LocalHttpServer::Serve(int fd) {
  std::string raw;
  while (raw.find("\r\n\r\n") == std::string::npos && raw.size() < kMaxRequestBytes && !stopping_) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) break;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    raw.append(buffer, static_cast<size_t>(n));
  }

  const size_t headEnd = raw.find("\r\n\r\n");
  if (headEnd != std::string::npos) {
    Request request;
    size_t lineStart = 0;
    for (size_t lineEnd; lineStart < headEnd; lineStart = lineEnd + 2) {
      lineEnd = raw.find("\r\n", lineStart);
      const std::string line = raw.substr(lineStart, lineEnd - lineStart);
      if (lineStart == 0) {
        const size_t space1 = line.find(' ');
        const size_t space2 = line.find(' ', space1 + 1);
        request.method = line.substr(0, space1);
        request.target = line.substr(space1 + 1, space2 - space1 - 1);
      } else if (const size_t colon = line.find(':'); colon != std::string::npos) {
        request.headers[Lower(line.substr(0, colon))] = Trim(line.substr(colon + 1));
      }
    }
    Response response;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
      const auto route = routes_.find(request.target);
      if (route != routes_.end()) {
        response = route->second;
      } else {
        response.status = 404;
        response.body = "<html><body>Not Found</body></html>";
      }
    }

    const std::string block(64 * 1024, 'x');
    switch (response.kind) {
      case Response::Kind::Reply: {
        std::string head = "HTTP/1.1 " + std::to_string(response.status) + " Test\r\nContent-Length: " +
                           std::to_string(response.body.size()) + "\r\nConnection: close\r\n";
        for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
        SendAll(fd, head + "\r\n" + response.body);
        break;
      }
      case Response::Kind::Silent:
        WaitForStop(fd);
        break;
      case Response::Kind::Endless:
        if (SendAll(fd, "HTTP/1.1 200 Test\r\nConnection: close\r\n\r\n")) {
          while (SendAll(fd, block)) {
          }
        }
        break;
      case Response::Kind::Oversized:
        if (SendAll(fd, "HTTP/1.1 200 Test\r\nContent-Length: 1073741824\r\nConnection: close\r\n\r\n")) {
          while (SendAll(fd, block)) {
          }
        }
        break;
    }
  }

  std::lock_guard lock(mutex_);
  openFds_.erase(std::find(openFds_.begin(), openFds_.end(), fd));
  ::close(fd);
}

}  // namespace testing_support
