// storage_test.cpp - the feature database: selections, order, isolation, atomic stores and failures.
#include "bio_host_program.h"
#include "bio_host_testing.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kFinger = BioT_FingerPrint;
constexpr const char *kDriver = "kelvra-dactylen";

struct Sample {
    int no;
    std::string data;
    bool operator==(const Sample &) const = default;
};

struct Record {
    int uid;
    int biotype;
    std::string driver;
    int index;
    std::string name;
    std::vector<Sample> samples;
    bool operator==(const Record &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Record &r)
{
    os << "{uid " << r.uid << ", bt " << r.biotype << ", " << r.driver << ", idx " << r.index << " '" << r.name
       << "', samples";
    for (const Sample &s : r.samples)
        os << " " << s.no << ":" << s.data.size();
    return os << "}";
}

feature_info *build(const std::vector<Record> &records)
{
    feature_info *head = nullptr;
    feature_info **link = &head;
    for (const Record &r : records) {
        feature_info *info = bio_sto_new_feature_info(r.uid, r.biotype, r.driver.c_str(), r.index, r.name.c_str());
        feature_sample **slink = &info->sample;
        for (const Sample &s : r.samples) {
            *slink = bio_sto_new_feature_sample(s.no, s.data.c_str());
            slink = &(*slink)->next;
        }
        *link = info;
        link = &info->next;
    }
    return head;
}

std::vector<Record> flatten(const feature_info *list)
{
    std::vector<Record> out;
    for (const feature_info *f = list; f != nullptr; f = f->next) {
        Record r{f->uid, f->biotype, f->driver ? f->driver : "<null>", f->index, f->index_name ? f->index_name : "<null>", {}};
        for (const feature_sample *s = f->sample; s != nullptr; s = s->next) {
            EXPECT_NE(s->data, nullptr);
            EXPECT_GT(s->dbid, 0);
            r.samples.push_back({s->no, s->data ? s->data : ""});
        }
        out.push_back(r);
    }
    return out;
}

int store(const std::vector<Record> &records)
{
    feature_info *list = build(records);
    bio_sto_db *db = bio_sto_connect_db();
    EXPECT_NE(db, nullptr);
    const int rc = bio_sto_set_feature_info(db, list);
    bio_sto_disconnect_db(db);
    bio_sto_free_feature_info_list(list);
    return rc;
}

std::vector<Record> query(int uid, int biotype, const char *driver, int start, int end)
{
    bio_sto_db *db = bio_sto_connect_db();
    EXPECT_NE(db, nullptr);
    feature_info *list = bio_sto_get_feature_info(db, uid, biotype, driver, start, end);
    bio_sto_disconnect_db(db);
    std::vector<Record> out = flatten(list);
    bio_sto_free_feature_info_list(list);
    return out;
}

std::vector<Record> query(int uid, int start = 0, int end = -1) { return query(uid, kFinger, kDriver, start, end); }

int clean(int uid, int biotype, const char *driver, int start, int end)
{
    bio_sto_db *db = bio_sto_connect_db();
    EXPECT_NE(db, nullptr);
    const int rc = bio_sto_clean_feature_info(db, uid, biotype, driver, start, end);
    bio_sto_disconnect_db(db);
    return rc;
}

Record rec(int uid, int index, std::string name, std::vector<Sample> samples = {{1, "AAAA"}})
{
    return {uid, kFinger, kDriver, index, std::move(name), std::move(samples)};
}

// Error lines the library logs while a test runs.
class ErrorLog {
public:
    ErrorLog() { bio_log_set_listener(&ErrorLog::listen, this); bio_log_set_threshold(BIO_LOG_NONE); }
    ~ErrorLog() { bio_log_set_listener(nullptr, nullptr); bio_log_set_threshold(BIO_LOG_INFO); }
    std::vector<std::string> lines()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }
    bool mentions(const std::string &text)
    {
        for (const std::string &line : lines())
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }

private:
    static void listen(bio_log_level level, const char *line, void *user)
    {
        auto *self = static_cast<ErrorLog *>(user);
        if (level != BIO_LOG_ERROR)
            return;
        std::lock_guard<std::mutex> guard(self->lock_);
        self->lines_.emplace_back(line);
    }
    std::mutex lock_;
    std::vector<std::string> lines_;
};

