// The floor: the shortest time an update can take on a 38400-baud line, worked out from
// the bytes that must cross the line, the device's own flash and answer times and the
// protocol's fixed waits alone. It reads images with its own record walk and knows
// nothing of the engine, so measured durations can be held against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

constexpr uint32_t FLOOR_LINE_BAUD = 38400;
constexpr uint32_t FLOOR_BITS_PER_BYTE = 10; // start, 8 data, stop

// The protocol's fixed waits, in milliseconds.
constexpr double FLOOR_BREAK_MS = 20;          // each break pulse
constexpr double FLOOR_AFTER_BREAK_MS = 200;   // after the second break
constexpr double FLOOR_EXCHANGE_PAUSE_MS = 20; // after every exchange
constexpr double FLOOR_RETRY_PAUSE_MS = 200;   // after a failed record or final packet
constexpr double FLOOR_ECHO_TIMEOUT_MS = 100;  // an echo that never comes
constexpr double FLOOR_PING_MS = 20;           // an alive request and its look back
constexpr double FLOOR_DETECT_POLL_MS = 6;     // one alive request of a detection run
constexpr int FLOOR_DETECT_HITS = 4;           // alive replies that detect the device
constexpr double FLOOR_REPLY_TIMEOUT_MS = 1500;
constexpr double FLOOR_SLOW_REPLY_TIMEOUT_MS = 4000;
constexpr int FLOOR_BRIDGE_ATTEMPTS = 3;
constexpr std::size_t FLOOR_ALIVE_REQUEST_BYTES = 5;
constexpr std::size_t FLOOR_ALIVE_REPLY_BYTES = 2;
constexpr std::size_t FLOOR_STORED_REQUEST_BYTES = 40; // identity and bridge requests
// The FT232R's transmit buffer: a write returns once no more than this is still to go out.
constexpr uint32_t FLOOR_ADAPTER_TX_BYTES = 256;

// Microseconds that n bytes occupy the line, back to back.
double LineUs(uint64_t bytes);

// What the device on the far side takes, besides the line: how long after a request's
// last byte its answer starts (its flash time, for a record), and the length of each kind
// of answer (whole frames).
struct DeviceTiming {
    double aliveAnswerUs = 0; // alive request to alive reply
    double answerUs = 0;      // identity and bridge requests
    double flashUs = 0;       // an image record of type 1
    double slowFlashUs = 0;   // type 2
    double altFlashUs = 0;    // type 5
    double finalUs = 0;       // the final packet
    uint32_t identityReplyBytes = 0;
    uint32_t recordReplyBytes = 0; // "R8" and "R5"
    uint32_t finalReplyBytes = 0;  // "R6"
    uint32_t bridgeReplyBytes = 0;
};

// A floor broken down by where the time goes, in microseconds.
struct Floor {
    double lineUs = 0;   // bytes on the line, both ways
    double deviceUs = 0; // the device's flash and answer times
    double waitUs = 0;   // the protocol's fixed waits and time-outs
    double TotalUs() const { return lineUs + deviceUs + waitUs; }
    Floor& operator+=(const Floor& other);
};

// One record of an image stream as the floor needs it.
struct FloorRecord {
    uint8_t type;
    uint32_t payloadBytes;
};

// The records of an image before its end record (at most 4100), read with the stream's
// own rule: type in the low nibble of byte 0, 12-bit length, payload for types 1 to 5.
std::vector<FloorRecord> WalkImage(const uint8_t* image);

// Payload bytes that programming puts on the line: records of types 1, 2 and 5, up to an
// RT_STOP.
uint64_t SentPayloadBytes(const std::vector<FloorRecord>& records);

// One complete framed exchange that the device answers: request out, device time, reply
// back, pause.
Floor ExchangeFloor(uint32_t requestBytes, double deviceUs, uint32_t replyBytes);

// How the request of a failed exchange came back.
enum class Echo {
    Seen,    // the echo was confirmed when the request's last byte was on the line
    Missing, // the host waited for an echo that never came (100 ms)
    Skipped, // the host expected none; its time-out runs from the end of the write
};

// An exchange that gets no acceptable reply: the request goes out, the reply phase runs
// its whole time-out, then the pause.
Floor FailedExchangeFloor(uint32_t requestBytes, double timeoutMs, Echo echo);

// A detection run that finds an answering device at its fourth alive reply.
Floor SearchFloor(const DeviceTiming& device);

// A successful identification. On a line without echo the first attempt waits for the
// echo in vain, runs out its reply time-out and pings before the second attempt.
Floor IdentifyFloor(const DeviceTiming& device, bool lineEchoes);

// The programming pass of one image: every sent record once, with its flash time and
// reply. Records of type 3 are kept, not sent; RT_STOP ends the pass.
Floor ProgrammingFloor(const std::vector<FloorRecord>& records, const DeviceTiming& device);

// Whether the image keeps a final packet, and its length.
bool FinalPacketBytes(const std::vector<FloorRecord>& records, uint32_t* bytes);

// An attempt that a faulty line made fail, and what its retry costs besides the failed
// exchange: the 200 ms pause of a record or final packet, or the ping of an identity
// attempt.
struct FailedAttempt {
    uint32_t requestBytes;
    double timeoutMs;
    Echo echo;
    bool identity; // an identity attempt: a ping follows instead of the retry pause
};
Floor FailedAttemptFloor(const FailedAttempt& attempt);

// A whole update cycle on the success path, from the first break to the accepted final
// packet of the main pass.
struct UpdatePlan {
    const uint8_t* mainImage = nullptr;
    const uint8_t* bridgeImage = nullptr; // the bridge pass's image; nullptr: refused
    bool lineEchoes = true;
    int bridgeRefusals = 0; // refused attempts before the grant (3 when refused)
    uint32_t requestBytes = FLOOR_STORED_REQUEST_BYTES;
    std::vector<FailedAttempt> failures; // extra attempts a faulty line forced
};
Floor UpdateFloor(const UpdatePlan& plan, const DeviceTiming& device);

// Microseconds to seconds, for the tables.
inline double Seconds(double us) {
    return us / 1e6;
}

} // namespace bench
