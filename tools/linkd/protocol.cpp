#include "protocol.h"

void split_lines(line_splitter& splitter, std::string_view bytes, std::vector<line_event>& events)
{
    while (!bytes.empty()) {
        const auto nl = bytes.find('\n');
        const std::string_view chunk = bytes.substr(0, nl);
        const bool ended = nl != std::string_view::npos;
        bytes.remove_prefix(ended ? nl + 1 : bytes.size());

        if (splitter.discarding) {
            if (ended) splitter.discarding = false;
            continue;
        }
        if (splitter.partial.size() + chunk.size() > max_line_bytes) {
            splitter.partial.clear();
            splitter.discarding = !ended;
            events.push_back(line_event{true, {}});
            continue;
        }
        splitter.partial.append(chunk);
        if (!ended) continue;
        line_event event;
        event.line.swap(splitter.partial);
        if (!event.line.empty() && event.line.back() == '\r') event.line.pop_back();
        events.push_back(std::move(event));
    }
}

std::string reply_for(std::string_view line, const link_reading& reading)
{
    if (line == "status pppoe") return reading.online ? "OK Online\r\n" : "OK Offline\r\n";
    if (line == "rate pppoe") {
        return "OK " + std::to_string(reading.in_bytes_per_s) + " " +
               std::to_string(reading.out_bytes_per_s) + "\r\n";
    }
    return "ERR unknown command\r\n";
}

std::string_view too_long_reply()
{
    return "ERR line too long\r\n";
}
