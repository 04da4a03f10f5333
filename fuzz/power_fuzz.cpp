// The whole power system device, driven through the stand-in host's line the way the host
// drives it: polls, and answers to the outstanding request.
// Input: two configuration bytes, then operations.
//   byte 0: bits 0-1 the number of AC units (0-3), bits 2-4 the number of DC units (modulo 5)
//   byte 1: bit 0 protocol version 0x21 (else 0x20), bit 1 the device's dataValid_ set,
//           bit 2 an impatient host (every poll counts the outstanding request as timed out),
//           bit 3 no rcSetting (the device must then never send anything)
//   operation % 4: 0 poll; 1 answer with the CID1 of the outstanding request; 2 answer with the
//           CID1 of the next byte; 3 answer with the outstanding CID1 and the RTN of the next
//           byte. Every answer carries a chunk as INFO and is delivered only while a request
//           is outstanding, as the host does.
#include <chrono>

#include "fuzz/fuzz_support.h"
#include "power/ktr40e.h"
#include "site/host/host_access.h"
#include "site/host/link.h"

namespace {

constexpr unsigned kDeviceId = 1000;

struct Config {
    unsigned ac = 0;
    unsigned dc = 0;
    std::uint8_t version = 0x20;
    bool dataValid = false;
    bool impatient = false;
    bool withRectifiers = true;
};

Config read_config(fuzz::Input& in) {
    const std::uint8_t counts = in.byte();
    const std::uint8_t flags = in.byte();
    Config config;
    config.ac = counts & 0x03u;
    config.dc = (counts >> 2 & 0x07u) % 5;
    config.version = (flags & 0x01) != 0 ? 0x21 : 0x20;
    config.dataValid = (flags & 0x02) != 0;
    config.impatient = (flags & 0x04) != 0;
    config.withRectifiers = (flags & 0x08) == 0;
    return config;
}

Json::Value unit_list(unsigned count, unsigned firstId) {
    Json::Value list(Json::arrayValue);
    for (unsigned i = 0; i < count; ++i) {
        Json::Value unit(Json::objectValue);
        unit["data_id"] = firstId + i;
        list.append(unit);
    }
    return list;
}

Json::Value settings_for(const Config& config) {
    Json::Value settings(Json::objectValue);
    settings["protocol_version"] = config.version;
    settings["acSetting"] = unit_list(config.ac, 11);
    settings["dcSetting"] = unit_list(config.dc, 21);
    if (config.withRectifiers) settings["rcSetting"] = Json::Value(Json::objectValue);
    return settings;
}

// The command of each step, as the device must send it.
struct StepCommand {
    std::int32_t step;
    std::uint8_t cid1;
    std::uint8_t cid2;
};

constexpr StepCommand kStepCommands[] = {
    {14, 0x40, 0x51}, {0, 0x40, 0x41}, {1, 0x40, 0x43}, {2, 0x40, 0x44}, {4, 0x41, 0x41}, {5, 0x41, 0x43},
    {6, 0x41, 0x44},  {7, 0x42, 0x41}, {8, 0x42, 0x44}, {3, 0x40, 0x46}, {9, 0x42, 0x46},
};

const StepCommand* command_of(std::int32_t step) {
    for (const StepCommand& command : kStepCommands)
        if (command.step == step) return &command;
    return nullptr;
}

// The group byte 0xFF goes with the AC requests and, under version 0x21, the DC ones.
fuzz::Bytes expected_info(const line::Request& request, std::uint8_t version) {
    const bool ac = request.cid1 == 0x40 && (request.cid2 == 0x41 || request.cid2 == 0x43 || request.cid2 == 0x44);
    const bool dc = request.cid1 == 0x42 && (request.cid2 == 0x41 || request.cid2 == 0x44);
    if (ac || (dc && version == 0x21)) return {0xFF};
    return {};
}

class Session {
public:
    explicit Session(const Config& config) : config_(config) {
        device_->Init(controller_, kDeviceId, Json::Value());
        FUZZ_CHECK(device_->InitSetting(settings_for(config)) == config.withRectifiers);
        VRTHostAccess::data_valid(*device_) = config.dataValid;
        HostLink::attach(*device_, link_);
    }

    // A poll may end a round too: when the device gives up on the last step of the round.
    void poll() {
        const bool waiting = link_->awaiting();
        const std::size_t before = script_->count();
        const std::size_t published = watch_->published();
        const std::uint64_t rounds = link_->rounds();
        const bool done = link_->poll(*device_);
        if (waiting && !config_.impatient) FUZZ_CHECK(!done && script_->count() == before);
        if (watch_->published() != published) {
            FUZZ_CHECK(link_->rounds() == rounds + 1);
            check_round_end(published, false);
        }
        check_after(before);
    }

