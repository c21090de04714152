// Registry reads and writes on a warm store against a plain SQLite prepared statement doing the same
// select or insert on the same file.
#include "ratio_reporter.h"
#include "tolvan/winapi/registry.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

using namespace Kalvex;
using namespace Kalvex::WinApi;

namespace {

const char16_t* const KEY = u"HKEY_LOCAL_MACHINE/SOFTWARE/KalvexRenderer";

// A store of its own in a temporary directory, with the key and one string value.
class BenchStore {
public:
    BenchStore() {
        char pattern[] = "/tmp/tolvan_registry_bench_XXXXXX";
        mDir = ::mkdtemp(pattern) ? pattern : "/tmp";
        mFile = mDir + "/registry.sqlite";
        ::setenv("KALVEX_REGISTRY_FILE", mFile.c_str(), 1);
        (void)Registry::createKey(u"HKEY_LOCAL_MACHINE/SOFTWARE");
        (void)Registry::createKey(KEY);
        (void)Registry::setValue(KEY, u"Setting", String(u"C:\\Program Files\\Kalvex\\Renderer"));
    }
    ~BenchStore() { std::system(("rm -rf '" + mDir + "'").c_str()); }
    const std::string& file() const { return mFile; }

private:
    std::string mDir;
    std::string mFile;
};

BenchStore& store() {
    static BenchStore instance;
    return instance;
}

// The peer: its own connection and one prepared statement.
class PlainStatement {
public:
    PlainStatement(const char* sql) {
        sqlite3_open_v2(store().file().c_str(), &mDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        sqlite3_busy_timeout(mDb, 10000);
        sqlite3_exec(mDb, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
        sqlite3_stmt* find = nullptr;
        sqlite3_prepare_v2(mDb, "SELECT id FROM keys WHERE lpath = 'hkey_local_machine\\software\\kalvexrenderer'", -1,
                           &find, nullptr);
        if (sqlite3_step(find) == SQLITE_ROW) mKey = sqlite3_column_int64(find, 0);
        sqlite3_finalize(find);
        sqlite3_prepare_v3(mDb, sql, -1, SQLITE_PREPARE_PERSISTENT, &mStatement, nullptr);
    }
    ~PlainStatement() {
        sqlite3_finalize(mStatement);
        sqlite3_close_v2(mDb);
    }
    sqlite3_stmt* statement() const { return mStatement; }
    sqlite3_int64 key() const { return mKey; }

private:
    sqlite3* mDb = nullptr;
    sqlite3_stmt* mStatement = nullptr;
    sqlite3_int64 mKey = 0;
};

void BM_GetStringValue_Registry(benchmark::State& state) {
    store();
    for (auto _ : state) {
        Optional<String> value = Registry::getStringValue(KEY, u"Setting");
        benchmark::DoNotOptimize(value);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_GetStringValue_OpenKey(benchmark::State& state) {
    store();
    const Optional<Registry::Key> key = Registry::openKey(KEY, Registry::Access::READ);
    for (auto _ : state) {
        Optional<String> value = key->getStringValue(u"Setting");
        benchmark::DoNotOptimize(value);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Select_PlainStatement(benchmark::State& state) {
    PlainStatement plain("SELECT type, data FROM vals WHERE key = ?1 AND lname = ?2");
    sqlite3_stmt* s = plain.statement();
    for (auto _ : state) {
        sqlite3_bind_int64(s, 1, plain.key());
        sqlite3_bind_text(s, 2, "setting", 7, SQLITE_STATIC);
        if (sqlite3_step(s) == SQLITE_ROW) {
            std::u16string value(static_cast<const char16_t*>(sqlite3_column_blob(s, 1)),
                                 size_t(sqlite3_column_bytes(s, 1)) / 2);
            benchmark::DoNotOptimize(value);
        }
        sqlite3_reset(s);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_SetValue_Registry(benchmark::State& state) {
    store();
    int i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(Registry::setValue(KEY, u"Counter", ++i));
    state.SetItemsProcessed(state.iterations());
}

void BM_Insert_PlainStatement(benchmark::State& state) {
    PlainStatement plain("INSERT INTO vals(key, name, lname, type, data) VALUES(?1, 'Counter', 'counter', 4, ?2) "
                         "ON CONFLICT(key, lname) DO UPDATE SET type = excluded.type, data = excluded.data");
    sqlite3_stmt* s = plain.statement();
    int i = 0;
    for (auto _ : state) {
        ++i;
        sqlite3_bind_int64(s, 1, plain.key());
        sqlite3_bind_blob(s, 2, &i, sizeof(i), SQLITE_STATIC);
        benchmark::DoNotOptimize(sqlite3_step(s));
        sqlite3_reset(s);
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_GetStringValue_Registry);
BENCHMARK(BM_GetStringValue_OpenKey);
BENCHMARK(BM_Select_PlainStatement);
BENCHMARK(BM_SetValue_Registry);
BENCHMARK(BM_Insert_PlainStatement);

int main(int argc, char** argv) {
    return TolvanBench::runWithRatios(argc, argv,
                                      {{"BM_GetStringValue_Registry", "BM_Select_PlainStatement"},
                                       {"BM_GetStringValue_OpenKey", "BM_Select_PlainStatement"},
                                       {"BM_SetValue_Registry", "BM_Insert_PlainStatement"}});
}
