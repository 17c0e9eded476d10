#pragma once
// One connection to the desktop's sound server (PulseAudio, or PipeWire's PulseAudio service)
// through libpulse, driven by a main loop on the calling thread. The server is the one libpulse
// finds by itself; it is never started on the bridge's behalf.

#include <pulse/context.h>
#include <pulse/mainloop.h>

#include <string>

#include "bridge/capture/pulse/sound_server_cause.h"

// How long any one request to the server may take before it counts as refused.
inline constexpr double kServerAnswerSeconds = 5.0;

class ServerConnection {
  public:
    ServerConnection() = default;
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    // Connects (never spawning a server) and waits until the server has accepted the client.
    // False, with the cause in `why`, when libpulse cannot make a client, there is no server,
    // it refuses or it does not answer in time; the connection is then closed again.
    bool open(SoundServerError* why = nullptr);

    // Disconnects and frees everything; open() may be called again.
    void close();

    // The server's name and version as it gives them ("pulseaudio 16.1"); "" if unknown.
    std::string serverName();

    // True once the connection has failed or ended (the server went away).
    bool broken() const;

    // Runs the loop until `done()` or the answer time has passed; false on time-out, failure
    // of the loop or a broken connection.
    template <typename Done>
    bool await(Done done);

    pa_mainloop* loop() const { return loop_; }
    pa_context* context() const { return context_; }

  private:
    pa_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
};

#include "bridge/capture/pulse/pulse_loop.h"

template <typename Done>
bool ServerConnection::await(Done done) {
    const bool ok = iterateUntil(
        loop_, [&] { return broken() || done(); }, kServerAnswerSeconds);
    return ok && !broken();
}
