#include "common/unit_support.h"

#include <cstdlib>
#include <stdexcept>


std::int64_t age_seconds(const boost::posix_time::ptime& since) {
    const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
    return static_cast<std::int64_t>((now - since).total_seconds());
}

void ensure_fresh(bool dataValid, const boost::posix_time::ptime& lastUpdate) {
    if (!dataValid) throw std::out_of_range("数据未就绪");
    if (age_seconds(lastUpdate) >= 61) throw std::out_of_range("数据已超时");
}

namespace {

void read_limit(const Json::Value& appSetting, const char* key, float& limit) {
    const Json::Value& value = appSetting[key];
    if (value.isNull() || !value.isConvertibleTo(Json::stringValue)) return;
    limit = static_cast<float>(std::atof(value.asString().c_str()));
}

}  // namespace

void read_change_limits(const Json::Value& setting, float& diffV, float& diffI) {
    if (!setting.isObject()) return;
    const Json::Value& appSetting = setting["appSetting"];
    if (!appSetting.isObject()) return;
    read_limit(appSetting, "diff_v", diffV);
    read_limit(appSetting, "diff_i", diffI);
}

tele_c_time current_ttime() { return get_ttime(boost::posix_time::second_clock::local_time()); }