class FeatureDb : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "host-db-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        path_ = dir_ / "features.db";
        ASSERT_EQ(bio_sto_set_db_path(path_.c_str()), 0);
    }
    void TearDown() override
    {
        bio_testing_clear_faults();
        EXPECT_EQ(bio_testing_open_connections(), 0) << "a connection was left open";
        EXPECT_EQ(bio_testing_outstanding_records(), 0) << "a record or sample was not released";
        bio_sto_set_db_path(":memory:");
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, ec);
        fs::remove_all(dir_, ec);
    }

    // Rows left in the sample table, read past the library.
    long long sample_rows()
    {
        sqlite3 *raw = nullptr;
        long long count = -1;
        if (sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt *stmt = nullptr;
            if (sqlite3_prepare_v2(raw, "SELECT count(*) FROM sample", -1, &stmt, nullptr) == SQLITE_OK &&
                sqlite3_step(stmt) == SQLITE_ROW)
                count = sqlite3_column_int64(stmt, 0);
            sqlite3_finalize(stmt);
        }
        sqlite3_close(raw);
        return count;
    }

    fs::path dir_;
    fs::path path_;
    ErrorLog log_;
};

TEST_F(FeatureDb, RecordsComeInIndexThenStorageOrderSamplesByNumber)
{
    ASSERT_EQ(store({rec(5, 3, "third"), rec(5, 1, "one-a", {{3, "CCCC"}, {1, "AAAA"}, {2, "BBBB"}})}), 0);
    ASSERT_EQ(store({rec(5, 2, "second"), rec(5, 1, "one-b")}), 0);

    const auto all = query(5);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0], rec(5, 1, "one-a", {{1, "AAAA"}, {2, "BBBB"}, {3, "CCCC"}}));
    EXPECT_EQ(all[1].name, "one-b");
    EXPECT_EQ(all[2].name, "second");
    EXPECT_EQ(all[3].name, "third");

    EXPECT_EQ(query(5, 1, 2).size(), 3u);
    const auto two = query(5, 2, 2);
    ASSERT_EQ(two.size(), 1u);
    EXPECT_EQ(two[0].name, "second");
    EXPECT_EQ(query(5, 3, -1).size(), 1u);
    EXPECT_TRUE(query(5, 4, -1).empty());
    EXPECT_TRUE(query(5, 0, 0).empty());
}

TEST_F(FeatureDb, SelectionsAreIsolatedByUserBiotypeAndDriver)
{
    Record other_type = rec(5, 1, "vein");
    other_type.biotype = BioT_FingerVein;
    Record other_driver = rec(5, 1, "other-driver");
    other_driver.driver = "kelvra-dactylen-2";
    ASSERT_EQ(store({rec(6, 1, "user6"), rec(5, 2, "user5"), other_type, other_driver, rec(7, 0, "user7")}), 0);

    const auto five = query(5);
    ASSERT_EQ(five.size(), 1u);
    EXPECT_EQ(five[0].name, "user5");
    EXPECT_EQ(query(6).size(), 1u);
    EXPECT_TRUE(query(8).empty());

    const auto vein = query(5, BioT_FingerVein, kDriver, 0, -1);
    ASSERT_EQ(vein.size(), 1u);
    EXPECT_EQ(vein[0].name, "vein");
    const auto second = query(-1, kFinger, "kelvra-dactylen-2", 0, -1);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].name, "other-driver");

    // Every user of this driver and biotype, still ordered by index.
    const auto everyone = query(-1);
    ASSERT_EQ(everyone.size(), 3u);
    EXPECT_EQ(everyone[0].name, "user7");
    EXPECT_EQ(everyone[1].name, "user6");
    EXPECT_EQ(everyone[2].name, "user5");
}

