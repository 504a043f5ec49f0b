// Fuzz target: the alive-reply scan of PingDevice and DetectDevice over whatever bytes
// arrive. The expected outcome is computed here from the bytes alone: a reply is the pair
// 0xAC 0x3A inside one read, each read takes at most 260 queued bytes, and the fourth
// reply of a run detects the device.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/scripted_line.h"
#include "link/adapter.h"
#include "link/frame.h"
#include "link/presence.h"
#include "sim/virtual_clock.h"
#include "ui/status_log.h"

namespace {

// Alive replies inside one chunk of bytes.
int PairsIn(const std::vector<uint8_t>& bytes, std::size_t from, std::size_t n) {
    int pairs = 0;
    for (std::size_t i = from; i + 1 < from + n; ++i) {
        if (bytes[i] == 0xAC && bytes[i + 1] == 0x3A) {
            ++pairs;
        }
    }
    return pairs;
}

void CheckPing(const fuzzline::Script& script) {
    fuzzline::Begin(script);
    const int seen = PingDevice();
    const fuzzline::Counters count = fuzzline::Count();
    fuzzline::End();
    const std::size_t chunk =
        script.after.size() < ALIVE_CHUNK_BYTES ? script.after.size() : ALIVE_CHUNK_BYTES;
    const int expected = PairsIn(script.after, 0, chunk) > 0 ? 0 : 1;
    if (seen != expected) {
        fuzzline::Fail("PingDevice disagrees with the bytes of its one read");
    }
    if (count.afterRead != chunk || count.beforeRead != script.before.size()) {
        fuzzline::Fail("PingDevice read other than the drain and one chunk");
    }
    if (txLength != 5) {
        fuzzline::Fail("PingDevice left txLength other than 5");
    }
}

void CheckDetect(const fuzzline::Script& script) {
    // The run reads one chunk per poll; find the poll (if any) whose chunk brings the
    // fourth reply, within the polls before the adapter probe fails.
    const std::size_t total = script.after.size();
    std::size_t at = 0;
    int hits = 0;
    int detectPoll = -1;
    for (int poll = 0; at < total && detectPoll < 0; ++poll) {
        const std::size_t n = total - at < ALIVE_CHUNK_BYTES ? total - at : ALIVE_CHUNK_BYTES;
        hits += PairsIn(script.after, at, n);
        at += n;
        if (hits >= DETECT_HITS) {
            detectPoll = poll;
        }
    }
    const bool probeEnds = script.probeFailsAt >= 0;
    const bool expectDetected =
        detectPoll >= 0 && (!probeEnds || detectPoll <= script.probeFailsAt);

    fuzzline::Begin(script);
    const uint64_t startUs = sim::VirtualNowUs();
    const int result = DetectDevice();
    const uint64_t elapsedMs = (sim::VirtualNowUs() - startUs) / 1000u;
    const fuzzline::Counters count = fuzzline::Count();
    const std::size_t left = fuzzline::Queued();
    const uint32_t lost = adapterLost;
    fuzzline::End();

    if (result != (expectDetected ? 0 : 1)) {
        fuzzline::Fail("DetectDevice disagrees with the alive replies that arrived");
    }
    if (expectDetected && left != 0) {
        fuzzline::Fail("DetectDevice left bytes queued after detecting");
    }
    if (!expectDetected && probeEnds && (lost == 0 || count.probes != script.probeFailsAt + 1)) {
        fuzzline::Fail("DetectDevice did not end at the failed probe");
    }
    if (elapsedMs > DETECT_RUN_MS + DETECT_POLL_MS + 1) {
        fuzzline::Fail("DetectDevice ran past its 2500 ms");
    }
}

} // namespace

int FuzzAliveOne(const uint8_t* data, std::size_t size) {
    fuzzline::Input in(data, size);
    const uint8_t flags = in.Byte();
    fuzzline::Script script;
    script.probeFailsAt = (flags & 0x80) != 0 ? (flags & 0x0F) : -1;
    script.before = in.Take(in.Byte() % 8);
    script.after = in.Rest();
    LogReset();
    CheckPing(script);
    CheckDetect(script);
    LogReset();
    return 0;
}

#ifdef KESTREL_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    return FuzzAliveOne(data, size);
}
#endif
