// The firmware device model. It walks the catalogue itself, apart from the host's walk,
// so that the two check each other: a record the host sends wrongly is a record this
// model does not recognise.
#include "sim/firmware_device.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "sim/reply_encoder.h"

namespace sim {
namespace {

constexpr int WALK_LIMIT = 4100; // records a programming pass visits at most

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void PutLe16(std::vector<uint8_t>* out, std::size_t at, uint16_t v) {
    (*out)[at] = static_cast<uint8_t>(v & 0xFF);
    (*out)[at + 1] = static_cast<uint8_t>(v >> 8);
}

// Walks one image the way a programming pass does and keeps what the host exchanges.
std::unique_ptr<HeardImage> WalkImage(const uint8_t* image) {
    auto heard = std::make_unique<HeardImage>();
    heard->codeH = Le16(image + 6);
    heard->codeB = Le16(image + 8);
    heard->codeS = Le16(image + 10);
    const uint8_t* at = image + 16;
    for (int count = 0; count < WALK_LIMIT; ++count) {
        const uint8_t type = at[0] & 0x0F;
        if (type == 0) {
            break;
        }
        if (type > 5) {
            at += 2;
            continue;
        }
        const std::size_t length = static_cast<std::size_t>((at[0] >> 4) << 8) | at[1];
        const uint8_t* payload = at + 2;
        at += 2 + length;
        if (type == 4) {
            break; // the pass ends here; records behind are never sent
        }
        if (type == 3) {
            heard->finalPayload = payload;
            heard->finalLength = length;
            continue;
        }
        heard->records.push_back(HeardImage::Record{type, payload, length});
    }
    return heard;
}

std::string_view View(const uint8_t* p, std::size_t n) {
    return std::string_view(reinterpret_cast<const char*>(p), n);
}

} // namespace

CatalogueIndex::CatalogueIndex(const Catalogue& catalogue) : catalogue_(catalogue) {
    for (int slot = 0; slot < SLOT_COUNT; ++slot) {
        const uint8_t* image = catalogue.slots[slot].image;
        if (image == nullptr) {
            images_.push_back(nullptr);
            continue;
        }
        images_.push_back(WalkImage(image));
        const HeardImage& heard = *images_.back();
        for (std::size_t i = 0; i < heard.records.size(); ++i) {
            refs_[View(heard.records[i].payload, heard.records[i].length)].push_back(
                Ref{slot, static_cast<int>(i)});
        }
        if (heard.finalPayload != nullptr) {
            refs_[View(heard.finalPayload, heard.finalLength)].push_back(Ref{slot, -1});
        }
    }
}

const HeardImage* CatalogueIndex::Image(int slot) const {
    if (slot < 0 || slot >= SLOT_COUNT) {
        return nullptr;
    }
    return images_[static_cast<std::size_t>(slot)].get();
}

std::vector<CatalogueIndex::Ref> CatalogueIndex::Find(const uint8_t* bytes, std::size_t n) const {
    const auto it = refs_.find(View(bytes, n));
    return it == refs_.end() ? std::vector<Ref>{} : it->second;
}

FirmwareDevice::FirmwareDevice(const FirmwareDeviceConfig& config,
                               std::shared_ptr<const CatalogueIndex> index)
    : config_(config), index_(std::move(index)) {
    if (!index_) {
        index_ = std::make_shared<CatalogueIndex>(CurrentCatalogue());
    }
    state_.identity = config.identity;
    state_.startCodeS = config.identity.codeS;
    awake = config.awakeAtPlug;
    if (!config.answersAlive) {
        aliveReply.clear();
    }
    onRequest = [this](uint64_t atUs, const uint8_t* bytes, size_t n, std::vector<uint8_t>* reply,
                       uint64_t* replyAtUs) {
        requests.clear(); // the image is checked as it comes; no need to keep it twice
        std::vector<uint8_t> plain;
        uint32_t delayUs = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!config_.answersAlive || !config_.answersFramed ||
                !Answer(atUs, bytes, n, &plain, &delayUs)) {
                return false;
            }
        }
        *reply = EncodeDataReply(bytes[1], plain);
        *replyAtUs = atUs + delayUs;
        return true;
    };
}

