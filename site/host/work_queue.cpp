#include "site/host/work_queue.h"

#include <exception>
#include <utility>

namespace site {

WorkQueue::WorkQueue(ErrorHandler onError) : onError_(std::move(onError)), worker_([this] { run(); }) {}

WorkQueue::~WorkQueue() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    // The last owner may let go from inside a work item: never join the worker from itself.
    if (worker_.get_id() == std::this_thread::get_id()) {
        worker_.detach();
    } else {
        worker_.join();
    }
}

void WorkQueue::post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(std::move(work));
    }
    wake_.notify_one();
}

void WorkQueue::drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return items_.empty() && !busy_; });
}

void WorkQueue::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !items_.empty(); });
        if (items_.empty()) break;  // stopping, and everything queued has run
        std::function<void()> work = std::move(items_.front());
        items_.pop_front();
        busy_ = true;
        lock.unlock();
        try {
            work();
        } catch (const std::exception& e) {
            onError_(e.what());
        } catch (...) {
            onError_("unknown exception");
        }
        work = nullptr;  // release what the item holds before reporting idle
        lock.lock();
        busy_ = false;
        if (items_.empty()) idle_.notify_all();
    }
    idle_.notify_all();
}

}  // namespace site
