// Faults of the simulated line, seeded and reproducible: by rate (a probability per byte)
// and by countdown (the byte after N bytes). The same seed and the same traffic give the
// same faults on every run and every platform.
#pragma once

#include <cstdint>

namespace sim {

// Applied by the wire to every byte on the line, host's and device's alike.
struct LineFaults {
    double corruptRate = 0; // the byte arrives with one or more bits flipped
    double dropRate = 0;    // the byte is lost for every receiver
    double insertRate = 0;  // after the byte, a noise byte lands in the host's receive queue
    int64_t corruptAfterBytes = -1; // countdown: corrupt the byte after N bytes (-1 off)
    int64_t dropAfterBytes = -1;    // countdown: drop the byte after N bytes (-1 off)
    bool noEcho = false;            // the cable gives no echo of the host's bytes
    uint64_t seed = 1;
};

// A small portable generator (splitmix64): the standard distributions differ between
// standard libraries, so fault draws are computed here from the raw bits.
class FaultRandom {
  public:
    explicit FaultRandom(uint64_t seed = 1) : state_(seed) {}
    void Seed(uint64_t seed) { state_ = seed; }
    uint64_t Next();
    // True with probability p (never for p <= 0, always for p >= 1).
    bool Chance(double p);
    // A byte in [0, 255].
    uint8_t Byte() { return static_cast<uint8_t>(Next() >> 56); }

  private:
    uint64_t state_;
};

} // namespace sim
