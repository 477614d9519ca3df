#include "platform/linux/desktop/page_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace velmuro::testing {

namespace {

// %XX escapes and '+' undone in one query value.
std::string decodeQueryValue(const std::string& text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      decoded.push_back(' ');
    } else if (text[i] == '%' && i + 2 < text.size()) {
      decoded.push_back(static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16)));
      i += 2;
    } else {
      decoded.push_back(text[i]);
    }
  }
  return decoded;
}

std::map<std::string, std::string> parseQuery(const std::string& query) {
  std::map<std::string, std::string> values;
  std::istringstream pairs(query);
  for (std::string pair; std::getline(pairs, pair, '&');) {
    std::size_t equals = pair.find('=');
    if (equals == std::string::npos) continue;
    values[decodeQueryValue(pair.substr(0, equals))] = decodeQueryValue(pair.substr(equals + 1));
  }
  return values;
}

void sendAll(int socket, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

}  // namespace

PageServer::PageServer(std::string directory) : directory_(std::move(directory)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener_, 64) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

PageServer::~PageServer() {
  if (thread_.joinable()) {
    (void)!::write(stopPipe_[1], "x", 1);
    thread_.join();
  }
  for (int descriptor : {listener_, stopPipe_[0], stopPipe_[1]}) {
    if (descriptor >= 0) ::close(descriptor);
  }
}

std::string PageServer::url(const std::string& file, const std::string& query) const {
  std::string address = "http://127.0.0.1:" + std::to_string(port_) + "/" + file;
  return query.empty() ? address : address + "?" + query;
}

std::vector<std::string> PageServer::reports(const std::string& token) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> found;
  for (const auto& [reportToken, what] : reports_) {
    if (reportToken == token) found.push_back(what);
  }
  return found;
}

bool PageServer::waitForReports(const std::string& token, std::size_t count,
                                std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (reports(token).size() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void PageServer::serve() {
  for (;;) {
    pollfd descriptors[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(descriptors, 2, -1) < 0) continue;
    if (descriptors[1].revents != 0) return;
    int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    answer(client);
    ::close(client);
  }
}

void PageServer::answer(int client) {
  // One request per connection, read up to the end of its head.
  std::string request;
  char chunk[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    pollfd descriptor{client, POLLIN, 0};
    if (::poll(&descriptor, 1, 2000) <= 0) return;
    ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
    if (n <= 0) return;
    request.append(chunk, static_cast<std::size_t>(n));
  }
  std::istringstream head(request);
  std::string method, target;
  head >> method >> target;
  std::string path = target.substr(0, target.find('?'));
  std::string query = target.size() > path.size() ? target.substr(path.size() + 1) : "";
  if (path == "/report") {
    std::map<std::string, std::string> values = parseQuery(query);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reports_.emplace_back(values["token"], values["what"]);
    }
    sendAll(client, "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
    return;
  }
  std::ifstream file(directory_ + path, std::ios::binary);
  if (method != "GET" || path.find("..") != std::string::npos || !file) {
    sendAll(client, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    return;
  }
  std::string body((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  sendAll(client, "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                      std::to_string(body.size()) +
                      "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body);
}

}  // namespace velmuro::testing
