// storage.cpp - the feature database: stored feature records and their samples in SQLite.
#include "host_api.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

struct bio_sto_db {
    sqlite3 *conn;
};

namespace {

constexpr int kSchemaVersion = 1;
// Another process (a second host, an administration tool) may hold the write lock for a while.
constexpr int kBusyTimeoutMs = 5000;
// Templates are 163840-character texts and a search reads all of a user's; mapping the file spares
// copying every overflow page through the page cache of a connection that lives for one call.
constexpr long long kMmapBytes = 256LL * 1024 * 1024;

// The id of a record is also the order in which records were stored: AUTOINCREMENT never hands out an
// id smaller than one already used, not even after the newest record is deleted.
constexpr const char *kSchema = R"sql(
CREATE TABLE IF NOT EXISTS feature (
    id       INTEGER PRIMARY KEY AUTOINCREMENT,
    uid      INTEGER NOT NULL,
    biotype  INTEGER NOT NULL,
    driver   TEXT    NOT NULL,
    idx      INTEGER NOT NULL,
    idx_name TEXT    NOT NULL
);
CREATE INDEX IF NOT EXISTS feature_key ON feature (driver, biotype, uid, idx);
CREATE TABLE IF NOT EXISTS sample (
    id         INTEGER PRIMARY KEY AUTOINCREMENT,
    feature_id INTEGER NOT NULL REFERENCES feature (id) ON DELETE CASCADE,
    no         INTEGER NOT NULL,
    data       TEXT    NOT NULL
);
CREATE INDEX IF NOT EXISTS sample_feature ON sample (feature_id, no);
PRAGMA user_version = 1;
)sql";

// The records of one selection: ?1 driver, ?2 biotype, ?3 uid (-1 every user), ?4 first index,
// ?5 last index (negative: no upper bound).
#define SELECTION "f.driver = ?1 AND f.biotype = ?2 AND (?3 = -1 OR f.uid = ?3) AND f.idx >= ?4 AND (?5 < 0 OR f.idx <= ?5)"

// The order is found over the keys alone and each text is read afterwards by its row id: sorting rows
// that carry 160 KiB texts spills them through temporary files.
constexpr const char *kQuery =
    "SELECT f.id, f.uid, f.biotype, f.driver, f.idx, f.idx_name, s.id, s.no "
    "FROM feature AS f LEFT JOIN sample AS s ON s.feature_id = f.id "
    "WHERE " SELECTION " ORDER BY f.idx, f.id, s.no, s.id";
constexpr const char *kSampleData = "SELECT data FROM sample WHERE id = ?1";
constexpr const char *kCleanSamples =
    "DELETE FROM sample WHERE feature_id IN (SELECT f.id FROM feature AS f WHERE " SELECTION ")";
constexpr const char *kCleanRecords = "DELETE FROM feature WHERE id IN (SELECT f.id FROM feature AS f WHERE " SELECTION ")";
constexpr const char *kInsertRecord = "INSERT INTO feature (uid, biotype, driver, idx, idx_name) VALUES (?1, ?2, ?3, ?4, ?5)";
constexpr const char *kInsertSample = "INSERT INTO sample (feature_id, no, data) VALUES (?1, ?2, ?3)";

