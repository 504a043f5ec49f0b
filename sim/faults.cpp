// The fault generator: splitmix64, portable and reproducible.
#include "sim/faults.h"

namespace sim {

uint64_t FaultRandom::Next() {
    state_ += 0x9E3779B97F4A7C15ull;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool FaultRandom::Chance(double p) {
    if (p <= 0) {
        return false;
    }
    if (p >= 1) {
        return true;
    }
    // 53 random bits as a fraction in [0, 1).
    const double u = static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0);
    return u < p;
}

} // namespace sim
