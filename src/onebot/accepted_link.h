// AcceptedLink: a TCP connection the ReverseListener accepted, whose upgrade
// request it has read and checked, on its way to the account's Connection.
// Internal to src/onebot (it carries Boost types).
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstdint>
#include <string>

#include "util/clock.h"

namespace bw::onebot {

struct AcceptedLink {
  // The socket, released from the listener's I/O context (the Connection
  // runs its own); closed by whoever holds it last.
  boost::asio::ip::tcp::socket::native_handle_type handle = -1;
  boost::asio::ip::tcp protocol = boost::asio::ip::tcp::v4();
  boost::beast::http::request<boost::beast::http::string_body> request;
  int64_t selfId = 0;  // from X-Self-ID
  std::string peer;    // "address:port", for log lines
  // The first event must have come by then (the listener's handshake time-out).
  SystemTime deadline{};

  AcceptedLink() = default;
  AcceptedLink(const AcceptedLink&) = delete;
  AcceptedLink& operator=(const AcceptedLink&) = delete;
  ~AcceptedLink();  // closes `handle` unless it was taken
};

}  // namespace bw::onebot
