// Reuse of libcurl handles, and with them of open connections: each pooled
// entry is an easy handle with a multi handle of its own, whose connection
// cache keeps the connections of earlier transfers alive for the next one
// to the same origin (scheme, host and port). An entry keeps its handle's
// options from one transfer to the next, with the transfer's own state
// beside them (HandleState), so options that never change are set once per
// handle. Internal to the HTTP client.
//
// Threading: take() and a lease's end may run on any thread; an entry is
// used by the one thread that leased it. Ownership: the pool owns idle
// entries, a Lease the one it holds. Failure: take() gives an empty lease
// when libcurl cannot make handles.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/http/HeaderFields.h"

namespace platform::http::detail {

class HandlePool {
 public:
  // Idle entries kept per origin and in all.
  static constexpr std::size_t kMaxIdlePerOrigin = 16;
  static constexpr std::size_t kMaxIdle = 64;

  struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
  };
  struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
  };

  // What the transfer keeps with a pooled handle between transfers: whether
  // the options every transfer shares are set, the buffer libcurl writes its
  // error text to, the state of the running transfer (what the callbacks
  // are given), the last URL sent already parsed (parsed again only for
  // another URL), and the header list last sent with what it was made from:
  // the request's fields and the stored cookies that went with them (the
  // list is sent again while those are the same).
  struct HandleState {
    bool configured = false;
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    void* transfer = nullptr;
    std::string parsedText;
    std::unique_ptr<CURLU, UrlDeleter> parsedUrl;
    std::unique_ptr<curl_slist, ListDeleter> headers;
    bool headersCurrent = false;  // false: build the list again
    std::vector<HeaderFields::Entry> sentFields;
    std::optional<std::string> sentCookieLine;
    std::string sentCookiesJoined;
  };

  struct Entry;
  struct EntryDeleter {
    void operator()(Entry* entry) const;
  };
  using EntryPtr = std::unique_ptr<Entry, EntryDeleter>;

  // One entry on loan. It goes back to the pool (options, state and
  // connections kept) when the lease ends after keep(); otherwise it is
  // closed, with its connections.
  class Lease {
   public:
    Lease() = default;
    Lease(HandlePool* pool, std::string origin, EntryPtr entry);
    Lease(Lease&&) noexcept = default;
    Lease& operator=(Lease&&) noexcept = default;
    ~Lease();

    explicit operator bool() const { return entry_ != nullptr; }
    CURL* easy() const;
    CURLM* multi() const;
    HandleState& state() const;
    // The transfer ended cleanly: its connection may serve the next one.
    void keep() { keep_ = true; }

   private:
    HandlePool* pool_ = nullptr;
    std::string origin_;
    EntryPtr entry_;
    bool keep_ = false;
  };

  // The process's pool.
  static HandlePool& shared();

  // An idle entry for `origin` (most recently used first), or a new one.
  Lease take(const std::string& origin);
  // Closes every idle entry and its connections.
  void clear();
  // Idle entries held now.
  std::size_t idleCount();

 private:
  void giveBack(const std::string& origin, EntryPtr entry);

  std::mutex mutex_;
  // Per origin, the most recently returned last.
  std::map<std::string, std::vector<EntryPtr>> idle_;
  std::size_t idleCount_ = 0;
};

}  // namespace platform::http::detail
