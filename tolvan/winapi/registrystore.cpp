#include "tolvan/winapi/registrystore.h"

#include "tolvan/containers/autoptr.h"
#include "tolvan/platform/debug.h"
#include "tolvan/winapi/account_posix.h"

#include <sqlite3.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <mutex>
#include <string>

#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Kalvex::WinApi::Registry::Detail {

namespace {

// Marks a database as a registry store ("KLVR"), so a foreign database is never written to.
constexpr int APPLICATION_ID = 0x4B4C5652;
// How long a change waits for another connection's write to finish.
constexpr int BUSY_TIMEOUT_MS = 10000;
constexpr size_t MAX_FILE_PATH = 4096;

constexpr const char* SCHEMA = R"sql(
CREATE TABLE keys(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    parent INTEGER NOT NULL,
    name TEXT NOT NULL,
    lpath TEXT NOT NULL UNIQUE);
CREATE INDEX keys_parent ON keys(parent);
CREATE TABLE vals(
    key INTEGER NOT NULL,
    name TEXT NOT NULL,
    lname TEXT NOT NULL,
    type INTEGER NOT NULL,
    data BLOB NOT NULL,
    UNIQUE(key, lname));
INSERT INTO keys(id, parent, name, lpath) VALUES
    (1, 0, 'HKEY_CLASSES_ROOT', 'hkey_classes_root'),
    (2, 0, 'HKEY_CURRENT_USER', 'hkey_current_user'),
    (3, 0, 'HKEY_LOCAL_MACHINE', 'hkey_local_machine'),
    (4, 0, 'HKEY_USERS', 'hkey_users'),
    (6, 0, 'HKEY_CURRENT_CONFIG', 'hkey_current_config');
)sql";

// The prepared statements of a connection; each is prepared on first use and kept.
enum class Sql {
    BEGIN,
    COMMIT,
    ROLLBACK,
    KEY_EXISTS,
    KEY_LPATH,
    FIND_KEY,
    OPEN_CHILD,
    INSERT_KEY,
    HAS_CHILD,
    DELETE_KEY_VALUES,
    DELETE_KEY,
    GET_VALUE,
    GET_VALUE_AT,
    SET_VALUE,
    DELETE_VALUE,
    LIST_VALUES,
    COUNT
};

constexpr const char* SQL_TEXT[] = {
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SELECT 1 FROM keys WHERE id = ?1",
    "SELECT lpath FROM keys WHERE id = ?1",
    "SELECT id FROM keys WHERE lpath = ?1",
    "SELECT id FROM keys WHERE lpath = (SELECT lpath FROM keys WHERE id = ?1) || ?2",
    "INSERT INTO keys(parent, name, lpath) VALUES(?1, ?2, ?3)",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "DELETE FROM vals WHERE key = ?1",
    "DELETE FROM keys WHERE id = ?1",
    "SELECT type, data FROM vals WHERE key = ?1 AND lname = ?2",
    "SELECT v.type, v.data FROM keys k JOIN vals v ON v.key = k.id WHERE k.lpath = ?1 AND v.lname = ?2",
    "INSERT INTO vals(key, name, lname, type, data) SELECT ?1, ?2, ?3, ?4, ?5 "
    "WHERE EXISTS(SELECT 1 FROM keys WHERE id = ?1) "
    "ON CONFLICT(key, lname) DO UPDATE SET type = excluded.type, data = excluded.data",
    "DELETE FROM vals WHERE key = ?1 AND lname = ?2",
    "SELECT name, type FROM vals WHERE key = ?1 ORDER BY rowid",
};
static_assert(sizeof(SQL_TEXT) / sizeof(SQL_TEXT[0]) == size_t(Sql::COUNT));

// ---------------------------------------------------------------------------------------------------
// Diagnostics