FirmwareDevice::~FirmwareDevice() = default;

void FirmwareDevice::SetBehind(std::unique_ptr<FirmwareDevice> behind) {
    behind_ = std::move(behind);
}

FirmwareState FirmwareDevice::State() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

bool FirmwareDevice::Runs(int slot) const {
    const FirmwareState s = State();
    const HeardImage* image = index_->Image(slot);
    return image != nullptr && s.slot == slot && s.complete && s.identity.codeS == image->codeS;
}

void FirmwareDevice::OnBreak(uint64_t atUs, bool on) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_.bridgeActive = false; // a break ends bridge mode
    }
    BasicDevice::OnBreak(atUs, on);
    if (behind_) {
        behind_->OnBreak(atUs, on);
    }
}

bool FirmwareDevice::Present(uint64_t atUs) const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_.pulledOut && atUs >= state_.pulledOutAtUs) {
            return false;
        }
    }
    return BasicDevice::Present(atUs);
}

bool FirmwareDevice::OnPacket(uint64_t atUs, const uint8_t* bytes, std::size_t n,
                              std::vector<uint8_t>* reply, uint64_t* replyAtUs) {
    if (!Present(atUs)) {
        return false;
    }
    bool bridged = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bridged = state_.bridgeActive && behind_ != nullptr;
    }
    // In bridge mode the device behind answers, and this one keeps quiet.
    if (bridged) {
        return behind_->OnPacket(atUs, bytes, n, reply, replyAtUs);
    }
    return BasicDevice::OnPacket(atUs, bytes, n, reply, replyAtUs);
}

void FirmwareDevice::IdentityPayload(std::vector<uint8_t>* plain) const {
    // Payload offsets are the reply's offsets less the three header bytes.
    plain->assign(IDENTITY_REPLY_LENGTH, 0);
    (*plain)[0] = 'R';
    (*plain)[1] = '1';
    PutLe16(plain, 3, state_.identity.codeH);
    PutLe16(plain, 6, state_.identity.codeB);
    PutLe16(plain, 9, state_.identity.codeS);
    PutLe16(plain, 12, state_.identity.number1);
    PutLe16(plain, 15, state_.identity.number2);
    plain->resize(config_.identityLength, 0);
}

bool FirmwareDevice::Answer(uint64_t atUs, const uint8_t* bytes, std::size_t n,
                            std::vector<uint8_t>* plain, uint32_t* delayUs) {
    const Catalogue& catalogue = index_->Source();
    const auto isRequest = [&](const uint8_t* stored) {
        return stored != nullptr && n == stored[1] && std::memcmp(bytes, stored + 2, n) == 0;
    };
    if (isRequest(catalogue.infoRequest)) {
        IdentityPayload(plain);
        *delayUs = config_.flash.requestUs;
        return true;
    }
    if (isRequest(catalogue.bridgeRequest)) {
        if (!config_.grantsBridge) {
            return false;
        }
        plain->assign(TAG_BRIDGE, TAG_BRIDGE + 2);
        *delayUs = config_.flash.requestUs;
        state_.bridgeActive = true;
        return true;
    }
    return AcceptImagePacket(atUs, bytes, n, plain, delayUs);
}

