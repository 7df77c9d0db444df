// The history store: every reading of every round in one SQLite file, "Sincrovia.db".
// A round is written in one transaction right after it is judged (a handful of rows in WAL
// mode: well under a millisecond), so the caller's thread is never held for long. A file that
// cannot be read is set aside under a dated name and a fresh one is started; the rounds of
// the running session are kept in memory until written, so none of them is lost.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace sincrovia::history {

class Checkpointer;

/// File name of the store.
inline constexpr char kStoreFileName[] = "Sincrovia.db";
/// Schema version kept in PRAGMA user_version.
inline constexpr int kSchemaVersion = 1;

/// One slot's reading in a stored round (a slot without a link is not stored).
struct StoredReading {
    int slot = 0;                          ///< 1 to 4
    std::string decoder;                   ///< "PIT IN", ...
    std::string port;                      ///< port name
    std::string firmware;                  ///< release read from the decoder, "" unknown
    std::optional<int64_t> requestUnixUs;  ///< PC instant of the request (UTC µs)
    std::optional<int64_t> arrivalUnixUs;  ///< PC instant the reply arrived (UTC µs)
    std::string decoderTime;               ///< the decoder's clock as read, "" when none
    std::optional<int64_t> roundTripUs;    ///< arrival minus request
    std::optional<int64_t> offsetUs;       ///< decoder clock minus PC clock
    std::string status;                    ///< "ok", "no reply", "bad reply", "late"
};

/// One stored round.
struct StoredRound {
    int64_t id = 0;                       ///< row id, 0 until written
    int64_t startUnixUs = 0;              ///< PC instant the round's request went out (UTC µs)
    std::string kind;                     ///< "read", "sync", "set_time", "check"
    std::optional<int64_t> thresholdMs;   ///< the threshold in use
    std::string verdict;                  ///< the lamp's text
    std::string reason;                   ///< why not OK, "" when OK
    std::string pcClockStatus;            ///< the PC clock's state, "" unknown
    std::vector<StoredReading> readings;  ///< by slot
};

/// One offset of one decoder at one instant, as the drift fit takes it.
struct OffsetPoint {
    std::string decoder;                 ///< decoder name
    int64_t unixUs = 0;                  ///< PC instant (UTC µs)
    int64_t offsetUs = 0;                ///< decoder clock minus PC clock
    std::optional<int64_t> roundTripUs;  ///< request to reply; none when the reply's arrival is unknown
};

/// How a store is opened.
enum class OpenMode {
    ReadWrite,  ///< created when missing, migrated, set aside when unreadable (the window)
    ReadOnly,   ///< left exactly as found; failures are only reported (the console)
};

/// The store. Not thread-safe: one thread uses it.
class HistoryStore {
public:
    /// Opens the store at `path`; see OpenMode and TakeMessages().
    explicit HistoryStore(std::string path, OpenMode mode = OpenMode::ReadWrite);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    /// The file in use.
    const std::string& Path() const { return path_; }
    /// True while a database is open.
    bool IsOpen() const { return db_ != nullptr; }
    /// Messages for the user since the last call (file set aside, write failures), emptied.
    std::vector<std::string> TakeMessages();

    /// Writes `round` (and any round an earlier failure left waiting) in one transaction;
    /// returns its id, or 0 when it could not be written yet (it is kept and retried).
    int64_t Append(StoredRound round);
    /// Changes the verdict and reason of the round appended last (written or waiting).
    bool AmendLast(const std::string& verdict, const std::string& reason);

    /// Rounds started in [fromUnixUs, toUnixUs), oldest first, with their readings.
    std::vector<StoredRound> RoundsBetween(int64_t fromUnixUs, int64_t toUnixUs);
    /// The last `count` rounds, newest first, with their readings.
    std::vector<StoredRound> LastRounds(int count);
    /// Every "ok" offset since the last round that wrote the clocks (that round included),
    /// oldest first.
    std::vector<OffsetPoint> OffsetsSinceLastWrite();
    /// Rounds written and waiting to be written in this session.
    std::size_t SessionRounds() const { return session_.size(); }

private:
    bool Open();
    bool OpenFile();
    void Close();
    void SetAside(const std::string& why);
    bool EnsureSchema();
    bool WriteRound(StoredRound& round);
    bool HandleFailure(int rc);
    std::vector<StoredRound> QueryRounds(const char* sql, int64_t a, int64_t b);

    static int WalGrew(void* self, sqlite3* db, const char* name, int pages);

    std::string path_;
    OpenMode mode_;
    sqlite3* db_ = nullptr;
    std::unique_ptr<Checkpointer> checkpointer_;  // read-write stores only
    std::vector<std::string> messages_;
    std::vector<StoredRound> session_;  // this session's rounds, written or not
    std::size_t written_ = 0;           // session_[0, written_) are in the file
};

/// "<UTC date-time>" part of a set-aside name: "20261209T004512Z".
std::string CorruptSuffixStamp(int64_t unixUs);

/// Local-day bounds of "YYYY-MM-DD" as UTC µs [from, to); false for a malformed or invalid day.
bool LocalDayBounds(const std::string& day, int64_t& fromUnixUs, int64_t& toUnixUs);
/// The local day "YYYY-MM-DD" of a UTC instant.
std::string LocalDayOf(int64_t unixUs);

}  // namespace sincrovia::history