struct ConnectionCloser {
    void operator()(sqlite3 *conn) const { sqlite3_close_v2(conn); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;

struct StatementFinalizer {
    void operator()(sqlite3_stmt *stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Where bio_sto_connect_db connects to.
struct Location {
    std::string shown;       // what bio_sto_get_db_path answers
    std::string open_name;   // the file, or the URI of the in-memory database
    bool in_memory = false;
    Connection keeper;       // an in-memory database lives as long as one connection to it
};

std::mutex g_location_lock;
std::unique_ptr<Location> g_location;
std::atomic<unsigned> g_memory_serial{0};
std::atomic<int> g_open_connections{0};

std::string errmsg(sqlite3 *conn)
{
    return conn != nullptr ? sqlite3_errmsg(conn) : "out of memory";
}

bool exec(sqlite3 *conn, const char *sql)
{
    return sqlite3_exec(conn, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

Statement prepare(sqlite3 *conn, const char *sql)
{
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(conn, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    return Statement(stmt);
}

bool bind_selection(sqlite3_stmt *stmt, int uid, int biotype, const char *driver, int idx_start, int idx_end)
{
    return sqlite3_bind_text(stmt, 1, driver, -1, SQLITE_STATIC) == SQLITE_OK &&
           sqlite3_bind_int(stmt, 2, biotype) == SQLITE_OK && sqlite3_bind_int(stmt, 3, uid) == SQLITE_OK &&
           sqlite3_bind_int(stmt, 4, idx_start) == SQLITE_OK && sqlite3_bind_int(stmt, 5, idx_end) == SQLITE_OK;
}

// The texts of the sample rows of one query, each read into a host-made text. Through a blob handle SQLite
// copies the stored bytes straight from the file into it; sqlite3_column_text would first assemble them in
// a buffer of its own. A value that is not text or a blob (NULL reads as "") and a database that does not
// store UTF-8 go through the plain statement instead.
class SampleTexts {
public:
    SampleTexts(sqlite3 *conn, sqlite3_stmt *by_statement) : conn_(conn), by_statement_(by_statement)
    {
        Statement encoding = prepare(conn, "PRAGMA encoding");
        through_blob_ = encoding && sqlite3_step(encoding.get()) == SQLITE_ROW &&
                        std::strcmp(reinterpret_cast<const char *>(sqlite3_column_text(encoding.get(), 0)),
                                    "UTF-8") == 0;
    }
    ~SampleTexts() { close(); }
    SampleTexts(const SampleTexts &) = delete;
    SampleTexts &operator=(const SampleTexts &) = delete;

    void close()
    {
        sqlite3_blob_close(blob_);
        blob_ = nullptr;
    }

    // The text of sample row `id`, or NULL with `rc` SQLITE_NOMEM when no memory was left for it (logged)
    // or the database's error otherwise.
    char *read(sqlite3_int64 id, int &rc)
    {
        if (through_blob_) {
            const int opened = blob_ == nullptr ? sqlite3_blob_open(conn_, "main", "sample", "data", id, 0, &blob_)
                                                : sqlite3_blob_reopen(blob_, id);
            if (opened == SQLITE_OK)
                return read_blob(rc);
            // A failed handle answers nothing more; the next row opens a new one.
            close();
        }
        sqlite3_reset(by_statement_);
        sqlite3_bind_int64(by_statement_, 1, id);
        rc = sqlite3_step(by_statement_);
        if (rc != SQLITE_ROW)
            return nullptr;
        // Text in the connection's encoding, UTF-8; the length is read after it, in that encoding.
        const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(by_statement_, 0));
        const auto length = static_cast<size_t>(sqlite3_column_bytes(by_statement_, 0));
        char *text = bio_host::new_text(length);
        if (text == nullptr) {
            rc = SQLITE_NOMEM;
            return nullptr;
        }
        if (data != nullptr)
            std::memcpy(text, data, length);
        return text;
    }

private:
    char *read_blob(int &rc)
    {
        const int length = sqlite3_blob_bytes(blob_);
        char *text = bio_host::new_text(static_cast<size_t>(length));
        if (text == nullptr) {
            rc = SQLITE_NOMEM;
            return nullptr;
        }
        rc = sqlite3_blob_read(blob_, text, length, 0);
        if (rc != SQLITE_OK) {
            bio_host::free_text(text);
            return nullptr;
        }
        return text;
    }

    sqlite3 *conn_;
    sqlite3_stmt *by_statement_;
    sqlite3_blob *blob_ = nullptr;
    bool through_blob_ = false;
};

// Reads the schema version; an empty database gets the schema. false with the reason in `why` when the
// database is unreadable or holds something else.
bool check_schema(sqlite3 *conn, std::string &why)
{
    Statement version = prepare(conn, "PRAGMA user_version");
    if (!version || sqlite3_step(version.get()) != SQLITE_ROW) {
        why = errmsg(conn);
        return false;
    }
    const int found = sqlite3_column_int(version.get(), 0);
    version.reset();
    if (found == kSchemaVersion)
        return true;
    if (found != 0) {
        why = "schema version " + std::to_string(found) + " is not " + std::to_string(kSchemaVersion);
        return false;
    }

    if (!exec(conn, "BEGIN IMMEDIATE")) {
        why = errmsg(conn);
        return false;
    }
    // Checked again inside the write lock: another process may have set the database up meanwhile.
    Statement count = prepare(conn, "SELECT count(*) FROM sqlite_schema");
    Statement again = prepare(conn, "PRAGMA user_version");
    if (!count || !again || sqlite3_step(count.get()) != SQLITE_ROW || sqlite3_step(again.get()) != SQLITE_ROW) {
        why = errmsg(conn);
        exec(conn, "ROLLBACK");
        return false;
    }
    const int objects = sqlite3_column_int(count.get(), 0);
    const int version_now = sqlite3_column_int(again.get(), 0);
    count.reset();
    again.reset();
    if (version_now == kSchemaVersion) {
        exec(conn, "ROLLBACK");
        return true;
    }
    if (objects != 0) {
        why = "it holds tables that are not a feature database";
        exec(conn, "ROLLBACK");
        return false;
    }
    if (!exec(conn, kSchema) || !exec(conn, "COMMIT")) {
        why = errmsg(conn);
        exec(conn, "ROLLBACK");
        return false;
    }
    return true;
}

Connection open_connection(const std::string &name, bool in_memory, bool create, std::string &why)
{
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    // Only the in-memory name is a URI; a file path is used as it stands, even one starting with "file:".
    if (in_memory)
        flags |= SQLITE_OPEN_URI;
    if (create)
        flags |= SQLITE_OPEN_CREATE;
    sqlite3 *raw = nullptr;
    const int rc = sqlite3_open_v2(name.c_str(), &raw, flags, nullptr);
    Connection conn(raw);
    if (rc != SQLITE_OK) {
        why = errmsg(raw);
        return nullptr;
    }
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
    exec(raw, "PRAGMA foreign_keys = ON");
    if (!in_memory) {
        const std::string mmap = "PRAGMA mmap_size = " + std::to_string(kMmapBytes);
        exec(raw, mmap.c_str());
    }
    if (!check_schema(raw, why))
        return nullptr;
    return conn;
}

// The file is made here, not by SQLite, so that it is never readable by anybody but its owner.
bool create_file(const char *path, std::string &why)
{
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        // An existing read-only database still answers queries.
        fd = open(path, O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    close(fd);
    return true;
}

std::unique_ptr<Location> make_memory_location(std::string &why)
{
    auto location = std::make_unique<Location>();
    location->shown = ":memory:";
    location->in_memory = true;
    // memdb databases whose name starts with "/" are shared by every connection of the process and,
    // unlike shared-cache ones, honour the busy timeout when two threads write.
    location->open_name = "file:/kelvra-features-" + std::to_string(getpid()) + "-" +
                          std::to_string(g_memory_serial.fetch_add(1) + 1) + "?vfs=memdb";
    location->keeper = open_connection(location->open_name, true, true, why);
    if (!location->keeper)
        return nullptr;
    return location;
}

// Makes the process-wide default (a private in-memory database) when no path was set yet.
Location &current_location(std::unique_lock<std::mutex> &held)
{
    (void)held;
    if (!g_location) {
        std::string why;
        g_location = make_memory_location(why);
        if (!g_location) {
            bio_print_error("feature database :memory:: %s\n", why.c_str());
            static Location unusable;
            unusable.shown = ":memory:";
            unusable.open_name = "file:/kelvra-features-unusable?vfs=memdb&mode=ro";
            unusable.in_memory = true;
            return unusable;
        }
    }
    return *g_location;
}

bool usable(bio_sto_db *db, const char *call)
{
    if (db == nullptr || db->conn == nullptr) {
        bio_print_error("feature database: %s without a connection\n", call);
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

int bio_sto_set_db_path(const char *path)
{
    if (path == nullptr || path[0] == '\0') {
        bio_print_error("feature database: no path given\n");
        return -1;
    }
    std::string why;
    std::unique_ptr<Location> location;
    if (std::strcmp(path, ":memory:") == 0) {
        location = make_memory_location(why);
    } else if (create_file(path, why)) {
        Connection check = open_connection(path, false, false, why);
        if (check) {
            location = std::make_unique<Location>();
            location->shown = path;
            location->open_name = path;
        }
    }
    if (!location) {
        bio_print_error("feature database %s cannot be used: %s\n", path, why.c_str());
        return -1;
    }
    std::unique_ptr<Location> previous;
    {
        std::lock_guard<std::mutex> guard(g_location_lock);
        previous = std::move(g_location);
        g_location = std::move(location);
    }
    bio_print_debug("feature database: %s\n", path);
    return 0;
}

const char *bio_sto_get_db_path(void)
{
    std::unique_lock<std::mutex> held(g_location_lock);
    return current_location(held).shown.c_str();
}

bio_sto_db *bio_sto_connect_db(void)
{
    bio_host::count_call(BIO_FAULT_CONNECT);
    std::string name;
    std::string shown;
    bool in_memory;
    {
        std::unique_lock<std::mutex> held(g_location_lock);
        const Location &location = current_location(held);
        name = location.open_name;
        shown = location.shown;
        in_memory = location.in_memory;
    }
    if (bio_host::fault_fires(BIO_FAULT_CONNECT)) {
        bio_print_error("feature database %s cannot be opened: injected fault\n", shown.c_str());
        return nullptr;
    }
    std::string why;
    Connection conn = open_connection(name, in_memory, false, why);
    if (!conn) {
        bio_print_error("feature database %s cannot be opened: %s\n", shown.c_str(), why.c_str());
        return nullptr;
    }
    auto *db = new (std::nothrow) bio_sto_db{conn.get()};
    if (db == nullptr) {
        bio_print_error("feature database: out of memory\n");
        return nullptr;
    }
    conn.release();
    g_open_connections.fetch_add(1);
    return db;
}

void bio_sto_disconnect_db(bio_sto_db *db)
{
    if (db == nullptr)
        return;
    sqlite3_close_v2(db->conn);
    delete db;
    g_open_connections.fetch_sub(1);
}

feature_info *bio_sto_get_feature_info(bio_sto_db *db, int uid, int biotype, const char *driver, int idx_start,
                                       int idx_end)
{
    bio_host::count_call(BIO_FAULT_QUERY);
    if (!usable(db, "query"))
        return nullptr;
    if (driver == nullptr) {
        bio_print_error("feature database: query without a driver name\n");
        return nullptr;
    }
    if (bio_host::fault_fires(BIO_FAULT_QUERY)) {
        bio_print_error("feature database: query failed: injected fault\n");
        return nullptr;
    }
    sqlite3 *conn = db->conn;
    // One read transaction, so that the texts belong to the same state of the database as the keys.
    if (!exec(conn, "BEGIN")) {
        bio_print_error("feature database: query failed: %s\n", errmsg(conn).c_str());
        return nullptr;
    }
    Statement query = prepare(conn, kQuery);
    Statement text = prepare(conn, kSampleData);
    if (!query || !text || !bind_selection(query.get(), uid, biotype, driver, idx_start, idx_end)) {
        bio_print_error("feature database: query failed: %s\n", errmsg(conn).c_str());
        query.reset();
        text.reset();
        exec(conn, "ROLLBACK");
        return nullptr;
    }

    feature_info *head = nullptr;
    feature_info *tail = nullptr;
    feature_sample *sample_tail = nullptr;
    sqlite3_int64 record_id = 0;
    SampleTexts texts(conn, text.get());
    bool out_of_memory = false;
    int rc = SQLITE_DONE;
    while ((rc = sqlite3_step(query.get())) == SQLITE_ROW) {
        sqlite3_stmt *row = query.get();
        const sqlite3_int64 id = sqlite3_column_int64(row, 0);
        if (tail == nullptr || id != record_id) {
            feature_info *info = bio_sto_new_feature_info(
                sqlite3_column_int(row, 1), sqlite3_column_int(row, 2),
                reinterpret_cast<const char *>(sqlite3_column_text(row, 3)), sqlite3_column_int(row, 4),
                reinterpret_cast<const char *>(sqlite3_column_text(row, 5)));
            if (info == nullptr) {
                out_of_memory = true;
                break;
            }
            (tail != nullptr ? tail->next : head) = info;
            tail = info;
            sample_tail = nullptr;
            record_id = id;
        }
        if (sqlite3_column_type(row, 6) == SQLITE_NULL)
            continue;
        feature_sample *sample = bio_sto_new_feature_sample(sqlite3_column_int(row, 7), nullptr);
        if (sample == nullptr) {
            out_of_memory = true;
            break;
        }
        (sample_tail != nullptr ? sample_tail->next : tail->sample) = sample;
        sample_tail = sample;
        sample->dbid = sqlite3_column_int64(row, 6);
        int found = SQLITE_ROW;
        sample->data = texts.read(sample->dbid, found);
        if (sample->data == nullptr) {
            out_of_memory = found == SQLITE_NOMEM;
            rc = found;
            break;
        }
    }
    if (out_of_memory || rc != SQLITE_DONE) {
        bio_print_error("feature database: query failed: %s\n",
                        out_of_memory ? "out of memory" : errmsg(conn).c_str());
        bio_sto_free_feature_info_list(head);
        head = nullptr;
    }
    texts.close();
    query.reset();
    text.reset();
    exec(conn, "COMMIT");
    return head;
}

int bio_sto_clean_feature_info(bio_sto_db *db, int uid, int biotype, const char *driver, int idx_start, int idx_end)
{
    bio_host::count_call(BIO_FAULT_CLEAN);
    if (!usable(db, "clean"))
        return -1;
    if (driver == nullptr) {
        bio_print_error("feature database: clean without a driver name\n");
        return -1;
    }
    if (bio_host::fault_fires(BIO_FAULT_CLEAN)) {
        bio_print_error("feature database: clean failed: injected fault\n");
        return -1;
    }
    sqlite3 *conn = db->conn;
    if (!exec(conn, "BEGIN IMMEDIATE")) {
        bio_print_error("feature database: clean failed: %s\n", errmsg(conn).c_str());
        return -1;
    }
    for (const char *sql : {kCleanSamples, kCleanRecords}) {
        Statement del = prepare(conn, sql);
        if (!del || !bind_selection(del.get(), uid, biotype, driver, idx_start, idx_end) ||
            sqlite3_step(del.get()) != SQLITE_DONE) {
            bio_print_error("feature database: clean failed: %s\n", errmsg(conn).c_str());
            del.reset();
            exec(conn, "ROLLBACK");
            return -1;
        }
    }
    if (!exec(conn, "COMMIT")) {
        bio_print_error("feature database: clean failed: %s\n", errmsg(conn).c_str());
        exec(conn, "ROLLBACK");
        return -1;
    }
    return 0;
}

int bio_sto_set_feature_info(bio_sto_db *db, feature_info *info)
{
    bio_host::count_call(BIO_FAULT_STORE);
    if (!usable(db, "store"))
        return -1;
    if (info == nullptr) {
        bio_print_error("feature database: store without a record\n");
        return -1;
    }
    if (bio_host::fault_fires(BIO_FAULT_STORE)) {
        bio_print_error("feature database: store failed: injected fault\n");
        return -1;
    }
    sqlite3 *conn = db->conn;
    if (!exec(conn, "BEGIN IMMEDIATE")) {
        bio_print_error("feature database: store failed: %s\n", errmsg(conn).c_str());
        return -1;
    }
    auto fail = [conn](const char *why) {
        bio_print_error("feature database: store failed: %s\n", why);
        exec(conn, "ROLLBACK");
        return -1;
    };
    Statement record = prepare(conn, kInsertRecord);
    Statement sample = prepare(conn, kInsertSample);
    if (!record || !sample)
        return fail(errmsg(conn).c_str());

    int records = 0;
    for (const feature_info *f = info; f != nullptr; f = f->next, ++records) {
        if (f->driver == nullptr)
            return fail("a record has no driver name");
        sqlite3_reset(record.get());
        sqlite3_bind_int(record.get(), 1, f->uid);
        sqlite3_bind_int(record.get(), 2, f->biotype);
        sqlite3_bind_text(record.get(), 3, f->driver, -1, SQLITE_STATIC);
        sqlite3_bind_int(record.get(), 4, f->index);
        sqlite3_bind_text(record.get(), 5, f->index_name != nullptr ? f->index_name : "", -1, SQLITE_STATIC);
        bio_host::count_call(BIO_FAULT_STORE_ROW);
        if (bio_host::fault_fires(BIO_FAULT_STORE_ROW))
            return fail("injected fault");
        if (sqlite3_step(record.get()) != SQLITE_DONE)
            return fail(errmsg(conn).c_str());
        const sqlite3_int64 id = sqlite3_last_insert_rowid(conn);
        for (const feature_sample *s = f->sample; s != nullptr; s = s->next) {
            sqlite3_reset(sample.get());
            sqlite3_bind_int64(sample.get(), 1, id);
            sqlite3_bind_int(sample.get(), 2, s->no);
            sqlite3_bind_text(sample.get(), 3, s->data != nullptr ? s->data : "", -1, SQLITE_STATIC);
            bio_host::count_call(BIO_FAULT_STORE_ROW);
            if (bio_host::fault_fires(BIO_FAULT_STORE_ROW))
                return fail("injected fault");
            if (sqlite3_step(sample.get()) != SQLITE_DONE)
                return fail(errmsg(conn).c_str());
        }
    }
    record.reset();
    sample.reset();
    if (!exec(conn, "COMMIT"))
        return fail(errmsg(conn).c_str());
    bio_print_debug("feature database: stored %d record(s)\n", records);
    return 0;
}

}  // extern "C"

int bio_host::open_connections() { return g_open_connections.load(); }
