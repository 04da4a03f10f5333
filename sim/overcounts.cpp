#include "sim/overcounts.h"

#include <algorithm>

namespace sim {
namespace {

// Appends copies of `item` until the list holds `size` entries.
template <class T>
bool grow_to(std::vector<T>& list, std::size_t size, const T& item) {
    while (list.size() < size) list.push_back(item);
    return true;
}

template <class T>
bool one_more(std::vector<T>& list, const T& item) {
    list.push_back(item);
    return true;
}

AcChannel* first_channel(SiteState& s) {
    if (s.ac.empty() || s.ac.front().channels.empty()) return nullptr;
    return &s.ac.front().channels.front();
}

RectifierModule* first_module(SiteState& s) {
    return s.rectifiers.modules.empty() ? nullptr : &s.rectifiers.modules.front();
}

const std::vector<Overcount> kOvercounts = {
    {"ac_channels", 0x40, 0x41,
     [](SiteState& s) { return !s.ac.empty() && one_more(s.ac.back().channels, AcChannel{}); }},
    {"ac_channel_user", 0x40, 0x41,
     [](SiteState& s) {
         AcChannel* channel = first_channel(s);
         return channel != nullptr && one_more(channel->user, Analog(1.0f));
     }},
    {"air_switches", 0x40, 0x43,
     [](SiteState& s) { return !s.ac.empty() && grow_to(s.ac.front().airSwitches, 9, std::uint8_t{0}); }},
    {"ac_user_status", 0x40, 0x43,
     [](SiteState& s) { return !s.ac.empty() && one_more(s.ac.front().userStatus, std::uint8_t{0}); }},
    {"ac_extra_states", 0x40, 0x44,
     [](SiteState& s) {
         AcChannel* channel = first_channel(s);
         return channel != nullptr && one_more(channel->extraStates, std::uint8_t{0});
     }},
    {"ac_user_alarms", 0x40, 0x44,
     [](SiteState& s) {
         AcChannel* channel = first_channel(s);
         return channel != nullptr && one_more(channel->userAlarms, std::uint8_t{0});
     }},
    {"modules", 0x41, 0x41, [](SiteState& s) { return one_more(s.rectifiers.modules, RectifierModule{}); }},
    {"module_user", 0x41, 0x41,
     [](SiteState& s) {
         RectifierModule* module = first_module(s);
         return module != nullptr && one_more(module->user, Analog(0.0f));
     }},
    {"module_status_count", 0x41, 0x43, [](SiteState& s) { return one_more(s.rectifiers.modules, RectifierModule{}); }},
    {"module_user_status", 0x41, 0x43,
     [](SiteState& s) {
         RectifierModule* module = first_module(s);
         return module != nullptr && one_more(module->userStatus, std::uint8_t{0});
     }},
    {"module_alarm_count", 0x41, 0x44, [](SiteState& s) { return one_more(s.rectifiers.modules, RectifierModule{}); }},
    {"module_user_alarms", 0x41, 0x44,
     [](SiteState& s) {
         RectifierModule* module = first_module(s);
         return module != nullptr && one_more(module->userAlarms, std::uint8_t{0});
     }},
    {"dc_batteries", 0x42, 0x41,
     [](SiteState& s) { return !s.dc.empty() && grow_to(s.dc.front().batteries, 5, Analog(1.0f)); }},
    {"dc_branches", 0x42, 0x41,
     [](SiteState& s) { return !s.dc.empty() && grow_to(s.dc.front().branches, 10, Analog(1.0f)); }},
    // On the last unit: the values that cannot be placed end the answer, and no unit follows.
    {"dc_user", 0x42, 0x41, [](SiteState& s) { return !s.dc.empty() && grow_to(s.dc.back().user, 9, Analog(1.0f)); }},
    {"dc_fuses", 0x42, 0x44,
     [](SiteState& s) { return !s.dc.empty() && grow_to(s.dc.front().fuses, 65, std::uint8_t{0}); }},
    {"dc_user_alarms", 0x42, 0x44,
     [](SiteState& s) { return !s.dc.empty() && grow_to(s.dc.front().userAlarms, 18, std::uint8_t{0}); }},
    {"ac_parameters_user", 0x40, 0x46, [](SiteState& s) { return one_more(s.parameters.acUser, Analog(0.0f)); }},
    {"dc_parameters_user", 0x42, 0x46, [](SiteState& s) { return one_more(s.parameters.dcUser, Analog(0.0f)); }},
};

}  // namespace

const std::vector<Overcount>& overcounts() { return kOvercounts; }

const Overcount* find_overcount(const std::string& name) {
    const auto found = std::find_if(kOvercounts.begin(), kOvercounts.end(),
                                    [&name](const Overcount& overcount) { return name == overcount.name; });
    return found == kOvercounts.end() ? nullptr : &*found;
}

}  // namespace sim
