#include "platform/pipewire/pipewire_connection.h"

#include <spa/debug/types.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/type-info.h>
#include <spa/utils/json.h>
#include <spa/utils/result.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>

namespace sysaudio::pipewire {

namespace {

using namespace std::string_view_literals;

// How long the server may take to list its objects before the request fails.
constexpr std::int64_t settleTimeoutSeconds = 5;

std::string_view lookup(const spa_dict* props, const char* key) {
  const char* value = props != nullptr ? spa_dict_lookup(props, key) : nullptr;
  return value != nullptr ? std::string_view(value) : std::string_view();
}

template <typename Number>
std::optional<Number> numberIn(const spa_dict* props, const char* key) {
  const std::string_view text = lookup(props, key);
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<pid_t> processIn(const spa_dict* props, const char* key) {
  const std::optional<pid_t> process = numberIn<pid_t>(props, key);
  if (!process || *process <= 0) {
    return std::nullopt;
  }
  return process;
}

// The "name" member of a JSON object such as {"name":"sink"}, however it is spaced.
std::string nameInJson(const char* json) {
  spa_json iterator;
  spa_json object;
  spa_json_init(&iterator, json, std::strlen(json));
  if (spa_json_enter_object(&iterator, &object) <= 0) {
    return {};
  }
  char key[64];
  while (spa_json_get_string(&object, key, sizeof key) > 0) {
    char value[1024];
    if (std::string_view(key) == "name" && spa_json_get_string(&object, value, sizeof value) > 0) {
      return value;
    }
    const char* skipped;
    if (spa_json_next(&object, &skipped) <= 0) {
      break;
    }
  }
  return {};
}

// The channel positions of an audio format, by the names ports carry; empty when the format is
// not raw audio with fixed, positioned channels.
std::vector<std::string> positionsOf(const spa_pod* format) {
  std::uint32_t mediaType = 0;
  std::uint32_t mediaSubtype = 0;
  if (format == nullptr || spa_format_parse(format, &mediaType, &mediaSubtype) < 0 ||
      mediaType != SPA_MEDIA_TYPE_audio || mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
    return {};
  }
  spa_audio_info_raw info{};
  if (spa_format_audio_raw_parse(format, &info) < 0 ||
      (info.flags & SPA_AUDIO_FLAG_UNPOSITIONED) != 0 || info.channels == 0 ||
      info.channels > SPA_AUDIO_MAX_CHANNELS) {
    return {};
  }
  std::vector<std::string> positions;
  for (std::uint32_t i = 0; i < info.channels; ++i) {
    const char* name = spa_debug_type_find_short_name(spa_type_audio_channel, info.position[i]);
    positions.emplace_back(name != nullptr ? name : "UNK");
  }
  return positions;
}

}  // namespace

GraphClient::GraphClient(PipeWireConnection& connection, ProxyHandle proxy, std::string name)
    : connection_(connection), proxy_(std::move(proxy)), name_(std::move(name)) {
  static const pw_client_events events = [] {
    pw_client_events events{};
    events.version = PW_VERSION_CLIENT_EVENTS;
    events.info = &GraphClient::onInfo;
    return events;
  }();
  pw_proxy_add_object_listener(proxy_.get(), hook_.get(), &events, this);
}

void GraphClient::onInfo(void* data, const pw_client_info* info) {
  auto& client = *static_cast<GraphClient*>(data);
  if ((info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS) != 0) {
    client.identity_ = ClientIdentity{processIn(info->props, PW_KEY_SEC_PID),
                                      processIn(info->props, PW_KEY_APP_PROCESS_ID),
                                      lookup(info->props, PW_KEY_CLIENT_API) == "pipewire-pulse"sv};
  }
  client.described_ = true;
  client.connection_.notifyChanged();
}

GraphNode::GraphNode(PipeWireConnection& connection, std::string mediaClass, std::string name,
                     std::string description, std::optional<std::uint32_t> clientID,
                     ProxyHandle proxy)
    : connection_(connection),
      mediaClass_(std::move(mediaClass)),
      name_(std::move(name)),
      description_(std::move(description)),
      clientID_(clientID),
      proxy_(std::move(proxy)) {
  if (!proxy_) {
    return;
  }
  static const pw_node_events events = [] {
    pw_node_events events{};
    events.version = PW_VERSION_NODE_EVENTS;
    events.info = &GraphNode::onInfo;
    events.param = &GraphNode::onParam;
    return events;
  }();
  pw_proxy_add_object_listener(proxy_.get(), hook_.get(), &events, this);
  static const pw_proxy_events proxyEvents = [] {
    pw_proxy_events events{};
    events.version = PW_VERSION_PROXY_EVENTS;
    events.done = &GraphNode::onProxyDone;
    return events;
  }();
  pw_proxy_add_listener(proxy_.get(), proxyHook_.get(), &proxyEvents, this);
  // The server sends the current formats at once and again whenever they change; the answer to
  // the sync says that the current ones have all come.
  std::uint32_t formats[] = {SPA_PARAM_EnumFormat, SPA_PARAM_Format};
  pw_node_subscribe_params(reinterpret_cast<pw_node*>(proxy_.get()), formats, 2);
  pw_proxy_sync(proxy_.get(), 0);
}

void GraphNode::onInfo(void* data, const pw_node_info* info) {
  auto& node = *static_cast<GraphNode*>(data);
  if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) != 0) {
    node.reportedProcessID_ = processIn(info->props, PW_KEY_APP_PROCESS_ID);
    node.linkGroup_ = lookup(info->props, PW_KEY_NODE_LINK_GROUP);
  }
  node.described_ = true;
  node.connection_.notifyChanged();
}

