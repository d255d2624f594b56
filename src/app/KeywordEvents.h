#pragma once
// Keyword events for the enhancement run: a plain-text file (configuration key kws_event_path)
// that replays the lock(n, blocks) / unlock(n) calls a keyword detector would make. One event per
// line, fields separated by blanks, "#" starts a comment, blank lines are skipped:
//   <time> <output>            lock output n with the stages' default keyword length
//   <time> <output> <blocks>   lock output n, the keyword having lasted <blocks> blocks
//   <time> <output> unlock     unlock output n
// <time> is in seconds from the start of the processed input; the event is applied before the
// block that contains that time. Events at the same block keep their file order.

#include <vector>

namespace velmora {

struct KeywordEvent {
    long long block;  // applied before this block (counting from 0)
    int output;
    bool unlock;
    bool hasCount;  // lock with `count` blocks, else with the default (null)
    float count;
};

// Most events a file may hold, the largest time and the largest block count accepted.
constexpr int kMaxKeywordEvents = 1000000;
constexpr double kMaxKeywordTime = 1.0e7;  // seconds
constexpr float kMaxKeywordBlocks = 1.0e6f;

// Reads and checks the whole file; events sorted by block. A file that cannot be opened or a
// malformed line raises a "velmora, Velmora" error naming the file and the line.
std::vector<KeywordEvent> readKeywordEvents(const char* path, int numouts, int fs,
                                            int framesPerBlock);

}  // namespace velmora
