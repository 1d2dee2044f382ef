// Local servers for the update tests: a self-signed certificate for 127.0.0.1
// made at run time, and an HTTP or HTTPS server on a free loopback port that
// runs on its own thread until the object goes away.
#pragma once

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace bw::test {

// Writes a fresh EC key and a self-signed certificate (CN and IP address
// 127.0.0.1, its own authority) as PEM files.
inline void MakeSelfSignedCertificate(const std::string& certFile, const std::string& keyFile) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  if (key == nullptr || cert == nullptr) throw std::runtime_error("openssl: no key");
  X509_set_version(cert, 2);
  static long serial = 1;
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  for (auto [nid, value] : {std::pair{NID_basic_constraints, "critical,CA:TRUE"},
                            std::pair{NID_subject_alt_name, "IP:127.0.0.1"},
                            std::pair{NID_key_usage, "digitalSignature,keyCertSign"}}) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(cert, key, EVP_sha256());
  FILE* c = std::fopen(certFile.c_str(), "wb");
  FILE* k = std::fopen(keyFile.c_str(), "wb");
  if (c == nullptr || k == nullptr) throw std::runtime_error("cannot write the certificate");
  PEM_write_X509(c, cert);
  PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(c);
  std::fclose(k);
  X509_free(cert);
  EVP_PKEY_free(key);
}

// A server on 127.0.0.1; handlers are registered before start().
class LocalServer {
 public:
  // Plain HTTP.
  LocalServer() : server_(std::make_unique<httplib::Server>()) {}
  // HTTPS with the given certificate and key files.
  LocalServer(const std::string& certFile, const std::string& keyFile)
      : server_(std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str())),
        https_(true) {}
  ~LocalServer() {
    server_->stop();
    if (thread_.joinable()) thread_.join();
  }

  httplib::Server& server() { return *server_; }

  void start() {
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("no port");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() only ends a server that already runs.
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // "http(s)://127.0.0.1:port/" + directory.
  std::string base(const std::string& directory = "") const {
    return std::string(https_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/" +
           directory;
  }

 private:
  std::unique_ptr<httplib::Server> server_;
  bool https_ = false;
  int port_ = 0;
  std::thread thread_;
};

// Polls (really) until `predicate` holds; false after ten seconds.
template <typename Predicate>
bool Eventually(Predicate predicate) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace bw::test
