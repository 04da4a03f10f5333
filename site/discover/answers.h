#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What commissioning reads from a KTR-40's answers: the model text and the unit counts, from
// the decoded INFO. The AC and rectifier readers give nothing when the INFO does not hold
// exactly what its counts announce: the driver would refuse such an answer every round.
namespace discover {

// The model text of a 40/51 answer: its first 20 bytes without the blanks and NUL bytes of
// the padding.
std::string model_text(const std::vector<std::uint8_t>& info);

// The input channels of each AC unit in a 40/41 answer (DATAFLAG, unit count, the units).
std::optional<std::vector<unsigned>> ac_channels(const std::vector<std::uint8_t>& info);

// The rectifier modules of a 41/41 answer (DATAFLAG, output voltage, module count, the modules).
std::optional<unsigned> rectifier_modules(const std::vector<std::uint8_t>& info);

// The DC units of a 42/41 answer (DATAFLAG, unit count, ...); nothing when it is too short to
// hold the count.
std::optional<unsigned> dc_units(const std::vector<std::uint8_t>& info);

}  // namespace discover
