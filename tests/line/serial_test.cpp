#include <gtest/gtest.h>

#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include "line/frame.h"
#include "line/serial.h"
#include "line/tcp_listener.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const line::Request kRequest{0x20, 0x01, 0x40, 0x43, {0x00}};
const std::string kRequestText = "~20014043E00200FD3B\r";
const std::string kAnswerText = "~20024600B014026EF05AA0022BFDD5C0F915\r";

void write(line::SerialPort& port, const std::string& text) {
    ASSERT_TRUE(port.write_all(text.data(), text.size(), 1s)) << port.last_error();
}

// The request as the device end of the line reads it.
std::string read_request(line::SerialPort& device) {
    line::FrameReceiver receiver;
    const line::DecodeResult* r = receiver.next(device, Clock::now() + 2s);
    if (r == nullptr || !r->ok()) return "nothing";
    return line::encode(r->frame);
}

struct Line {
    line::PtyPair pair = line::open_pty_pair();
    line::SerialPort device{std::move(pair.master), 9600};
};

TEST(SerialTransport, ExchangesFramesOverAPtyPair) {
    Line line;
    line::SerialTransport host(line.pair.slavePath, 9600);

    // A late answer to an earlier request is dropped when the next request goes out.
    write(line.device, "~21012A000000FDA9\r");
    host.send(kRequest);
    EXPECT_TRUE(host.last_send_ok());
    EXPECT_EQ(read_request(line.device), kRequestText);

    // An answer in two pieces, as partial reads deliver it.
    write(line.device, kAnswerText.substr(0, 11));
    std::thread rest([&] {
        std::this_thread::sleep_for(50ms);
        write(line.device, kAnswerText.substr(11));
    });
    const auto received = host.receive(2s);
    rest.join();
    ASSERT_EQ(received.size(), 1u);
    ASSERT_TRUE(received[0].ok()) << line::to_string(received[0].error);
    const line::Answer& a = received[0].answer;
    EXPECT_EQ(a.ver, 0x20);
    EXPECT_EQ(a.adr, 0x02);
    EXPECT_EQ(a.cid1, 0x46);
    EXPECT_EQ(a.rtn, 0x00);
    EXPECT_EQ(a.info, (std::vector<std::uint8_t>{0x02, 0x6E, 0xF0, 0x5A, 0xA0, 0x02, 0x2B, 0xFD, 0xD5, 0xC0}));
}

TEST(SerialTransport, TellsHowLongTheRestOfAPartlyReceivedAnswerTakes) {
    Line line;
    line::SerialTransport host(line.pair.slavePath, 9600);
    host.send(kRequest);
    EXPECT_EQ(host.rest_of_frame(), 0us);
    write(line.device, kAnswerText.substr(0, 20));
    EXPECT_TRUE(host.receive(100ms).empty());
    // 18 characters to go at ten bits each and 9600 baud.
    EXPECT_EQ(host.rest_of_frame(), 18750us);
    write(line.device, kAnswerText.substr(20));
    ASSERT_EQ(host.receive(2s).size(), 1u);
    EXPECT_EQ(host.rest_of_frame(), 0us);
}

TEST(SerialTransport, ReturnsRefusalsWithTheAnswersAndTimesOut) {
    Line line;
    line::SerialTransport host(line.pair.slavePath, 9600);
    host.send(kRequest);
    write(line.device, "~20014043E00200FD3C\r~21012A000000FDA9\r");
    const auto received = host.receive(2s);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].error, line::FrameError::BadChecksum);
    EXPECT_TRUE(received[0].headerRead);
    EXPECT_EQ(received[0].answer.cid1, 0x40);
    EXPECT_TRUE(received[1].ok());
    EXPECT_EQ(received[1].answer.cid1, 0x2A);

    const auto start = Clock::now();
    EXPECT_TRUE(host.receive(200ms).empty());
    EXPECT_GE(Clock::now() - start, 200ms);
}

TEST(SerialTransport, ReopensTheDeviceAfterAnError) {
    char dir[] = "/tmp/ktr40e-line-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/ttyS9";

    auto first = std::make_unique<Line>();
    ASSERT_EQ(::symlink(first->pair.slavePath.c_str(), link.c_str()), 0);
    line::SerialTransport host(link, 9600);
    host.send(kRequest);
    EXPECT_EQ(read_request(first->device), kRequestText);
    EXPECT_EQ(host.port().opens(), 1u);

    first.reset();  // the device goes away: the host's end hangs up
    EXPECT_TRUE(host.receive(100ms).empty());
    EXPECT_FALSE(host.port().is_open());
    EXPECT_FALSE(host.last_error().empty());

    Line second;
    ASSERT_EQ(::unlink(link.c_str()), 0);
    ASSERT_EQ(::symlink(second.pair.slavePath.c_str(), link.c_str()), 0);
    host.send(kRequest);
    EXPECT_EQ(read_request(second.device), kRequestText);
    EXPECT_EQ(host.port().opens(), 2u);

    ::unlink(link.c_str());
    ::rmdir(dir);
}