TEST_F(FeatureDb, CleanDeletesTheSelectionWithItsSamples)
{
    Record other_driver = rec(5, 2, "keep-driver");
    other_driver.driver = "someone-else";
    ASSERT_EQ(store({rec(5, 1, "keep1"), rec(5, 2, "gone2", {{1, "AA=="}, {2, "BB=="}}), rec(5, 3, "gone3"),
                     rec(6, 2, "keep-user"), other_driver}),
              0);
    ASSERT_EQ(sample_rows(), 6);

    EXPECT_EQ(clean(5, kFinger, kDriver, 2, 3), 0);
    const auto left = query(5);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].name, "keep1");
    EXPECT_EQ(query(6).size(), 1u);
    EXPECT_EQ(query(5, kFinger, "someone-else", 0, -1).size(), 1u);
    EXPECT_EQ(sample_rows(), 3) << "samples of deleted records were left behind";

    // An empty selection is not an error.
    EXPECT_EQ(clean(5, kFinger, kDriver, 10, -1), 0);

    EXPECT_EQ(clean(-1, kFinger, kDriver, 0, -1), 0);
    EXPECT_TRUE(query(-1).empty());
    EXPECT_EQ(query(5, kFinger, "someone-else", 0, -1).size(), 1u);
}

TEST_F(FeatureDb, StoreIsAllOrNothing)
{
    ASSERT_EQ(store({rec(1, 0, "before")}), 0);

    // The third record cannot be stored (no driver): the two before it are not kept either.
    feature_info *list = build({rec(1, 1, "a"), rec(1, 2, "b"), rec(1, 3, "c")});
    std::free(list->next->next->driver);
    list->next->next->driver = nullptr;
    bio_sto_db *db = bio_sto_connect_db();
    EXPECT_NE(bio_sto_set_feature_info(db, list), 0);
    bio_sto_disconnect_db(db);
    bio_sto_free_feature_info_list(list);
    EXPECT_TRUE(log_.mentions("store failed"));

    // A failure on the fourth row (the second record's sample) rolls back the rows before it.
    bio_testing_fail_nth(BIO_FAULT_STORE_ROW, 4);
    EXPECT_NE(store({rec(1, 1, "a"), rec(1, 2, "b", {{1, "QQ=="}, {2, "Qg=="}})}), 0);

    const auto left = query(1);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].name, "before");
    EXPECT_EQ(sample_rows(), 1);

    // The database is usable again afterwards.
    EXPECT_EQ(store({rec(1, 1, "after")}), 0);
    EXPECT_EQ(query(1).size(), 2u);
}

TEST_F(FeatureDb, NamesWithQuotesAndSqlAreStoredAsText)
{
    const std::string driver = "x'; DROP TABLE feature; --";
    const std::string name = "it's \"mine\" OR 1=1; DELETE FROM sample; --";
    const std::string data = "'); DROP TABLE sample; --";
    Record odd{42, kFinger, driver, 1, name, {{1, data}}};
    ASSERT_EQ(store({odd, rec(42, 1, "plain")}), 0);

    const auto back = query(42, kFinger, driver.c_str(), 0, -1);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0], odd);
    EXPECT_EQ(query(42).size(), 1u);
    EXPECT_TRUE(query(-1, kFinger, "' OR '1'='1", 0, -1).empty());
    EXPECT_EQ(clean(-1, kFinger, "' OR '1'='1", 0, -1), 0);
    EXPECT_EQ(query(42).size(), 1u);
    EXPECT_EQ(clean(42, kFinger, driver.c_str(), 0, -1), 0);
    EXPECT_TRUE(query(42, kFinger, driver.c_str(), 0, -1).empty());
    EXPECT_EQ(query(42).size(), 1u);
}

