#include "site/round/completed_round.h"

namespace site {

void decode_unit(RoundUnit& unit) {
    unit.decoded = decode_image(unit.record, unit.image);
    unit.values.clear();
    if (unit.decoded.ok) unit.values = unit_values(unit.record, unit.decoded.fields);
}

}  // namespace site
