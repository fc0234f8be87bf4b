// Runs tests/support/https_server.py as a child process for one test scope.
#ifndef LAUNCHER_TESTS_SUPPORT_HTTPS_SERVER_H
#define LAUNCHER_TESTS_SUPPORT_HTTPS_SERVER_H

#include <curl/curl.h>
#include <json/reader.h>
#include <json/value.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>

namespace testsupport {

inline std::string identityFile(const char* name) {
  return std::string(TEST_IDENTITY_DIR) + "/" + name;
}

class HttpsServer {
 public:
  explicit HttpsServer(const std::string& rootDirectory) {
    int fds[2];
    if (pipe(fds) != 0) return;
    const std::string script = TEST_SOURCE_DIR "/support/https_server.py";
    const std::string cert = identityFile("chain.pem");
    const std::string key = identityFile("server.key");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], STDOUT_FILENO);
      execl(TEST_PYTHON, TEST_PYTHON, script.c_str(), "--port", "0", "--cert",
            cert.c_str(), "--key", key.c_str(), "--root", rootDirectory.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    // The first line is "PORT <n>" once the server listens.
    std::string line;
    pollfd readable{fds[0], POLLIN, 0};
    char c = 0;
    while (pid_ > 0 && line.size() < 64 && poll(&readable, 1, 15000) == 1 &&
           read(fds[0], &c, 1) == 1 && c != '\n')
      line += c;
    close(fds[0]);
    if (line.rfind("PORT ", 0) == 0) port_ = std::stoi(line.substr(5));
  }
  ~HttpsServer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  HttpsServer(const HttpsServer&) = delete;
  HttpsServer& operator=(const HttpsServer&) = delete;

  // 0 when the server did not start.
  int port() const { return port_; }
  std::string url(const std::string& path) const {
    // By name: libcurl over mbedTLS matches DNS entries only.
    return "https://localhost:" + std::to_string(port_) + path;
  }

  // A /_control command; true when the server accepted it.
  bool control(const std::string& json) const {
    return request("/_control", &json).first == 200;
  }

  // Requests for path so far, from the server's log.
  int requestCount(const std::string& path) const {
    std::istringstream text(request("/_log", nullptr).second);
    Json::Value log;
    std::string errors;
    if (!Json::parseFromStream(Json::CharReaderBuilder(), text, &log, &errors))
      return -1;
    int count = 0;
    for (const Json::Value& entry : log) count += entry["path"] == path;
    return count;
  }

 private:
  static std::size_t collect(char* data, std::size_t size, std::size_t n,
                             void* body) {
    static_cast<std::string*>(body)->append(data, size * n);
    return size * n;
  }

  std::pair<long, std::string> request(const std::string& path,
                                       const std::string* postBody) const {
    std::pair<long, std::string> result{0, ""};
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return result;
    const std::string address = url(path);
    const std::string trust = identityFile("root.pem");
    curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, trust.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.second);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    if (postBody != nullptr)
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, postBody->c_str());
    if (curl_easy_perform(curl) == CURLE_OK)
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.first);
    curl_easy_cleanup(curl);
    return result;
  }

  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace testsupport

#endif
