#include "site/discover/survey.h"

#include "line/serial.h"
#include "site/discover/answers.h"

namespace discover {
namespace {

using std::chrono::milliseconds;

// A model query has no INFO: SOI, header, CHKSUM and EOI.
constexpr std::size_t kModelRequestChars = 18;
// The longest model answer allowed for: the 20-byte model text and what some systems send
// after it (software version, maker), 32 bytes of INFO in all.
constexpr std::size_t kModelAnswerChars = 18 + 2 * 32;
// How long a device may take before its answer starts.
constexpr milliseconds kTurnaround(200);
constexpr std::uint8_t kRtnVersionError = 0x01;

int rank(const Reply& reply) {
    switch (reply.kind) {
        case Reply::Kind::Answer: return 2;
        case Reply::Kind::Garbled: return 1;
        default: return 0;
    }
}

AddressResult::Kind kind_of(const Reply& reply) {
    switch (reply.kind) {
        case Reply::Kind::Answer: return AddressResult::Kind::Refused;
        case Reply::Kind::Garbled: return AddressResult::Kind::Garbled;
        default: return AddressResult::Kind::Silent;
    }
}

// A count read from an answer. `none` is what a refusal means (a system without AC or DC
// distribution refuses its requests); without it a refusal leaves the count unknown.
template <class T, class Read>
Count<T> count_in(const Reply& reply, Read read, const std::string& request, const char* what, std::optional<T> none) {
    if (reply.answered()) {
        Count<T> count{read(reply.answer.info), {}};
        if (!count.value)
            count.note = request + ": the answer does not hold what its counts announce; " + what + " not known";
        return count;
    }
    const bool refused = reply.kind == Reply::Kind::Answer;
    if (refused && none) return Count<T>{none, request + " refused (" + reply_text(reply) + "): taken as no " + what};
    const std::string why = refused ? "refused (" + reply_text(reply) + ")" : reply_text(reply);
    return Count<T>{std::nullopt, request + ": " + why + "; " + what + " not known"};
}

// A request as the driver makes it. AC requests name the whole group (INFO 0xFF); the DC
// requests do so under protocol version 0x21 only.
struct Question {
    enum class Group { None, Always, Under21 };
    std::uint8_t cid1;
    std::uint8_t cid2;
    Group group;

    line::Request request(std::uint8_t address, std::uint8_t version) const {
        line::Request request{version, address, cid1, cid2, {}};
        if (group == Group::Always || (group == Group::Under21 && version == kProtocol21)) request.info = {0xFF};
        return request;
    }
    std::string text() const { return command_text(cid1, cid2); }
};

using Group = Question::Group;

constexpr Question kModel{0x40, 0x51, Group::None};
constexpr Question kAcAnalog{0x40, 0x41, Group::Always};
constexpr Question kRcAnalog{0x41, 0x41, Group::None};
constexpr Question kDcAnalog{0x42, 0x41, Group::Under21};
constexpr Question kOptional[] = {
    {0x40, 0x43, Group::Always},  {0x40, 0x44, Group::Always}, {0x41, 0x43, Group::None}, {0x41, 0x44, Group::None},
    {0x42, 0x44, Group::Under21}, {0x40, 0x46, Group::None},   {0x42, 0x46, Group::None},
};

}  // namespace

std::string version_text(std::uint8_t version) {
    std::string text = "0x";
    line::append_hex(text, version);
    return text;
}

milliseconds answer_time(int baud) {
    return kTurnaround + std::chrono::ceil<milliseconds>(line::line_time(kModelRequestChars + kModelAnswerChars, baud));
}

milliseconds longest_scan(const ScanOptions& options) {
    return options.timing.answerTime * static_cast<long>(options.addresses.size() * options.versions.size());
}

// A garbled answer is asked for again (a noisy line); so is silence, where that is asked for.
Reply Surveyor::ask(const line::Request& request, milliseconds time, bool againWhenSilent) {
    if (!lineError_.empty()) return Reply{Reply::Kind::LineFailed, {}, lineError_};
    Reply reply = asker_.ask(request, time);
    const bool again = reply.kind == Reply::Kind::Garbled || (againWhenSilent && reply.kind == Reply::Kind::Silent);
    if (again) reply = asker_.ask(request, time);
    if (reply.kind == Reply::Kind::LineFailed) lineError_ = reply.reason;
    return reply;
}

AddressResult Surveyor::visit(std::uint8_t address, const std::vector<std::uint8_t>& versions) {
    AddressResult result;
    result.address = address;
    for (const std::uint8_t version : versions) {
        const Reply reply = ask(kModel.request(address, version), timing_.answerTime, false);
        if (!lineError_.empty()) return result;
        if (reply.answered()) {
            result.kind = AddressResult::Kind::Found;
            result.survey = survey(address, version, reply);
            return result;
        }
        if (rank(reply) >= rank(result.reply)) result.reply = reply;
        if (reply.kind == Reply::Kind::Answer && reply.answer.rtn != kRtnVersionError) break;
    }
    result.kind = kind_of(result.reply);
    return result;
}

Survey Surveyor::survey(std::uint8_t address, std::uint8_t version, const Reply& model) {
    Survey survey;
    survey.version = version;
    survey.model = model_text(model.answer.info);
    auto question = [&](const Question& q) { return ask(q.request(address, version), timing_.questionTime, true); };
    const Reply ac = question(kAcAnalog);
    const Reply rc = question(kRcAnalog);
    const Reply dc = question(kDcAnalog);
    survey.acChannels =
        count_in(ac, ac_channels, kAcAnalog.text(), "AC units", std::make_optional(std::vector<unsigned>()));
    survey.modules = count_in(rc, rectifier_modules, kRcAnalog.text(), "rectifier modules", std::optional<unsigned>());
    survey.dcUnits = count_in(dc, dc_units, kDcAnalog.text(), "DC units", std::make_optional(0u));
    for (const Question& q : kOptional) survey.optional.push_back(Asked{q.cid1, q.cid2, question(q)});
    return survey;
}

ScanResult scan(Asker& asker, const ScanOptions& options, const ScanObserver& observer) {
    Surveyor surveyor(asker, options.timing);
    ScanResult scan;
    std::size_t found = 0;
    for (const std::uint8_t address : options.addresses) {
        if (observer.stopRequested && observer.stopRequested()) {
            scan.stopped = true;
            break;
        }
        if (observer.asking) observer.asking(address, scan.results.size() + 1, found);
        AddressResult result = surveyor.visit(address, options.versions);
        if (!surveyor.line_error().empty()) {
            scan.lineError = surveyor.line_error();
            break;
        }
        if (result.kind == AddressResult::Kind::Found) {
            ++found;
            if (observer.found) observer.found(result);
        }
        scan.results.push_back(std::move(result));
    }
    return scan;
}

}  // namespace discover
