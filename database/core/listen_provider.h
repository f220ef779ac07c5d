// ListenProvider: how the sync tree starts and stops server listens as views appear and go away.
// The repository fills in the two functions (the connection's listen and unlisten); tests fill in
// their own. SyncTreeHash: what a listen sends about the data already here, computed when the
// listen is sent. Work queue only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "database/core/view/event.h"
#include "database/snapshot/compound_hash.h"
#include "database/snapshot/query_spec.h"
#include "platform/error.h"

namespace dz::database {

// Numbers naming a tagged (filtered) listen in server data.
using QueryTag = int64_t;

class SyncTreeHash {
 public:
  virtual ~SyncTreeHash() = default;
  // The data hash of the view's server data.
  virtual std::string simpleHash() const = 0;
  virtual CompoundHash compoundHash() const = 0;
  // Whether the server data is large enough (over 1,024 bytes estimated) to send the compound hash.
  virtual bool includeCompoundHash() const = 0;
};

// Given the outcome of a listen (none, or the error its failure stands for), returns the events
// to raise.
using ListenCompletion = std::function<Events(const ErrorPtr& error)>;

class ListenProvider {
 public:
  using StartListening =
      std::function<Events(const QuerySpec& query, std::optional<QueryTag> tag,
                           std::shared_ptr<const SyncTreeHash> hash, ListenCompletion onComplete)>;
  using StopListening = std::function<void(const QuerySpec& query, std::optional<QueryTag> tag)>;

  ListenProvider() = default;
  ListenProvider(StartListening start, StopListening stop)
      : startListening_(std::move(start)), stopListening_(std::move(stop)) {}

  void setStartListening(StartListening start) { startListening_ = std::move(start); }
  void setStopListening(StopListening stop) { stopListening_ = std::move(stop); }

  Events startListening(const QuerySpec& query, std::optional<QueryTag> tag,
                        std::shared_ptr<const SyncTreeHash> hash,
                        ListenCompletion onComplete) const {
    if (!startListening_) return {};
    return startListening_(query, tag, std::move(hash), std::move(onComplete));
  }
  void stopListening(const QuerySpec& query, std::optional<QueryTag> tag) const {
    if (stopListening_) stopListening_(query, tag);
  }

 private:
  StartListening startListening_;
  StopListening stopListening_;
};

}  // namespace dz::database