// Writes `problem` about `file` to the debug output, once per distinct line for the process, so a
// broken store does not flood the output with one line per operation.
void reportProblem(const char* file, const char* problem) {
    static std::mutex lock;
    static Stack<String>* reported = tolvanNew<Stack<String>>(); // never freed: used until exit
    String line = String::fromUtf8(file);
    line << u'\n' << String::fromUtf8(problem);
    {
        std::lock_guard guard(lock);
        if (reported->contains(line)) return;
        reported->push(line);
    }
    debugPrint("Registry store", String(u"'") + String::fromUtf8(file) + String(u"':"), problem);
}

// ---------------------------------------------------------------------------------------------------
// Names

// Case folding that does not depend on the process locale, so every process maps a name to the same
// stored form: ASCII directly, other characters by the C.UTF-8 locale's simple lower-case mapping.
char16_t foldUnit(char16_t c) {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
    if (!locale || (c >= 0xD800 && c <= 0xDFFF)) return c;
    const wint_t lower = towlower_l(wint_t(c), locale);
    return lower <= 0xFFFF ? char16_t(lower) : c;
}

String fold(const String& name) {
    String folded;
    folded.reserve(name.length());
    for (char16_t c : name.view())
        folded << foldUnit(c);
    return folded;
}

// The components of a "\" separated sub-path; empty when a component is empty (a single trailing
// separator is allowed) or longer than `MAX_KEY_NAME_LENGTH`.
Optional<Stack<String>> splitSubPath(const String& subPath) {
    Stack<String> parts;
    if (subPath.isEmpty()) return parts;
    parts = subPath.explode(String(u"\\"));
    if (parts.size() > 1 && parts.back().isEmpty()) parts.pop();
    for (const String& part : parts) {
        if (part.isEmpty() || part.length() > MAX_KEY_NAME_LENGTH) return NONE;
    }
    return parts;
}

// The stored lower-case suffix of a sub-path ("\a\b"), "" for the key itself; empty when malformed
// (the rules of splitSubPath). One pass, as it lies on the path of every read.
Optional<String> foldedSuffix(const String& subPath) {
    String suffix;
    const int length = subPath.length();
    if (length == 0) return suffix;
    suffix.reserve(length + 1);
    suffix << u'\\';
    int componentLength = 0;
    for (int i = 0; i < length; ++i) {
        const char16_t c = subPath.cStr()[i];
        if (c != u'\\') {
            if (++componentLength > MAX_KEY_NAME_LENGTH) return NONE;
            suffix << foldUnit(c);
            continue;
        }
        if (componentLength == 0) return NONE;
        if (i + 1 == length) break; // one trailing separator
        suffix << u'\\';
        componentLength = 0;
    }
    return suffix;
}

// ---------------------------------------------------------------------------------------------------
// The store file

// Writes the store file's path to `out`: KALVEX_REGISTRY_FILE, else the XDG configuration folder.
bool getStoreFile(char (&out)[MAX_FILE_PATH]) {
    const char* file = std::getenv("KALVEX_REGISTRY_FILE");
    if (file && *file) return std::snprintf(out, sizeof(out), "%s", file) < int(sizeof(out));
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* configSuffix = "";
    String::CharBuffer<char> home; // holds the password database's answer while `config` points into it
    if (!config || config[0] != '/') {
        config = std::getenv("HOME");
        if (!config || !*config) {
            home = WinApi::Detail::Posix::passwordDatabaseHomeFolder().toUtf8();
            config = home.isEmpty() ? nullptr : home.cStr();
        }
        if (!config) return false;
        configSuffix = "/.config";
    }
    const int length =
        std::snprintf(out, sizeof(out), "%s%s/KalvexRenderer/registry.sqlite", config, configSuffix);
    return length > 0 && length < int(sizeof(out));
}

// Creates the folders above `file` that are missing (errors show up when the file is opened).
void createParentFolders(const char* file) {
    char folder[MAX_FILE_PATH];
    std::snprintf(folder, sizeof(folder), "%s", file);
    for (char* p = folder + 1; *p; ++p) {
        if (*p != '/') continue;
        *p = '\0';
        ::mkdir(folder, 0700);
        *p = '/';
    }
}

