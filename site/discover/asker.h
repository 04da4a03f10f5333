#pragma once
#include <chrono>
#include <string>

#include "line/serial.h"
#include "line/transport.h"

// One request on a line and what came back to it.
namespace discover {

struct Reply {
    enum class Kind {
        Answer,      // a frame from the address asked, for the group asked, whatever its RTN
        Silent,      // nothing usable in time
        Garbled,     // only frames the decoder refused
        LineFailed,  // the request could not be sent
    };
    Kind kind = Kind::Silent;
    line::Answer answer;  // with Answer
    std::string reason;   // with Garbled: why the frame was refused; with LineFailed: the line's error

    bool answered() const { return kind == Kind::Answer && answer.rtn == 0; }
};

// A request's command as people write it: "40/51".
std::string command_text(std::uint8_t cid1, std::uint8_t cid2);

// "answered", "RTN 0x04", "no answer", "garbled (CHKSUM)", ...
std::string reply_text(const Reply& reply);

// Sends one request and waits up to `answerTime` from then for its answer.
class Asker {
public:
    virtual ~Asker() = default;
    virtual Reply ask(const line::Request& request, std::chrono::milliseconds answerTime) = 0;
};

// Asks over a serial device or a tcp:// serial server. A device is opened for this program
// alone, with the host's lock, so nothing is written to a line another program holds.
class LineAsker : public Asker {
public:
    // Throws std::invalid_argument for an unsupported baud rate.
    LineAsker(const std::string& port, int baud, line::LineFormat format);

    // Opens the port; empty when it is open, else why not ("/dev/ttyUSB0: in use by another program").
    std::string open();
    Reply ask(const line::Request& request, std::chrono::milliseconds answerTime) override;

private:
    line::SerialTransport transport_;
};

}  // namespace discover
