#include "platform/registry.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

#include <orvo/platform/errors.h>
#include "platform/files.h"

// The store's layout:
//
//   keys(id, parent, path)
//     One row per key. path is the full backslash path below
//     HKEY_LOCAL_MACHINE in the case it was created with ('' is the root);
//     it is unique without regard to ASCII case. parent is the id of the key
//     one level up (NULL for the root).
//
//   key_values(key_id, name, type, data, position)
//     One row per value. name is unique within its key without regard to
//     ASCII case ('' is the default value). data is the caller's bytes as
//     given. position orders the key's values by first creation and is kept
//     when a value is overwritten.
//
// application_id marks the file as ours and user_version is the layout's
// version, so that a foreign or newer file is refused rather than misread.

const char* const kRegistryPathVariable = REGISTRY_PATH_VARIABLE;

namespace {

// Error codes that errors.h has no name for.
constexpr LONG kErrorDiskFull = 112;
constexpr LONG kErrorBadPathname = 161;
constexpr LONG kErrorBusy = 170;
constexpr LONG kErrorRegistryIoFailed = 1016;

// The rights that need a writable store. Other bits, such as the WOW64 view
// flags, mean nothing here and are ignored.
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

// Callers size their buffers by these limits, so nothing longer is stored.
constexpr std::size_t kMaxKeyNameChars = 255;
constexpr std::size_t kMaxValueNameChars = 16383;

// Long enough to outlast another process's burst of writes, short enough
// that a wedged process shows up as an error rather than a hang.
constexpr int kBusyTimeoutMs = 5000;

// The build names the store's file: the environment variable that may name
// it, and the folder under the user's configuration folder otherwise.
constexpr const char* kRegistryFolderName = REGISTRY_FOLDER_NAME;

// Marks an SQLite file as a store of this layer.
constexpr int kApplicationId = 0x4F52564F;
constexpr int kSchemaVersion = 1;

LONG FromSqlite(int rc)
{
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return ERROR_SUCCESS;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN:
        return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM:
    case SQLITE_TOOBIG:
        return ERROR_OUTOFMEMORY;
    case SQLITE_FULL:
        return kErrorDiskFull;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return kErrorBusy;
    case SQLITE_IOERR:
    case SQLITE_PROTOCOL:
        return kErrorRegistryIoFailed;
    default:
        // Not a database, damaged, or not laid out as ours expects.
        return ERROR_BADDB;
    }
}

LONG FromErrno(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return ERROR_PATH_NOT_FOUND;
    case ENOMEM:
        return ERROR_OUTOFMEMORY;
    case ENOSPC:
    case EDQUOT:
        return kErrorDiskFull;
    default:
        return kErrorRegistryIoFailed;
    }
}

// Why the calling thread's last registry call could not use its store.
thread_local std::string t_storeProblem;

// Keeps why the store at path failed the call, and passes error on.
LONG StoreProblem(const std::string& path, LONG error, std::string_view cause)
{
    t_storeProblem = "the registry";
    if (!path.empty()) {
        t_storeProblem += " " + path;
    }
    t_storeProblem += ": ";
    t_storeProblem += cause;
    return error;
}

std::string ErrnoCause(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return "permission denied";
    case EROFS:
        return "read-only";
    case ENOENT:
        return "its folder does not exist";
    case ENOTDIR:
        return "a part of its path is not a folder";
    case EISDIR:
        return "a folder, not a file";
    case ENOSPC:
    case EDQUOT:
        return "disk full";
    default:
        return std::generic_category().message(error);
    }
}

LONG StoreErrno(const std::string& path, int error)
{
    return StoreProblem(path, FromErrno(error), ErrnoCause(error));
}