// ---------------------------------------------------------------------------------------------------
// Connections

// Whether a failure means that the file itself is unusable, so the connection is dropped and the file
// checked again on the next use.
bool isFileFailure(int code) {
    switch (code & 0xFF) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_READONLY:
    case SQLITE_FULL:
    case SQLITE_PERM:
        return true;
    default:
        return false;
    }
}

// One thread's connection to one store file, with its prepared statements.
class Connection {
public:
    Connection(sqlite3* db, const char* file)
        : mDb(db)
        , mFile(String::fromUtf8(file).toUtf8()) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        for (sqlite3_stmt* statement : mStatements)
            sqlite3_finalize(statement);
        sqlite3_close_v2(mDb);
    }

    /// Opens `file` and makes it ready (creating the schema in a new file); null, with a debug line,
    /// when the file cannot be used.
    static AutoPtr<Connection> open(const char* file);

    [[nodiscard]] const char* file() const noexcept { return mFile.cStr(); }
    [[nodiscard]] bool isBroken() const noexcept { return mBroken; }
    /// True when the file may be read but not written by this process: every change is refused.
    [[nodiscard]] bool isReadOnly() const noexcept { return mReadOnly; }

    /// The prepared statement, reset and ready for binding; null (reported) when it cannot be prepared.
    sqlite3_stmt* statement(Sql which) {
        sqlite3_stmt*& statement = mStatements[int(which)];
        if (!statement &&
            sqlite3_prepare_v3(mDb, SQL_TEXT[int(which)], -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
                SQLITE_OK) {
            fail(sqlite3_extended_errcode(mDb));
            statement = nullptr;
        }
        return statement;
    }

    /// Records a failed call: a debug line, and the connection is dropped if the file is at fault.
    void fail(int code) {
        if (code == SQLITE_CONSTRAINT_UNIQUE) return; // a lost race that the caller handles
        reportProblem(file(), sqlite3_errmsg(mDb));
        if (isFileFailure(code)) mBroken = true;
    }

    [[nodiscard]] int64 changes() const { return sqlite3_changes64(mDb); }
    [[nodiscard]] int64 lastInsertId() const { return sqlite3_last_insert_rowid(mDb); }

private:
    bool prepareFile(bool& fresh);
    bool isUndamaged();
    bool exec(const char* sql);
    bool queryInt(const char* sql, int64& result);
    bool queryText(const char* sql, String& result);
    bool createSchema();

    sqlite3* mDb;
    String::CharBuffer<char> mFile;
    sqlite3_stmt* mStatements[int(Sql::COUNT)] = {};
    bool mBroken = false;
    bool mReadOnly = false;
};

bool Connection::exec(const char* sql) {
    const int code = sqlite3_exec(mDb, sql, nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) fail(sqlite3_extended_errcode(mDb));
    return code == SQLITE_OK;
}

// Runs `sql` and hands its first row to `read`; false (reported) when there is no row or it fails.
template <typename Read>
bool queryFirstRow(Connection& connection, sqlite3* db, const char* sql, Read read) {
    sqlite3_stmt* statement = nullptr;
    int code = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    if (code == SQLITE_OK) code = sqlite3_step(statement);
    if (code == SQLITE_ROW) read(statement);
    sqlite3_finalize(statement);
    if (code != SQLITE_ROW) connection.fail(sqlite3_extended_errcode(db));
    return code == SQLITE_ROW;
}

bool Connection::queryInt(const char* sql, int64& result) {
    return queryFirstRow(*this, mDb, sql,
                         [&result](sqlite3_stmt* row) { result = sqlite3_column_int64(row, 0); });
}

bool Connection::queryText(const char* sql, String& result) {
    return queryFirstRow(*this, mDb, sql, [&result](sqlite3_stmt* row) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(row, 0));
        result = String::fromUtf8(text ? text : "");
    });
}

