// A fixed set of worker threads running submitted tasks in the order they were submitted.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace exporter {

class TaskPool {
public:
    explicit TaskPool(std::size_t threads);
    // Runs every task already submitted, then joins the workers.
    ~TaskPool();
    TaskPool(const TaskPool&) = delete;
    TaskPool& operator=(const TaskPool&) = delete;

    std::size_t size() const noexcept { return workers_.size(); }
    // Queues `task`; a task must not throw.
    void submit(std::function<void()> task);

private:
    void work();

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// A value computed by a task, waited for by its owner.
template <typename T>
class Pending {
public:
    void set(T value) {
        {
            std::lock_guard lock(mutex_);
            value_ = std::move(value);
            done_ = true;
        }
        ready_.notify_all();
    }
    bool ready() {
        std::lock_guard lock(mutex_);
        return done_;
    }
    T& wait() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return done_; });
        return value_;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    bool done_ = false;
    T value_{};
};

}  // namespace exporter
