// Plays a sine tone on the default sink of the sound server until it is killed: the stand-in
// for a meeting application in the real-server tests, the demo and the benchmark.
//
//   velmuro-tone [--reconnect] FREQUENCY_HZ AMPLITUDE [APPLICATION_NAME]
//
// Each line on standard input that holds a frequency opens one more stream of that frequency in
// the same process. Run it through a symbolic link to give the process a name of its own. The
// streams are 44.1 kHz stereo with 100 ms of buffer, enough not to run dry on a loaded machine;
// the server applies a mute where it mixes, so the buffer does not delay it. A stream that loses
// the server ends the process; with --reconnect it connects again every 50 ms instead, as a
// desktop application does when its sound server restarts.
#include <pulse/error.h>
#include <pulse/simple.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

bool reconnect = false;

// Ends the process after a failure of the server, or with --reconnect waits a little to retry.
void onServerFailure(int error) {
  if (!reconnect) {
    std::fprintf(stderr, "velmuro-tone: %s\n", pa_strerror(error));
    std::exit(1);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// Plays one stream until a write fails; the process ends there, or the stream starts again.
void play(double frequency, double amplitude, const std::string& application) {
  constexpr std::uint32_t kRate = 44100;
  const pa_sample_spec format{PA_SAMPLE_S16LE, kRate, 2};
  pa_buffer_attr buffer{};
  buffer.maxlength = static_cast<std::uint32_t>(-1);
  buffer.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(100000, &format));
  buffer.prebuf = static_cast<std::uint32_t>(-1);
  buffer.minreq = static_cast<std::uint32_t>(-1);
  buffer.fragsize = static_cast<std::uint32_t>(-1);
  constexpr std::size_t kFrames = kRate / 200;  // 5 ms a write
  std::vector<std::int16_t> block(kFrames * 2);
  const double step = 2 * M_PI * frequency / kRate;
  double phase = 0;
  for (;;) {
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, application.c_str(), PA_STREAM_PLAYBACK, nullptr,
                                      "tone", &format, nullptr, &buffer, &error);
    if (stream == nullptr) {
      onServerFailure(error);
      continue;
    }
    for (;;) {
      for (std::size_t i = 0; i < kFrames; ++i) {
        auto sample = static_cast<std::int16_t>(std::lround(32767 * amplitude * std::sin(phase)));
        block[2 * i] = block[2 * i + 1] = sample;
        phase = std::fmod(phase + step, 2 * M_PI);
      }
      if (pa_simple_write(stream, block.data(), block.size() * sizeof block[0], &error) < 0) break;
    }
    pa_simple_free(stream);
    onServerFailure(error);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--reconnect") {
    reconnect = true;
    --argc;
    ++argv;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s [--reconnect] FREQUENCY_HZ AMPLITUDE [APPLICATION_NAME]\n",
                 argv[0]);
    return 2;
  }
  const double amplitude = std::atof(argv[2]);
  const std::string application = argc > 3 ? argv[3] : "velmuro-tone";
  std::thread([&] {
    for (std::string line; std::getline(std::cin, line);) {
      if (double frequency = std::atof(line.c_str()); frequency > 0) {
        std::thread(play, frequency, amplitude, application).detach();
      }
    }
  }).detach();
  play(std::atof(argv[1]), amplitude, application);
}
