#include "history/Checkpointer.h"

#include <sqlite3.h>

#include <utility>

namespace sincrovia::history {

namespace {

/// A checkpoint waits this long for the window's thread to finish a write it has begun.
constexpr int kCheckpointBusyTimeoutMs = 2000;

}  // namespace

Checkpointer::Checkpointer(std::string path) : path_(std::move(path)), thread_([this] { Loop(); }) {}

Checkpointer::~Checkpointer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void Checkpointer::Request() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_ = true;
    }
    wake_.notify_one();
}

int Checkpointer::Completed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return completed_;
}

void Checkpointer::Loop() {
    // The window's thread must never wait for the disk: it only appends to the log. This loop
    // sleeps until asked, then copies the log into the file on its own connection, unlocked.
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        db = nullptr;  // no checkpoints: the log then grows until the store is closed
    } else {
        sqlite3_busy_timeout(db, kCheckpointBusyTimeoutMs);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return pending_ || stop_; });
        if (stop_) break;
        pending_ = false;
        lock.unlock();
        if (db != nullptr) {
            // A connection learns that the file is in WAL mode only once it has read it.
            sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
            sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        }
        lock.lock();
        ++completed_;
    }
    lock.unlock();
    sqlite3_close(db);
}

}  // namespace sincrovia::history
