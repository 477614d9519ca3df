// Prints the level of raw audio on standard input (signed 16-bit little-endian, stereo,
// 44.1 kHz, as parec --raw writes it), one line per block: the time on the audio's own clock,
// the RMS of the left channel (a full-scale sine is 0.707, a muted sink exactly 0) and a bar.
//
//   parec --device=testsink.monitor --raw --latency-msec=20 | velmuro-level [BLOCK_MS]
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  const long blockMs = argc > 1 ? std::atol(argv[1]) : 250;
  if (blockMs <= 0) {
    std::fprintf(stderr, "usage: %s [BLOCK_MS]\n", argv[0]);
    return 2;
  }
  constexpr long kRate = 44100;
  const long frames = kRate * blockMs / 1000;
  long done = 0, blocks = 0;
  double sum = 0;
  unsigned char frame[4];
  std::size_t have = 0;
  unsigned char buffer[4096];
  for (ssize_t n; (n = ::read(0, buffer, sizeof buffer)) > 0;) {
    for (ssize_t i = 0; i < n; ++i) {
      frame[have++] = buffer[i];
      if (have < 4) continue;
      have = 0;
      std::int16_t left;
      std::memcpy(&left, frame, 2);
      sum += (left / 32768.0) * (left / 32768.0);
      if (++done < frames) continue;
      double rms = std::sqrt(sum / static_cast<double>(frames));
      std::string bar(static_cast<std::size_t>(std::lround(rms * 60)), '#');
      std::printf("  %6.2f s   level %.3f  %s\n", static_cast<double>(++blocks * blockMs) / 1000,
                  rms, bar.c_str());
      std::fflush(stdout);
      done = 0;
      sum = 0;
    }
  }
  return 0;
}