// Checks the store's pages once, when the connection is opened: a damaged store is left alone like a
// foreign file, since writing to it could spread the damage.
bool Connection::isUndamaged() {
    String verdict;
    if (!queryText("PRAGMA quick_check(1)", verdict)) return false; // reported (malformed, unreadable)
    if (verdict == u"ok") return true;
    // The first problem found, without SQLite's "*** in database main ***" heading.
    if (verdict.startsWith(u"***") && verdict.find(u'\n') != String::nPos) {
        verdict = verdict.getSubstr(verdict.find(u'\n') + 1);
    }
    const String problem = String(u"the store is damaged, its database disk image is malformed (") + verdict +
                           String(u"); it is left as it is");
    reportProblem(file(), problem.toUtf8().cStr());
    return false;
}

// Checks that the file is an empty database or an undamaged registry store (`fresh` tells which) before
// anything is written to it, then switches to WAL mode unless the file can only be read.
bool Connection::prepareFile(bool& fresh) {
    int64 applicationId = 0;
    int64 objects = 0;
    if (!queryInt("PRAGMA application_id", applicationId) ||
        !queryInt("SELECT count(*) FROM sqlite_master", objects))
        return false;
    if (applicationId != APPLICATION_ID && (applicationId != 0 || objects != 0)) {
        reportProblem(file(), "the file is a database of another kind; it is left as it is");
        return false;
    }
    fresh = applicationId == 0;
    if (mReadOnly) {
        if (fresh)
            reportProblem(file(), "the file is empty and read-only for this process: it holds no registry");
        return !fresh && isUndamaged();
    }
    return (fresh || isUndamaged()) && exec("PRAGMA journal_mode=WAL") && exec("PRAGMA synchronous=NORMAL");
}

