#include "line/transport.h"

namespace line {

void ScriptedTransport::send(const Request& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
}

std::vector<Request> ScriptedTransport::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::size_t ScriptedTransport::count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

Request ScriptedTransport::last() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.empty() ? Request{} : requests_.back();
}

void ScriptedTransport::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

}  // namespace line