// Passes error on, noting first that the store at path caused it when the
// code can only have come from the store.
LONG NoteStoreFailure(const std::string& path, LONG error)
{
    switch (error) {
    case ERROR_BADDB:
        return StoreProblem(path, error, "damaged");
    case ERROR_ACCESS_DENIED:
        return StoreProblem(path, error, "permission denied");
    case kErrorDiskFull:
        return StoreProblem(path, error, "disk full");
    case kErrorBusy:
        return StoreProblem(path, error, "locked by another process");
    case kErrorRegistryIoFailed:
        return StoreProblem(path, error, "input/output error");
    default:
        return error;
    }
}

constexpr std::string_view kReadOnly = "read-only";

// A folder or a pipe at the path is no store, and a pipe would block.
LONG CheckIsFile(const std::string& path, mode_t mode)
{
    return S_ISREG(mode) ? ERROR_SUCCESS
                         : StoreProblem(path, ERROR_BADDB,
                                        S_ISDIR(mode) ? "a folder, not a file" : "not a regular file");
}

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

// Bytes to bind as a blob rather than as text.
struct Blob {
    std::string_view bytes;
};

class Statement {
public:
    // Binds args to ?1, ?2, ... in turn. A failure to prepare or bind is
    // kept and reported by the first step, so callers check once.
    template <typename... Args>
    Statement(sqlite3* db, const char* sql, const Args&... args)
    {
        m_rc = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr);
        [[maybe_unused]] int index = 0;
        ((m_rc = m_rc == SQLITE_OK ? bind(++index, args) : m_rc), ...);
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Steps to the first row, if any; a query that needs one says what its
    // absence means.
    LONG step(LONG noRow = ERROR_SUCCESS)
    {
        const int rc = m_rc == SQLITE_OK ? sqlite3_step(m_stmt) : m_rc;
        return rc == SQLITE_DONE ? noRow : FromSqlite(rc);
    }

    sqlite3_int64 integer(int column) const { return sqlite3_column_int64(m_stmt, column); }
    LONG bytes(int column, bool text, std::string_view& out) const
    {
        const void* data = text ? static_cast<const void*>(sqlite3_column_text(m_stmt, column))
                                : sqlite3_column_blob(m_stmt, column);
        const int size = sqlite3_column_bytes(m_stmt, column);
        if (size < 0) {
            return ERROR_BADDB;
        }
        // SQLite answers null for an empty value, but also when out of memory.
        if (data == nullptr && size != 0) {
            return ERROR_OUTOFMEMORY;
        }
        out = std::string_view(static_cast<const char*>(data), static_cast<std::size_t>(size));
        return ERROR_SUCCESS;
    }

private:
    int bind(int index, sqlite3_int64 value) { return sqlite3_bind_int64(m_stmt, index, value); }
    int bind(int index, std::string_view text) { return bindBytes(index, text, true); }
    int bind(int index, const Blob& blob) { return bindBytes(index, blob.bytes, false); }
    int bindBytes(int index, std::string_view bytes, bool text)
    {
        // Sizes were limited by the callers, but the cast must not wrap.
        if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
            return SQLITE_TOOBIG;
        }
        // A null pointer would bind SQL NULL, not an empty value.
        const char* data = bytes.data() != nullptr ? bytes.data() : "";
        const auto size = static_cast<int>(bytes.size());
        return text ? sqlite3_bind_text(m_stmt, index, data, size, SQLITE_TRANSIENT)
                    : sqlite3_bind_blob(m_stmt, index, data, size, SQLITE_TRANSIENT);
    }

    sqlite3_stmt* m_stmt = nullptr;
    int m_rc = SQLITE_OK;
};

// Runs change in one write transaction, rolled back unless all of it
// succeeds, so that every failure leaves the store as it was and unlocked.
template <typename Change>
LONG InTransaction(sqlite3* db, Change&& change)
{
    // IMMEDIATE takes the write lock up front: a deferred transaction that
    // upgrades later can fail at once with BUSY, bypassing the busy timeout.
    int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        return FromSqlite(rc);
    }
    LONG error = change();
    if (error == ERROR_SUCCESS) {
        rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) {
            return ERROR_SUCCESS;
        }
        error = FromSqlite(rc);
    }
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return error;
}

