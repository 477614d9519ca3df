#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmuro::testing {

// An HTTP server on 127.0.0.1 that serves the files of one directory and records what pages
// report: a GET of /report?token=T&what=W is remembered as W under T and answered with no content.
class PageServer {
 public:
  // Serves the directory on a free port; port() is 0 when the server could not start.
  explicit PageServer(std::string directory);
  ~PageServer();
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  int port() const { return port_; }
  // The address of a file the server serves, with a query ("meeting.html", "variant=ok").
  std::string url(const std::string& file, const std::string& query = "") const;
  // What the pages have reported under the token so far, in order of arrival.
  std::vector<std::string> reports(const std::string& token) const;
  // Waits until the token has this many reports; false after the timeout.
  bool waitForReports(const std::string& token, std::size_t count,
                      std::chrono::milliseconds timeout) const;

 private:
  void serve();
  void answer(int client);

  std::string directory_;
  int listener_ = -1;
  int port_ = 0;
  int stopPipe_[2] = {-1, -1};
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> reports_;
  std::thread thread_;
};

}  // namespace velmuro::testing