// Creates the schema unless another connection did so first.
bool Connection::createSchema() {
    if (!exec("BEGIN IMMEDIATE")) return false;
    int64 applicationId = 0;
    bool done = queryInt("PRAGMA application_id", applicationId);
    if (done && applicationId != APPLICATION_ID) {
        done = exec(SCHEMA) && exec("PRAGMA application_id=1263294034");
    }
    if (done && exec("COMMIT")) return true;
    sqlite3_exec(mDb, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}
static_assert(APPLICATION_ID == 1263294034);

namespace {

// Opens the database `name` with `flags`; null, reported for `file`, when it cannot be opened.
sqlite3* openDatabase(const char* name, int flags, const char* file) {
    sqlite3* db = nullptr;
    const int code = sqlite3_open_v2(name, &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (code == SQLITE_OK) return db;
    reportProblem(file, db ? sqlite3_errmsg(db) : sqlite3_errstr(code));
    sqlite3_close_v2(db);
    return nullptr;
}

// Whether a read-only database cannot be read shared: a WAL database needs its "-shm" side file, which
// cannot be made when the folder is read-only too.
bool lacksSharedMemory(sqlite3* db) {
    sqlite3_extended_result_codes(db, 1);
    if (sqlite3_exec(db, "PRAGMA application_id", nullptr, nullptr, nullptr) == SQLITE_OK) return false;
    const int code = sqlite3_extended_errcode(db);
    return code == SQLITE_READONLY_DIRECTORY || code == SQLITE_READONLY_CANTINIT;
}

// The URI that opens `file` as an immutable database (no locks, no side files).
std::string immutableUri(const char* file) {
    std::string uri = "file:";
    for (const char* p = file; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '%' || c == '?' || c == '#' || c <= ' ') {
            char escaped[4];
            std::snprintf(escaped, sizeof(escaped), "%%%02X", c);
            uri += escaped;
        } else {
            uri += char(c);
        }
    }
    return uri + "?immutable=1";
}

} // namespace

AutoPtr<Connection> Connection::open(const char* file) {
    createParentFolders(file);
    sqlite3* db = openDatabase(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, file);
    // SQLite opens a file it may not write read-only: reads work, and changes are refused up front. When
    // even the folder is read-only, the store can only be read as an immutable file.
    const bool readOnly = db && sqlite3_db_readonly(db, "main") == 1;
    if (readOnly && lacksSharedMemory(db)) {
        sqlite3_close_v2(db);
        db = openDatabase(immutableUri(file).c_str(), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, file);
    }
    if (!db) return AutoPtr<Connection>();
    AutoPtr<Connection> connection = makeAutoPtr<Connection>(db, file);
    connection->mReadOnly = readOnly;
    sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
    sqlite3_extended_result_codes(db, 1);
    bool fresh = false;
    if (!connection->prepareFile(fresh) || (fresh && !connection->createSchema())) return AutoPtr<Connection>();
    return connection;
}

thread_local AutoPtr<Connection> tConnection;

// The calling thread's connection to the current store file, opened or reopened as needed; null when
// the store cannot be used.
Connection* getConnection() {
    char file[MAX_FILE_PATH];
    if (!getStoreFile(file)) {
        reportProblem("", "no store file: neither KALVEX_REGISTRY_FILE nor a home folder is known");
        return nullptr;
    }
    if (tConnection && (tConnection->isBroken() || std::strcmp(tConnection->file(), file) != 0)) {
        tConnection.reset();
    }
    if (!tConnection) tConnection = Connection::open(file);
    return tConnection.get();
}

// The calling thread's connection when the store may be changed; null, with a debug line, when it
// cannot be used or only read.
Connection* getWritableConnection() {
    Connection* connection = getConnection();
    if (!connection || !connection->isReadOnly()) return connection;
    reportProblem(connection->file(), "the file is read-only for this process; changes are refused");
    return nullptr;
}

// ---------------------------------------------------------------------------------------------------
// Statements

// One use of a prepared statement: binds the arguments, steps, and resets the statement at the end.
class Query {
public:
    Query(Connection* connection, Sql which)
        : mConnection(connection)
        , mStatement(connection ? connection->statement(which) : nullptr) {}
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;
    ~Query() {
        if (mStatement) sqlite3_reset(mStatement);
    }

    [[nodiscard]] bool isValid() const noexcept { return mStatement != nullptr; }

    Query& bind(int index, int64 value) {
        if (mStatement) sqlite3_bind_int64(mStatement, index, value);
        return *this;
    }
    /// Binds UTF-8 text that must live until the query is done.
    Query& bind(int index, const String::CharBuffer<char>& text) {
        if (mStatement) sqlite3_bind_text(mStatement, index, text.cStr(), text.length(), SQLITE_STATIC);
        return *this;
    }
    Query& bind(int index, ArrayView<const std::byte> bytes) {
        static const std::byte NO_BYTES[1] = {};
        if (mStatement) {
            sqlite3_bind_blob64(mStatement, index, bytes.isEmpty() ? NO_BYTES : bytes.data(),
                                sqlite3_uint64(bytes.size()), SQLITE_STATIC);
        }
        return *this;
    }

    /// The next row: true when there is one, false at the end or on failure (see failed()).
    bool step() {
        if (!mStatement) return false;
        const int code = sqlite3_step(mStatement);
        if (code == SQLITE_ROW) return true;
        if (code != SQLITE_DONE) {
            mFailed = true;
            mConnection->fail(sqlite3_extended_errcode(sqlite3_db_handle(mStatement)));
        }
        return false;
    }
    /// Runs a statement that returns no rows; true when it succeeded.
    bool run() {
        step();
        return isValid() && !mFailed;
    }
    [[nodiscard]] bool failed() const noexcept { return mFailed || !mStatement; }

    [[nodiscard]] int64 int64At(int column) const { return sqlite3_column_int64(mStatement, column); }
    [[nodiscard]] String textAt(int column) const {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(mStatement, column));
        return String::fromUtf8(std::string_view(text ? text : "", size_t(sqlite3_column_bytes(mStatement, column))));
    }
    [[nodiscard]] ArrayView<const std::byte> bytesAt(int column) const {
        const void* data = sqlite3_column_blob(mStatement, column);
        const int size = sqlite3_column_bytes(mStatement, column);
        return ArrayView<const std::byte>(static_cast<const std::byte*>(data), data ? size : 0);
    }

private:
    Connection* mConnection;
    sqlite3_stmt* mStatement;
    bool mFailed = false;
};

