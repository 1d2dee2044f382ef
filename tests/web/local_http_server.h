// LocalHttpServer: a small HTTP/1.1 server on 127.0.0.1 for the web tests. It
// records every request exactly as it came off the wire (header order and
// spelling included) and answers with the raw response its handler builds; a
// handler that returns nothing leaves the connection open without an answer.
// One connection at a time, each closed after its answer. Given a certificate
// and key (PEM files) it speaks HTTPS instead.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bw::test {

struct RawRequest {
  std::string method;
  std::string target;  // path and query, or the absolute URL a proxy is sent
  std::vector<std::pair<std::string, std::string>> headers;  // in order, as spelled
  std::string body;

  // The value of the first header of that name (exact spelling); nullopt when absent.
  std::optional<std::string> header(const std::string& name) const {
    for (const auto& [n, v] : headers) {
      if (n == name) return v;
    }
    return std::nullopt;
  }
  size_t headerCount(const std::string& name) const {
    size_t n = 0;
    for (const auto& h : headers) n += h.first == name;
    return n;
  }
};

// A complete response with Content-Length and Connection: close.
inline std::string HttpResponse(int status, const std::string& body,
                                const std::vector<std::string>& headerLines = {}) {
  std::string r = "HTTP/1.1 " + std::to_string(status) + " X\r\n";
  for (const std::string& line : headerLines) r += line + "\r\n";
  r += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  return r;
}

class LocalHttpServer {
 public:
  using Handler = std::function<std::optional<std::string>(const RawRequest&)>;

  explicit LocalHttpServer(Handler handler, const std::string& certFile = {},
                           const std::string& keyFile = {})
      : handler_(std::move(handler)) {
    // TLS writes to a client that already hung up must not end the test run.
    ::signal(SIGPIPE, SIG_IGN);
    if (!certFile.empty()) {
      tls_ = SSL_CTX_new(TLS_server_method());
      if (tls_ == nullptr || SSL_CTX_use_certificate_chain_file(tls_, certFile.c_str()) != 1 ||
          SSL_CTX_use_PrivateKey_file(tls_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        throw std::runtime_error("TLS certificate " + certFile);
      }
    }
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listen_ < 0) throw std::runtime_error("socket");
    int one = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_, 16) != 0) {
      ::close(listen_);
      throw std::runtime_error("bind/listen");
    }
    socklen_t len = sizeof addr;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }

  ~LocalHttpServer() {
    stop_ = true;
    thread_.join();
    for (int fd : held_) ::close(fd);
    ::close(listen_);
    if (tls_ != nullptr) SSL_CTX_free(tls_);
  }

  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  int port() const { return port_; }
  std::string base() const {
    return (tls_ != nullptr ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_);
  }
  std::string url(const std::string& path) const { return base() + path; }

  int failedHandshakes() const { return failedHandshakes_; }

  std::vector<RawRequest> requests() const {
    std::lock_guard lock(mu_);
    return requests_;
  }

 private:
  // One accepted connection, plain or TLS.
  struct Connection {
    int fd = -1;
    SSL* ssl = nullptr;
    ssize_t read(char* buf, size_t n) {
      if (ssl == nullptr) return ::recv(fd, buf, n, 0);
      int got = SSL_read(ssl, buf, static_cast<int>(n));
      return got > 0 ? got : -1;
    }
    void write(const std::string& data) {
      size_t sent = 0;
      while (sent < data.size()) {
        ssize_t n = ssl != nullptr
                        ? SSL_write(ssl, data.data() + sent, static_cast<int>(data.size() - sent))
                        : ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
    }
    void close() {
      if (ssl != nullptr) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
      }
      ::shutdown(fd, SHUT_WR);
      char drain[256];
      while (::recv(fd, drain, sizeof drain, 0) > 0) {
      }
      ::close(fd);
    }
  };

  void serve() {
    while (!stop_) {
      pollfd p{listen_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      Connection c;
      c.fd = ::accept(listen_, nullptr, nullptr);
      if (c.fd < 0) continue;
      timeval tv{5, 0};
      ::setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      if (tls_ != nullptr) {
        c.ssl = SSL_new(tls_);
        SSL_set_fd(c.ssl, c.fd);
        if (SSL_accept(c.ssl) != 1) {  // e.g. the client refused the certificate
          ++failedHandshakes_;
          SSL_free(c.ssl);
          ERR_clear_error();
          ::close(c.fd);
          continue;
        }
      }
      std::optional<RawRequest> request = readRequest(c);
      if (!request) {
        c.close();
        continue;
      }
      {
        std::lock_guard lock(mu_);
        requests_.push_back(*request);
      }
      std::optional<std::string> answer = handler_(*request);
      if (!answer) {
        held_.push_back(c.fd);  // never answered; closed when the server stops
        if (c.ssl != nullptr) SSL_free(c.ssl);
        continue;
      }
      c.write(*answer);
      c.close();
    }
  }

  static std::optional<RawRequest> readRequest(Connection& c) {
    std::string data;
    size_t headerEnd;
    char buf[4096];
    while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
      ssize_t n = c.read(buf, sizeof buf);
      if (n <= 0) return std::nullopt;
      data.append(buf, static_cast<size_t>(n));
    }
    RawRequest r;
    std::string head = data.substr(0, headerEnd);
    size_t lineEnd = head.find("\r\n");
    std::string requestLine = head.substr(0, lineEnd);
    size_t s1 = requestLine.find(' ');
    size_t s2 = requestLine.rfind(' ');
    r.method = requestLine.substr(0, s1);
    r.target = requestLine.substr(s1 + 1, s2 - s1 - 1);
    size_t contentLength = 0;
    size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
      size_t end = head.find("\r\n", pos);
      if (end == std::string::npos) end = head.size();
      std::string line = head.substr(pos, end - pos);
      size_t colon = line.find(':');
      std::string name = line.substr(0, colon);
      std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
      while (!value.empty() && value.front() == ' ') value.erase(0, 1);
      if (strcasecmp(name.c_str(), "Content-Length") == 0) contentLength = std::stoul(value);
      r.headers.emplace_back(name, value);
      pos = end + 2;
    }
    r.body = data.substr(headerEnd + 4);
    while (r.body.size() < contentLength) {
      ssize_t n = c.read(buf, sizeof buf);
      if (n <= 0) break;
      r.body.append(buf, static_cast<size_t>(n));
    }
    return r;
  }

  Handler handler_;
  SSL_CTX* tls_ = nullptr;
  std::atomic<int> failedHandshakes_{0};
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<int> held_;
  mutable std::mutex mu_;
  std::vector<RawRequest> requests_;
};

}  // namespace bw::test
