// WebStub: the QQ web services as the test build of the plug-in reaches them,
// on 127.0.0.1 (the port of BW_WEB_SERVICES_URL). It answers the nickname,
// avatar and homework requests with fixed texts and records every request it
// got, so that the harness checks what the plug-in sent: path and query,
// cookies, body, referer.
//
// Thread-safety: requests() may be called while the server answers.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace bw::wine {

struct StubRequest {
  std::string method;
  std::string target;  // path and query, as sent
  std::string cookie, referer, body;
};

class WebStub {
 public:
  WebStub();
  ~WebStub();
  // Serves on 127.0.0.1:`port` from a thread of its own; false when it cannot.
  bool start(int port);
  std::vector<StubRequest> requests();
  // The nickname the stub answers, and the avatar bytes.
  static std::string NicknameGbk();
  static std::string AvatarBytes();

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::mutex mu_;
  std::vector<StubRequest> requests_;
};

}  // namespace bw::wine
