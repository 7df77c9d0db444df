#include "history/HistoryStore.h"

#include "history/Checkpointer.h"
#include "util/DateTime.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <map>
#include <sstream>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>

namespace sincrovia::history {

namespace {

/// Longest wait for a lock held by another reader of the file (the console): the window
/// must not stall on it.
constexpr int kBusyTimeoutMs = 10;
/// Pages in the write-ahead log that make the checkpoint thread copy it into the file
/// (SQLite's own automatic checkpoint uses the same figure).
constexpr int kCheckpointPages = 1000;
/// The checkpoint thread catches up between rounds; should writes come without a pause (a
/// bulk import), the log is checkpointed by the writer itself at this size.
constexpr int kInlineCheckpointPages = 10 * kCheckpointPages;
constexpr int64_t kUsPerSecond = 1'000'000;
constexpr char kCorruptInfix[] = ".corrupt-";
/// Suffixes of SQLite's companion files in WAL mode.
constexpr std::array<const char*, 2> kCompanionSuffixes{"-wal", "-shm"};

/// Each entry takes the schema from version `index` to `index + 1`; a new version appends one.
constexpr std::array<const char*, kSchemaVersion> kMigrations{
    "CREATE TABLE rounds("
    " id INTEGER PRIMARY KEY,"
    " start_utc_us INTEGER NOT NULL,"
    " kind TEXT NOT NULL,"
    " threshold_ms INTEGER,"
    " verdict TEXT NOT NULL,"
    " reason TEXT NOT NULL,"
    " pc_clock_status TEXT);"
    "CREATE INDEX rounds_start ON rounds(start_utc_us);"
    "CREATE INDEX rounds_kind ON rounds(kind, id);"
    "CREATE TABLE readings("
    " round_id INTEGER NOT NULL REFERENCES rounds(id),"
    " slot INTEGER NOT NULL,"
    " decoder TEXT NOT NULL,"
    " port TEXT NOT NULL,"
    " firmware TEXT,"
    " request_utc_us INTEGER,"
    " arrival_utc_us INTEGER,"
    " decoder_time TEXT,"
    " round_trip_us INTEGER,"
    " offset_us INTEGER,"
    " status TEXT NOT NULL,"
    " PRIMARY KEY(round_id, slot)) WITHOUT ROWID;",
};

bool IsCorruption(int rc) {
    const int primary = rc & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// Each table below maps a row type to its columns once; writing, reading and the column lists
// of the statements all follow it, so a new column is one more line here (and a migration).

/// One column of a row type: its name, the member it holds, and whether an empty text is
/// stored as NULL (a value not known) rather than as "".
template <class Row>
struct Column {
    const char* name;
    std::variant<int Row::*, int64_t Row::*, std::optional<int64_t> Row::*, std::string Row::*> member;
    bool emptyIsNull = false;
};

/// The columns of `rounds` after its key `id`.
constexpr std::array<Column<StoredRound>, 6> kRoundFields{{
    {"start_utc_us", &StoredRound::startUnixUs},
    {"kind", &StoredRound::kind},
    {"threshold_ms", &StoredRound::thresholdMs},
    {"verdict", &StoredRound::verdict},
    {"reason", &StoredRound::reason},
    {"pc_clock_status", &StoredRound::pcClockStatus, true},
}};

/// The columns of `readings` after its key `round_id`.
constexpr std::array<Column<StoredReading>, 10> kReadingFields{{
    {"slot", &StoredReading::slot},
    {"decoder", &StoredReading::decoder},
    {"port", &StoredReading::port},
    {"firmware", &StoredReading::firmware, true},
    {"request_utc_us", &StoredReading::requestUnixUs},
    {"arrival_utc_us", &StoredReading::arrivalUnixUs},
    {"decoder_time", &StoredReading::decoderTime, true},
    {"round_trip_us", &StoredReading::roundTripUs},
    {"offset_us", &StoredReading::offsetUs},
    {"status", &StoredReading::status},
}};

/// `key` followed by the names of `columns`, comma-separated.
template <class Row, std::size_t N>
std::string ColumnList(const char* key, const std::array<Column<Row>, N>& columns) {
    std::string list = key;
    for (const Column<Row>& c : columns) list += std::string(", ") + c.name;
    return list;
}

/// "INSERT INTO table(key, columns...) VALUES(?,...)".
template <class Row, std::size_t N>
std::string InsertSql(const char* table, const char* key, const std::array<Column<Row>, N>& columns) {
    std::string values = "?";
    for (std::size_t i = 0; i < N; ++i) values += ",?";
    return std::string("INSERT INTO ") + table + "(" + ColumnList(key, columns) + ") VALUES(" + values + ")";
}

/// A prepared statement that finalises itself.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    int PrepareResult() const { return rc_; }
    sqlite3_stmt* get() const { return stmt_; }
    void Bind(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
    void Bind(int i, const std::string& v) {
        sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    void Bind(int i, const std::optional<int64_t>& v) {
        if (v)
            Bind(i, *v);
        else
            sqlite3_bind_null(stmt_, i);
    }
    /// Text bound as NULL when empty.
    void BindOrNull(int i, const std::string& v) {
        if (v.empty())
            sqlite3_bind_null(stmt_, i);
        else
            Bind(i, v);
    }
    int Step() { return sqlite3_step(stmt_); }
    void Reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
    std::optional<int64_t> OptInt(int col) const {
        if (sqlite3_column_type(stmt_, col) == SQLITE_NULL) return std::nullopt;
        return Int(col);
    }
    std::string Text(int col) const {
        const auto* p = sqlite3_column_text(stmt_, col);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col)))
                 : std::string();
    }
    /// Binds the members of `row` that `columns` name, from parameter `first` on.
    template <class Row, std::size_t N>
    void BindRow(int first, const std::array<Column<Row>, N>& columns, const Row& row) {
        int i = first;
        for (const Column<Row>& c : columns) {
            std::visit(
                [&](auto member) {
                    const auto& value = row.*member;
                    using Value = std::remove_cvref_t<decltype(value)>;
                    if constexpr (std::is_same_v<Value, int>)
                        Bind(i, int64_t{value});
                    else if constexpr (std::is_same_v<Value, std::string>)
                        c.emptyIsNull ? BindOrNull(i, value) : Bind(i, value);
                    else
                        Bind(i, value);
                },
                c.member);
            ++i;
        }
    }
    /// Reads the members of `row` that `columns` name, from result column `first` on (a NULL
    /// text reads as "").
    template <class Row, std::size_t N>
    void ReadRow(int first, const std::array<Column<Row>, N>& columns, Row& row) const {
        int col = first;
        for (const Column<Row>& c : columns) {
            std::visit(
                [&](auto member) {
                    auto& value = row.*member;
                    using Value = std::remove_cvref_t<decltype(value)>;
                    if constexpr (std::is_same_v<Value, int>)
                        value = static_cast<int>(Int(col));
                    else if constexpr (std::is_same_v<Value, int64_t>)
                        value = Int(col);
                    else if constexpr (std::is_same_v<Value, std::optional<int64_t>>)
                        value = OptInt(col);
                    else
                        value = Text(col);
                },
                c.member);
            ++col;
        }
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
};

std::string FileNameOf(const std::string& path) { return std::filesystem::path(path).filename().string(); }

/// The whole seconds of `unixUs` written with `pattern` (strftime's conversions), in local time or in UTC.
std::string FormatUnixSeconds(int64_t unixUs, bool local, const char* pattern) {
    const std::time_t seconds = static_cast<std::time_t>(unixUs / kUsPerSecond);
    std::tm parts{};
    if (local)
        localtime_r(&seconds, &parts);
    else
        gmtime_r(&seconds, &parts);
    std::ostringstream text;
    text << std::put_time(&parts, pattern);
    return text.str();
}

}  // namespace

std::string CorruptSuffixStamp(int64_t unixUs) { return FormatUnixSeconds(unixUs, false, "%Y%m%dT%H%M%SZ"); }

HistoryStore::HistoryStore(std::string path, OpenMode mode) : path_(std::move(path)), mode_(mode) { Open(); }

HistoryStore::~HistoryStore() { Close(); }

std::vector<std::string> HistoryStore::TakeMessages() { return std::exchange(messages_, {}); }

void HistoryStore::Close() {
    checkpointer_.reset();
    if (db_ != nullptr) sqlite3_close_v2(db_);
    db_ = nullptr;
}

int HistoryStore::WalGrew(void* self, sqlite3* db, const char* name, int pages) {
    auto* store = static_cast<HistoryStore*>(self);
    if (pages >= kInlineCheckpointPages)
        sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    else if (pages >= kCheckpointPages && store->checkpointer_)
        store->checkpointer_->Request();
    return SQLITE_OK;
}

bool HistoryStore::OpenFile() {
    Close();
    const int flags = mode_ == OpenMode::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    const int rc = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        messages_.push_back("History: cannot open " + path_ + ": " + sqlite3_errstr(rc));
        Close();
        return false;
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    return true;
}

bool HistoryStore::Open() {
    // Two passes at most: the file as found, then a fresh one after setting it aside.
    for (int pass = 0; pass < 2; ++pass) {
        if (!OpenFile()) return false;
        int rc = SQLITE_OK;
        {
            Statement version(db_, "PRAGMA user_version");
            rc = version.PrepareResult();
            if (rc == SQLITE_OK) rc = version.Step();
        }
        if (rc == SQLITE_ROW && EnsureSchema()) return true;
        if (db_ == nullptr) return false;
        if (mode_ == OpenMode::ReadOnly || !IsCorruption(rc == SQLITE_ROW ? sqlite3_errcode(db_) : rc)) {
            messages_.push_back("History: cannot use " + path_ + ": " + sqlite3_errmsg(db_));
            Close();
            return false;
        }
        SetAside("unreadable");
        if (!std::filesystem::exists(path_) && pass == 0) continue;
        return false;
    }
    return false;
}

bool HistoryStore::EnsureSchema() {
    int version = 0;
    {
        Statement q(db_, "PRAGMA user_version");
        if (q.PrepareResult() != SQLITE_OK || q.Step() != SQLITE_ROW) return false;
        version = static_cast<int>(q.Int(0));
    }
    if (version > kSchemaVersion) {
        messages_.push_back("History: " + path_ + " was written by a newer Sincrovia; rounds are not recorded");
        Close();
        return false;
    }
    if (mode_ == OpenMode::ReadOnly) {
        if (version == kSchemaVersion) return true;
        messages_.push_back("History: " + path_ + " holds no rounds of this Sincrovia (schema " +
                            std::to_string(version) + ")");
        Close();
        return false;
    }
    // A log that was moved into the file is cut back to a few checkpoints' worth on its reset.
    if (sqlite3_exec(db_,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON; "
                     "PRAGMA journal_size_limit=8388608;",
                     nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    // A file that is not a database shows it on its first page read.
    if (sqlite3_exec(db_, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
    for (; version < kSchemaVersion; ++version) {
        const std::string step = std::string("BEGIN IMMEDIATE;") + kMigrations[static_cast<std::size_t>(version)] +
                                 "PRAGMA user_version=" + std::to_string(version + 1) + ";COMMIT;";
        if (sqlite3_exec(db_, step.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            return false;
        }
    }
    // This thread only appends to the log; the checkpoint thread moves it into the file.
    checkpointer_ = std::make_unique<Checkpointer>(path_);
    sqlite3_wal_hook(db_, &HistoryStore::WalGrew, this);
    return true;
}

void HistoryStore::SetAside(const std::string& why) {
    Close();
    const std::string aside = path_ + kCorruptInfix + CorruptSuffixStamp(NowUnixUs());
    std::error_code ec;
    std::filesystem::rename(path_, aside, ec);
    if (ec) {
        messages_.push_back("History: " + path_ + " is " + why + " and cannot be renamed: " + ec.message() +
                            "; rounds are kept until it can be written");
        return;
    }
    for (const char* suffix : kCompanionSuffixes) {
        std::error_code ignored;
        if (std::filesystem::exists(path_ + suffix, ignored))
            std::filesystem::rename(path_ + suffix, aside + suffix, ignored);
    }
    messages_.push_back("History: " + FileNameOf(path_) + " was " + why + "; renamed to " + FileNameOf(aside) +
                        ", a fresh one is started");
}

bool HistoryStore::HandleFailure(int rc) {
    if (mode_ == OpenMode::ReadOnly || !IsCorruption(rc)) return false;
    SetAside("damaged");
    // The fresh file gets every round of this session again.
    written_ = 0;
    return Open();
}

bool HistoryStore::WriteRound(StoredRound& round) {
    // The round's id is left to SQLite (NULL key); each reading carries it as its key.
    static const std::string insertRound = InsertSql("rounds", "id", kRoundFields);
    static const std::string insertReading = InsertSql("readings", "round_id", kReadingFields);
    Statement r(db_, insertRound.c_str());
    Statement g(db_, insertReading.c_str());
    if (r.PrepareResult() != SQLITE_OK || g.PrepareResult() != SQLITE_OK) return false;
    r.BindRow(2, kRoundFields, round);
    if (r.Step() != SQLITE_DONE) return false;
    round.id = sqlite3_last_insert_rowid(db_);
    for (const StoredReading& x : round.readings) {
        g.Bind(1, round.id);
        g.BindRow(2, kReadingFields, x);
        if (g.Step() != SQLITE_DONE) return false;
        g.Reset();
    }
    return true;
}

int64_t HistoryStore::Append(StoredRound round) {
    round.id = 0;
    session_.push_back(std::move(round));
    // Two passes at most: the file in use, then a fresh one if it turned out damaged.
    for (int pass = 0; pass < 2; ++pass) {
        if (db_ == nullptr && (pass > 0 || !Open())) return 0;
        if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
            const std::string error = sqlite3_errmsg(db_);
            if (HandleFailure(sqlite3_extended_errcode(db_))) continue;
            messages_.push_back("History: cannot write to " + path_ + ": " + error + "; the round is kept and retried");
            return 0;
        }
        bool ok = true;
        for (std::size_t i = written_; ok && i < session_.size(); ++i) ok = WriteRound(session_[i]);
        if (ok && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
            written_ = session_.size();
            return session_.back().id;
        }
        const int rc = sqlite3_extended_errcode(db_);
        const std::string error = sqlite3_errmsg(db_);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        if (HandleFailure(rc)) continue;
        messages_.push_back("History: cannot write to " + path_ + ": " + error + "; the round is kept and retried");
        return 0;
    }
    return 0;
}

bool HistoryStore::AmendLast(const std::string& verdict, const std::string& reason) {
    if (session_.empty()) return false;
    StoredRound& last = session_.back();
    last.verdict = verdict;
    last.reason = reason;
    if (db_ == nullptr || written_ < session_.size()) return true;  // written with the change later
    Statement u(db_, "UPDATE rounds SET verdict=?, reason=? WHERE id=?");
    if (u.PrepareResult() != SQLITE_OK) return false;
    u.Bind(1, verdict);
    u.Bind(2, reason);
    u.Bind(3, last.id);
    const int rc = u.Step();
    if (rc == SQLITE_DONE) return true;
    return HandleFailure(rc) && written_ == session_.size();
}

std::vector<StoredRound> HistoryStore::QueryRounds(const char* where, int64_t a, int64_t b) {
    std::vector<StoredRound> rounds;
    if (db_ == nullptr) return rounds;
    const std::string sql = "SELECT " + ColumnList("id", kRoundFields) + " FROM rounds " + where;
    int rc = SQLITE_OK;
    {
        Statement q(db_, sql.c_str());
        rc = q.PrepareResult();
        if (rc == SQLITE_OK) {
            q.Bind(1, a);
            q.Bind(2, b);
            while ((rc = q.Step()) == SQLITE_ROW) {
                StoredRound r;
                r.id = q.Int(0);
                q.ReadRow(1, kRoundFields, r);
                rounds.push_back(std::move(r));
            }
        }
    }
    if (rc != SQLITE_DONE) {
        HandleFailure(rc);
        return {};
    }
    if (rounds.empty()) return rounds;
    std::map<int64_t, StoredRound*> byId;
    int64_t lo = rounds.front().id, hi = rounds.front().id;
    for (StoredRound& r : rounds) {
        byId[r.id] = &r;
        lo = std::min(lo, r.id);
        hi = std::max(hi, r.id);
    }
    const std::string readingsSql = "SELECT " + ColumnList("round_id", kReadingFields) +
                                    " FROM readings WHERE round_id BETWEEN ? AND ? ORDER BY round_id, slot";
    Statement q(db_, readingsSql.c_str());
    if (q.PrepareResult() != SQLITE_OK) return rounds;
    q.Bind(1, lo);
    q.Bind(2, hi);
    while ((rc = q.Step()) == SQLITE_ROW) {
        const auto it = byId.find(q.Int(0));
        if (it == byId.end()) continue;
        StoredReading x;
        q.ReadRow(1, kReadingFields, x);
        it->second->readings.push_back(std::move(x));
    }
    return rounds;
}

std::vector<StoredRound> HistoryStore::RoundsBetween(int64_t fromUnixUs, int64_t toUnixUs) {
    return QueryRounds("WHERE start_utc_us >= ?1 AND start_utc_us < ?2 ORDER BY start_utc_us, id", fromUnixUs,
                       toUnixUs);
}

std::vector<StoredRound> HistoryStore::LastRounds(int count) {
    return QueryRounds("WHERE ?2 = ?2 ORDER BY id DESC LIMIT ?1", count, 0);
}

std::vector<OffsetPoint> HistoryStore::OffsetsSinceLastWrite() {
    std::vector<OffsetPoint> points;
    if (db_ == nullptr) return points;
    int64_t since = 0;
    {
        Statement last(db_, "SELECT max(id) FROM rounds WHERE kind IN ('sync', 'set_time')");
        if (last.PrepareResult() == SQLITE_OK && last.Step() == SQLITE_ROW) since = last.OptInt(0).value_or(0);
    }
    Statement q(db_,
                "SELECT g.decoder, r.start_utc_us, g.offset_us, g.round_trip_us "
                "FROM readings g JOIN rounds r ON r.id = g.round_id "
                "WHERE g.round_id >= ? AND g.status = 'ok' AND g.offset_us IS NOT NULL ORDER BY g.round_id, g.slot");
    if (q.PrepareResult() != SQLITE_OK) return points;
    q.Bind(1, since);
    int rc = SQLITE_OK;
    while ((rc = q.Step()) == SQLITE_ROW) points.push_back({q.Text(0), q.Int(1), q.Int(2), q.OptInt(3)});
    if (rc != SQLITE_DONE) {
        HandleFailure(rc);
        return {};
    }
    return points;
}

bool LocalDayBounds(const std::string& day, int64_t& fromUnixUs, int64_t& toUnixUs) {
    int y = 0, m = 0, d = 0;
    char tail = 0;
    if (day.size() != 10 || std::sscanf(day.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3) return false;
    if (day[4] != '-' || day[7] != '-' || m < 1 || m > 12 || d < 1 || d > 31) return false;
    const auto midnight = [](int year, int month, int dayOfMonth) {
        std::tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = dayOfMonth;
        t.tm_isdst = -1;
        return std::pair<std::time_t, std::tm>(std::mktime(&t), t);
    };
    const auto [from, normal] = midnight(y, m, d);
    if (from == static_cast<std::time_t>(-1) || normal.tm_mday != d || normal.tm_mon != m - 1) return false;
    const auto [to, ignored] = midnight(y, m, d + 1);
    fromUnixUs = static_cast<int64_t>(from) * kUsPerSecond;
    toUnixUs = static_cast<int64_t>(to) * kUsPerSecond;
    return true;
}

std::string LocalDayOf(int64_t unixUs) { return FormatUnixSeconds(unixUs, true, "%Y-%m-%d"); }

}  // namespace sincrovia::history
