#include "progress.hpp"

#include <chrono>
#include <cstdio>

#include "platform.hpp"

namespace convert {

Console::Console(bool show_progress, std::size_t files) : files_(files) {
    if (show_progress && platform::standard_error_is_terminal()) updater_ = std::thread([this] { run(); });
}

Console::~Console() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stop_.notify_all();
    if (updater_.joinable()) updater_.join();
    if (line_shown_) std::fputs("\r\033[K", stderr);
}

void Console::message(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (line_shown_) std::fputs("\r\033[K", stderr);
    line_shown_ = false;
    std::fprintf(stderr, "tavrik-convert: %s\n", text.c_str());
}

void Console::run() {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock lock(mutex_);
    while (!stop_.wait_for(lock, std::chrono::milliseconds(250), [&] { return stopping_; })) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::fprintf(stderr, "\r\033[Ktavrik-convert: %llu/%zu files, %llu spectra, %.0f MB/s",
                     static_cast<unsigned long long>(files_done.load()), files_,
                     static_cast<unsigned long long>(spectra_done.load()), input_bytes_done.load() / 1e6 / seconds);
        std::fflush(stderr);
        line_shown_ = true;
    }
}

}  // namespace convert
