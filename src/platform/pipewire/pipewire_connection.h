// One connection to the session's PipeWire server, and what it has learnt about the audio graph:
// the output devices, the playback streams and who owns them, and the ports to link. Everything
// here runs on, or is called with the lock of, the connection's thread loop.
#pragma once

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/pipewire/link_policy.h"
#include "platform/pipewire/pipewire_handles.h"
#include "platform/pipewire/stream_owner.h"

namespace sysaudio::pipewire {

class PipeWireConnection;

// A client of the server, bound so as to learn the process it belongs to.
class GraphClient {
 public:
  GraphClient(PipeWireConnection& connection, ProxyHandle proxy, std::string name);

  bool described() const { return described_; }
  const ClientIdentity& identity() const { return identity_; }
  const std::string& name() const { return name_; }

 private:
  static void onInfo(void* data, const pw_client_info* info);

  PipeWireConnection& connection_;
  ProxyHandle proxy_;
  Hook hook_;
  std::string name_;
  bool described_ = false;
  ClientIdentity identity_;
};

// A node of the graph. Playback streams are bound, since only their full properties say which
// process plays through them and whether they are half of a virtual device, and only their
// parameters give the channels of their own format.
class GraphNode {
 public:
  GraphNode(PipeWireConnection& connection, std::string mediaClass, std::string name,
            std::string description, std::optional<std::uint32_t> clientID, ProxyHandle proxy);

  const std::string& mediaClass() const { return mediaClass_; }
  const std::string& name() const { return name_; }
  const std::string& description() const { return description_; }
  std::optional<std::uint32_t> clientID() const { return clientID_; }
  bool isOutputDevice() const { return mediaClass_ == "Audio/Sink"; }
  // Whether the full properties have arrived.
  bool described() const { return described_; }
  // The process the node's own properties name, which PulseAudio streams carry.
  std::optional<pid_t> reportedProcessID() const { return reportedProcessID_; }
  // node.link-group, empty when the node has none.
  const std::string& linkGroup() const { return linkGroup_; }
  // Whether the format parameters have been listed once, and the channel positions of the
  // node's own format (its set format, or else the one format it offers), empty when unknown.
  bool formatListed() const { return formatListed_; }
  std::vector<std::string> sourcePositions() const;

 private:
  static void onInfo(void* data, const pw_node_info* info);
  static void onParam(void* data, int seq, std::uint32_t id, std::uint32_t index,
                      std::uint32_t next, const spa_pod* param);
  static void onProxyDone(void* data, int seq);

  PipeWireConnection& connection_;
  std::string mediaClass_;
  std::string name_;
  std::string description_;
  std::optional<std::uint32_t> clientID_;
  ProxyHandle proxy_;
  Hook hook_;
  Hook proxyHook_;
  bool described_ = false;
  std::optional<pid_t> reportedProcessID_;
  std::string linkGroup_;
  bool formatListed_ = false;
  std::vector<std::string> formatPositions_;
  std::vector<std::string> offeredPositions_;
};

// Told on the loop's thread whenever the graph changed or the connection is gone.
class GraphObserver {
 public:
  virtual ~GraphObserver() = default;
  virtual void graphChanged() = 0;
  virtual void connectionLost(const std::string& description) = 0;
};

class PipeWireConnection {
 public:
  using Settled = std::function<void(std::optional<std::string> error)>;

  // Connects to the session's server, or says why it cannot.
  static std::unique_ptr<PipeWireConnection> connect(std::string& error);
  PipeWireConnection() = default;
  PipeWireConnection(const PipeWireConnection&) = delete;
  PipeWireConnection& operator=(const PipeWireConnection&) = delete;
  ~PipeWireConnection();

  pw_thread_loop* threadLoop() const { return threadLoop_.get(); }
  pw_core* core() const { return core_.get(); }
  pw_context* context() const { return context_.get(); }

  // Calls settled once the server has listed its objects and described the bound ones, or
  // with an error if the connection fails or the server does not answer in time.
  void settle(Settled settled);

  const std::map<std::uint32_t, std::unique_ptr<GraphNode>>& nodes() const { return nodes_; }
  const std::map<std::uint32_t, GraphPort>& ports() const { return ports_; }
  const std::map<std::uint32_t, GraphLink>& links() const { return links_; }
  const std::string& defaultSinkName() const { return defaultSinkName_; }
  const GraphClient* client(std::uint32_t id) const;
  std::vector<const GraphClient*> clients() const;
  // The message of the error that ended the connection; empty while it lasts.
  const std::string& lostDescription() const { return lostDescription_; }

  void setObserver(GraphObserver* observer) { observer_ = observer; }
  void notifyChanged();

 private:
  static void onGlobal(void* data, std::uint32_t id, std::uint32_t permissions, const char* type,
                       std::uint32_t version, const spa_dict* props);
  static void onGlobalRemove(void* data, std::uint32_t id);
  static void onCoreDone(void* data, std::uint32_t id, int seq);
  static void onCoreError(void* data, std::uint32_t id, int seq, int res, const char* message);
  static int onMetadataProperty(void* data, std::uint32_t subject, const char* key,
                                const char* type, const char* value);
  static void onSettleTimeout(void* data, std::uint64_t expirations);

  void addNode(std::uint32_t id, const spa_dict* props);
  void addClient(std::uint32_t id, const spa_dict* props);
  void addPort(std::uint32_t id, const spa_dict* props);
  void addLink(std::uint32_t id, const spa_dict* props);
  void bindDefaultMetadata(std::uint32_t id);
  void finishSettling(std::optional<std::string> error);

  ThreadLoopHandle threadLoop_;
  ContextHandle context_;
  CoreHandle core_;
  Hook coreHook_;
  ProxyHandle registry_;
  Hook registryHook_;
  ProxyHandle metadata_;
  Hook metadataHook_;
  std::map<std::uint32_t, std::unique_ptr<GraphClient>> clients_;
  std::map<std::uint32_t, std::unique_ptr<GraphNode>> nodes_;
  std::map<std::uint32_t, GraphPort> ports_;
  std::map<std::uint32_t, GraphLink> links_;
  std::string defaultSinkName_;

  Settled settled_;
  int settleRound_ = 0;
  int settleSeq_ = -1;
  LoopSourceHandle settleTimer_;

  std::string lostDescription_;
  GraphObserver* observer_ = nullptr;
};

}  // namespace sysaudio::pipewire
