#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "site/discover/asker.h"

// Finding the power systems of a line: each address is asked for its model, and a system that
// answers is asked what the driver will ask every round. Only read requests are ever sent.
namespace discover {

constexpr std::uint8_t kProtocol20 = 0x20;
constexpr std::uint8_t kProtocol21 = 0x21;

// "0x21".
std::string version_text(std::uint8_t version);

// How long to wait for answers.
struct Timing {
    // For the model query at each address: most addresses of a line stay silent, and each
    // costs this much.
    std::chrono::milliseconds answerTime{305};
    // For each further question to a system that has answered.
    std::chrono::milliseconds questionTime{1500};
};

// The request and the longest model answer on the line at `baud`, and the time a device may
// take before it starts to answer.
std::chrono::milliseconds answer_time(int baud);

// An optional request and what it got.
struct Asked {
    std::uint8_t cid1 = 0;
    std::uint8_t cid2 = 0;
    Reply reply;
};

// A count read from an answer; `note` says why it is not known, or why it was taken as none.
template <class T>
struct Count {
    std::optional<T> value;
    std::string note;
};

// What a power system that answered told of itself.
struct Survey {
    std::uint8_t version = kProtocol20;  // the protocol version it answered
    std::string model;
    Count<std::vector<unsigned>> acChannels;  // the input channels of each AC unit
    Count<unsigned> dcUnits;
    Count<unsigned> modules;      // rectifier modules
    std::vector<Asked> optional;  // the requests the driver may skip, in the order asked
};

// What one address gave.
struct AddressResult {
    enum class Kind { Found, Silent, Refused, Garbled };
    std::uint8_t address = 0;
    Kind kind = Kind::Silent;
    Reply reply;    // unless Found: the most telling reply to the model query
    Survey survey;  // when Found
};

// Asks one address after another.
class Surveyor {
public:
    Surveyor(Asker& asker, Timing timing) : asker_(asker), timing_(timing) {}

    // Asks for the model with each protocol version in turn until one is answered; a system
    // that answers is surveyed. A version refused with anything but a VER error (RTN 0x01)
    // ends the turn: another version would not change that.
    AddressResult visit(std::uint8_t address, const std::vector<std::uint8_t>& versions);
    // Why the line failed; nothing more is asked once it has (the result of that visit is
    // incomplete).
    const std::string& line_error() const { return lineError_; }

private:
    Reply ask(const line::Request& request, std::chrono::milliseconds time, bool againWhenSilent);
    Survey survey(std::uint8_t address, std::uint8_t version, const Reply& model);

    Asker& asker_;
    Timing timing_;
    std::string lineError_;
};

struct ScanOptions {
    std::vector<std::uint8_t> addresses;
    std::vector<std::uint8_t> versions{kProtocol20, kProtocol21};  // tried in this order
    Timing timing;
};

// What a caller learns while the scan runs; every member may be left empty.
struct ScanObserver {
    std::function<bool()> stopRequested;  // asked before each address
    // Before asking `address`, the nth (from 1) of the scan.
    std::function<void(std::uint8_t address, std::size_t nth, std::size_t found)> asking;
    std::function<void(const AddressResult&)> found;
};

struct ScanResult {
    std::vector<AddressResult> results;  // every address asked, in order
    bool stopped = false;                // stopRequested said so
    std::string lineError;               // the line failed and the scan stopped: why
};

ScanResult scan(Asker& asker, const ScanOptions& options, const ScanObserver& observer = ScanObserver());

// How long a scan takes at most when nothing answers.
std::chrono::milliseconds longest_scan(const ScanOptions& options);

}  // namespace discover
