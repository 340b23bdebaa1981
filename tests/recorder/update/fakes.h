#pragma once
// Stand-ins for the HTTP session and the desktop services of an update check,
// and a signing key of the tests' own.
#include <openssl/evp.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/http/http.h"
#include "recorder/update/update_checker.h"

namespace update_test {

struct Response {
  platform::http::Status status = platform::http::Status::Ok;
  long code = 200;
  std::string body;
};

struct Request {
  std::string url;
  platform::http::Options options;
};

// Answers by address; an unknown address gets a 404 page. Bodies arrive in
// small pieces, as a network delivers them. Shared by the sessions it opens.
class FakeServer {
 public:
  void Serve(const std::string& url, Response response) {
    std::lock_guard<std::mutex> lock(mutex_);
    responses_[url] = std::move(response);
  }
  // Requests wait until Open() while the gate is closed.
  void CloseGate() {
    std::lock_guard<std::mutex> lock(mutex_);
    gateOpen_ = false;
  }
  void OpenGate() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      gateOpen_ = true;
    }
    changed_.notify_all();
  }
  std::vector<Request> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  size_t sessions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_;
  }

  std::unique_ptr<platform::http::Client> OpenSession();

  platform::http::Result Get(const std::string& url, const platform::http::Options& options,
                             const platform::http::BodySink& sink) {
    Response response{platform::http::Status::Ok, 404, "<html>not found</html>"};
    {
      std::unique_lock<std::mutex> lock(mutex_);
      requests_.push_back({url, options});
      changed_.notify_all();
      while (!gateOpen_) {
        if (options.cancel && options.cancel->load()) return {platform::http::Status::Aborted, 0};
        changed_.wait_for(lock, std::chrono::milliseconds(5));
      }
      auto it = responses_.find(url);
      if (it != responses_.end()) response = it->second;
    }
    const bool https = url.rfind("https://", 0) == 0;
    if (!https && (url.rfind("http://", 0) != 0 || options.schemes == platform::http::Schemes::HttpsOnly)) {
      return {platform::http::Status::BadAddress, 0};
    }
    const std::string& body = response.body;
    for (size_t at = 0; at < body.size(); at += 7) {
      const size_t n = std::min<size_t>(7, body.size() - at);
      if (at + n > options.maxBodyBytes) return {platform::http::Status::TooLarge, response.code};
      if (!sink(body.data() + at, n)) {
        return {platform::http::Status::Aborted, response.code};
      }
    }
    return {response.status, response.code};
  }

  // Waits until n requests arrived.
  bool WaitForRequests(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return requests_.size() >= n; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Response> responses_;
  std::vector<Request> requests_;
  size_t sessions_ = 0;
  bool gateOpen_ = true;
};

class FakeClient : public platform::http::Client {
 public:
  explicit FakeClient(FakeServer* server) : server_(server) {}
  platform::http::Result Get(const std::string& url, const platform::http::Options& options,
                             const platform::http::BodySink& sink) override {
    return server_->Get(url, options, sink);
  }

 private:
  FakeServer* server_;
};

inline std::unique_ptr<platform::http::Client> FakeServer::OpenSession() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++sessions_;
  return std::make_unique<FakeClient>(this);
}

// Answers the question as told and records what it was asked and opened.
class FakeUi : public orvweb::update::UpdateUi {
 public:
  explicit FakeUi(bool yes = true, bool openWorks = true) : yes_(yes), openWorks_(openWorks) {}
  bool AskYesNo(const std::u16string& caption, const std::u16string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    questions_.push_back(caption + u"\x01" + text);
    return yes_;
  }
  bool OpenFile(const std::filesystem::path& file) override {
    std::lock_guard<std::mutex> lock(mutex_);
    opened_.push_back(file);
    return openWorks_;
  }
  void Tell(const std::u16string& caption, const std::u16string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    told_.push_back(caption + u"\x01" + text);
  }
  std::vector<std::u16string> told() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return told_;
  }
  std::vector<std::u16string> questions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return questions_;
  }
  std::vector<std::filesystem::path> opened() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return opened_;
  }

 private:
  mutable std::mutex mutex_;
  bool yes_, openWorks_;
  std::vector<std::u16string> questions_;
  std::vector<std::filesystem::path> opened_;
  std::vector<std::u16string> told_;
};

// An Ed25519 key pair made from a fixed seed: the tests' stand-in for the
// release key.
class TestKey {
 public:
  explicit TestKey(uint8_t seedByte = 7) {
    std::array<uint8_t, 32> seed;
    seed.fill(seedByte);
    key_.reset(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
    size_t size = publicKey_.size();
    EVP_PKEY_get_raw_public_key(key_.get(), publicKey_.data(), &size);
  }
  const orvweb::update::PublicKey& publicKey() const { return publicKey_; }
  // The detached signature of data: 64 raw bytes.
  std::string Sign(const std::string& data) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    std::string signature(64, '\0');
    size_t size = signature.size();
    EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get());
    EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                   reinterpret_cast<const unsigned char*>(data.data()), data.size());
    return signature;
  }

 private:
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key_{nullptr, &EVP_PKEY_free};
  orvweb::update::PublicKey publicKey_{};
};

}  // namespace update_test
