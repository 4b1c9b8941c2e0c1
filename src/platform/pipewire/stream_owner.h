// Which process a playback stream belongs to, from what its client says and what the server
// checked.
//
// The server records the process at the other end of each client's socket, as the kernel
// reports it (pipewire.sec.pid); a client also reports a process id of its own
// (application.process.id), which is only its word, and which inside another pid namespace
// (Flatpak, containers) is a number of that namespace. So for a native client the checked pid
// is the truth. A PulseAudio application is a client of the PulseAudio server, which connects
// to PipeWire on its behalf: the checked pid is that server's own, and the reported one is all
// there is.
#pragma once

#include <sys/types.h>

#include <optional>

namespace sysaudio::pipewire {

struct ClientIdentity {
  std::optional<pid_t> checkedProcess;   // pipewire.sec.pid
  std::optional<pid_t> reportedProcess;  // application.process.id
  // client.api is "pipewire-pulse": the PulseAudio server speaks for an application.
  bool speaksForPulseAudioClient = false;
};

// True when the server's checked pids are numbers of this process's pid namespace: its own
// client's checked pid is its own pid. Otherwise (sysaudio in a container, the server outside)
// they name nothing here, and the reported ones, which the container's clients give in its
// numbers, are used instead.
bool checkedProcessesAreOurs(const ClientIdentity& ownClient, pid_t ownProcess);

// The process a stream belongs to. streamReported is the application.process.id on the stream
// node itself, which PulseAudio streams carry; for them it wins over the client's.
std::optional<pid_t> streamOwner(const ClientIdentity& client, std::optional<pid_t> streamReported,
                                 bool checkedAreOurs);

}  // namespace sysaudio::pipewire