TEST_F(FeatureDb, TemplatesEmptySamplesAndMissingTexts)
{
    std::string big(163840, 'x');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[(i * 7919) % 64];
    ASSERT_EQ(store({rec(3, 1, "template", {{1, big}}), rec(3, 2, "bookkeeping", {{1, ""}}), rec(3, 3, "bare", {})}), 0);

    // A sample or name given as NULL is kept as the empty text.
    feature_info *info = bio_sto_new_feature_info(3, kFinger, kDriver, 4, nullptr);
    info->sample = bio_sto_new_feature_sample(-1, nullptr);
    info->sample->no = 1;
    bio_sto_db *db = bio_sto_connect_db();
    EXPECT_EQ(bio_sto_set_feature_info(db, info), 0);
    bio_sto_disconnect_db(db);
    bio_sto_free_feature_info_list(info);

    const auto back = query(3);
    ASSERT_EQ(back.size(), 4u);
    EXPECT_EQ(back[0].samples, (std::vector<Sample>{{1, big}}));
    EXPECT_EQ(back[1].samples, (std::vector<Sample>{{1, ""}}));
    EXPECT_TRUE(back[2].samples.empty());
    EXPECT_EQ(back[3], rec(3, 4, "", {{1, ""}}));
}

TEST_F(FeatureDb, FileIsPrivateAndVersioned)
{
    const fs::path fresh = dir_ / "fresh.db";
    const mode_t old_mask = umask(0);  // with no umask SQLite alone would make the file world-readable
    const int rc = bio_sto_set_db_path(fresh.c_str());
    umask(old_mask);
    ASSERT_EQ(rc, 0);
    EXPECT_STREQ(bio_sto_get_db_path(), fresh.c_str());

    ASSERT_EQ(store({rec(1, 1, "one")}), 0);
    struct stat st {};
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    sqlite3 *raw = nullptr;
    ASSERT_EQ(sqlite3_open_v2(fresh.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt *stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(raw, "PRAGMA user_version", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_GT(sqlite3_column_int(stmt, 0), 0);
    sqlite3_finalize(stmt);
    sqlite3_close(raw);
}

TEST_F(FeatureDb, UnusablePathsAreRefusedAndTheOldOneKept)
{
    ASSERT_EQ(store({rec(1, 1, "kept")}), 0);

    EXPECT_EQ(bio_sto_set_db_path((dir_ / "missing" / "features.db").c_str()), -1);
    EXPECT_EQ(bio_sto_set_db_path(dir_.c_str()), -1);
    EXPECT_EQ(bio_sto_set_db_path(""), -1);
    EXPECT_EQ(bio_sto_set_db_path(nullptr), -1);

    // Some other program's SQLite database is not taken over.
    const fs::path foreign = dir_ / "foreign.db";
    sqlite3 *raw = nullptr;
    ASSERT_EQ(sqlite3_open(foreign.c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw, "CREATE TABLE notes (t TEXT)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    EXPECT_EQ(bio_sto_set_db_path(foreign.c_str()), -1);
    EXPECT_TRUE(log_.mentions(foreign.string()));

    EXPECT_STREQ(bio_sto_get_db_path(), path_.c_str());
    EXPECT_EQ(query(1).size(), 1u);
}

TEST_F(FeatureDb, CorruptFileGivesAnErrorNotACrash)
{
    const fs::path garbage = dir_ / "garbage.db";
    {
        std::ofstream out(garbage, std::ios::binary);
        for (int i = 0; i < 8192; ++i)
            out.put(static_cast<char>((i * 131 + 17) & 0xff));
    }
    EXPECT_EQ(bio_sto_set_db_path(garbage.c_str()), -1);
    EXPECT_TRUE(log_.mentions(garbage.string()));

    // The file the library uses turns to garbage under it.
    ASSERT_EQ(store({rec(1, 1, "lost")}), 0);
    {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        for (int i = 0; i < 8192; ++i)
            out.put(static_cast<char>((i * 37 + 5) & 0xff));
    }
    EXPECT_EQ(bio_sto_connect_db(), nullptr);
    EXPECT_TRUE(log_.mentions("cannot be opened"));
}

TEST_F(FeatureDb, ReadOnlyFileAnswersQueriesAndRefusesStores)
{
    ASSERT_EQ(store({rec(1, 1, "stored")}), 0);
    ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);

    // Permission bits do not bind root, so the check runs in a child that gives root up.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(10);
        if (bio_sto_set_db_path(path_.c_str()) != 0)
            _exit(11);
        if (query(1).size() != 1)
            _exit(12);
        if (store({rec(1, 2, "refused")}) == 0)
            _exit(13);
        if (clean(1, kFinger, kDriver, 0, -1) == 0)
            _exit(14);
        if (query(1).size() != 1)
            _exit(15);
        if (!log_.mentions("store failed") || !log_.mentions("clean failed"))
            _exit(16);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 no setuid, 11 path refused, 12 query, 13 store succeeded, "
                                         "14 clean succeeded, 15 data changed, 16 no error line";
}

TEST_F(FeatureDb, EveryCallAcceptsAMissingConnection)
{
    feature_info *info = build({rec(1, 1, "x")});
    EXPECT_EQ(bio_sto_get_feature_info(nullptr, 1, kFinger, kDriver, 0, -1), nullptr);
    EXPECT_NE(bio_sto_set_feature_info(nullptr, info), 0);
    EXPECT_NE(bio_sto_clean_feature_info(nullptr, 1, kFinger, kDriver, 0, -1), 0);
    bio_sto_disconnect_db(nullptr);
    bio_sto_free_feature_info_list(info);
    EXPECT_GE(log_.lines().size(), 3u);

    bio_sto_db *db = bio_sto_connect_db();
    EXPECT_EQ(bio_sto_get_feature_info(db, 1, kFinger, nullptr, 0, -1), nullptr);
    EXPECT_NE(bio_sto_clean_feature_info(db, 1, kFinger, nullptr, 0, -1), 0);
    EXPECT_NE(bio_sto_set_feature_info(db, nullptr), 0);
    bio_sto_disconnect_db(db);

    bio_sto_free_feature_info(nullptr);
    bio_sto_free_feature_info_list(nullptr);
    bio_sto_free_feature_sample_list(nullptr);
    print_feature_info(nullptr);
}

TEST_F(FeatureDb, InjectedFaultsFailOnceEach)
{
    ASSERT_EQ(store({rec(1, 1, "one")}), 0);

    bio_testing_fail_nth(BIO_FAULT_CONNECT, 2);
    bio_sto_db *first = bio_sto_connect_db();
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(bio_sto_connect_db(), nullptr);
    bio_sto_db *third = bio_sto_connect_db();
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(bio_testing_open_connections(), 2);
    bio_sto_disconnect_db(first);
    bio_sto_disconnect_db(third);

    bio_testing_fail_nth(BIO_FAULT_QUERY, 1);
    EXPECT_TRUE(query(1).empty());
    EXPECT_EQ(query(1).size(), 1u);

    bio_testing_fail_nth(BIO_FAULT_STORE, 1);
    EXPECT_NE(store({rec(1, 2, "two")}), 0);
    bio_testing_fail_nth(BIO_FAULT_CLEAN, 1);
    EXPECT_NE(clean(1, kFinger, kDriver, 0, -1), 0);
    EXPECT_EQ(query(1).size(), 1u);
    EXPECT_TRUE(log_.mentions("injected fault"));
}

// A text of `length` base64 characters, different for each seed.
std::string template_text(size_t length, unsigned seed)
{
    std::string text(length, 'A');
    for (size_t i = 0; i < length; ++i)
        text[i] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[(i * 7919 + seed * 31) % 64];
    return text;
}

// Makes sure every stored text reads back as it was stored, whether SQLite hands it over directly from
// the file (UTF-8 databases) or converted (UTF-16 ones), on both sides of the size from which texts are
// kept in reused blocks; an example failure is a UTF-16 database read as its raw bytes.
TEST_F(FeatureDb, TextsReadBackWhateverTheirSizeAndTheDatabaseEncoding)
{
    for (const char *encoding : {"UTF-8", "UTF-16le"}) {
        SCOPED_TRACE(encoding);
        const fs::path path = dir_ / (std::string(encoding) + ".db");
        sqlite3 *raw = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
        const std::string set_up = std::string("PRAGMA encoding = '") + encoding + "'; CREATE TABLE t (x); DROP TABLE t;";
        ASSERT_EQ(sqlite3_exec(raw, set_up.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(raw);
        ASSERT_EQ(bio_sto_set_db_path(path.c_str()), 0);

        std::vector<Sample> samples;
        for (size_t length : {size_t{0}, size_t{4}, size_t{65534}, size_t{65535}, size_t{163840}})
            samples.push_back({static_cast<int>(samples.size()) + 1, template_text(length, unsigned(length))});
        const std::vector<Record> stored = {rec(5, 1, "\xe6\x8c\x87\xe7\xba\xb9 thumb", samples), rec(5, 2, "blob", {{1, "x"}})};
        ASSERT_EQ(store(stored), 0);
        std::vector<Record> expected = stored;
        if (std::string(encoding) == "UTF-8") {
            // A value stored as a blob, as another program might write it, reads as its bytes.
            ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(raw, "UPDATE sample SET data = X'41424344' WHERE data = 'x'", nullptr, nullptr,
                                   nullptr), SQLITE_OK);
            sqlite3_close(raw);
            expected[1].samples[0].data = "ABCD";
        }
        for (int pass = 0; pass < 2; ++pass)  // the second list reuses the first one's blocks
            EXPECT_EQ(query(5), expected);
    }
}

// Makes sure a failure to make a part of the list fails the whole query cleanly, also for the texts read
// from the file; an example failure is a list handed back with a sample whose text is missing.
TEST_F(FeatureDb, QueryThatRunsOutOfMemoryFailsWhole)
{
    ASSERT_EQ(store({rec(1, 1, "one", {{1, template_text(163840, 1)}}), rec(1, 2, "two", {{1, "AAAA"}})}), 0);
    const struct {
        bio_fault_point point;
        int n;
        const char *line;
    } cases[] = {
        {BIO_FAULT_NEW_RECORD, 2, "host: out of memory for a feature record: injected fault\n"},
        {BIO_FAULT_NEW_SAMPLE, 1, "host: out of memory for a feature sample: injected fault\n"},
        {BIO_FAULT_NEW_TEXT, 3, "host: out of memory copying a text: injected fault\n"},  // the first sample's
        {BIO_FAULT_NEW_TEXT, 6, "host: out of memory copying a text: injected fault\n"},  // the second sample's
    };
    const size_t lines_before = log_.lines().size();
    std::vector<std::string> expected;
    for (const auto &c : cases) {
        bio_testing_fail_nth(c.point, c.n);
        bio_sto_db *db = bio_sto_connect_db();
        EXPECT_EQ(bio_sto_get_feature_info(db, 1, kFinger, kDriver, 0, -1), nullptr) << c.line;
        bio_sto_disconnect_db(db);
        EXPECT_TRUE(bio_testing_fault_fired(c.point)) << c.line;
        expected.insert(expected.end(), {c.line, "feature database: query failed: out of memory\n"});
        EXPECT_EQ(query(1).size(), 2u) << "the next query";
    }
    const std::vector<std::string> lines = log_.lines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(lines_before), lines.end()), expected);
}

// Makes sure a text keeps its bytes while the blocks of freed lists are handed to new ones, and that
// freeing accepts texts set into a list afterwards; an example failure is a block handed to two texts.
TEST(TextStorage, LiveTextsKeepTheirBytesWhileFreedBlocksAreReused)
{
    auto make_list = [](unsigned seed) {
        feature_info *info = bio_sto_new_feature_info(1, kFinger, kDriver, 0, "name");
        feature_sample **link = &info->sample;
        for (int i = 0; i < 8; ++i, link = &(*link)->next)
            *link = bio_sto_new_feature_sample(i, template_text(100000 + 20000 * (i % 4), seed * 8 + i).c_str());
        return info;
    };
    auto intact = [](const feature_info *info, unsigned seed) {
        int i = 0;
        for (const feature_sample *s = info->sample; s != nullptr; s = s->next, ++i)
            if (s->data != template_text(100000 + 20000 * (i % 4), seed * 8 + i))
                return false;
        return i == 8;
    };
    feature_info *first = make_list(1);
    feature_info *second = make_list(2);
    feature_info *third = make_list(3);
    bio_sto_free_feature_info(second);
    feature_info *fourth = make_list(4);
    EXPECT_TRUE(intact(first, 1));
    EXPECT_TRUE(intact(third, 3));
    EXPECT_TRUE(intact(fourth, 4));
    // Samples added afterwards, with a text of the host's (pooled) and one a program made with malloc
    // (not): both are freed with the list.
    feature_sample *added = bio_sto_new_feature_sample(8, nullptr);
    added->data = bio_sto_new_str(template_text(163840, 9).c_str());
    added->next = bio_sto_new_feature_sample(9, nullptr);
    added->next->data = strdup("from malloc");
    added->next->next = third->sample;
    third->sample = added;
    bio_sto_free_feature_info(third);
    EXPECT_TRUE(intact(fourth, 4));
    first->next = fourth;
    bio_sto_free_feature_info_list(first);
}

// Makes sure the blocks kept for large texts follow what the lists need: all of a large list's blocks
// stay for the next one, and go back once two lists in a row needed less; an example failure is a
// library that keeps the memory of its largest list for good.
TEST(TextStorage, IdleBlocksFollowTheLastTwoRounds)
{
    constexpr long long kBlock = 167936;  // a 163840-character text and its NUL, in whole pages
    auto round = [](int texts) {
        std::vector<char *> made;
        for (int i = 0; i < texts; ++i)
            made.push_back(bio_sto_new_str(template_text(163840, unsigned(i)).c_str()));
        feature_sample *samples = nullptr;
        for (char *text : made) {
            feature_sample *s = bio_sto_new_feature_sample(1, nullptr);
            s->data = text;
            s->next = samples;
            samples = s;
        }
        bio_sto_free_feature_sample_list(samples);
    };
    const struct {
        int texts;
        long long at_least, at_most;
    } rounds[] = {
        {40, 40 * kBlock, -1},  // all kept for a list as large
        {1, 40 * kBlock, -1},   // still kept: the round before needed them
        {1, 0, kBlock},         // two small rounds in a row: only what they needed stays
        {3, 3 * kBlock, 3 * kBlock},
    };
    for (const auto &r : rounds) {
        round(r.texts);
        const long long idle = bio_testing_idle_text_bytes();
        EXPECT_GE(idle, r.at_least) << r.texts << " texts";
        if (r.at_most >= 0) {
            EXPECT_LE(idle, r.at_most) << r.texts << " texts";
        }
    }
}

// Another process holding the write lock for a moment delays a store instead of failing it.
TEST_F(FeatureDb, StoreWaitsForAnotherWriter)
{
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread release([other] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    });
    const int rc = store({rec(1, 1, "waited")});
    release.join();
    sqlite3_close(other);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(query(1).size(), 1u);
}

TEST(MemoryDb, SurvivesBetweenConnectionsUntilThePathChanges)
{
    ASSERT_EQ(bio_sto_set_db_path(":memory:"), 0);
    EXPECT_STREQ(bio_sto_get_db_path(), ":memory:");
    ASSERT_EQ(store({rec(9, 1, "in-memory")}), 0);
    EXPECT_EQ(query(9).size(), 1u);
    EXPECT_EQ(bio_testing_open_connections(), 0);

    // Threads of the process see the same database.
    std::vector<Record> seen;
    std::thread reader([&seen] { seen = query(9); });
    reader.join();
    EXPECT_EQ(seen.size(), 1u);

    // A new ":memory:" is a new, empty database.
    ASSERT_EQ(bio_sto_set_db_path(":memory:"), 0);
    EXPECT_TRUE(query(9).empty());
}

TEST(MemoryDb, ConcurrentStoresAllLand)
{
    ASSERT_EQ(bio_sto_set_db_path(":memory:"), 0);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 25; ++i)
                EXPECT_EQ(store({rec(t, i, "w")}), 0);
        });
    }
    for (auto &w : writers)
        w.join();
    EXPECT_EQ(query(-1).size(), 100u);
}

}  // namespace
