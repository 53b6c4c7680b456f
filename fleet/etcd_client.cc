#include "fleet/etcd_client.h"

#include <curl/curl.h>

#include <cstring>
#include <mutex>

namespace hxfleet {

namespace {

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t Collect(char* data, size_t size, size_t n, void* user) {
  static_cast<std::string*>(user)->append(data, size * n);
  return size * n;
}

// A curl handle for one POST of JSON; freed with its header list.
struct Post {
  CURL* curl = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  std::string body;
  Post(const std::string& url, const std::string& payload, long connectMs) : body(payload) {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
  }
  ~Post() {
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
  }
};

std::string GatewayError(const Json& j) {
  if (!j.is_object()) return "not a JSON object";
  const Json& e = j.contains("error") ? j["error"] : j;
  if (e.is_string()) return e.get<std::string>();
  if (e.is_object() && e.contains("message") && e["message"].is_string()) {
    return e["message"].get<std::string>();
  }
  return "";
}

}  // namespace

std::string Base64Encode(const std::string& in) {
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += kB64[(v >> s) & 63];
  }
  if (i < in.size()) {
    uint32_t v = uint8_t(in[i]) << 16;
    if (i + 1 < in.size()) v |= uint8_t(in[i + 1]) << 8;
    out += kB64[(v >> 18) & 63];
    out += kB64[(v >> 12) & 63];
    out += i + 1 < in.size() ? kB64[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool Base64Decode(const std::string& in, std::string* out) {
  if (in.size() % 4 != 0) return false;
  std::string r;
  for (size_t i = 0; i < in.size(); i += 4) {
    uint32_t v = 0;
    int pad = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = in[i + k];
      const char* p = c == '\0' ? nullptr : strchr(kB64, c);
      if (c == '=' && i + 4 == in.size() && k >= 2) {
        ++pad;
        v <<= 6;
        continue;
      }
      if (p == nullptr || pad > 0) return false;
      v = (v << 6) | static_cast<uint32_t>(p - kB64);
    }
    r += static_cast<char>(v >> 16);
    if (pad < 2) r += static_cast<char>((v >> 8) & 255);
    if (pad < 1) r += static_cast<char>(v & 255);
  }
  *out = r;
  return true;
}

std::string PrefixEnd(const std::string& prefix) {
  std::string end = prefix;
  while (!end.empty()) {
    if (static_cast<unsigned char>(end.back()) < 0xff) {
      end.back() = static_cast<char>(end.back() + 1);
      return end;
    }
    end.pop_back();
  }
  return std::string(1, '\0');  // every key
}

int64_t JsonInt(const Json& j, const char* name) {
  if (!j.is_object() || !j.contains(name)) return 0;
  const Json& v = j[name];
  if (v.is_number_integer()) return v.get<int64_t>();
  if (v.is_string()) {
    try {
      return std::stoll(v.get<std::string>());
    } catch (...) {
      return 0;
    }
  }
  return 0;
}

bool ParseEndpoints(const std::string& text, std::vector<std::string>* out, std::string* error) {
  std::vector<std::string> eps;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string ep = text.substr(start, comma - start);
    const size_t colon = ep.rfind(':');
    const bool ok = ep.rfind("http://", 0) == 0 && colon > 7 && colon + 1 < ep.size() &&
                    ep.find_first_not_of("0123456789", colon + 1) == std::string::npos;
    if (!ok) {
      *error = "bad etcd endpoint \"" + ep + "\": expected http://HOST:PORT";
      return false;
    }
    eps.push_back(ep);
    start = comma + 1;
  }
  *out = eps;
  return true;
}

EtcdClient::EtcdClient(std::vector<std::string> endpoints, long timeoutMs)
    : endpoints_(std::move(endpoints)), timeoutMs_(timeoutMs) {
  InitCurlOnce();
}

bool EtcdClient::Call(const std::string& path, const Json& body, Json* reply, std::string* error) {
  std::string last = "no endpoint";
  for (size_t n = 0; n < endpoints_.size(); ++n) {
    const size_t i = (preferred_ + n) % endpoints_.size();
    Post post(endpoints_[i] + path, body.dump(), timeoutMs_);
    std::string text;
    curl_easy_setopt(post.curl, CURLOPT_TIMEOUT_MS, timeoutMs_);
    curl_easy_setopt(post.curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(post.curl, CURLOPT_WRITEDATA, &text);
    const CURLcode rc = curl_easy_perform(post.curl);
    long status = 0;
    curl_easy_getinfo(post.curl, CURLINFO_RESPONSE_CODE, &status);
    if (rc != CURLE_OK) {
      last = endpoints_[i] + ": " + curl_easy_strerror(rc);
      continue;
    }
    Json j = Json::parse(text, nullptr, false);
    // A streaming call answers {"result": ...}; a unary one the message.
    if (j.is_object() && j.contains("result") && j.size() == 1) j = j["result"];
    if (status != 200 || !j.is_object() || j.contains("error")) {
      last = endpoints_[i] + ": HTTP " + std::to_string(status) + " " + GatewayError(j);
      continue;
    }
    preferred_ = i;
    *reply = j;
    return true;
  }
  *error = last;
  return false;
}

bool EtcdClient::Range(const std::string& key, const std::string& rangeEnd,
                       std::vector<KeyValue>* kvs, int64_t* revision, std::string* error) {
  Json body = {{"key", Base64Encode(key)}};
  if (!rangeEnd.empty()) body["range_end"] = Base64Encode(rangeEnd);
  Json r;
  if (!Call("/v3/kv/range", body, &r, error)) return false;
  kvs->clear();
  for (const Json& kv : r.value("kvs", Json::array())) {
    KeyValue e;
    if (!Base64Decode(kv.value("key", ""), &e.key) ||
        !Base64Decode(kv.value("value", ""), &e.value)) {
      *error = "a key or value that is not base64";
      return false;
    }
    e.modRevision = JsonInt(kv, "mod_revision");
    e.lease = JsonInt(kv, "lease");
    kvs->push_back(e);
  }
  if (revision) *revision = JsonInt(r.value("header", Json::object()), "revision");
  return true;
}

bool EtcdClient::Put(const std::string& key, const std::string& value, int64_t lease,
                     std::string* error) {
  Json body = {{"key", Base64Encode(key)}, {"value", Base64Encode(value)}};
  if (lease != 0) body["lease"] = std::to_string(lease);
  Json r;
  return Call("/v3/kv/put", body, &r, error);
}

bool EtcdClient::Delete(const std::string& key, const std::string& rangeEnd, std::string* error) {
  Json body = {{"key", Base64Encode(key)}};
  if (!rangeEnd.empty()) body["range_end"] = Base64Encode(rangeEnd);
  Json r;
  return Call("/v3/kv/deleterange", body, &r, error);
}

bool EtcdClient::Grant(int64_t ttl, int64_t* id, std::string* error) {
  Json r;
  if (!Call("/v3/lease/grant", {{"TTL", std::to_string(ttl)}}, &r, error)) return false;
  *id = JsonInt(r, "ID");
  if (*id == 0) {
    *error = "the lease grant returned no ID";
    return false;
  }
  return true;
}

bool EtcdClient::KeepAlive(int64_t id, int64_t* ttl, std::string* error) {
  Json r;
  if (!Call("/v3/lease/keepalive", {{"ID", std::to_string(id)}}, &r, error)) return false;
  *ttl = JsonInt(r, "TTL");
  if (*ttl < 0) *ttl = 0;
  return true;
}

bool EtcdClient::Revoke(int64_t id, std::string* error) {
  Json r;
  return Call("/v3/lease/revoke", {{"ID", std::to_string(id)}}, &r, error);
}

namespace {

struct WatchState {
  std::string buffer;
  const std::function<bool(const Json&, int64_t)>* onEvents;
  const std::atomic<bool>* stop;
  bool* compacted;
  std::string error;
  time_t lastMessage;
  long quietSeconds;
  bool done = false;
};

size_t WatchData(char* data, size_t size, size_t n, void* user) {
  auto* w = static_cast<WatchState*>(user);
  w->buffer.append(data, size * n);
  for (size_t nl; (nl = w->buffer.find('\n')) != std::string::npos;) {
    const std::string line = w->buffer.substr(0, nl);
    w->buffer.erase(0, nl + 1);
    if (line.find_first_not_of(" \r\t") == std::string::npos) continue;
    w->lastMessage = time(nullptr);
    const Json j = Json::parse(line, nullptr, false);
    const Json r = j.is_object() ? j.value("result", Json::object()) : Json();
    if (!j.is_object() || j.contains("error") || !r.is_object()) {
      w->error = "watch: " + (j.is_object() ? GatewayError(j) : std::string("not JSON"));
      return 0;
    }
    if (JsonInt(r, "compact_revision") != 0) {
      *w->compacted = true;
      w->error = "watch: compacted";
      return 0;
    }
    if (r.value("canceled", false)) {
      w->error = "watch: canceled";
      return 0;
    }
    const int64_t rev = JsonInt(r.value("header", Json::object()), "revision");
    if (!(*w->onEvents)(r.value("events", Json::array()), rev)) {
      w->done = true;
      return 0;
    }
  }
  return size * n;
}

int WatchProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* w = static_cast<WatchState*>(user);
  if (w->stop->load()) {
    w->done = true;
    return 1;
  }
  if (time(nullptr) - w->lastMessage > w->quietSeconds) {
    w->error = "watch: no message for " + std::to_string(w->quietSeconds) + " s";
    return 1;
  }
  return 0;
}

}  // namespace

bool EtcdClient::Watch(const std::string& key, const std::string& rangeEnd, int64_t fromRevision,
                       const std::function<bool(const Json&, int64_t)>& onEvents,
                       const std::atomic<bool>& stop, long quietSeconds, bool* compacted,
                       std::string* error) {
  *compacted = false;
  Json create = {{"key", Base64Encode(key)}, {"range_end", Base64Encode(rangeEnd)},
                 {"start_revision", std::to_string(fromRevision)},
                 {"progress_notify", true}};
  const std::string& ep = endpoints_[preferred_ % endpoints_.size()];
  Post post(ep + "/v3/watch", Json({{"create_request", create}}).dump(), timeoutMs_);
  WatchState w{"", &onEvents, &stop, compacted, "", time(nullptr), quietSeconds};
  curl_easy_setopt(post.curl, CURLOPT_WRITEFUNCTION, WatchData);
  curl_easy_setopt(post.curl, CURLOPT_WRITEDATA, &w);
  curl_easy_setopt(post.curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(post.curl, CURLOPT_XFERINFOFUNCTION, WatchProgress);
  curl_easy_setopt(post.curl, CURLOPT_XFERINFODATA, &w);
  const CURLcode rc = curl_easy_perform(post.curl);
  if (w.done) return true;
  if (w.error.empty()) w.error = ep + ": watch ended: " + curl_easy_strerror(rc);
  *error = w.error;
  // The next call starts with another member.
  preferred_ = (preferred_ + 1) % endpoints_.size();
  return false;
}

}  // namespace hxfleet
