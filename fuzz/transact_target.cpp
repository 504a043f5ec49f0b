// Fuzz target: the reply side of Transact. The fuzzer chooses the request, the bytes left
// queued before the call, the bytes that arrive after the write and their pace. Whatever
// arrives, the exchange must end inside its designed time, accept only a frame that the
// device's own encoder would send for this request, and leave everything behind that
// frame in the queue.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/scripted_line.h"
#include "link/adapter.h"
#include "link/frame.h"
#include "sim/reply_encoder.h"
#include "sim/virtual_clock.h"

namespace {

constexpr uint64_t PACE_US[4] = {0, 260, 1000, 7000};
constexpr uint32_t TIMEOUTS_MS[2] = {REPLY_TIMEOUT_MS, 300};

} // namespace

int FuzzTransactOne(const uint8_t* data, std::size_t size) {
    fuzzline::Input in(data, size);
    const uint8_t flags = in.Byte();
    const std::size_t requestBytes = 2 + in.Byte() % 48;
    const std::size_t beforeBytes = in.Byte() % 16;
    fuzzline::Script script;
    script.paceUs = PACE_US[flags & 3];
    script.writeFails = (flags & 0x20) != 0;
    const bool skip = (flags & 0x10) != 0;
    const uint32_t timeoutMs = TIMEOUTS_MS[(flags >> 2) & 1];

    std::vector<uint8_t> request = in.Take(requestBytes);
    request.resize(requestBytes, 0x55);
    script.before = in.Take(beforeBytes);
    script.after = in.Rest();
    // Long inputs repeat their tail so that floods well beyond the receive buffer happen.
    if ((flags & 0x40) != 0 && !script.after.empty()) {
        const std::vector<uint8_t> tail = script.after;
        while (script.after.size() < 2 * RX_BUFFER_BYTES + 300) {
            script.after.insert(script.after.end(), tail.begin(), tail.end());
        }
    }

    fuzzline::Begin(script);
    std::memcpy(txBuffer, request.data(), request.size());
    txLength = static_cast<uint32_t>(request.size());
    echoSkip = skip;
    const uint64_t startUs = sim::VirtualNowUs();
    const int status = Transact(timeoutMs);
    const uint64_t elapsedMs = (sim::VirtualNowUs() - startUs) / 1000u;
    const fuzzline::Counters count = fuzzline::Count();
    fuzzline::End();

    if (status != EXCHANGE_OK && status != EXCHANGE_NO_ECHO && status != EXCHANGE_NO_REPLY) {
        fuzzline::Fail("Transact returned a value that is no ExchangeStatus");
    }
    if (rxCount > RX_BUFFER_BYTES) {
        fuzzline::Fail("rxCount beyond the receive buffer");
    }
    if (skip && status == EXCHANGE_NO_ECHO) {
        fuzzline::Fail("no-echo status while no echo was expected");
    }
    if (count.beforeRead != script.before.size()) {
        fuzzline::Fail("bytes queued before the call were not drained");
    }
    if (script.writeFails != (adapterLost != 0)) {
        fuzzline::Fail("adapterLost does not follow the write's failure");
    }
    // Designed time: echo phase (a little over 100 ms) + reply phase (a little over the
    // time-out) + the 20 ms pause. Each phase may overrun its deadline by one 1 ms poll.
    if (elapsedMs < EXCHANGE_PAUSE_MS ||
        elapsedMs > ECHO_TIMEOUT_MS + 2 + timeoutMs + 2 + EXCHANGE_PAUSE_MS) {
        fuzzline::Fail("exchange outside its designed time");
    }
    if (status == EXCHANGE_OK) {
        // The accepted frame: the device's encoder must produce exactly the bytes that were
        // read last, and every byte behind them must still be queued.
        if (rxCount < 5 || rxBuffer[0] != REPLY_START || rxBuffer[1] != request[1] ||
            rxBuffer[2] != rxCount - 5) {
            fuzzline::Fail("accepted reply is not a data reply for this request");
        }
        const std::vector<uint8_t> sent =
            sim::EncodeDataReply(request[1], rxBuffer + 3, rxBuffer[2]);
        if (count.afterRead < sent.size() ||
            std::memcmp(script.after.data() + count.afterRead - sent.size(), sent.data(),
                        sent.size()) != 0) {
            fuzzline::Fail("accepted reply differs from the frame that arrived");
        }
        if (!skip) {
            // The request's echo must have arrived, whole, before the reply.
            const auto echoEnd =
                script.after.begin() + static_cast<std::ptrdiff_t>(count.afterRead - sent.size());
            bool found = false;
            for (auto it = script.after.begin();
                 !found && it + static_cast<std::ptrdiff_t>(request.size()) <= echoEnd; ++it) {
                found = std::equal(request.begin(), request.end(), it);
            }
            if (!found) {
                fuzzline::Fail("reply accepted without the request's echo");
            }
        }
    }
    return 0;
}

#ifdef KESTREL_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    return FuzzTransactOne(data, size);
}
#endif