void GraphNode::onParam(void* data, int, std::uint32_t id, std::uint32_t index, std::uint32_t,
                        const spa_pod* param) {
  auto& node = *static_cast<GraphNode*>(data);
  // A list of a kind starts again from index 0 each time it changes.
  if (id == SPA_PARAM_Format) {
    node.formatPositions_ = positionsOf(param);
  } else if (id == SPA_PARAM_EnumFormat && index == 0) {
    node.offeredPositions_ = positionsOf(param);
  } else if (id == SPA_PARAM_EnumFormat) {
    // More than one format offered: which one is used is only known once it is set.
    node.offeredPositions_.clear();
  } else {
    return;
  }
  if (node.formatListed_) {
    node.connection_.notifyChanged();
  }
}

void GraphNode::onProxyDone(void* data, int) {
  auto& node = *static_cast<GraphNode*>(data);
  if (!node.formatListed_) {
    node.formatListed_ = true;
    node.connection_.notifyChanged();
  }
}

std::vector<std::string> GraphNode::sourcePositions() const {
  return !formatPositions_.empty() ? formatPositions_ : offeredPositions_;
}

std::unique_ptr<PipeWireConnection> PipeWireConnection::connect(std::string& error) {
  pw_init(nullptr, nullptr);
  auto connection = std::make_unique<PipeWireConnection>();
  connection->threadLoop_.reset(pw_thread_loop_new("sysaudio-pw", nullptr));
  if (!connection->threadLoop_) {
    error = std::string("cannot start the PipeWire event loop: ") + std::strerror(errno);
    return nullptr;
  }
  pw_loop* loop = pw_thread_loop_get_loop(connection->threadLoop_.get());
  // The real-time configuration gives the thread that receives audio a real-time priority
  // where the system allows it, as the server's own recorders have.
  connection->context_.reset(
      pw_context_new(loop, pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0));
  if (!connection->context_) {
    error = std::string("cannot set up PipeWire: ") + std::strerror(errno);
    return nullptr;
  }
  if (pw_thread_loop_start(connection->threadLoop_.get()) != 0) {
    error = "cannot start the PipeWire event loop";
    return nullptr;
  }

  LoopLock lock(connection->threadLoop_.get());
  connection->core_.reset(pw_context_connect(connection->context_.get(), nullptr, 0));
  if (!connection->core_) {
    error = std::string("cannot connect to the PipeWire server: ") + std::strerror(errno);
    return nullptr;
  }
  static const pw_core_events coreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = &PipeWireConnection::onCoreDone;
    events.error = &PipeWireConnection::onCoreError;
    return events;
  }();
  pw_core_add_listener(connection->core_.get(), connection->coreHook_.get(), &coreEvents,
                       connection.get());

  static const pw_registry_events registryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = &PipeWireConnection::onGlobal;
    events.global_remove = &PipeWireConnection::onGlobalRemove;
    return events;
  }();
  auto* registry = pw_core_get_registry(connection->core_.get(), PW_VERSION_REGISTRY, 0);
  connection->registry_.reset(reinterpret_cast<pw_proxy*>(registry));
  pw_registry_add_listener(registry, connection->registryHook_.get(), &registryEvents,
                           connection.get());
  return connection;
}

