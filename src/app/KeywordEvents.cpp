#include "app/KeywordEvents.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "Error.h"

namespace velmora {

namespace {

// Splits `line` at blanks, dropping a "#" comment; at most `max` fields (more: returns max + 1).
int splitFields(std::string line, std::string* fields, int max) {
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    int n = 0;
    size_t pos = 0;
    while (true) {
        pos = line.find_first_not_of(" \t\r\n", pos);
        if (pos == std::string::npos) break;
        const size_t end = line.find_first_of(" \t\r\n", pos);
        if (n == max) return max + 1;
        fields[n++] = line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (end == std::string::npos) break;
        pos = end;
    }
    return n;
}

// The whole text as a number, or false.
bool parseNumber(const std::string& text, double* value) {
    const char* s = text.c_str();
    char* end = nullptr;
    *value = std::strtod(s, &end);
    return end != s && *end == '\0' && std::isfinite(*value);
}

bool parseInteger(const std::string& text, long long* value) {
    const char* s = text.c_str();
    char* end = nullptr;
    *value = std::strtoll(s, &end, 10);
    return end != s && *end == '\0';
}

}  // namespace

std::vector<KeywordEvent> readKeywordEvents(const char* path, int numouts, int fs,
                                            int framesPerBlock) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path, "r"), std::fclose);
    if (!file) error("Velmora", "Cannot open keyword event file: %s", path);
    std::vector<KeywordEvent> events;
    std::string line;
    int lineNo = 0;
    char buf[4096];
    bool more = true;
    while (more) {
        // One whole line, however long.
        line.clear();
        more = false;
        while (std::fgets(buf, sizeof buf, file.get())) {
            line += buf;
            if (!line.empty() && line.back() == '\n') {
                more = true;
                break;
            }
        }
        if (!more && line.empty()) break;
        more = true;
        ++lineNo;
        std::string f[3];
        const int n = splitFields(line, f, 3);
        if (n == 0) continue;
        auto refuse = [&](const char* what, const std::string& value) {
            error("Velmora", "Invalid keyword event in %s, line %d: %s %s", path, lineNo, what,
                  value.c_str());
        };
        if (n == 1 || n > 3) refuse("expected <time> <output> [<blocks> | unlock]:", f[0]);
        double time;
        if (!parseNumber(f[0], &time) || time < 0.0 || time > kMaxKeywordTime)
            refuse("time (0 to 1e7 seconds):", f[0]);
        long long output;
        if (!parseInteger(f[1], &output) || output < 0 || output >= numouts)
            refuse(("output (0 to " + std::to_string(numouts - 1) + "):").c_str(), f[1]);
        KeywordEvent e{};
        e.block = static_cast<long long>(std::floor(time * fs / framesPerBlock));
        e.output = static_cast<int>(output);
        if (n == 3) {
            double count;
            if (f[2] == "unlock") {
                e.unlock = true;
            } else if (parseNumber(f[2], &count) && count >= 0.0 && count <= kMaxKeywordBlocks) {
                e.hasCount = true;
                e.count = static_cast<float>(count);
            } else {
                refuse("block count (0 to 1e6, or unlock):", f[2]);
            }
        }
        if (static_cast<int>(events.size()) >= kMaxKeywordEvents)
            error("Velmora", "Too many keyword events in %s: more than %d", path,
                  kMaxKeywordEvents);
        events.push_back(e);
    }
    if (std::ferror(file.get())) error("Velmora", "Cannot read keyword event file: %s", path);
    std::stable_sort(
        events.begin(), events.end(),
        [](const KeywordEvent& a, const KeywordEvent& b) { return a.block < b.block; });
    return events;
}

}  // namespace velmora
