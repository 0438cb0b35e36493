// What tavrik-convert prints on stderr: one line per message, and a progress line kept up to
// date while it works when stderr is a terminal. Safe to call from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace convert {

class Console {
public:
    // Starts the progress line when `show_progress` is set and stderr is a terminal.
    Console(bool show_progress, std::size_t files);
    // Stops and clears the progress line.
    ~Console();

    // "tavrik-convert: {text}" on a line of its own.
    void message(const std::string& text);

    std::atomic<std::uint64_t> files_done{0};
    std::atomic<std::uint64_t> spectra_done{0};
    std::atomic<std::uint64_t> input_bytes_done{0};

private:
    void run();

    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopping_ = false;
    bool line_shown_ = false;
    std::size_t files_;
    std::thread updater_;
};

}  // namespace convert
