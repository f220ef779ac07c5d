#include "database/api/database_reference.h"

#include "database/api/database.h"
#include "database/api/query_state.h"
#include "database/core/parsed_url.h"
#include "database/core/repo.h"
#include "database/core/repo_manager.h"
#include "database/snapshot/indexed_node.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/snapshot/validation.h"
#include "database/utilities/next_push_id.h"
#include "database/utilities/string_utilities.h"
#include "platform/exception.h"

namespace dz::database {
namespace {

constexpr char kChildLabel[] = "child:";
constexpr char kAutoIdLabel[] = "childByAutoId:";
constexpr char kUrlLabel[] = "initWithUrl:";

// Completion blocks receive a reference at the written location.
RepoWriteCallback completionOf(DatabaseReference::CompletionBlock block,
                               const DatabaseReference& ref) {
  if (!block) return nullptr;
  return [block = std::move(block), ref](const ErrorPtr& error) { block(error, ref); };
}

}  // namespace

DatabaseReference::DatabaseReference(std::shared_ptr<Repo> repo, const Path& path)
    : DatabaseQuery(std::make_shared<const State>(
          State{std::move(repo), path, QueryParams::defaultInstance(), false, true})) {}

DatabaseReference DatabaseReference::fromURL(std::string_view url) {
  return fromURL(url, defaultConfig());
}

DatabaseReference DatabaseReference::fromURL(std::string_view url,
                                             std::shared_ptr<DatabaseConfig> config) {
  // Every check before the registry: a refused URL freezes nothing and connects nowhere.
  ParsedUrl parsed = parseUrl(url);
  Validation::validateRootPathString(kUrlLabel, parsed.path.toString());
  if (!config) config = defaultConfig();
  RepoPtr repo = RepoManager::getOrCreateRepo(parsed.repoInfo, config, [&] {
    return Database::createDatabaseForTests(parsed.repoInfo, config)->repo();
  });
  return DatabaseReference(std::move(repo), parsed.path);
}

std::shared_ptr<DatabaseConfig> DatabaseReference::defaultConfig() {
  return DatabaseConfig::defaultConfig();
}

void DatabaseReference::goOffline() { RepoManager::interruptAll(); }

void DatabaseReference::goOnline() { RepoManager::resumeAll(); }

// ---- navigation ----

DatabaseReference DatabaseReference::child(std::string_view pathString) const {
  if (path().isEmpty()) {
    Validation::validateRootPathString(kChildLabel, pathString);
  } else {
    Validation::validatePathString(kChildLabel, pathString);
  }
  return DatabaseReference(repo(), path().child(pathString));
}

DatabaseReference DatabaseReference::childByAutoId() const {
  Validation::validateWritablePath(kAutoIdLabel, path());
  return DatabaseReference(repo(), path().child(nextPushId(repo()->serverTime())));
}

std::optional<DatabaseReference> DatabaseReference::parent() const {
  std::optional<Path> parentPath = path().parent();
  if (!parentPath) return std::nullopt;
  return DatabaseReference(repo(), *parentPath);
}

DatabaseReference DatabaseReference::root() const { return DatabaseReference(repo(), Path()); }

std::optional<std::string> DatabaseReference::key() const {
  if (path().isEmpty()) return std::nullopt;
  return path().back();
}

std::shared_ptr<Database> DatabaseReference::database() const { return repo()->database(); }

std::string DatabaseReference::URL() const {
  std::string url = repo()->description();
  for (const std::string& key : path().keys()) url += "/" + urlEncoded(key);
  return url;
}

// ---- writes ----

void DatabaseReference::setInternal(const Value& value, const Value& priority, bool onDisconnect,
                                    CompletionBlock block, const char* label) const {
  Validation::validateWritablePath(label, path());
  NodePtr node = SnapshotUtilities::nodeFrom(value, priority, label);
  RepoWriteCallback callback = completionOf(std::move(block), *this);
  std::shared_ptr<Repo> target = repo();
  Path at = path();
  target->queue()->async([target, at, node, onDisconnect, callback] {
    if (onDisconnect) {
      target->onDisconnectSet(at, node, callback);
    } else {
      target->set(at, node, callback);
    }
  });
}

void DatabaseReference::updateInternal(const Value::Map& values, bool onDisconnect,
                                       CompletionBlock block, const char* label) const {
  Validation::validateWritablePath(label, path());
  CompoundWrite nodes = SnapshotUtilities::compoundWriteFromDictionary(values, label);
  RepoWriteCallback callback = completionOf(std::move(block), *this);
  std::shared_ptr<Repo> target = repo();
  Path at = path();
  target->queue()->async([target, at, nodes, onDisconnect, callback] {
    if (onDisconnect) {
      target->onDisconnectUpdate(at, nodes, callback);
    } else {
      target->update(at, nodes, callback);
    }
  });
}

void DatabaseReference::setValue(const Value& value, CompletionBlock block) const {
  const char* label = block ? "setValue:withCompletionBlock:" : "setValue:";
  setInternal(value, Value(), false, std::move(block), label);
}

void DatabaseReference::setValueAndPriority(const Value& value, const Value& priority,
                                            CompletionBlock block) const {
  const char* label = block ? "setValue:andPriority:withCompletionBlock:" : "setValue:andPriority:";
  setInternal(value, priority, false, std::move(block), label);
}

void DatabaseReference::removeValue(CompletionBlock block) const {
  const char* label = block ? "removeValueWithCompletionBlock:" : "removeValue:";
  setInternal(Value(), Value(), false, std::move(block), label);
}

// The priority is checked here, on the caller's thread, so that a bad one reaches the caller.
void DatabaseReference::setPriority(const Value& priority, CompletionBlock block) const {
  const char* label = block ? "setPriority:withCompletionBlock:" : "setPriority:";
  Validation::validateWritablePath(label, path());
  SnapshotUtilities::nodeFrom(Value(true), priority, label);
  NodePtr node = SnapshotUtilities::nodeFrom(priority);
  std::shared_ptr<Repo> target = repo();
  // The write is at the priority's own location, and so is the completion's reference.
  Path at = path().child(".priority");
  RepoWriteCallback callback = completionOf(std::move(block), DatabaseReference(target, at));
  target->queue()->async([target, at, node, callback] { target->set(at, node, callback); });
}

void DatabaseReference::updateChildValues(const Value::Map& values, CompletionBlock block) const {
  const char* label = block ? "updateChildValues:withCompletionBlock:" : "updateChildValues:";
  updateInternal(values, false, std::move(block), label);
}

void DatabaseReference::onDisconnectSetValue(const Value& value, CompletionBlock block) const {
  const char* label = block ? "onDisconnectSetValue:withCompletionBlock:" : "onDisconnectSetValue:";
  setInternal(value, Value(), true, std::move(block), label);
}

void DatabaseReference::onDisconnectSetValueAndPriority(const Value& value, const Value& priority,
                                                        CompletionBlock block) const {
  const char* label = block ? "onDisconnectSetValue:andPriority:withCompletionBlock:"
                            : "onDisconnectSetValue:andPriority:";
  setInternal(value, priority, true, std::move(block), label);
}

void DatabaseReference::onDisconnectRemoveValue(CompletionBlock block) const {
  const char* label =
      block ? "onDisconnectRemoveValueWithCompletionBlock:" : "onDisconnectRemoveValue:";
  setInternal(Value(), Value(), true, std::move(block), label);
}

void DatabaseReference::onDisconnectUpdateChildValues(const Value::Map& values,
                                                      CompletionBlock block) const {
  const char* label = block ? "onDisconnectUpdateChildValues:withCompletionBlock:"
                            : "onDisconnectUpdateChildValues:";
  updateInternal(values, true, std::move(block), label);
}

void DatabaseReference::cancelDisconnectOperations(CompletionBlock block) const {
  RepoWriteCallback callback = completionOf(std::move(block), *this);
  std::shared_ptr<Repo> target = repo();
  Path at = path();
  target->queue()->async([target, at, callback] { target->onDisconnectCancel(at, callback); });
}

// ---- transactions ----

void DatabaseReference::runTransactionInternal(TransactionBlock block,
                                               TransactionCompletionBlock completion,
                                               bool withLocalEvents, const char* label) const {
  Validation::validateWritablePath(label, path());
  if (!block) {
    throw Exception(kInvalidArgumentException, std::string("(") + label + ") Must provide a block");
  }
  TransactionUpdate update = [block = std::move(block)](const NodePtr& current) -> NodePtr {
    MutableData data(current);
    TransactionResult result = block(data);
    return result.isSuccess() ? result.update()->nodeValue() : nullptr;
  };
  TransactionCompletion onComplete;
  if (completion) {
    onComplete = [completion = std::move(completion), ref = *this](
                     const ErrorPtr& error, bool committed, const NodePtr& data) {
      std::optional<DataSnapshot> snapshot;
      if (data) snapshot.emplace(ref.repo(), ref.path(), IndexedNode(data));
      completion(error, committed, snapshot);
    };
  }
  std::shared_ptr<Repo> target = repo();
  Path at = path();
  target->queue()->async([target, at, update, onComplete, withLocalEvents] {
    target->startTransaction(at, update, onComplete, withLocalEvents);
  });
}

void DatabaseReference::runTransactionBlock(TransactionBlock block) const {
  runTransactionInternal(std::move(block), nullptr, true, "runTransactionBlock:");
}

void DatabaseReference::runTransactionBlock(TransactionBlock block,
                                            TransactionCompletionBlock completion) const {
  runTransactionInternal(std::move(block), std::move(completion), true,
                         "runTransactionBlock:andCompletionBlock:");
}

void DatabaseReference::runTransactionBlock(TransactionBlock block,
                                            TransactionCompletionBlock completion,
                                            bool withLocalEvents) const {
  runTransactionInternal(std::move(block), std::move(completion), withLocalEvents,
                         "runTransactionBlock:andCompletionBlock:withLocalEvents:");
}

}  // namespace dz::database
