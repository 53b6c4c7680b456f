// A client of etcd's v3 HTTP/JSON gateway: key ranges, puts, transactions,
// leases and watches, over libcurl. Keys and values travel base64-encoded;
// 64-bit numbers come back as JSON strings. Every call tries the endpoints in
// turn, starting with the last one that answered, and fails with a message
// naming the last error; none blocks longer than its timeout.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace hxfleet {

using Json = nlohmann::json;

std::string Base64Encode(const std::string& in);
// False when in is not base64.
bool Base64Decode(const std::string& in, std::string* out);
// The first key after every key that starts with prefix.
std::string PrefixEnd(const std::string& prefix);
// A JSON number or a decimal string as the gateway writes int64; 0 when absent.
int64_t JsonInt(const Json& j, const char* name);

struct KeyValue {
  std::string key, value;
  int64_t modRevision = 0;
  int64_t lease = 0;
};

class EtcdClient {
 public:
  // endpoints: "http://host:port" each. timeoutMs bounds every unary call.
  explicit EtcdClient(std::vector<std::string> endpoints, long timeoutMs = 1500);

  // POSTs body to path (e.g. "/v3/kv/range") on the first endpoint that
  // answers with HTTP 200 and a JSON object; gateway errors ("error"/"code"
  // fields) fail the call on that endpoint.
  bool Call(const std::string& path, const Json& body, Json* reply, std::string* error);

  bool Range(const std::string& key, const std::string& rangeEnd, std::vector<KeyValue>* kvs,
             int64_t* revision, std::string* error);
  bool Put(const std::string& key, const std::string& value, int64_t lease, std::string* error);
  bool Delete(const std::string& key, const std::string& rangeEnd, std::string* error);
  bool Grant(int64_t ttl, int64_t* id, std::string* error);
  // *ttl: the lease's remaining time; 0 when it has expired.
  bool KeepAlive(int64_t id, int64_t* ttl, std::string* error);
  bool Revoke(int64_t id, std::string* error);

  // Watches [key, rangeEnd) from revision fromRevision, calling onEvents with
  // each batch's events (each {"type": "PUT"|"DELETE", "kv": {...}}) and the
  // batch's header revision. Returns when onEvents returns false, stop turns
  // true, no message came for quietSeconds (a stall), the watch is compacted
  // (*compacted set) or the connection fails.
  bool Watch(const std::string& key, const std::string& rangeEnd, int64_t fromRevision,
             const std::function<bool(const Json& events, int64_t revision)>& onEvents,
             const std::atomic<bool>& stop, long quietSeconds, bool* compacted,
             std::string* error);

  const std::vector<std::string>& endpoints() const { return endpoints_; }

 private:
  std::vector<std::string> endpoints_;
  long timeoutMs_;
  size_t preferred_ = 0;
};

// Splits "URL[,URL...]"; false (with *error) when a part is not http://host:port.
bool ParseEndpoints(const std::string& text, std::vector<std::string>* out, std::string* error);

}  // namespace hxfleet
