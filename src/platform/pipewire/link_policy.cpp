#include "platform/pipewire/link_policy.h"

#include <set>

#include "platform/pipewire/capture_ports.h"

namespace sysaudio::pipewire {

bool isApplicationPlayback(std::string_view mediaClass, std::string_view linkGroup) {
  return mediaClass == "Stream/Output/Audio" && linkGroup.empty();
}

std::vector<PortPair> wantedLinks(const std::map<std::uint32_t, GraphPort>& ports,
                                  const std::map<std::uint32_t, GraphLink>& links,
                                  std::uint32_t captureNode, const LinkedSource& source) {
  std::set<std::uint32_t> playing;
  for (const auto& [id, link] : links) {
    if (link.inputNode != captureNode) {
      playing.insert(link.outputPort);
    }
  }
  std::map<std::string_view, std::uint32_t> inputs;  // channel position -> capture input port
  std::map<std::uint32_t, std::vector<std::uint32_t>> outputsByNode;
  for (const auto& [id, port] : ports) {
    if (port.nodeID == captureNode && !port.output) {
      inputs[port.channel] = id;
    } else if (port.output && !port.monitor && port.nodeID != captureNode && playing.contains(id)) {
      outputsByNode[port.nodeID].push_back(id);
    }
  }
  std::vector<PortPair> wanted;
  for (const auto& [nodeID, outputs] : outputsByNode) {
    const std::optional<std::vector<std::string>> positions = source(nodeID);
    if (!positions) {
      continue;
    }
    std::vector<std::string> channels;
    for (const std::uint32_t output : outputs) {
      channels.push_back(ports.at(output).channel);
    }
    const std::vector<std::vector<CaptureInput>> fed = captureInputsFor(*positions, channels);
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      for (const CaptureInput input : fed[i]) {
        const auto found = inputs.find(captureInputPositions[static_cast<std::size_t>(input)]);
        if (found != inputs.end()) {
          wanted.emplace_back(outputs[i], found->second);
        }
      }
    }
  }
  return wanted;
}

}  // namespace sysaudio::pipewire
