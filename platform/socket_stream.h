// Socket streams: an input and an output stream over one TCP connection, optionally with TLS
// (OpenSSL 3). The pair opens asynchronously: the name look-up runs on a worker thread, connect
// and the TLS handshake on the run loop the streams are scheduled on, which is also where their
// delegates receive events. read() and write() never block and may be called from any one thread
// at a time (the owner's serial queue); the pair is otherwise thread-safe. TLS is verified by
// default: peer chain against the system trust store (plus a CA file from the settings or the
// environment variable DZ_CA_FILE), host name, SNI. Writes never raise SIGPIPE.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"

namespace dz::platform {

class RunLoop;

inline constexpr char kSocketErrorDomain[] = "dz.platform.SocketError";  // code: errno
inline constexpr char kTlsErrorDomain[] = "dz.platform.TlsError";

enum class StreamStatus { kNotOpen, kOpening, kOpen, kAtEnd, kClosed, kError };

enum class StreamEvent {
  kOpenCompleted,
  kHasBytesAvailable,
  kHasSpaceAvailable,
  kErrorOccurred,
  kEndEncountered,
};

enum class NetworkServiceType { kDefault, kBackground };

struct TlsSettings {
  // Off only for a caller that checks the peer's chain itself (pinning); SNI is still sent.
  bool validatesCertificateChain = true;
  // A PEM file of extra trust anchors, added to the system store.
  std::string caFile;
};

class Stream;

class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  // Called on the run loop the stream is scheduled on.
  virtual void handleStreamEvent(Stream& stream, StreamEvent event) = 0;
};

class Stream {
 public:
  struct Connection;

  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  virtual ~Stream();

  // Opening either stream of a pair starts the connection once a run loop is scheduled; opening
  // an opening or open stream does nothing.
  void open();
  // Closes this stream; the connection closes when both are closed. No events follow.
  void close();
  StreamStatus status() const;
  // The failure of the connection, once status() is kError.
  ErrorPtr error() const;

  // Held weakly; events stop when the delegate is gone or replaced by null.
  void setDelegate(std::weak_ptr<StreamDelegate> delegate);
  // Both streams of a pair share one run loop; the last schedule wins.
  void scheduleIn(RunLoop& runLoop);
  void removeFromRunLoop();

  // TLS for the connection; set before opening.
  void setTlsSettings(TlsSettings settings);
  // The peer's certificates as DER, leaf first; empty before the handshake or without TLS.
  std::vector<std::string> peerCertificateChain() const;
  // The socket's file descriptor, -1 before connecting and after closing.
  int nativeSocket() const;
  // Accepted for the design's sake; this platform has no network service classes.
  void setNetworkServiceType(NetworkServiceType) {}

  bool isInput() const { return isInput_; }

 protected:
  Stream(std::shared_ptr<Connection> connection, bool isInput);
  std::shared_ptr<Connection> connection_;
  const bool isInput_;
};

class InputStream : public Stream {
 public:
  explicit InputStream(std::shared_ptr<Connection> connection)
      : Stream(std::move(connection), true) {}
  // Up to `capacity` bytes: the count read, 0 when nothing is available now or at the end (an
  // end or error event follows), -1 on an error (see error()).
  ssize_t read(uint8_t* buffer, size_t capacity);
  bool hasBytesAvailable() const;
};

class OutputStream : public Stream {
 public:
  explicit OutputStream(std::shared_ptr<Connection> connection)
      : Stream(std::move(connection), false) {}
  // The count written (possibly 0 or fewer than `size`; a space-available event follows), -1 on
  // an error (see error()).
  ssize_t write(const uint8_t* bytes, size_t size);
  bool hasSpaceAvailable() const;
};

struct StreamPair {
  std::shared_ptr<InputStream> input;
  std::shared_ptr<OutputStream> output;
};

// A pair to `host`:`port` (resolved through platform/resolver.h), not yet opened.
StreamPair createStreamPair(const std::string& host, uint16_t port);

}  // namespace dz::platform
