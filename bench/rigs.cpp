#include "rigs.h"

#include <chrono>
#include <stdexcept>
#include <string>

#include "bench_site.h"
#include "line/frame.h"
#include "sim/device.h"

namespace bench {
namespace {

struct Command {
    std::uint8_t cid1;
    std::uint8_t cid2;
};

constexpr Command kAnswered[] = {{0x40, 0x51}, {0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44}, {0x41, 0x41}, {0x41, 0x43},
                                 {0x41, 0x44}, {0x42, 0x41}, {0x42, 0x44}, {0x40, 0x46}, {0x42, 0x46}};

// Frames the INFO text as the simulator puts it on the line and decodes it as the host does.
line::Answer decode_answer(std::uint8_t cid1, const std::string& infoText) {
    std::string frame;
    line::encode_frame_text(line::FrameHeader{0x20, 1, cid1, 0}, infoText, frame);
    line::FrameDecoder decoder;
    decoder.feed(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size());
    if (!decoder.ready() || !decoder.result().ok()) throw std::runtime_error("a typical answer does not decode");
    return line::to_answer(decoder.result().frame);
}

std::shared_ptr<site::Controller> inline_controller(std::shared_ptr<site::Observer> observer) {
    return std::make_shared<site::Controller>(std::move(observer), site::WorkMode::Inline);
}

template <class Unit>
std::shared_ptr<Unit> make_unit(const std::shared_ptr<site::Controller>& controller, unsigned dataId) {
    auto unit = std::make_shared<Unit>();
    Json::Value setting(Json::objectValue);
    setting["data_id"] = dataId;
    unit->Init(controller, dataId, Json::Value());
    if (!unit->InitV(nullptr, dataId, setting)) throw std::runtime_error("a unit refused its settings");
    return unit;
}

}  // namespace

TypicalAnswers::TypicalAnswers() {
    sim::DeviceModel model(site_state(), sim::DataFlagMode::Always, 0, 0.0, std::chrono::seconds(120));
    for (const Command& command : kAnswered) {
        const auto text = model.answer(command.cid1, command.cid2, 0.0);
        if (!text) throw std::runtime_error("the simulator does not answer a command of the round");
        entries_.push_back(Entry{command.cid2, decode_answer(command.cid1, *text)});
    }
}

const line::Answer& TypicalAnswers::to(std::uint8_t cid1, std::uint8_t cid2) const {
    for (const Entry& entry : entries_)
        if (entry.answer.cid1 == cid1 && entry.cid2 == cid2) return entry.answer;
    throw std::out_of_range("no typical answer to " + std::to_string(cid1) + "/" + std::to_string(cid2));
}

Portion TypicalAnswers::portion(std::uint8_t cid1, std::uint8_t cid2, int offset) const {
    const std::vector<std::uint8_t>& info = to(cid1, cid2).info;
    return Portion{info.data() + offset, static_cast<int>(info.size()) - offset};
}

void CommandTap::send(const line::Request& request) {
    cid1_ = request.cid1;
    cid2_ = request.cid2;
    ++sent_;
}

PowerRig::PowerRig(const TypicalAnswers& answers, std::shared_ptr<site::Observer> observer)
    : answers_(answers),
      controller_(inline_controller(std::move(observer))),
      tap_(std::make_shared<CommandTap>()),
      link_(std::make_shared<HostLink>(tap_)),
      device_(std::make_shared<Ktr40e>(std::chrono::microseconds(0))) {
    const Json::Value settings = power_settings(kDataId);
    device_->Init(controller_, kDataId, settings);
    if (!device_->InitSetting(settings)) throw std::runtime_error("the power system refused its settings");
    HostLink::attach(*device_, link_);
    if (!device_->RefreshStatus() || tap_->cid2() != 0x51) throw std::runtime_error("no model query");
    const std::uint64_t sentBefore = tap_->sent();
    link_->deliver(*device_, answers_.to(0x40, 0x51));
    if (!answer_round(sentBefore)) throw std::runtime_error("the first round did not run through");
}

bool PowerRig::run_round() {
    const std::uint64_t sentBefore = tap_->sent();
    if (link_->awaiting() || !device_->RefreshStatus()) return false;
    return answer_round(sentBefore);
}

bool PowerRig::answer_round(std::uint64_t sentBefore) {
    // deliver() is false once the device ends its exchange: at the round end, or on an error.
    for (std::size_t answered = 0; answered < kRoundRequests; ++answered) {
        if (!link_->deliver(*device_, answers_.to(tap_->cid1(), tap_->cid2())))
            return tap_->sent() - sentBefore == kRoundRequests && !link_->awaiting();
    }
    return false;
}

UnitRigs::UnitRigs(const TypicalAnswers& answers, std::shared_ptr<site::Observer> observer)
    : answers_(answers), controller_(inline_controller(std::move(observer))) {
    ac = make_unit<Ktr40eAC>(controller_, PowerRig::kDataId + 11);
    dc = make_unit<Ktr40eDC>(controller_, PowerRig::kDataId + 21);
    rc = make_unit<Ktr40eRC>(controller_, PowerRig::kDataId);
}

bool UnitRigs::feed() {
    auto unitTakes = [this](auto& unit, auto parse, std::uint8_t cid1, std::uint8_t cid2) {
        const Portion p = answers_.portion(cid1, cid2, kUnitBlockOffset);
        return ((*unit).*parse)(p.data, p.len) > 0;
    };
    auto groupTakes = [this](auto parse, std::uint8_t cid1, std::uint8_t cid2) {
        const Portion p = answers_.portion(cid1, cid2, 0);
        return ((*rc).*parse)(p.data, p.len) == p.len;
    };
    return unitTakes(ac, &Ktr40eAC::parse40_41, 0x40, 0x41) && unitTakes(ac, &Ktr40eAC::parse40_43, 0x40, 0x43) &&
           unitTakes(ac, &Ktr40eAC::parse40_44, 0x40, 0x44) && groupTakes(&Ktr40eRC::parse41_41, 0x41, 0x41) &&
           groupTakes(&Ktr40eRC::parse41_43, 0x41, 0x43) && groupTakes(&Ktr40eRC::parse41_44, 0x41, 0x44) &&
           unitTakes(dc, &Ktr40eDC::parse42_41, 0x42, 0x41) && unitTakes(dc, &Ktr40eDC::parse42_44, 0x42, 0x44) &&
           groupTakes(&Ktr40eRC::parse40_46, 0x40, 0x46) && groupTakes(&Ktr40eRC::parse42_46, 0x42, 0x46);
}

}  // namespace bench
