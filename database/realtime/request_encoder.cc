#include "database/realtime/request_encoder.h"

#include <boost/json/serialize.hpp>

#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/wire_protocol.h"

namespace dz::database {
namespace {

// Each relative path (wire form) to its node's export value.
boost::json::object mergeJson(const CompoundWrite& write) {
  boost::json::object object;
  write.enumerateWrites([&](const Path& path, const NodePtr& node) {
    object[path.wireFormat()] = SnapshotUtilities::toJson(*node, true);
    return false;
  });
  return object;
}

struct DataJson {
  boost::json::object& body;
  void operator()(std::monostate) const {}
  void operator()(std::nullptr_t) const { body[wire::kBodyData] = nullptr; }
  void operator()(const NodePtr& node) const {
    body[wire::kBodyData] = SnapshotUtilities::toJson(*node, true);
  }
  void operator()(const CompoundWrite& merge) const { body[wire::kBodyData] = mergeJson(merge); }
};

boost::json::object bodyJson(const RequestBody& body) {
  boost::json::object json;
  if (body.path) json[wire::kBodyPath] = *body.path;
  std::visit(DataJson{json}, body.data);
  if (body.query) json[wire::kBodyQuery] = body.query->toJson();
  if (body.tag) json[wire::kBodyTag] = *body.tag;
  if (body.hash) json[wire::kBodyHash] = *body.hash;
  if (body.compoundHash) {
    boost::json::array hashes, posts;
    for (const auto& hash : body.compoundHash->hashes) hashes.emplace_back(hash);
    for (const auto& post : body.compoundHash->posts) posts.emplace_back(post.wireFormat());
    json[wire::kBodyCompoundHash] =
        boost::json::object{{wire::kCompoundHashHashes, std::move(hashes)},
                            {wire::kCompoundHashPosts, std::move(posts)}};
  }
  if (body.credential) json[wire::kAuthCredential] = *body.credential;
  if (body.counters) {
    boost::json::object counters;
    for (const auto& [name, count] : *body.counters) counters[name] = count;
    json[wire::kStatsCounters] = std::move(counters);
  }
  return json;
}

}  // namespace

boost::json::object encodeRequest(const Request& request) {
  return {{wire::kRequestNumber, request.number},
          {wire::kRequestAction, request.action},
          {wire::kRequestBody, bodyJson(request.body)}};
}

std::string requestBodyText(const RequestBody& body) {
  return boost::json::serialize(bodyJson(body));
}

}  // namespace dz::database
