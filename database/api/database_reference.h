// DatabaseReference: one location of the database tree, the caller's handle for writing there
// and, as a query without parameters, for observing it. A copyable handle, safe to use from any
// thread. Every write is checked and converted on the caller's thread (misuse throws
// dz::Exception: "WritablePathValidation" under ".info", "InvalidPathValidation",
// "InvalidDezuvuraData" and the priority messages) and then queued as one task on the work
// queue, so writes from one thread reach the server in call order. Completion blocks run on the
// database's callback queue with the error (none on success) and a reference at the written
// location.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "database/api/database_query.h"
#include "database/api/transaction_result.h"
#include "platform/error.h"
#include "platform/exception.h"
#include "platform/value.h"

namespace dz::database {

class Database;
class DatabaseConfig;

class DatabaseReference : public DatabaseQuery {
 public:
  using CompletionBlock =
      std::function<void(const ErrorPtr& error, const DatabaseReference& reference)>;
  // A transaction's update: the current data in, successWithValue(data) or abort() out.
  using TransactionBlock = std::function<TransactionResult(MutableData& currentData)>;
  // The error (none when committed or aborted by the update), whether the data was committed,
  // and the data (none when the transaction was overruled before it ran again).
  using TransactionCompletionBlock = std::function<void(
      const ErrorPtr& error, bool committed, const std::optional<DataSnapshot>& snapshot)>;

  // The reference at the location of a database URL ("https://<ns>.<domain>.<tld>/<path>"), on
  // the repository of that database and the given configuration (the default one when none).
  // Throws "No Dezuvura database specified." for a URL that names no database and
  // "InvalidPathValidation" for a bad path, before any repository is made.
  static DatabaseReference fromURL(std::string_view url);
  static DatabaseReference fromURL(std::string_view url, std::shared_ptr<DatabaseConfig> config);
  static std::shared_ptr<DatabaseConfig> defaultConfig();
  // Interrupt or resume the connections of every database of the process.
  static void goOffline();
  static void goOnline();

  // The location `path` (relative, "/"-separated) below this one. A leading ".info" segment is
  // allowed at the root only.
  DatabaseReference child(std::string_view path) const;
  DatabaseReference childByAppendingPath(std::string_view path) const { return child(path); }
  // A child with a new key that sorts after every key made before (the server's time first).
  DatabaseReference childByAutoId() const;
  std::optional<DatabaseReference> parent() const;
  DatabaseReference root() const;
  // The last key; none at the root.
  std::optional<std::string> key() const;
  std::shared_ptr<Database> database() const;
  // "http[s]://<host>" followed by each key, percent-encoded, after a "/".
  std::string URL() const;
  std::string description() const { return URL(); }

  void setValue(const Value& value, CompletionBlock block = nullptr) const;
  void setValueAndPriority(const Value& value, const Value& priority,
                           CompletionBlock block = nullptr) const;
  void removeValue(CompletionBlock block = nullptr) const;
  void setPriority(const Value& priority, CompletionBlock block = nullptr) const;
  // Writes each value at the relative path its key names, all at once.
  void updateChildValues(const Value::Map& values, CompletionBlock block = nullptr) const;

  // Writes the server performs when this client's connection is lost.
  void onDisconnectSetValue(const Value& value, CompletionBlock block = nullptr) const;
  void onDisconnectSetValueAndPriority(const Value& value, const Value& priority,
                                       CompletionBlock block = nullptr) const;
  void onDisconnectRemoveValue(CompletionBlock block = nullptr) const;
  void onDisconnectUpdateChildValues(const Value::Map& values,
                                     CompletionBlock block = nullptr) const;
  void cancelDisconnectOperations(CompletionBlock block = nullptr) const;

  // Replaces the data here by `block`'s result, committed only if the server still holds the
  // data the block saw; otherwise the block runs again on the newer data (at most 25 sends, then
  // the error "maxretry"). The block runs on the database's work queue, possibly several times,
  // and must not wait for the database; a block that throws aborts its transaction with an error.
  // The completion runs once on the callback queue. With `withLocalEvents` false, observers see
  // the result only once the server confirms it. Throws "WritablePathValidation" under ".info"
  // and NSInvalidArgumentException without a block.
  void runTransactionBlock(TransactionBlock block) const;
  void runTransactionBlock(TransactionBlock block, TransactionCompletionBlock completion) const;
  void runTransactionBlock(TransactionBlock block, TransactionCompletionBlock completion,
                           bool withLocalEvents) const;

  // For the library's own objects.
  DatabaseReference(std::shared_ptr<Repo> repo, const Path& path);

 private:
  void setInternal(const Value& value, const Value& priority, bool onDisconnect,
                   CompletionBlock block, const char* label) const;
  void updateInternal(const Value::Map& values, bool onDisconnect, CompletionBlock block,
                      const char* label) const;
  void runTransactionInternal(TransactionBlock block, TransactionCompletionBlock completion,
                              bool withLocalEvents, const char* label) const;
};

}  // namespace dz::database