TEST(SerialTransport, AMissingDeviceIsReportedNotThrown) {
    line::SerialTransport host("/nonexistent/ttyUSB7", 9600);
    EXPECT_NO_THROW(host.send(kRequest));
    EXPECT_FALSE(host.last_send_ok());
    EXPECT_NE(host.last_error().find("open"), std::string::npos) << host.last_error();
    EXPECT_TRUE(host.receive(50ms).empty());

    EXPECT_THROW(line::SerialTransport("/dev/null", 9601), std::invalid_argument);
    EXPECT_TRUE(line::supported_baud(9600));
    EXPECT_TRUE(line::supported_baud(115200));
    EXPECT_FALSE(line::supported_baud(0));
}

struct FormatCase {
    line::LineFormat format;
    const char* text;
    tcflag_t kept;  // what a pseudo-terminal keeps of the setting among CSIZE, PARODD and CSTOPB
};

TEST(SerialPort, SetsParityAndStopBitsAsTheDevicesAre) {
    // A pseudo-terminal drops PARENB (and refuses even parity outright), so odd parity shows
    // in PARODD and even parity is left to real ports; each case gets a fresh terminal.
    const FormatCase cases[] = {
        {{line::Parity::None, 1}, "8N1", CS8},
        {{line::Parity::Odd, 1}, "8O1", CS8 | PARODD},
        {{line::Parity::None, 2}, "8N2", CS8 | CSTOPB},
        {{line::Parity::Odd, 2}, "8O2", CS8 | PARODD | CSTOPB},
    };
    for (const FormatCase& c : cases) {
        line::PtyPair pair = line::open_pty_pair();
        line::SerialPort port(pair.slavePath, 9600, c.format);
        ASSERT_TRUE(port.ensure_open()) << c.text << ": " << port.last_error();
        termios tio{};
        ASSERT_EQ(::tcgetattr(port.fd(), &tio), 0);
        EXPECT_EQ(tio.c_cflag & (CSIZE | PARODD | CSTOPB), c.kept) << c.text;
        EXPECT_EQ(line::format_text(c.format), c.text);
    }
}

// A second open of a port held by this program fails as in use and leaves the first working.
TEST(SerialPort, APortIsOpenedForOneProgramOnly) {
    line::PtyPair pair = line::open_pty_pair();
    line::SerialPort first(pair.slavePath, 9600);
    ASSERT_TRUE(first.ensure_open()) << first.last_error();
    line::SerialPort second(pair.slavePath, 9600);
    EXPECT_FALSE(second.ensure_open());
    EXPECT_TRUE(second.in_use());
    EXPECT_EQ(second.last_error(), pair.slavePath + ": in use by another program");
    first = line::SerialPort();  // closed: the port is free again
    EXPECT_TRUE(second.ensure_open()) << second.last_error();
}

// A serial server over TCP: frames both ways, an end of connection seen as a failure, and
// connection attempts spaced by the back-off rather than one per call.
TEST(SerialPort, TcpPortsCarryFramesAndBackOffWhileTheServerIsAway) {
    line::TcpListener server(0);
    const std::string url = "tcp://127.0.0.1:" + std::to_string(server.port());

    line::SerialTransport host(url, 9600);
    EXPECT_TRUE(host.port().is_socket());
    host.send(kRequest);
    ASSERT_TRUE(host.last_send_ok()) << host.last_error();
    line::SerialPort device = server.accept(2s);
    ASSERT_TRUE(device.is_open());
    EXPECT_EQ(read_request(device), kRequestText);
    write(device, kAnswerText.substr(0, 20));
    EXPECT_EQ(host.rest_of_frame().count(), 0) << "no line pacing over TCP";
    write(device, kAnswerText.substr(20));
    const std::vector<line::Received> answers = host.receive(2s);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(answers[0].ok());
    EXPECT_EQ(answers[0].answer.info.size(), 10u);

    device = line::SerialPort();  // the server drops the connection and goes away
    server.reset();
    // The end of the connection is seen, and the one attempt to reconnect at once is refused.
    EXPECT_TRUE(host.receive(300ms).empty());
    EXPECT_FALSE(host.port().is_open());
    EXPECT_EQ(host.last_error(), url + ": connect: Connection refused");
    host.send(kRequest);  // within the back-off: not tried
    EXPECT_FALSE(host.last_send_ok());
    EXPECT_EQ(host.port().opens(), 1u);
}

}  // namespace
