#pragma once
#include <memory>

#include "site/host/controller.h"
#include "site/host/host_access.h"

namespace site {

// Builds and sends an event for a device's call, only when someone looks at its kind.
template <typename Fill>
void emit_for(const VRTVDevice& device, EventKind kind, Fill&& fill) {
    const std::shared_ptr<Controller> controller = VRTHostAccess::controller(device);
    if (!controller || !controller->observed(kind)) return;
    Event event;
    event.kind = kind;
    event.device = device.DataId();
    fill(event);
    controller->emit(event);
}

inline void emit_for(const VRTVDevice& device, EventKind kind) {
    emit_for(device, kind, [](Event&) {});
}

}  // namespace site
