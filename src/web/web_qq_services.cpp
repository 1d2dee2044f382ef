#include "web/web_qq_services.h"

#include <cstdlib>

#include "util/charset.h"
#include "util/log.h"
#include "util/text.h"
#include "web/json_document.h"

namespace bw {

namespace {

constexpr const char* kReminderUserAgent =
    "Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/29.0.1547.59 QQ/8.9.2.20760 Safari/537.36";

// A value written into a query or form: numbers pass unchanged, anything else
// cannot break out of its field.
std::string Field(const std::string& value) { return UrlEncode(value); }

// The content as the inside of a JSON string: a CR LF pair or a lone line
// break becomes \n, quotes, backslashes and other control characters are
// escaped, so that any text keeps the service's JSON whole.
std::string JsonStringContent(const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '\r':
        if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        out += "\\n";
        break;
      case '\n':
        out += "\\n";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out += kHex[(c >> 4) & 0xF];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out;
}

}  // namespace

std::string HomeworkBody(const std::string& group, const std::string& courseName,
                         const std::string& content, const std::string& syncGroups,
                         const std::string& bkn) {
  return "homework_id=&group_id=" + Field(group) +
         "&course_id=100&course_name=" + UrlEncode(courseName) +
         "&title=%E4%BD%9C%E4%B8%9A&need_feedback=0"
         "&c=%7B%22c%22%3A%5B%7B%22type%22%3A%22str%22%2C%22text%22%3A%22" +
         UrlEncode(JsonStringContent(content)) +
         "%22%7D%5D%7D&team_id=0&hw_type=0&tsfeedback=&syncgids=%5B" + UrlEncode(syncGroups) +
         "%5D&client_type=1&bkn=" + Field(bkn);
}

WebServiceUrls WebServiceUrls::FromEnvironment() {
  WebServiceUrls urls;
  const char* base = std::getenv("BW_WEB_BASE");
  if (base == nullptr || *base == '\0') return urls;
  std::string b = base;
  while (!b.empty() && b.back() == '/') b.pop_back();
  LogInfo("QQ web services: every request goes to " + b + " (BW_WEB_BASE)");
  for (std::string* url : {&urls.portrait, &urls.avatar, &urls.membership, &urls.group,
                           &urls.announcement, &urls.homeworkFeedback})
    *url = b;
  return urls;
}

WebQqServices::WebQqServices(const WebClient& client, WebTokens& tokens, WebServiceUrls urls)
    : client_(client), tokens_(tokens), urls_(std::move(urls)) {}

WebRequest WebQqServices::send(std::string url, int method, std::string body, bool withLogin,
                               std::string extraHeaders) {
  WebRequest request;
  request.url = std::move(url);
  request.method = method;
  request.body = std::move(body);
  request.extraHeaders = std::move(extraHeaders);
  if (withLogin) {
    client_.send(request, tokens_.cookieJar());
  } else {
    client_.send(request);
  }
  return request;
}

std::string WebQqServices::fetchNickname(const std::string& qq) {
  WebRequest r =
      send(urls_.portrait + "/fcg-bin/cgi_get_portrait.fcg?uins=" + Field(qq), 0, {}, false);
  return TextBetween(DecodeExternalText(r.responseBody), "0,#引号", "#引号,");
}

std::string WebQqServices::fetchOwnAvatar() {
  const std::string u = Field(tokens_.loginAccountFromCookies());
  if (u.empty()) {
    LogWarning("avatar: the login cookies name no account");
    return {};
  }
  WebRequest r = send(urls_.avatar + "/headimg_dl?bs=" + u + "&dst_uin=" + u + "&dst_uin=" + u +
                          "&dst_uin=" + u + "&spec=100&url_enc=0&referer=bu_interface&term_type=PC",
                      0, {}, false);
  // An error page is no picture.
  if (r.status < 200 || r.status > 299) return {};
  return r.responseBody;
}

std::string WebQqServices::fetchQqLevel(const std::string& qq) {
  WebRequest r = send(urls_.membership + "/flow/flow1550?g_tk_type=1&f_uin=" + Field(qq) +
                          "&sid=&g_tk=" + Field(tokens_.bkn()) + "&p_tk=&callback=handleClient",
                      0, {}, true);
  return TextBetween(DecodeExternalText(r.responseBody), "qq_level#引号:#引号", "#引号");
}

int WebQqServices::fetchGroupList(std::vector<GroupListEntry>& entries) {
  entries.clear();
  WebRequest r =
      send(urls_.group + "/cgi-bin/qun_mgr/get_group_list", 1, "bkn=" + Field(tokens_.bkn()), true);
  if (r.responseBody.empty()) return 0;
  JsonDocument doc;
  if (!doc.parse(DecodeExternalText(r.responseBody))) {
    LogWarning("group list: the answer is no JSON (status " + std::to_string(r.status) + ")");
    return 0;
  }
  static const std::pair<const char*, const char*> kArrays[] = {
      {"create", "群主"}, {"join", "成员"}, {"manage", "管理员"}};
  for (const auto& [array, role] : kArrays) {
    const size_t n = doc.count(array);
    for (size_t k = 0; k < n; ++k) {
      const std::string at = std::string(array) + "[" + std::to_string(k) + "].";
      entries.push_back(
          {doc.getText(at + "gc"), doc.getText(at + "gn"), doc.getText(at + "owner"), role});
    }
  }
  return static_cast<int>(entries.size());
}

bool WebQqServices::postAnnouncement(const std::string& group, std::string& title,
                                     const std::string& text, bool asGroupRules) {
  std::string path = "/cgi-bin/announce/add_qun_notice";
  if (asGroupRules) {
    path = "/cgi-bin/announce/add_qun_instruction";
    title = "本群须知";
  }
  WebRequest r = send(urls_.announcement + path, 1,
                      "bkn=" + Field(tokens_.bkn()) + "&qid=" + Field(group) +
                          "&title=" + UrlEncode(title) + "&text=" + UrlEncode(text),
                      true);
  return Contains(DecodeExternalText(r.responseBody), "ec\":0,");
}

bool WebQqServices::postHomework(const std::string& group, const std::string& courseName,
                                 const std::string& content, bool remind,
                                 const std::string& syncGroups) {
  const std::string bkn = tokens_.bkn();
  WebRequest r = send(urls_.group + "/cgi-bin/homework/hw/assign_hw.fcg", 1,
                      HomeworkBody(group, courseName, content, syncGroups, bkn), true);
  const std::string hwId = TextBetween(DecodeExternalText(r.responseBody), "hw_id#引号:", ",");
  if (remind) {
    send(urls_.homeworkFeedback + "/cgi-bin/homework/fb/msg_remind.fcg", 1,
         "gid=" + Field(group) + "&hw_id=" + Field(hwId) +
             "&remind_type=1&client_type=1&bkn=" + Field(bkn),
         true,
         "Referer: " + urls_.group +
             "/homework/p/features/index.html\r\nUser-Agent: " + kReminderUserAgent);
  }
  return !hwId.empty();
}

}  // namespace bw
