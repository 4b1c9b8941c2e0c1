#include "platform/pipewire/stream_owner.h"

namespace sysaudio::pipewire {

bool checkedProcessesAreOurs(const ClientIdentity& ownClient, pid_t ownProcess) {
  return ownClient.checkedProcess == ownProcess;
}

std::optional<pid_t> streamOwner(const ClientIdentity& client, std::optional<pid_t> streamReported,
                                 bool checkedAreOurs) {
  const std::optional<pid_t> reported = streamReported ? streamReported : client.reportedProcess;
  if (client.speaksForPulseAudioClient || !checkedAreOurs || !client.checkedProcess) {
    return reported;
  }
  return client.checkedProcess;
}

}  // namespace sysaudio::pipewire