    // An answer reaches the device only while it waits for one. Each answer comes through a
    // fresh link, which holds it in a buffer of exactly its size: a read past INFO is an ASan report.
    void answer(std::uint8_t cid1, std::uint8_t rtn, const fuzz::Bytes& info) {
        if (!link_->awaiting()) return;
        link_ = make_link();
        HostLink::attach(*device_, link_);
        const std::size_t before = script_->count();
        const std::size_t published = watch_->published();
        const bool modelAnswer =
            VRTHostAccess::step(*device_) == 14 && cid1 == 0x40 && rtn == 0 && info.size() * 2 <= 0xFFFF;
        const bool roundAnswer = VRTHostAccess::step(*device_) != 14 && rtn == 0;
        const bool goesOn = link_->deliver(*device_, line::Answer{config_.version, 1, cid1, rtn, info});
        if (modelAnswer) modelKnown_ = true;
        if (roundAnswer) ++answersSinceRound_;
        // An answer after which the exchange ends (Reset) sends nothing in the same callback.
        if (!goesOn) FUZZ_CHECK(script_->count() == before);
        check_round_end(published, goesOn);
        check_after(before);
    }

    std::uint8_t outstanding_cid1() const { return script_->last().cid1; }

private:
    // An impatient host counts an outstanding request as timed out at the next poll.
    std::shared_ptr<HostLink> make_link() const {
        return std::make_shared<HostLink>(
            script_, config_.impatient ? std::chrono::milliseconds(0) : std::chrono::milliseconds(3600 * 1000));
    }

    // A round ends with one image from every unit, back at step 0 and with the exchange reset.
    // Only a round that took an answer ends: one that took none publishes nothing.
    void check_round_end(std::size_t publishedBefore, bool goesOn) {
        const std::size_t images = watch_->published() - publishedBefore;
        if (images == 0) return;
        FUZZ_CHECK(images == config_.ac + config_.dc + 1);
        FUZZ_CHECK(answersSinceRound_ > 0);
        answersSinceRound_ = 0;
        FUZZ_CHECK(!goesOn && VRTHostAccess::step(*device_) == 0 && !link_->awaiting());
    }

    void check_after(std::size_t requestsBefore) {
        const std::int32_t step = VRTHostAccess::step(*device_);
        FUZZ_CHECK(command_of(step) != nullptr);
        const std::size_t sent = script_->count() - requestsBefore;
        FUZZ_CHECK(sent <= 1);
        if (sent == 0) return;
        FUZZ_CHECK(config_.withRectifiers);
        check_request(script_->last(), *command_of(step), requestsBefore == 0);
    }

    void check_request(const line::Request& request, const StepCommand& command, bool first) {
        FUZZ_CHECK(request.cid1 == command.cid1 && request.cid2 == command.cid2);
        FUZZ_CHECK(request.ver == config_.version);
        FUZZ_CHECK(request.info == expected_info(request, config_.version));
        const bool model = request.cid1 == 0x40 && request.cid2 == 0x51;
        FUZZ_CHECK(!first || model);
        FUZZ_CHECK(!(model && modelKnown_));
        // The model check is never skipped: no request of a round before it has been answered.
        FUZZ_CHECK(model || modelKnown_);
        // No unit of a kind, no request for it; the AC parameters go with the DC part of the round.
        if (config_.ac == 0) FUZZ_CHECK(request.cid1 != 0x40 || model);
        if (config_.dc == 0) FUZZ_CHECK(request.cid1 != 0x42 && !(request.cid1 == 0x40 && request.cid2 == 0x46));
    }

    Config config_;
    std::shared_ptr<fuzz::HostWatch> watch_ = std::make_shared<fuzz::HostWatch>();
    std::shared_ptr<site::Controller> controller_ = std::make_shared<site::Controller>(watch_, site::WorkMode::Inline);
    std::shared_ptr<line::ScriptedTransport> script_ = std::make_shared<line::ScriptedTransport>();
    std::shared_ptr<HostLink> link_ = make_link();
    std::shared_ptr<Ktr40e> device_ = std::make_shared<Ktr40e>(std::chrono::microseconds(0));
    bool modelKnown_ = false;
    std::size_t answersSinceRound_ = 0;  // answers of round steps handed to the device since the last round end
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    Session session(read_config(in));
    while (!in.empty()) {
        const std::uint8_t op = in.byte();
        switch (op % 4) {
            case 0: session.poll(); break;
            case 1: session.answer(session.outstanding_cid1(), 0, in.chunk()); break;
            case 2: {
                const std::uint8_t cid1 = in.byte();
                session.answer(cid1, 0, in.chunk());
                break;
            }
            default: {
                const std::uint8_t rtn = in.byte();
                session.answer(session.outstanding_cid1(), rtn, in.chunk());
                break;
            }
        }
    }
    return 0;
}