// Tells a store of ours from an empty file (fresh) and from a foreign or
// newer one (ERROR_BADDB). cause says what the file is when that is known.
LONG CheckMark(sqlite3* db, bool& fresh, std::string_view& cause)
{
    // One statement, so one snapshot: read piecemeal, a store that another
    // process sets up meanwhile would look half made, and so foreign.
    Statement query(db,
                    "SELECT (SELECT application_id FROM pragma_application_id),"
                    "       (SELECT user_version FROM pragma_user_version),"
                    "       (SELECT count(*) FROM sqlite_master)");
    const LONG error = query.step(ERROR_BADDB);
    if (error != ERROR_SUCCESS) {
        // A header that is no database's may be another kind of file or a
        // store whose first page was overwritten; nothing tells which.
        if (sqlite3_errcode(db) == SQLITE_NOTADB) {
            cause = "damaged or not a registry file";
        }
        return error;
    }
    fresh = query.integer(0) == 0 && query.integer(1) == 0 && query.integer(2) == 0;
    const bool marked = query.integer(0) == kApplicationId;
    if (fresh || (marked && query.integer(1) == kSchemaVersion)) {
        return ERROR_SUCCESS;
    }
    cause = marked && query.integer(1) > kSchemaVersion ? "made by a newer version" : "not a registry file";
    return ERROR_BADDB;
}

// ---------------------------------------------------------------- key paths