PipeWireConnection::~PipeWireConnection() {
  // Nothing may run on the loop's thread while the objects it calls back go.
  if (threadLoop_) {
    pw_thread_loop_stop(threadLoop_.get());
  }
}

void PipeWireConnection::settle(Settled settled) {
  settled_ = std::move(settled);
  if (!lostDescription_.empty()) {
    finishSettling(lostDescription_);
    return;
  }
  pw_loop* loop = pw_thread_loop_get_loop(threadLoop_.get());
  settleTimer_ =
      LoopSourceHandle(pw_loop_add_timer(loop, &onSettleTimeout, this), LoopSourceDeleter{loop});
  timespec timeout{settleTimeoutSeconds, 0};
  pw_loop_update_timer(loop, settleTimer_.get(), &timeout, nullptr, false);
  settleRound_ = 1;
  settleSeq_ = pw_core_sync(core_.get(), PW_ID_CORE, 0);
}

void PipeWireConnection::finishSettling(std::optional<std::string> error) {
  settleTimer_.reset();
  settleRound_ = 0;
  if (Settled settled = std::exchange(settled_, nullptr)) {
    settled(std::move(error));
  }
}

void PipeWireConnection::onSettleTimeout(void* data, std::uint64_t) {
  static_cast<PipeWireConnection*>(data)->finishSettling("the PipeWire server did not answer");
}

void PipeWireConnection::onCoreDone(void* data, std::uint32_t id, int seq) {
  auto& connection = *static_cast<PipeWireConnection*>(data);
  if (id != PW_ID_CORE || seq != connection.settleSeq_ || connection.settleRound_ == 0) {
    return;
  }
  // The first answer means every object has been listed and the bound ones asked for their
  // descriptions; the second, that those descriptions have arrived.
  if (connection.settleRound_ == 1) {
    connection.settleRound_ = 2;
    connection.settleSeq_ = pw_core_sync(connection.core_.get(), PW_ID_CORE, seq);
    return;
  }
  connection.finishSettling(std::nullopt);
}

void PipeWireConnection::onCoreError(void* data, std::uint32_t id, int, int res, const char*) {
  auto& connection = *static_cast<PipeWireConnection*>(data);
  // Only a broken connection ends it. Errors about other objects, such as a link whose port went
  // away while it was being made, concern that object alone; and the server also reports on the
  // core an object that vanished between a client's request and its answer.
  if (id != PW_ID_CORE || res != -EPIPE || !connection.lostDescription_.empty()) {
    return;
  }
  connection.lostDescription_ =
      std::string("lost the connection to the PipeWire server: ") + spa_strerror(res);
  connection.finishSettling(connection.lostDescription_);
  if (connection.observer_ != nullptr) {
    connection.observer_->connectionLost(connection.lostDescription_);
  }
}

void PipeWireConnection::onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type,
                                  std::uint32_t, const spa_dict* props) {
  auto& connection = *static_cast<PipeWireConnection*>(data);
  const std::string_view kind = type;
  if (kind == PW_TYPE_INTERFACE_Node) {
    connection.addNode(id, props);
  } else if (kind == PW_TYPE_INTERFACE_Client) {
    connection.addClient(id, props);
  } else if (kind == PW_TYPE_INTERFACE_Port) {
    connection.addPort(id, props);
  } else if (kind == PW_TYPE_INTERFACE_Link) {
    connection.addLink(id, props);
  } else if (kind == PW_TYPE_INTERFACE_Metadata &&
             lookup(props, PW_KEY_METADATA_NAME) == "default"sv) {
    connection.bindDefaultMetadata(id);
  }
}