bool FirmwareDevice::AcceptImagePacket(uint64_t atUs, const uint8_t* bytes, std::size_t n,
                                       std::vector<uint8_t>* plain, uint32_t* delayUs) {
    const std::vector<CatalogueIndex::Ref> refs = index_->Find(bytes, n);
    if (refs.empty()) {
        state_.unknownPackets++;
        return false; // noise, a damaged packet, or something not meant for a device
    }
    const auto own = [&](int slot) {
        const HeardImage* image = index_->Image(slot);
        return image->codeH == state_.identity.codeH && image->codeB == state_.identity.codeB;
    };
    const auto refuse = [&]() {
        plain->assign(TAG_REFUSED, TAG_REFUSED + 2);
        *delayUs = config_.flash.requestUs;
        state_.refused++;
        return true;
    };
    const auto recordTag = [&](uint8_t type) {
        const char* tag = type == RT_SEND_ALT ? TAG_RECORD_ALT : TAG_RECORD;
        plain->assign(tag, tag + 2);
        *delayUs = type == RT_SEND_SLOW  ? config_.flash.slowUs
                   : type == RT_SEND_ALT ? config_.flash.altUs
                                         : config_.flash.sendUs;
    };
    if (std::none_of(refs.begin(), refs.end(), [&](const auto& r) { return own(r.slot); })) {
        state_.foreignRecords++;
        return refuse();
    }
    if (config_.unplugAfterRecords >= 0 &&
        state_.recordsAccepted >= static_cast<uint32_t>(config_.unplugAfterRecords)) {
        state_.pulledOut = true; // pulled out while the host was sending
        state_.pulledOutAtUs = atUs;
        candidates_.clear();
        next_ = 0;
        return false;
    }
    const auto inCandidates = [&](int slot) {
        return std::find(candidates_.begin(), candidates_.end(), slot) != candidates_.end();
    };

    // The next record of the reception in progress.
    std::vector<int> advanced;
    for (const auto& r : refs) {
        if (own(r.slot) && inCandidates(r.slot) && r.record == static_cast<int>(next_)) {
            advanced.push_back(r.slot);
        }
    }
    if (!advanced.empty()) {
        candidates_ = advanced;
        const uint8_t type = index_->Image(advanced.front())->records[next_].type;
        next_++;
        state_.recordsAccepted++;
        finalisedSlot_ = -1;
        recordTag(type);
        return true;
    }
    // The first record of an image starts a new reception.
    std::vector<int> started;
    for (const auto& r : refs) {
        if (own(r.slot) && r.record == 0) {
            started.push_back(r.slot);
        }
    }
    if (!started.empty()) {
        candidates_ = started;
        next_ = 1;
        state_.recordsAccepted = 1;
        finalisedSlot_ = -1;
        recordTag(index_->Image(started.front())->records[0].type);
        return true;
    }
    // The record just taken, again: the host missed the reply and repeats it.
    for (const auto& r : refs) {
        if (own(r.slot) && inCandidates(r.slot) && next_ > 0 &&
            r.record == static_cast<int>(next_ - 1)) {
            recordTag(index_->Image(r.slot)->records[next_ - 1].type);
            return true;
        }
    }
    // The final packet after every record: the update is complete.
    for (const auto& r : refs) {
        if (r.record != -1 || !own(r.slot)) {
            continue;
        }
        const HeardImage* image = index_->Image(r.slot);
        if (inCandidates(r.slot) && next_ == image->records.size()) {
            state_.identity.codeS = image->codeS;
            state_.slot = r.slot;
            state_.complete = true;
            state_.updates++;
            state_.recordsAccepted = 0;
            candidates_.clear();
            next_ = 0;
            finalisedSlot_ = r.slot;
            plain->assign(TAG_FINAL, TAG_FINAL + 2);
            *delayUs = config_.flash.finalUs;
            return true;
        }
        if (finalisedSlot_ == r.slot) {
            plain->assign(TAG_FINAL, TAG_FINAL + 2); // a repeat of the final packet
            *delayUs = config_.flash.finalUs;
            return true;
        }
    }
    // Out of order: a record skipped, or a final packet before the image was whole.
    candidates_.clear();
    next_ = 0;
    return refuse();
}

} // namespace sim
