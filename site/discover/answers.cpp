#include "site/discover/answers.h"

#include "bytes/byte_reader.h"

namespace discover {
namespace {

constexpr std::size_t kModelTextSize = 20;
// An AC input channel: voltages a, b, c and the frequency, then its counted user values.
constexpr int kAcChannelValues = 16;
// An AC unit after its channels: the phase currents.
constexpr int kAcPhaseCurrents = 12;
constexpr int kAnalog = 4;

ByteReader reader_of(const std::vector<std::uint8_t>& info) {
    return ByteReader(info.data(), static_cast<int>(info.size()));
}

bool used_whole(const ByteReader& in) { return !in.overran() && in.position() == in.length(); }

}  // namespace

std::string model_text(const std::vector<std::uint8_t>& info) {
    std::string text(info.begin(), info.begin() + static_cast<std::ptrdiff_t>(std::min(info.size(), kModelTextSize)));
    const auto end = text.find_last_not_of(std::string(" \0", 2));
    return text.substr(0, end == std::string::npos ? 0 : end + 1);
}

std::optional<std::vector<unsigned>> ac_channels(const std::vector<std::uint8_t>& info) {
    ByteReader in = reader_of(info);
    in.skip(1);  // DATAFLAG
    int units = 0;
    if (!in.count(units)) return std::nullopt;
    std::vector<unsigned> channels;
    for (int unit = 0; unit < units; ++unit) {
        int count = 0;
        if (!in.count(count)) return std::nullopt;
        for (int channel = 0; channel < count; ++channel)
            if (!in.skip_counted(kAcChannelValues, kAnalog)) return std::nullopt;
        in.skip(kAcPhaseCurrents);
        channels.push_back(static_cast<unsigned>(count));
    }
    if (!used_whole(in)) return std::nullopt;
    return channels;
}

std::optional<unsigned> rectifier_modules(const std::vector<std::uint8_t>& info) {
    ByteReader in = reader_of(info);
    in.skip(1 + kAnalog);  // DATAFLAG, output voltage
    int modules = 0;
    if (!in.count(modules)) return std::nullopt;
    // Each module: its output current, then its counted user values.
    for (int module = 0; module < modules; ++module)
        if (!in.skip_counted(kAnalog, kAnalog)) return std::nullopt;
    if (!used_whole(in)) return std::nullopt;
    return static_cast<unsigned>(modules);
}

std::optional<unsigned> dc_units(const std::vector<std::uint8_t>& info) {
    ByteReader in = reader_of(info);
    in.skip(1);  // DATAFLAG
    int units = 0;
    if (!in.count(units)) return std::nullopt;
    return static_cast<unsigned>(units);
}

}  // namespace discover
