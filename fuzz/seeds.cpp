// Writes the seed corpus of every fuzz target into <directory>/<target>/: the valid answers of the
// unit tests, taken from their builders, arranged in each target's input format, and the cached
// images that those answers give.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "line/frame.h"
#include "tests/ac/ac_test_support.h"
#include "tests/dc/dc_test_unit.h"
#include "tests/rc/rc_rig.h"

namespace {

using fuzz::Bytes;
using fuzz::InputWriter;

// ---- unit answers (one unit's portion or block) ----

Bytes ac_analog() { return two_channel_analog().bytes(); }
Bytes ac_status() { return Portion().u8(3).u8(1).u8(0).u8(1).u8(0).bytes(); }
Bytes ac_alarms() {
    return alarm_portion({{1, 2, 3, 0, {1, 2, 3, 4, 5, 6}}, {0, 0, 2, 3, {9, 9, 9, 9, 9, 9}}}, 1, 2, 3).bytes();
}

Bytes dc_analog() { return dctest::analog_block(53.5f, 21.0f, {4.5f}, {7.25f, -1.5f}, {}); }
Bytes dc_analog_user_values() {
    return dctest::analog_block(1.0f, 2.0f, {}, {},
                                {Bytes(4, 0x20), Bytes(4, 0), Bytes{1, 1, 1, 2}, Bytes(4, 0xFF), Bytes{0, 7, 7, 7}});
}
Bytes fuse_states(std::size_t count) {
    Bytes fuses(count);
    for (std::size_t k = 0; k < count; ++k) fuses[k] = static_cast<std::uint8_t>(k % 4);
    return fuses;
}
Bytes dc_alarms() { return dctest::alarm_block(1, fuse_states(64), fuse_states(17)); }

// ---- whole answers of the power system: DATAFLAG and unit count in front of the portions ----

Bytes group_answer(std::size_t units, const Bytes& portion) {
    Bytes info{0x00, static_cast<std::uint8_t>(units)};
    for (std::size_t i = 0; i < units; ++i) info.insert(info.end(), portion.begin(), portion.end());
    return info;
}

Bytes model_answer() {
    const std::string text = "KTR-40";
    Bytes info(text.begin(), text.end());
    info.resize(20, ' ');
    return info;
}

struct PowerConfig {
    std::uint8_t ac;
    std::uint8_t dc;
    bool v21;
    bool dataValid;
};

struct Answer {
    std::uint8_t cid1;
    Bytes info;
};

// Every answer of one round, in the order of the requests. With dataValid_ set and DATAFLAG 0
// the optional AC and DC requests are not made; the rectifier answer's DATAFLAG (0x11) asks for
// both rectifier requests in any case.
std::vector<Answer> round_answers(const PowerConfig& config) {
    std::vector<Answer> answers;
    if (config.ac > 0) {
        answers.push_back({0x40, group_answer(config.ac, ac_analog())});
        if (!config.dataValid) {
            answers.push_back({0x40, group_answer(config.ac, ac_status())});
            answers.push_back({0x40, group_answer(config.ac, ac_alarms())});
        }
    }
    answers.push_back({0x41, rctest::info41_41()});
    answers.push_back({0x41, rctest::info41_43()});
    answers.push_back({0x41, rctest::info41_44()});
    if (config.dc > 0) {
        answers.push_back({0x42, group_answer(config.dc, dc_analog())});
        if (!config.dataValid) answers.push_back({0x42, group_answer(config.dc, dc_alarms())});
        if (config.ac > 0) answers.push_back({0x40, rctest::info40_46()});
        answers.push_back({0x42, rctest::info42_46()});
    }
    return answers;
}

// Operation 0 polls, operation 1 answers the outstanding request.
Bytes power_session(const PowerConfig& config, int rounds) {
    InputWriter in;
    in.byte(static_cast<std::uint8_t>(config.ac | config.dc << 2));
    in.byte(static_cast<std::uint8_t>((config.v21 ? 0x01 : 0) | (config.dataValid ? 0x02 : 0)));
    in.byte(0).byte(1).chunk(model_answer());
    for (int round = 0; round < rounds; ++round) {
        if (round > 0) in.byte(0);
        for (const Answer& answer : round_answers(config)) in.byte(1).chunk(answer.info);
    }
    return in.bytes();
}

// ---- cached images: what a unit publishes after the answers above ----

template <class Probe, class Feed>
Bytes image_after(Feed feed) {
    fuzz::UnitHost host;
    const auto unit = host.attach<Probe>(9);
    feed(*unit);
    return fuzz::complete_round(*unit);
}

Bytes ac_image() {
    return image_after<fuzz::ProbeAC>([](fuzz::ProbeAC& unit) {
        const Bytes answers[] = {ac_analog(), ac_status(), ac_alarms()};
        unit.parse40_41(answers[0].data(), static_cast<int>(answers[0].size()));
        unit.parse40_43(answers[1].data(), static_cast<int>(answers[1].size()));
        unit.parse40_44(answers[2].data(), static_cast<int>(answers[2].size()));
    });
}

Bytes dc_image() {
    return image_after<fuzz::ProbeDC>([](fuzz::ProbeDC& unit) {
        const Bytes answers[] = {dc_analog(), dc_alarms()};
        unit.parse42_41(answers[0].data(), static_cast<int>(answers[0].size()));
        unit.parse42_44(answers[1].data(), static_cast<int>(answers[1].size()));
    });
}

Bytes rc_image() {
    return image_after<fuzz::ProbeRC>([](fuzz::ProbeRC& group) {
        const Bytes answers[] = {rctest::info41_41(), rctest::info41_43(), rctest::info41_44(), rctest::info40_46(),
                                 rctest::info42_46()};
        group.parse41_41(answers[0].data(), static_cast<int>(answers[0].size()));
        group.parse41_43(answers[1].data(), static_cast<int>(answers[1].size()));
        group.parse41_44(answers[2].data(), static_cast<int>(answers[2].size()));
        group.parse40_46(answers[3].data(), static_cast<int>(answers[3].size()));
        group.parse42_46(answers[4].data(), static_cast<int>(answers[4].size()));
    });
}

// A valid image restored and published; then one cut short by a byte, refused.
std::vector<Bytes> cache_seeds(const Bytes& image) {
    const Bytes cut(image.begin(), image.end() - 1);
    return {InputWriter().byte(1).chunk(image).bytes(), InputWriter().byte(0).chunk(image).byte(1).chunk(cut).bytes()};
}

// ---- line streams: the power system's answers as frames, with noise between them ----

Bytes as_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes answer_stream() {
    std::string stream = line::encode(line::Answer{0x20, 1, 0x40, 0, model_answer()});
    for (const Answer& answer : round_answers({1, 1, false, false})) {
        stream += "noise\r";
        stream += line::encode(line::Answer{0x20, 1, answer.cid1, 0, answer.info});
    }
    return as_bytes(stream);
}

// The protocol's own test vectors, and a value sent as blanks.
Bytes vector_stream() {
    std::string blanks;
    line::encode_frame_text({0x20, 0x01, 0x42, 0x00}, "0001        0000", blanks);
    return as_bytes(std::string("~20024642E00202FD33\r~20014043E00200FD3B\r~21012A500000FDA4\r") +
                    "~21012A000000FDA9\r~20024600B014026EF05AA0022BFDD5C0F915\r" + blanks);
}

using Corpus = std::vector<Bytes>;

Bytes text_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::vector<std::pair<std::string, Corpus>> corpora() {
    const auto op = [](std::uint8_t code, const Bytes& bytes) { return InputWriter().byte(code).chunk(bytes); };
    return {
        {"ac_parse",
         {op(0, ac_analog()).byte(1).chunk(ac_status()).byte(2).chunk(ac_alarms()).byte(3).chunk({}).bytes(),
          op(0, analog_portion({}, Bytes(4, 0), Bytes(4, 0), Bytes(4, 0)).bytes()).byte(0).chunk(ac_analog()).bytes()}},
        {"dc_parse",
         {op(0, dc_analog()).byte(1).chunk(dc_alarms()).byte(2).chunk({}).bytes(),
          op(0, dc_analog_user_values())
              .byte(1)
              .chunk(dctest::alarm_block(2, fuse_states(70), fuse_states(17)))
              .bytes()}},
        {"rc_parse",
         {op(0, rctest::info41_41())
              .byte(1)
              .chunk(rctest::info41_43())
              .byte(2)
              .chunk(rctest::info41_44())
              .byte(3)
              .chunk(rctest::info40_46())
              .byte(4)
              .chunk(rctest::info42_46())
              .byte(5)
              .chunk({})
              .bytes()}},
        {"power",
         {power_session({1, 1, false, false}, 2), power_session({2, 4, true, true}, 2),
          power_session({0, 2, false, false}, 2), power_session({2, 0, true, false}, 2),
          power_session({0, 0, false, true}, 2), power_session({3, 2, true, false}, 1)}},
        {"ac_cache", cache_seeds(ac_image())},
        {"dc_cache", cache_seeds(dc_image())},
        {"rc_cache", cache_seeds(rc_image())},
        {"frame",
         {InputWriter().byte(0).byte(15).raw(answer_stream()).bytes(),
          InputWriter().byte(4).byte(0).raw(vector_stream()).bytes()}},
        {"query",
         {text_bytes("channel_2_c"), text_bytes("xchannel_0_abc"), text_bytes("channel_99999999999999999999_a"),
          text_bytes("ia_alert"), text_bytes("channel_\nchannel_1_f")}},
    };
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " <directory>\n";
        return 2;
    }
    const std::filesystem::path root = argv[1];
    for (const auto& [target, seeds] : corpora()) {
        const std::filesystem::path directory = root / target;
        std::filesystem::create_directories(directory);
        for (std::size_t i = 0; i < seeds.size(); ++i) {
            std::ofstream file(directory / ("seed-" + std::to_string(i + 1)), std::ios::binary);
            file.write(reinterpret_cast<const char*>(seeds[i].data()), static_cast<std::streamsize>(seeds[i].size()));
            if (!file) {
                std::cerr << "cannot write into " << directory.string() << '\n';
                return 1;
            }
        }
    }
    return 0;
}
