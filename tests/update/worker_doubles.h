// Test doubles of the worker's four operations and of its two seams. Each call is
// written to one ordered log, together with every message posted to the window so far,
// so a test can read the whole run as a list of events.
#pragma once

#include <deque>
#include <string>
#include <vector>

struct FetchReply {
    bool ok;
    std::string body;       // written to the file or appended to the buffer
    bool progress = false;  // post one progress status with the label
};

namespace doubles {

extern std::vector<std::string> events;
extern std::deque<FetchReply> digestReplies;   // an empty queue answers false
extern std::deque<FetchReply> packageReplies;
extern std::deque<FetchReply> signatureReplies;
extern std::wstring moduleFileName;            // empty: the real one
extern int mallocSizeMismatches;               // texts that were not malloc'd copies
extern bool notAProgram;                       // every download is no program for this Windows
extern bool launchFails;                       // the replacement cannot start the launcher

void Reset();
// Moves the messages posted to the window so far into the log, freeing their texts.
void DrainMessages();

}  // namespace doubles