// Splits a subkey path into its names. A trailing backslash is tolerated;
// an empty name elsewhere (a leading or doubled backslash) is not.
LONG SplitSubKey(LPCSTR subKey, std::vector<std::string_view>& names)
{
    std::string_view rest(subKey != nullptr ? subKey : "");
    while (!rest.empty()) {
        const std::size_t cut = rest.find('\\');
        const std::string_view name = rest.substr(0, cut);
        if (name.empty()) {
            return kErrorBadPathname;
        }
        if (name.size() > kMaxKeyNameChars) {
            return ERROR_INVALID_PARAMETER;
        }
        names.push_back(name);
        if (cut == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(cut + 1);
    }
    return ERROR_SUCCESS;
}

std::string JoinPath(std::string_view base, std::string_view name)
{
    std::string path(base);
    if (!path.empty()) {
        path.push_back('\\');
    }
    path.append(name);
    return path;
}

// Finds a key by its full path; storedPath receives the path in the case it
// was created with.
LONG FindKey(sqlite3* db, std::string_view path, sqlite3_int64& id, std::string& storedPath)
{
    Statement query(db, "SELECT id, path FROM keys WHERE path = ?1", path);
    std::string_view stored;
    LONG error = query.step(ERROR_FILE_NOT_FOUND);
    if (error == ERROR_SUCCESS) {
        error = query.bytes(1, true, stored);
    }
    if (error == ERROR_SUCCESS) {
        id = query.integer(0);
        storedPath.assign(stored);
    }
    return error;
}

// Creates every missing key along basePath\names inside the caller's write
// transaction. Names already present keep their stored case.
LONG CreateKeyPath(sqlite3* db, const std::string& basePath,
                   const std::vector<std::string_view>& names, sqlite3_int64& id,
                   std::string& storedPath, bool& created)
{
    created = false;
    LONG error = FindKey(db, basePath, id, storedPath);
    if (error != ERROR_SUCCESS) {
        // The key a handle names is never removed, so its absence means
        // the store was tampered with.
        return error == ERROR_FILE_NOT_FOUND ? ERROR_BADDB : error;
    }
    for (const std::string_view name : names) {
        const std::string path = JoinPath(storedPath, name);
        error = Statement(db, "INSERT OR IGNORE INTO keys (parent, path) VALUES (?1, ?2)", id,
                          path)
                    .step();
        created = sqlite3_changes(db) != 0;
        if (error == ERROR_SUCCESS) {
            error = FindKey(db, path, id, storedPath);
        }
        if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    return ERROR_SUCCESS;
}

// ------------------------------------------------------------ the store file

// 0, or the errno of the level that could not be made.
int MakeFolders(const std::string& folder)
{
    // Each missing level is made private: the store may hold secrets.
    for (std::size_t cut = folder.find('/', 1);; cut = folder.find('/', cut + 1)) {
        const std::string prefix = folder.substr(0, cut);
        struct stat info {};
        const bool present = stat(prefix.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        if (!present && mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            return errno;
        }
        if (cut == std::string::npos) {
            return 0;
        }
    }
}

// Where the store is. Read afresh each time, as the environment may change
// between keys being opened.
LONG LocateStore(std::string& path)
{
    const char* named = std::getenv(kRegistryPathVariable);
    if (named != nullptr && named[0] != '\0') {
        path = named;
        return ERROR_SUCCESS;
    }

    std::string folder;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    // A relative value is invalid and to be ignored.
    if (config != nullptr && config[0] == '/') {
        folder = config;
    } else if (home != nullptr && home[0] == '/') {
        folder = std::string(home) + "/.config";
    } else {
        passwd entry{};
        passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
            found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
            return StoreProblem("", ERROR_PATH_NOT_FOUND,
                                std::string("no home folder to keep it in, and ") +
                                    kRegistryPathVariable + " is not set");
        }
        folder = std::string(found->pw_dir) + "/.config";
    }
    folder += "/";
    folder += kRegistryFolderName;
    path = folder + "/registry.db";
    const int failed = MakeFolders(folder);
    return failed == 0 ? ERROR_SUCCESS
                       : StoreProblem(path, FromErrno(failed),
                                      "cannot make its folder (" + ErrnoCause(failed) + ")");
}

LONG InitializeStore(sqlite3* db)
{
    return InTransaction(db, [db] {
        // Another process may have set the store up while this one waited
        // for the lock.
        bool fresh = false;
        std::string_view cause;
        const LONG error = CheckMark(db, fresh, cause);
        if (error != ERROR_SUCCESS || !fresh) {
            return error;
        }
        // The root and "Software", as every Windows registry has them.
        static const char* const kSchema =
            "CREATE TABLE keys ("
            "  id INTEGER PRIMARY KEY,"
            "  parent INTEGER REFERENCES keys(id),"
            "  path TEXT NOT NULL UNIQUE COLLATE NOCASE);"
            "CREATE TABLE key_values ("
            "  key_id INTEGER NOT NULL REFERENCES keys(id),"
            "  name TEXT NOT NULL COLLATE NOCASE,"
            "  type INTEGER NOT NULL,"
            "  data BLOB NOT NULL,"
            "  position INTEGER NOT NULL,"
            "  PRIMARY KEY (key_id, name));"
            "CREATE UNIQUE INDEX key_values_order ON key_values (key_id, position);"
            "INSERT INTO keys (id, parent, path) VALUES (1, NULL, ''), (2, 1, 'Software');";
        const std::string sql = std::string(kSchema) +
                                "PRAGMA application_id = " + std::to_string(kApplicationId) +
                                "; PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";";
        return FromSqlite(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr));
    });
}

// Opens a connection to the store at path, creating and setting it up when
// there is none. writable tells whether this process may change it. A
// failure is noted as the store's problem.
LONG OpenStore(const std::string& path, Db& db, bool& writable)
{
    // Made here rather than by SQLite so that it is private from the start.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const int openError = errno;
    if (fd >= 0) {
        // The umask may have taken bits away; none may be added.
        fchmod(fd, 0600);
        close(fd);
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        // An unwritable folder still lets an existing store be read, so a
        // failed create matters only when there is no file.
        return StoreErrno(path, fd < 0 && openError != EEXIST ? openError : errno);
    }
    if (const LONG error = CheckIsFile(path, info.st_mode); error != ERROR_SUCCESS) {
        return error;
    }
    // The store names the modules that activation loads and runs, so a store
    // that someone else could have written is not used at all.
    if (const std::string untrusted = UntrustedBecause(info); !untrusted.empty()) {
        return StoreProblem(path, ERROR_ACCESS_DENIED, untrusted);
    }

    sqlite3* raw = nullptr;
    // SQLite falls back to read-only on its own when the file is not
    // writable; sqlite3_db_readonly tells afterwards.
    const int rc = sqlite3_open_v2(path.c_str(), &raw,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
    Db opened(raw);
    if (rc != SQLITE_OK) {
        return access(path.c_str(), R_OK) != 0 ? StoreErrno(path, EACCES)
                                                : NoteStoreFailure(path, FromSqlite(rc));
    }
    sqlite3_busy_timeout(opened.get(), kBusyTimeoutMs);
    writable = sqlite3_db_readonly(opened.get(), "main") == 0;

    bool fresh = false;
    std::string_view cause;
    LONG error = CheckMark(opened.get(), fresh, cause);
    if (error == ERROR_SUCCESS && fresh) {
        if (!writable) {
            return StoreProblem(path, ERROR_ACCESS_DENIED, "empty and read-only");
        }
        error = InitializeStore(opened.get());
        // Whoever set it up, it must now be ours.
        if (error == ERROR_SUCCESS) {
            error = CheckMark(opened.get(), fresh, cause);
        }
        if (error == ERROR_SUCCESS && fresh) {
            error = ERROR_BADDB;
        }
    }
    if (error != ERROR_SUCCESS) {
        return cause.empty() ? NoteStoreFailure(path, error) : StoreProblem(path, error, cause);
    }
    db = std::move(opened);
    return ERROR_SUCCESS;
}

// ------------------------------------------------------------------ handles

struct OpenKey {
    std::mutex lock;  // one call at a time on the connection
    Db db;
    std::string storePath;
    std::string path;  // as stored
    sqlite3_int64 id = 0;
    REGSAM access = 0;
};

struct HandleTable {
    std::mutex lock;
    std::unordered_map<ULONG_PTR, std::shared_ptr<OpenKey>> keys;
    ULONG_PTR next = 0x1000;
};

HandleTable& Handles()
{
    // Never destroyed, so that keys closed by other objects' destructors at
    // exit still find it.
    static HandleTable* table = new HandleTable;
    return *table;
}

HKEY Register(std::shared_ptr<OpenKey> key)
{
    HandleTable& table = Handles();
    std::lock_guard guard(table.lock);
    ULONG_PTR value = table.next;
    // Numbers are handed out afresh rather than reused, so a stale handle
    // fails instead of reaching another key; the predefined keys' numbers
    // and 0 are never handed out.
    while (value == 0 || (value >= 0x80000000u && value <= 0x800000FFu) ||
           table.keys.count(value) != 0) {
        value += 4;
    }
    table.next = value + 4;
    table.keys.emplace(value, std::move(key));
    return reinterpret_cast<HKEY>(value);
}

std::shared_ptr<OpenKey> Lookup(HKEY key)
{
    HandleTable& table = Handles();
    std::lock_guard guard(table.lock);
    const auto found = table.keys.find(reinterpret_cast<ULONG_PTR>(key));
    return found == table.keys.end() ? nullptr : found->second;
}

// Opens (and with create, makes) key\subKey over a connection of its own.
LONG OpenKeyAt(HKEY key, LPCSTR subKey, REGSAM access, bool create,
               std::shared_ptr<OpenKey>& open, LPDWORD disposition)
{
    std::vector<std::string_view> names;
    LONG error = SplitSubKey(subKey, names);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    open = std::make_shared<OpenKey>();
    std::string basePath;
    REGSAM parentAccess = KEY_ALL_ACCESS;
    if (key == HKEY_LOCAL_MACHINE) {
        error = LocateStore(open->storePath);
    } else if (const std::shared_ptr<OpenKey> parent = Lookup(key)) {
        // These never change once the handle is made.
        open->storePath = parent->storePath;
        basePath = parent->path;
        parentAccess = parent->access;
    } else {
        error = ERROR_INVALID_HANDLE;
    }
    bool writable = false;
    if (error == ERROR_SUCCESS) {
        error = OpenStore(open->storePath, open->db, writable);
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    open->access = access;
    if ((access & kWriteRights) != 0 && !writable) {
        return StoreProblem(open->storePath, ERROR_ACCESS_DENIED, kReadOnly);
    }

    std::string path = basePath;
    for (const std::string_view name : names) {
        path = JoinPath(path, name);
    }
    sqlite3* db = open->db.get();
    error = FindKey(db, path, open->id, open->path);
    bool created = false;
    if (error == ERROR_FILE_NOT_FOUND && create) {
        if (!writable) {
            return StoreProblem(open->storePath, ERROR_ACCESS_DENIED, kReadOnly);
        }
        if ((parentAccess & KEY_CREATE_SUB_KEY) == 0) {
            return ERROR_ACCESS_DENIED;
        }
        error = InTransaction(db, [&] {
            return CreateKeyPath(db, basePath, names, open->id, open->path, created);
        });
    }
    if (error == ERROR_SUCCESS && disposition != nullptr) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return NoteStoreFailure(open->storePath, error);
}

LONG OpenHandle(HKEY key, LPCSTR subKey, REGSAM access, bool create, PHKEY result,
                LPDWORD disposition)
{
    *result = nullptr;
    std::shared_ptr<OpenKey> open;
    const LONG error = OpenKeyAt(key, subKey, access, create, open, disposition);
    if (error == ERROR_SUCCESS) {
        *result = Register(std::move(open));
    }
    return error;
}

// The key a value call works on, locked for the call so that calls on one
// handle take turns on its connection.
struct HeldKey {
    std::shared_ptr<OpenKey> key;
    std::unique_lock<std::mutex> guard;  // after key, so that it unlocks first
    std::string_view name;               // the value's, "" for the default

    sqlite3* db() const { return key->db.get(); }
};

LONG Acquire(HKEY key, LPCSTR valueName, REGSAM right, HeldKey& held)
{
    if (valueName != nullptr && std::strlen(valueName) > kMaxValueNameChars) {
        return ERROR_INVALID_PARAMETER;
    }
    std::shared_ptr<OpenKey> open;
    if (key == HKEY_LOCAL_MACHINE) {
        // The root, over a connection of its own for the one call. It is
        // made with the store, so its absence means a damaged store.
        const LONG error = OpenKeyAt(key, nullptr, right, false, open, nullptr);
        if (error != ERROR_SUCCESS) {
            return error == ERROR_FILE_NOT_FOUND ? NoteStoreFailure(open->storePath, ERROR_BADDB)
                                                 : error;
        }
    } else if (!(open = Lookup(key))) {
        return ERROR_INVALID_HANDLE;
    }
    if ((open->access & right) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    held.guard = std::unique_lock(open->lock);
    held.key = std::move(open);
    held.name = valueName != nullptr ? std::string_view(valueName) : std::string_view();
    return ERROR_SUCCESS;
}

// Runs work on the key, held for the call. Acquire has checked the handle's
// rights, so what work fails with beyond a missing value came from the store.
template <typename Work>
LONG WithKey(HKEY key, LPCSTR valueName, REGSAM right, Work&& work)
{
    HeldKey held;
    const LONG error = Acquire(key, valueName, right, held);
    return error != ERROR_SUCCESS ? error : NoteStoreFailure(held.key->storePath, work(held));
}

// Runs change on the key under one write transaction.
template <typename Change>
LONG ChangeValue(HKEY key, LPCSTR valueName, Change&& change)
{
    return WithKey(key, valueName, KEY_SET_VALUE, [&](const HeldKey& held) {
        return InTransaction(held.db(), [&] { return change(held); });
    });
}

// Hands a stored value's type (at column) and data (the next column) to the
// caller the way the query functions do. The caller has checked that data
// implies dataBytes.
LONG DeliverData(const Statement& row, int column, LPDWORD type, BYTE* data, LPDWORD dataBytes)
{
    const sqlite3_int64 storedType = row.integer(column);
    if (storedType < 0 || storedType > static_cast<sqlite3_int64>(UINT32_MAX)) {
        return ERROR_BADDB;
    }
    std::string_view stored;
    const LONG error = row.bytes(column + 1, false, stored);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    // SQLite's sizes are ints, so this cannot wrap.
    const auto size = static_cast<DWORD>(stored.size());
    const bool fits = data == nullptr || size <= *dataBytes;
    if (type != nullptr) {
        *type = static_cast<DWORD>(storedType);
    }
    if (data != nullptr && fits && size != 0) {
        std::memcpy(data, stored.data(), size);
    }
    if (dataBytes != nullptr) {
        *dataBytes = size;
    }
    return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

}  // namespace

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD /*options*/, REGSAM access, PHKEY result)
{
    t_storeProblem.clear();
    return result == nullptr ? ERROR_INVALID_PARAMETER
                             : OpenHandle(key, subKey, access, false, result, nullptr);
}

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD /*reserved*/, LPSTR /*keyClass*/,
                     DWORD /*options*/, REGSAM access, const void* /*securityAttributes*/,
                     PHKEY result, LPDWORD disposition)
{
    t_storeProblem.clear();
    return result == nullptr || subKey == nullptr
               ? ERROR_INVALID_PARAMETER
               : OpenHandle(key, subKey, access, true, result, disposition);
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD /*reserved*/, DWORD type, const BYTE* data,
                    DWORD dataBytes)
{
    t_storeProblem.clear();
    if ((data == nullptr && dataBytes != 0) || dataBytes > static_cast<DWORD>(INT_MAX)) {
        return ERROR_INVALID_PARAMETER;
    }
    const Blob blob{{reinterpret_cast<const char*>(data), dataBytes}};
    return ChangeValue(key, valueName, [&](const HeldKey& held) -> LONG {
        sqlite3* db = held.db();
        const sqlite3_int64 id = held.key->id;
        // An overwrite keeps the row, and with it the value's place.
        const LONG updated = Statement(db,
                                       "UPDATE key_values SET type = ?1, data = ?2 "
                                       "WHERE key_id = ?3 AND name = ?4",
                                       type, blob, id, held.name)
                                 .step();
        if (updated != ERROR_SUCCESS || sqlite3_changes(db) != 0) {
            return updated;
        }
        Statement last(db, "SELECT max(position) FROM key_values WHERE key_id = ?1", id);
        const LONG found = last.step(ERROR_BADDB);
        if (found != ERROR_SUCCESS) {
            return found;
        }
        const sqlite3_int64 lastPosition = last.integer(0);
        // SQL arithmetic past the top would turn into a float; refuse instead.
        if (lastPosition < 0 || lastPosition == INT64_MAX) {
            return ERROR_BADDB;
        }
        return Statement(db,
                         "INSERT INTO key_values (key_id, name, type, data, position) "
                         "VALUES (?1, ?2, ?3, ?4, ?5)",
                         id, held.name, type, blob, lastPosition + 1)
            .step();
    });
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data,
                      LPDWORD dataBytes)
{
    t_storeProblem.clear();
    if (reserved != nullptr || (data != nullptr && dataBytes == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    return WithKey(key, valueName, KEY_QUERY_VALUE, [&](const HeldKey& held) {
        Statement query(held.db(),
                        "SELECT type, data FROM key_values WHERE key_id = ?1 AND name = ?2",
                        held.key->id, held.name);
        const LONG error = query.step(ERROR_FILE_NOT_FOUND);
        return error != ERROR_SUCCESS ? error : DeliverData(query, 0, type, data, dataBytes);
    });
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameChars,
                   LPDWORD reserved, LPDWORD type, BYTE* data, LPDWORD dataBytes)
{
    t_storeProblem.clear();
    if (valueName == nullptr || valueNameChars == nullptr || reserved != nullptr ||
        (data != nullptr && dataBytes == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    return WithKey(key, nullptr, KEY_QUERY_VALUE, [&](const HeldKey& held) {
        Statement query(held.db(),
                        "SELECT name, type, data FROM key_values WHERE key_id = ?1 "
                        "ORDER BY position LIMIT 1 OFFSET ?2",
                        held.key->id, index);
        std::string_view name;
        LONG error = query.step(ERROR_NO_MORE_ITEMS);
        if (error == ERROR_SUCCESS) {
            error = query.bytes(0, true, name);
        }
        if (error != ERROR_SUCCESS) {
            return error;
        }
        // Counted in 64 bits so that the NUL cannot wrap the sum.
        const bool nameFits = static_cast<std::uint64_t>(name.size()) + 1 <= *valueNameChars;
        // Even when the name does not fit, the data's size helps a caller
        // size both buffers at once.
        error = DeliverData(query, 1, type, nameFits ? data : nullptr, dataBytes);
        if (!nameFits || error != ERROR_SUCCESS) {
            return nameFits ? error : ERROR_MORE_DATA;
        }
        if (!name.empty()) {
            std::memcpy(valueName, name.data(), name.size());
        }
        valueName[name.size()] = '\0';
        *valueNameChars = static_cast<DWORD>(name.size());
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteValueA(HKEY key, LPCSTR valueName)
{
    t_storeProblem.clear();
    return ChangeValue(key, valueName, [](const HeldKey& held) -> LONG {
        const LONG removed = Statement(held.db(),
                                       "DELETE FROM key_values WHERE key_id = ?1 AND name = ?2",
                                       held.key->id, held.name)
                                 .step();
        return removed != ERROR_SUCCESS || sqlite3_changes(held.db()) != 0 ? removed
                                                                         : ERROR_FILE_NOT_FOUND;
    });
}

LONG RegCloseKey(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE) {
        return ERROR_SUCCESS;
    }
    HandleTable& table = Handles();
    // Declared before the guard, so that the connection closes outside the
    // table's lock (or later, when a call still using it finishes).
    std::shared_ptr<OpenKey> closing;
    std::lock_guard guard(table.lock);
    const auto found = table.keys.find(reinterpret_cast<ULONG_PTR>(key));
    if (found == table.keys.end()) {
        return ERROR_INVALID_HANDLE;
    }
    closing = std::move(found->second);
    table.keys.erase(found);
    return ERROR_SUCCESS;
}

LONG RegMakeStorePrivate(HKEY key)
{
    t_storeProblem.clear();
    std::string path;
    if (key == HKEY_LOCAL_MACHINE) {
        if (const LONG error = LocateStore(path); error != ERROR_SUCCESS) {
            return error;
        }
    } else if (const std::shared_ptr<OpenKey> open = Lookup(key)) {
        path = open->storePath;
    } else {
        return ERROR_INVALID_HANDLE;
    }
    // Through one descriptor, so that the file checked is the file changed.
    // A store not made yet is begun here, private, as OpenStore would.
    const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        return StoreErrno(path, errno);
    }
    struct stat info {};
    LONG error = fstat(fd, &info) != 0 ? StoreErrno(path, errno) : CheckIsFile(path, info.st_mode);
    // The owner's bits are kept: a store made read-only stays so.
    if (error == ERROR_SUCCESS && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0 &&
        fchmod(fd, info.st_mode & (S_IRUSR | S_IWUSR)) != 0) {
        error = StoreProblem(path, ERROR_ACCESS_DENIED,
                             info.st_uid != geteuid()
                                 ? "open to other users, and owned by another user"
                                 : "open to other users, and cannot be made private (" +
                                       ErrnoCause(errno) + ")");
    }
    close(fd);
    return error;
}

std::string RegLastStoreProblem() { return t_storeProblem; }