void PipeWireConnection::addNode(std::uint32_t id, const spa_dict* props) {
  std::string mediaClass(lookup(props, PW_KEY_MEDIA_CLASS));
  ProxyHandle proxy;
  if (mediaClass == "Stream/Output/Audio") {
    proxy.reset(
        static_cast<pw_proxy*>(pw_registry_bind(reinterpret_cast<pw_registry*>(registry_.get()), id,
                                                PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0)));
  }
  nodes_[id] = std::make_unique<GraphNode>(
      *this, std::move(mediaClass), std::string(lookup(props, PW_KEY_NODE_NAME)),
      std::string(lookup(props, PW_KEY_NODE_DESCRIPTION)),
      numberIn<std::uint32_t>(props, PW_KEY_CLIENT_ID), std::move(proxy));
  notifyChanged();
}

void PipeWireConnection::addClient(std::uint32_t id, const spa_dict* props) {
  ProxyHandle proxy(
      static_cast<pw_proxy*>(pw_registry_bind(reinterpret_cast<pw_registry*>(registry_.get()), id,
                                              PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT, 0)));
  if (!proxy) {
    return;
  }
  clients_[id] = std::make_unique<GraphClient>(*this, std::move(proxy),
                                               std::string(lookup(props, PW_KEY_APP_NAME)));
}

void PipeWireConnection::addPort(std::uint32_t id, const spa_dict* props) {
  const std::optional<std::uint32_t> node = numberIn<std::uint32_t>(props, PW_KEY_NODE_ID);
  if (!node) {
    return;
  }
  ports_[id] = GraphPort{*node, lookup(props, PW_KEY_PORT_DIRECTION) == "out"sv,
                         lookup(props, PW_KEY_PORT_MONITOR) == "true"sv,
                         std::string(lookup(props, PW_KEY_AUDIO_CHANNEL))};
  notifyChanged();
}

void PipeWireConnection::addLink(std::uint32_t id, const spa_dict* props) {
  const std::optional<std::uint32_t> output =
      numberIn<std::uint32_t>(props, PW_KEY_LINK_OUTPUT_PORT);
  const std::optional<std::uint32_t> input = numberIn<std::uint32_t>(props, PW_KEY_LINK_INPUT_NODE);
  if (!output || !input) {
    return;
  }
  links_[id] = GraphLink{*output, *input};
  notifyChanged();
}

void PipeWireConnection::bindDefaultMetadata(std::uint32_t id) {
  if (metadata_) {
    return;
  }
  metadata_.reset(
      static_cast<pw_proxy*>(pw_registry_bind(reinterpret_cast<pw_registry*>(registry_.get()), id,
                                              PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0)));
  if (!metadata_) {
    return;
  }
  static const pw_metadata_events events = [] {
    pw_metadata_events events{};
    events.version = PW_VERSION_METADATA_EVENTS;
    events.property = &PipeWireConnection::onMetadataProperty;
    return events;
  }();
  pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(metadata_.get()), metadataHook_.get(),
                           &events, this);
}

int PipeWireConnection::onMetadataProperty(void* data, std::uint32_t subject, const char* key,
                                           const char*, const char* value) {
  auto& connection = *static_cast<PipeWireConnection*>(data);
  if (subject != PW_ID_CORE || key == nullptr || std::string_view(key) != "default.audio.sink") {
    return 0;
  }
  connection.defaultSinkName_ = value != nullptr ? nameInJson(value) : std::string();
  return 0;
}

void PipeWireConnection::onGlobalRemove(void* data, std::uint32_t id) {
  auto& connection = *static_cast<PipeWireConnection*>(data);
  const bool removed = connection.nodes_.erase(id) + connection.ports_.erase(id) +
                           connection.clients_.erase(id) + connection.links_.erase(id) >
                       0;
  if (removed) {
    connection.notifyChanged();
  }
}

const GraphClient* PipeWireConnection::client(std::uint32_t id) const {
  const auto found = clients_.find(id);
  return found != clients_.end() ? found->second.get() : nullptr;
}

std::vector<const GraphClient*> PipeWireConnection::clients() const {
  std::vector<const GraphClient*> all;
  for (const auto& [id, client] : clients_) {
    all.push_back(client.get());
  }
  return all;
}

void PipeWireConnection::notifyChanged() {
  if (observer_ != nullptr) {
    observer_->graphChanged();
  }
}

}  // namespace sysaudio::pipewire
