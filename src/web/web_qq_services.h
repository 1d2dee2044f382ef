// WebQqServices: the QQ web operations (nickname, own avatar, QQ level, group
// list, announcements, homework) over WebClient, with the account's WebTokens.
// Each service's base URL (scheme and host, no trailing "/") is configuration;
// the paths, query keys and bodies are fixed. Every default is HTTPS: the
// requests carry the account's session cookies (uin, skey, p_skey).
//
// Texts are UTF-8 at this interface; answers that come as GBK are decoded.
// Failures give the empty result (see QqServices).
// Thread-safety: all operations may be called from any thread at once. The
// client and the tokens are referenced and must outlive this object.
#pragma once

#include <string>

#include "web/qq_services.h"
#include "web/web_client.h"
#include "web/web_tokens.h"

namespace bw {

struct WebServiceUrls {
  std::string portrait = "https://r.qzone.qq.com";      // nickname
  std::string avatar = "https://q.qlogo.cn";            // avatar image
  std::string membership = "https://vip.qq.com";        // QQ level
  std::string group = "https://qun.qq.com";             // group list, homework
  std::string announcement = "https://web.qun.qq.com";  // announcements
  std::string homeworkFeedback = "https://qun.qq.com";  // homework reminder

  // The defaults, or every service at the one base that the environment
  // variable BW_WEB_BASE names (a proxy, or a loopback stub in tests, so that
  // no test of the program can reach the internet).
  static WebServiceUrls FromEnvironment();
};

class WebQqServices : public QqServices {
 public:
  WebQqServices(const WebClient& client, WebTokens& tokens, WebServiceUrls urls = {});

  std::string fetchNickname(const std::string& qq) override;
  std::string fetchOwnAvatar() override;
  std::string fetchQqLevel(const std::string& qq) override;
  int fetchGroupList(std::vector<GroupListEntry>& entries) override;
  bool postAnnouncement(const std::string& group, std::string& title, const std::string& text,
                        bool asGroupRules) override;
  bool postHomework(const std::string& group, const std::string& courseName,
                    const std::string& content, bool remind,
                    const std::string& syncGroups) override;

  const WebServiceUrls& urls() const { return urls_; }

 private:
  // One request; with `withLogin` it carries the login cookies and merges the
  // server's new ones into them.
  WebRequest send(std::string url, int method, std::string body, bool withLogin,
                  std::string extraHeaders = {});

  const WebClient& client_;
  WebTokens& tokens_;
  WebServiceUrls urls_;
};

// The homework form body: content with each line break written as "\n" inside
// the JSON text the service reads, every value percent-encoded.
std::string HomeworkBody(const std::string& group, const std::string& courseName,
                         const std::string& content, const std::string& syncGroups,
                         const std::string& bkn);

}  // namespace bw
