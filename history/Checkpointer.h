// Moves the store's write-ahead log into the database file on a thread of its own. Copying the
// log and syncing the file takes tens of milliseconds on a slow disk; the window's thread only
// appends to the log and asks for a checkpoint once the log has grown.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace sincrovia::history {

/// One checkpoint thread with its own connection to one store file.
class Checkpointer {
public:
    /// Starts the thread for the store at `path`.
    explicit Checkpointer(std::string path);
    /// Stops the thread (a checkpoint under way is finished first).
    ~Checkpointer();
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;

    /// Asks for a checkpoint; returns at once. Requests made while one runs are merged.
    void Request();
    /// Checkpoints completed so far (for tests).
    int Completed();

private:
    void Loop();

    std::string path_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool pending_ = false;
    bool stop_ = false;
    int completed_ = 0;
    std::thread thread_;
};

}  // namespace sincrovia::history
