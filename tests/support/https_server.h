// Runs tests/support/https_server.py as a child process for one test scope.
#ifndef LAUNCHER_TESTS_SUPPORT_HTTPS_SERVER_H
#define LAUNCHER_TESTS_SUPPORT_HTTPS_SERVER_H

#include <curl/curl.h>
#include <json/reader.h>
#include <json/value.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>

namespace testsupport {

inline std::string identityFile(const char* name) {
  return std::string(TEST_BUILD_DIR) + "/identity/" + name;
}

// A loopback port that nothing listens on (free at the time of the call).
inline int closedLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

class HttpsServer {
 public:
  // Serves rootDirectory; configFile (optional) holds initial rules.
  explicit HttpsServer(const std::string& rootDirectory,
                       const std::string& configFile = "") {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return;
    const std::string script =
        std::string(TEST_SOURCE_DIR) + "/support/https_server.py";
    const std::string cert = identityFile("chain.pem");
    const std::string key = identityFile("server.key");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(pipeFds[1], STDOUT_FILENO);
      close(pipeFds[0]);
      close(pipeFds[1]);
      if (configFile.empty()) {
        execl(TEST_PYTHON, TEST_PYTHON, script.c_str(), "--port", "0", "--cert",
              cert.c_str(), "--key", key.c_str(), "--root",
              rootDirectory.c_str(), static_cast<char*>(nullptr));
      } else {
        execl(TEST_PYTHON, TEST_PYTHON, script.c_str(), "--port", "0", "--cert",
              cert.c_str(), "--key", key.c_str(), "--root",
              rootDirectory.c_str(), "--config", configFile.c_str(),
              static_cast<char*>(nullptr));
      }
      _exit(127);
    }
    close(pipeFds[1]);
    output_ = pipeFds[0];
    if (pid_ > 0) port_ = readPortLine();
  }

  ~HttpsServer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) close(output_);
  }

  HttpsServer(const HttpsServer&) = delete;
  HttpsServer& operator=(const HttpsServer&) = delete;

  // 0 when the server did not start.
  int port() const { return port_; }

  std::string url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
  }

  // Sends a /_control command; true when the server accepted it.
  bool control(const std::string& json) const {
    long status = 0;
    request("/_control", &json, &status);
    return status == 200;
  }

  // The request log: an array of {method, path, query, range, status,
  // headers}; null when it cannot be read.
  Json::Value log() const {
    long status = 0;
    const std::string text = request("/_log", nullptr, &status);
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream stream(text);
    if (status != 200 ||
        !Json::parseFromStream(builder, stream, &value, &errors))
      return Json::Value();
    return value;
  }

  int requestCount(const std::string& path) const {
    int count = 0;
    for (const Json::Value& entry : log())
      if (entry["path"].asString() == path) ++count;
    return count;
  }

 private:
  int readPortLine() const {
    std::string line;
    pollfd readable{output_, POLLIN, 0};
    char c = 0;
    while (line.size() < 64 && poll(&readable, 1, 15000) == 1 &&
           read(output_, &c, 1) == 1 && c != '\n')
      line += c;
    if (line.rfind("PORT ", 0) != 0) return 0;
    return std::stoi(line.substr(5));
  }

  static std::size_t collect(char* data, std::size_t size, std::size_t count,
                             void* text) {
    static_cast<std::string*>(text)->append(data, size * count);
    return size * count;
  }

  std::string request(const std::string& path, const std::string* postBody,
                      long* status) const {
    std::string body;
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(),
                                                curl_easy_cleanup);
    if (!curl || port_ == 0) return body;
    const std::string address = url(path);
    const std::string trust = identityFile("root.pem");
    curl_easy_setopt(curl.get(), CURLOPT_URL, address.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_CAINFO, trust.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 10L);
    if (postBody) {
      curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, postBody->c_str());
      curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE,
                       static_cast<long>(postBody->size()));
    }
    if (curl_easy_perform(curl.get()) == CURLE_OK)
      curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, status);
    return body;
  }

  pid_t pid_ = -1;
  int output_ = -1;
  int port_ = 0;
};

}  // namespace testsupport

#endif
