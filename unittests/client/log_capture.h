// The runtime's log lines as a test sees them: installed with
// kiv_log_set_hook(LogCapture::hook, &capture), then searched by text and
// level. Shared by the client tests that check what the client logs.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace clienttest {

struct LogLine {
    std::chrono::steady_clock::time_point at;
    int level;
    std::string text;
};

struct LogCapture {
    std::mutex mu;
    std::vector<LogLine> lines;

    static void hook(int level, const char* line, void* arg) {
        auto* self = static_cast<LogCapture*>(arg);
        std::lock_guard<std::mutex> g(self->mu);
        self->lines.push_back(LogLine{std::chrono::steady_clock::now(), level, line});
    }
    void clear() {
        std::lock_guard<std::mutex> g(mu);
        lines.clear();
    }
    // The lines holding `text`, at `level` only unless it is negative.
    int count(const std::string& text, int level = -1) {
        std::lock_guard<std::mutex> g(mu);
        int n = 0;
        for (const auto& l : lines) n += l.text.find(text) != std::string::npos && (level < 0 || l.level == level);
        return n;
    }
    bool has(const std::string& text, int level) { return count(text, level) > 0; }
    // When the lines holding `text` came.
    std::vector<std::chrono::steady_clock::time_point> times(const std::string& text) {
        std::lock_guard<std::mutex> g(mu);
        std::vector<std::chrono::steady_clock::time_point> out;
        for (const auto& l : lines)
            if (l.text.find(text) != std::string::npos) out.push_back(l.at);
        return out;
    }
    std::string dump() {
        std::lock_guard<std::mutex> g(mu);
        std::string s;
        for (const auto& l : lines) s += "[" + std::to_string(l.level) + "] " + l.text + "\n";
        return s;
    }
};

}  // namespace clienttest
