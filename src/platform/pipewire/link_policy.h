// Which playback streams are linked into the capture, and which of their ports go where.
//
// Only applications' streams are linked, wherever they play. A virtual device or filter
// (loopback, remap or combine sink, filter chain, echo canceller) is a pair of nodes that share
// node.link-group: what its playback half carries is the mix of the application streams played
// into it, which are linked themselves, so linking it too would count them twice and bring back
// the excluded ones; or it is audio from a capture device, such as a microphone looped back,
// which no application plays. Such halves are never linked.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sysaudio::pipewire {

// A port of the graph, as the server lists it.
struct GraphPort {
  std::uint32_t nodeID = 0;
  bool output = false;
  bool monitor = false;
  std::string channel;
};

using PortPair = std::pair<std::uint32_t, std::uint32_t>;  // output port, input port

// A link of the graph, whoever made it.
struct GraphLink {
  std::uint32_t outputPort = 0;
  std::uint32_t inputNode = 0;
};

// mediaClass and node.link-group (empty when the node has none) of a node.
bool isApplicationPlayback(std::string_view mediaClass, std::string_view linkGroup);

// For a node whose ports are to be linked, the channel positions of its own format (empty when
// unknown); for any other node, no value.
using LinkedSource = std::function<std::optional<std::vector<std::string>>(std::uint32_t node)>;

// The links from the output ports (monitors aside) of every node that source names into the
// input ports of the capture node, as capture_ports maps them. Only ports that play somewhere,
// linked to a node other than the capture, are taken: a stream that plays nowhere is not heard,
// and a port is linked only once the session manager has linked it to its device. (A port that
// PipeWire 0.3.65 re-creates when its stream moves to another device, linked by two clients at
// once, at times passes nothing to one of the links; linked after the device, it does.)
std::vector<PortPair> wantedLinks(const std::map<std::uint32_t, GraphPort>& ports,
                                  const std::map<std::uint32_t, GraphLink>& links,
                                  std::uint32_t captureNode, const LinkedSource& source);

}  // namespace sysaudio::pipewire
