// Certificate handling over a real HTTPS server on 127.0.0.1 with a self-signed
// certificate for that address (tests/web/data).
#include <gtest/gtest.h>

#include "web/local_http_server.h"
#include "web/web_client.h"

namespace bw {
namespace {

using test::HttpResponse;
using test::LocalHttpServer;
using test::RawRequest;

// From the source tree (not __FILE__, which a compiler cache may make relative).
std::string DataFile(const std::string& name) {
  return std::string(BW_SOURCE_DIR) + "/tests/web/data/" + name;
}

class WebClientTls : public ::testing::Test {
 protected:
  WebClientTls()
      : server_([](const RawRequest&) { return HttpResponse(200, "secure"); },
                DataFile("test_server_cert.pem"), DataFile("test_server_key.pem")) {}

  WebRequest request(const std::string& url) {
    WebRequest r;
    r.url = url;
    r.timeoutSeconds = 5;
    return r;
  }

  LocalHttpServer server_;
  WebClient client_;
};

TEST_F(WebClientTls, UntrustedCertificateIsIgnoredByDefault) {
  WebRequest r = request(server_.url("/a"));
  EXPECT_EQ(client_.send(r), "secure");
  EXPECT_EQ(r.status, 200);
  // Name mismatch too: the certificate names 127.0.0.1 only.
  WebRequest byName = request("https://localhost:" + std::to_string(server_.port()) + "/b");
  EXPECT_EQ(client_.send(byName), "secure");
}

TEST_F(WebClientTls, VerificationRefusesAnUntrustedServer) {
  WebRequest r = request(server_.url("/a"));
  r.verifyCertificate = true;
  r.cookies = "sid=1";
  EXPECT_EQ(client_.send(r), "");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(server_.requests().empty());  // nothing, cookies included, was sent
}

TEST_F(WebClientTls, VerificationTrustsTheGivenAuthorityAndChecksTheName) {
  WebRequest r = request(server_.url("/a"));
  r.verifyCertificate = true;
  r.caFile = DataFile("test_server_cert.pem");
  EXPECT_EQ(client_.send(r), "secure");

  WebRequest byName = request("https://localhost:" + std::to_string(server_.port()) + "/b");
  byName.verifyCertificate = true;
  byName.caFile = r.caFile;
  EXPECT_EQ(client_.send(byName), "");
  EXPECT_EQ(server_.requests().size(), 1u);
}

}  // namespace
}  // namespace bw