// An immediate (write-locking) transaction that rolls back unless committed.
class Transaction {
public:
    explicit Transaction(Connection* connection)
        : mConnection(connection)
        , mOpen(connection && Query(connection, Sql::BEGIN).run()) {}
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction() {
        if (mOpen) (void)Query(mConnection, Sql::ROLLBACK).run();
    }
    [[nodiscard]] bool isOpen() const noexcept { return mOpen; }
    bool commit() {
        if (!mOpen || !Query(mConnection, Sql::COMMIT).run()) return false;
        mOpen = false;
        return true;
    }

private:
    Connection* mConnection;
    bool mOpen;
};

// The stored path of a root entry (as the schema writes it); null for other keys.
const char16_t* rootLpath(int64 key) {
    switch (key) {
    case 1: return u"hkey_classes_root";
    case 2: return u"hkey_current_user";
    case 3: return u"hkey_local_machine";
    case 4: return u"hkey_users";
    case 6: return u"hkey_current_config";
    default: return nullptr;
    }
}

Optional<StoredValue> takeValue(Query& query, int padding) {
    if (!query.step()) return NONE;
    StoredValue value;
    value.mType = uint32(query.int64At(0));
    const ArrayView<const std::byte> bytes = query.bytesAt(1);
    value.mSize = bytes.size();
    value.mBytes = Array<std::byte>(bytes.size() + padding);
    if (!bytes.isEmpty()) std::memcpy(value.mBytes.data(), bytes.data(), size_t(bytes.size()));
    return value;
}

bool keyExists(Connection* connection, int64 key) {
    Query query(connection, Sql::KEY_EXISTS);
    return query.bind(1, key).step();
}

Optional<int64> findChild(Connection* connection, int64 parent, const String::CharBuffer<char>& suffix) {
    Query query(connection, Sql::OPEN_CHILD);
    if (!query.bind(1, parent).bind(2, suffix).step()) return NONE;
    return query.int64At(0);
}

// The existing key `lpath` or a new one named `name` below `parent`.
Optional<int64> findOrInsertKey(Connection* connection, int64 parent, const String& name, const String& lpath) {
    const String::CharBuffer<char> lpathText = lpath.toUtf8();
    {
        Query find(connection, Sql::FIND_KEY);
        if (find.bind(1, lpathText).step()) return find.int64At(0);
        if (find.failed()) return NONE;
    }
    const String::CharBuffer<char> nameText = name.toUtf8();
    if (!Query(connection, Sql::INSERT_KEY).bind(1, parent).bind(2, nameText).bind(3, lpathText).run()) {
        return NONE;
    }
    return connection->lastInsertId();
}

} // namespace

int64 rootEntry(uint32 predefinedValue) noexcept {
    return int64(predefinedValue & 0xFF) + 1;
}

Optional<int64> openStoredKey(int64 parent, const String& subPath) {
    const Optional<String> suffix = foldedSuffix(subPath);
    if (!suffix) return NONE;
    Connection* connection = getConnection();
    if (suffix->isEmpty()) return keyExists(connection, parent) ? Optional<int64>(parent) : NONE;
    return findChild(connection, parent, suffix->toUtf8());
}

