#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

namespace line {

struct Request {
    std::uint8_t ver = 0x20;
    std::uint8_t adr = 1;
    std::uint8_t cid1 = 0;
    std::uint8_t cid2 = 0;
    std::vector<std::uint8_t> info;
};

struct Answer {
    std::uint8_t ver = 0x20;
    std::uint8_t adr = 1;
    std::uint8_t cid1 = 0;
    std::uint8_t rtn = 0;
    std::vector<std::uint8_t> info;
};

// True for `request` itself heard back, as a two-wire RS-485 line hears its own requests:
// decoded as an answer, its RTN is the request's CID2.
bool is_echo_of(const Answer& answer, const Request& request);

// Where a device's requests go: a serial line, or a script in tests.
class Transport {
public:
    virtual ~Transport() = default;
    virtual void send(const Request& request) = 0;
};

// Records requests, for tests that answer them themselves.
class ScriptedTransport : public Transport {
public:
    void send(const Request& request) override;
    std::vector<Request> requests() const;
    std::size_t count() const;
    Request last() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
};

}  // namespace line
