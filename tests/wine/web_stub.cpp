#include "web_stub.h"

#include <httplib.h>

#include "harness_support.h"

namespace bw::wine {

WebStub::WebStub() : server_(std::make_unique<httplib::Server>()) {}

WebStub::~WebStub() {
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string WebStub::NicknameGbk() { return Gbk(L"张三"); }
std::string WebStub::AvatarBytes() { return "\x89PNG\r\n\x1a\nstub-avatar"; }

bool WebStub::start(int port) {
  // Every request is recorded (with its body: a route handler, not a
  // pre-routing one, sees it); the services the plug-in knows get their answer.
  const auto handle = [this](const httplib::Request& req, httplib::Response& res) {
    StubRequest r;
    r.method = req.method;
    r.target = req.target;
    r.cookie = req.get_header_value("Cookie");
    r.referer = req.get_header_value("Referer");
    r.body = req.body;
    {
      std::lock_guard lock(mu_);
      requests_.push_back(r);
    }
    const std::string path = req.path;
    if (req.method == "GET" && path == "/fcg-bin/cgi_get_portrait.fcg") {
      // The service's answer: a callback around the account's fields, in GBK.
      res.set_content("portraitCallBack({\"20001\":[\"http://stub/20001\",-1,0,0,0,0,\"" +
                          NicknameGbk() + "\",0]})",
                      "application/x-javascript");
    } else if (req.method == "GET" && path == "/headimg_dl") {
      res.set_content(AvatarBytes(), "image/png");
    } else if (req.method == "POST" && path == "/cgi-bin/homework/hw/assign_hw.fcg") {
      res.set_content("{\"ec\":0,\"data\":{\"hw_id\":4711,\"state\":1}}", "application/json");
    } else if (req.method == "POST" && path == "/cgi-bin/homework/fb/msg_remind.fcg") {
      res.set_content("{\"ec\":0}", "application/json");
    } else {
      res.status = 404;
    }
  };
  server_->Get(".*", handle);
  server_->Post(".*", handle);
  server_->Put(".*", handle);
  server_->Delete(".*", handle);
  if (!server_->bind_to_port("127.0.0.1", port)) return false;
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  return true;
}

std::vector<StubRequest> WebStub::requests() {
  std::lock_guard lock(mu_);
  return requests_;
}

}  // namespace bw::wine
