#include "common/unit_support.h"

#include <stdexcept>

std::int64_t age_seconds(const boost::posix_time::ptime& since) {
    const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
    return static_cast<std::int64_t>((now - since).total_seconds());
}

void ensure_fresh(bool dataValid, const boost::posix_time::ptime& lastUpdate) {
    if (!dataValid) throw std::out_of_range("数据未就绪");
    if (age_seconds(lastUpdate) >= 61) throw std::out_of_range("数据已超时");
}

tele_c_time current_ttime() { return get_ttime(boost::posix_time::second_clock::local_time()); }
