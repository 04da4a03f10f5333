#pragma once
#include <cstdint>
#include <string>
#include <type_traits>

#include "host/api.h"

// One argument of a log line, carried without allocation.
struct VRTLogArg {
    enum Kind : std::uint8_t { Unsigned, Signed, Text };
    Kind kind;
    union {
        std::uint64_t u;
        std::int64_t i;
        const char* s;
    };

    template <typename T,
              typename std::enable_if<std::is_integral<T>::value && std::is_unsigned<T>::value, int>::type = 0>
    VRTLogArg(T v) : kind(Unsigned), u(v) {}
    template <typename T,
              typename std::enable_if<std::is_integral<T>::value && std::is_signed<T>::value, int>::type = 0>
    VRTLogArg(T v) : kind(Signed), i(v) {}
    VRTLogArg(const char* v) : kind(Text), s(v) {}
    VRTLogArg(const std::string& v) : kind(Text), s(v.c_str()) {}
};

class VRTController;

// The host's log sink. Declared weak: a host without one leaves it null and log calls do nothing.
extern "C" VRT_HOST_API void vrt_controller_log(const VRTController* controller, const char* format,
                                                const VRTLogArg* args, unsigned count) __attribute__((weak));

class VRT_HOST_API VRTController {
public:
    virtual ~VRTController();

    // Messages use "{}" placeholders; the first argument is the calling device's data id.
    template <typename... Args>
    void InfoLog(const char* format, const Args&... args) {
        if (vrt_controller_log == nullptr) return;
        const VRTLogArg list[sizeof...(Args) + 1] = {VRTLogArg(args)..., VRTLogArg(0u)};
        vrt_controller_log(this, format, list, static_cast<unsigned>(sizeof...(Args)));
    }
};