Optional<int64> createStoredKey(int64 parent, const String& subPath) {
    const Optional<Stack<String>> parts = splitSubPath(subPath);
    if (!parts) return NONE;
    if (const Connection* reader = getConnection(); reader && reader->isReadOnly()) {
        // Opening a key that exists changes nothing, so a read-only store allows it.
        if (Optional<int64> existing = openStoredKey(parent, subPath)) return existing;
    }
    Connection* connection = getWritableConnection();
    Transaction transaction(connection);
    if (!transaction.isOpen()) return NONE;
    String lpath;
    {
        Query query(connection, Sql::KEY_LPATH);
        if (!query.bind(1, parent).step()) return NONE;
        lpath = query.textAt(0);
    }
    int64 key = parent;
    for (const String& part : *parts) {
        lpath << u'\\' << fold(part);
        const Optional<int64> child = findOrInsertKey(connection, key, part, lpath);
        if (!child) return NONE;
        key = *child;
    }
    if (!transaction.commit()) return NONE;
    return key;
}

bool deleteStoredKey(int64 parent, const String& subPath) {
    const Optional<String> suffix = foldedSuffix(subPath);
    if (!suffix || suffix->isEmpty()) return false;
    Connection* connection = getWritableConnection();
    Transaction transaction(connection);
    if (!transaction.isOpen()) return false;
    const Optional<int64> key = findChild(connection, parent, suffix->toUtf8());
    if (!key) return false;
    {
        Query children(connection, Sql::HAS_CHILD);
        if (children.bind(1, *key).step() || children.failed()) return false;
    }
    return Query(connection, Sql::DELETE_KEY_VALUES).bind(1, *key).run() &&
           Query(connection, Sql::DELETE_KEY).bind(1, *key).run() && transaction.commit();
}

Optional<StoredValue> readStoredValue(int64 key, const String& name, int padding) {
    const String::CharBuffer<char> lname = fold(name).toUtf8();
    Query query(getConnection(), Sql::GET_VALUE);
    query.bind(1, key).bind(2, lname);
    return takeValue(query, padding);
}

Optional<StoredValue> readStoredValueAt(int64 parent, const String& subPath, const String& name, int padding) {
    const Optional<String> suffix = foldedSuffix(subPath);
    if (!suffix) return NONE;
    Connection* connection = getConnection();
    String lpath;
    if (const char16_t* root = rootLpath(parent)) {
        lpath = String(root) + *suffix; // a root's stored path is known: one lookup fewer
    } else {
        Query query(connection, Sql::KEY_LPATH);
        if (!query.bind(1, parent).step()) return NONE;
        lpath = query.textAt(0) + *suffix;
    }
    const String::CharBuffer<char> lpathText = lpath.toUtf8();
    const String::CharBuffer<char> lname = fold(name).toUtf8();
    Query query(connection, Sql::GET_VALUE_AT);
    query.bind(1, lpathText).bind(2, lname);
    return takeValue(query, padding);
}

bool writeStoredValue(int64 key, const String& name, uint32 type, ArrayView<const std::byte> data) {
    if (name.length() > MAX_VALUE_NAME_LENGTH) return false;
    const String::CharBuffer<char> nameText = name.toUtf8();
    const String::CharBuffer<char> lname = fold(name).toUtf8();
    Connection* connection = getWritableConnection();
    Query query(connection, Sql::SET_VALUE);
    query.bind(1, key).bind(2, nameText).bind(3, lname).bind(4, int64(type)).bind(5, data);
    return query.run() && connection->changes() > 0;
}

bool deleteStoredValue(int64 key, const String& name) {
    const String::CharBuffer<char> lname = fold(name).toUtf8();
    Connection* connection = getWritableConnection();
    return Query(connection, Sql::DELETE_VALUE).bind(1, key).bind(2, lname).run() && connection->changes() > 0;
}

Optional<Stack<StoredValueInfo>> listStoredValues(int64 key) {
    Connection* connection = getConnection();
    if (!keyExists(connection, key)) return NONE;
    Query query(connection, Sql::LIST_VALUES);
    query.bind(1, key);
    Stack<StoredValueInfo> values;
    while (query.step())
        values.push(StoredValueInfo{query.textAt(0), uint32(query.int64At(1))});
    if (query.failed()) return NONE;
    return values;
}

void closeStoreConnection() noexcept {
    tConnection.reset();
}

} // namespace Kalvex::WinApi::Registry::Detail
