#pragma once
// Starts tests/update/http_test_server.py as a child process and reads its
// ports; the server ends when this object closes its standard input.
// Header-only: test programs and benchmarks link no support library.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include "../support/temp_dir.h"

namespace tl::test {

class HttpTestServer {
 public:
  explicit HttpTestServer(const std::string& script) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ < 0) std::abort();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::close(in[1]);
      ::close(out[0]);
      ::execlp("python3", "python3", script.c_str(), certs_.hostPath().c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
      const auto eq = word.find('=');
      if (eq != std::string::npos) values_[word.substr(0, eq)] = word.substr(eq + 1);
    }
    if (!values_.count("http")) {
      std::fprintf(stderr, "test server did not start: '%s'\n", line.c_str());
      std::abort();
    }
  }
  ~HttpTestServer() {
    ::close(stdin_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  // "http", "https", "https_other_ca", "https_wrong_name".
  const std::string& port(const std::string& server) const { return values_.at(server); }
  // The CA file that trusts the "https" and "https_wrong_name" servers.
  const std::string& caFile() const { return values_.at("ca"); }
  // The host folder whose files the servers answer at /files/<path>.
  std::string filesFolder() const { return certs_.host("files"); }

 private:
  TempDir certs_;
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::map<std::string, std::string> values_;
};

}  // namespace tl::test
