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
#include <unordered_map>
#include <vector>

#include "platform/errors.h"

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

namespace {

// Win32 codes that errors.h has no name for.
constexpr LONG kErrorDiskFull = 112;
constexpr LONG kErrorBadPathname = 161;
constexpr LONG kErrorBusy = 170;
constexpr LONG kErrorRegistryIoFailed = 1016;

constexpr REGSAM kDelete = 0x00010000;
constexpr REGSAM kWriteDac = 0x00040000;
constexpr REGSAM kWriteOwner = 0x00080000;
constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kGenericAll = 0x10000000;
constexpr REGSAM kGenericExecute = 0x20000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericRead = 0x80000000;
constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | kDelete | kWriteDac | kWriteOwner;

// Callers size their buffers by these limits, so nothing longer is stored.
constexpr std::size_t kMaxKeyNameChars = 255;
constexpr std::size_t kMaxValueNameChars = 16383;

// Long enough to outlast another process's burst of writes, short enough
// that a wedged process shows up as an error rather than a hang.
constexpr int kBusyTimeoutMs = 5000;

constexpr int kApplicationId = 0x4F52564F;
constexpr int kSchemaVersion = 1;

constexpr const char* kInstalledKeys[] = {
    "Software\\Kivra\\Orvo\\EnumServers",
    "Software\\Kivra\\Orvo\\EnumTanks",
};

LONG FromSqlite(int rc)
{
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return ERROR_SUCCESS;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
    case SQLITE_MISMATCH:
    case SQLITE_CONSTRAINT:
        return ERROR_BADDB;
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

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

class Statement {
public:
    Statement() = default;
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    int prepare(sqlite3* db, const char* sql)
    {
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
        return sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr);
    }
    sqlite3_stmt* get() const { return m_stmt; }
    int step() { return sqlite3_step(m_stmt); }

    int bind(int index, sqlite3_int64 value) { return sqlite3_bind_int64(m_stmt, index, value); }
    int bind(int index, std::string_view text)
    {
        // Lengths were limited by the caller, but the cast must not wrap.
        if (text.size() > static_cast<std::size_t>(INT_MAX)) {
            return SQLITE_TOOBIG;
        }
        // A null pointer would bind SQL NULL, not an empty name.
        return sqlite3_bind_text(m_stmt, index, text.data() != nullptr ? text.data() : "",
                                 static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    int bindBlob(int index, const BYTE* data, DWORD bytes)
    {
        if (bytes > static_cast<DWORD>(INT_MAX)) {
            return SQLITE_TOOBIG;
        }
        // A null pointer would bind SQL NULL, not an empty value.
        if (bytes == 0) {
            return sqlite3_bind_zeroblob(m_stmt, index, 0);
        }
        return sqlite3_bind_blob(m_stmt, index, data, static_cast<int>(bytes), SQLITE_TRANSIENT);
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

// Rolls back unless committed, so that every early return leaves the store
// as it was and unlocked.
class WriteTransaction {
public:
    explicit WriteTransaction(sqlite3* db) : m_db(db) {}
    ~WriteTransaction()
    {
        if (m_open) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

    // IMMEDIATE takes the write lock up front: a deferred transaction that
    // upgrades later can fail at once with BUSY, bypassing the busy timeout.
    LONG begin()
    {
        const int rc = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        m_open = rc == SQLITE_OK;
        return FromSqlite(rc);
    }
    LONG commit()
    {
        const int rc = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) {
            m_open = false;
        }
        return FromSqlite(rc);
    }

private:
    sqlite3* m_db;
    bool m_open = false;
};

// What tells a store of ours from an empty file or someone else's.
struct StoreMark {
    sqlite3_int64 applicationId = 0;
    sqlite3_int64 version = 0;
    sqlite3_int64 tables = 0;

    bool fresh() const { return applicationId == 0 && version == 0 && tables == 0; }
};

LONG ReadMark(sqlite3* db, StoreMark& mark)
{
    // One statement, so one snapshot: read piecemeal, a store that another
    // process sets up meanwhile would look half made, and so foreign.
    Statement statement;
    int rc = statement.prepare(db,
                               "SELECT (SELECT application_id FROM pragma_application_id),"
                               "       (SELECT user_version FROM pragma_user_version),"
                               "       (SELECT count(*) FROM sqlite_master)");
    if (rc == SQLITE_OK) {
        rc = statement.step();
    }
    if (rc != SQLITE_ROW) {
        return FromSqlite(rc == SQLITE_DONE ? SQLITE_CORRUPT : rc);
    }
    mark.applicationId = sqlite3_column_int64(statement.get(), 0);
    mark.version = sqlite3_column_int64(statement.get(), 1);
    mark.tables = sqlite3_column_int64(statement.get(), 2);
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- key paths

// Splits a subkey path into its names. A trailing backslash is tolerated;
// an empty name elsewhere (a leading or doubled backslash) is not.
LONG SplitSubKey(LPCSTR subKey, std::vector<std::string_view>& names)
{
    names.clear();
    if (subKey == nullptr) {
        return ERROR_SUCCESS;
    }
    std::string_view rest(subKey);
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
    std::string path;
    path.reserve(base.size() + 1 + name.size());
    path.append(base);
    if (!path.empty()) {
        path.push_back('\\');
    }
    path.append(name);
    return path;
}

// Finds a key by its full path; storedPath receives the path in the case it
// was created with.
LONG FindKey(sqlite3* db, std::string_view path, sqlite3_int64& id, std::string* storedPath)
{
    Statement statement;
    int rc = statement.prepare(db, "SELECT id, path FROM keys WHERE path = ?1");
    if (rc == SQLITE_OK) {
        rc = statement.bind(1, path);
    }
    if (rc != SQLITE_OK) {
        return FromSqlite(rc);
    }
    rc = statement.step();
    if (rc == SQLITE_DONE) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (rc != SQLITE_ROW) {
        return FromSqlite(rc);
    }
    id = sqlite3_column_int64(statement.get(), 0);
    if (storedPath != nullptr) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 1));
        const int bytes = sqlite3_column_bytes(statement.get(), 1);
        if (text == nullptr && bytes != 0) {
            return ERROR_OUTOFMEMORY;
        }
        if (bytes < 0) {
            return ERROR_BADDB;
        }
        storedPath->assign(text != nullptr ? text : "", static_cast<std::size_t>(bytes));
    }
    return ERROR_SUCCESS;
}

// Creates every missing key along basePath\names inside the caller's write
// transaction. Names already present keep their stored case.
LONG CreateKeyPath(sqlite3* db, const std::string& basePath,
                   const std::vector<std::string_view>& names, sqlite3_int64& id,
                   std::string& storedPath, bool& created)
{
    created = false;
    LONG error = FindKey(db, basePath, id, &storedPath);
    if (error != ERROR_SUCCESS) {
        // The key a handle names is never removed, so its absence means
        // the store was tampered with.
        return error == ERROR_FILE_NOT_FOUND ? ERROR_BADDB : error;
    }
    for (const std::string_view name : names) {
        const std::string path = JoinPath(storedPath, name);
        sqlite3_int64 childId = 0;
        std::string childPath;
        error = FindKey(db, path, childId, &childPath);
        if (error == ERROR_FILE_NOT_FOUND) {
            Statement insert;
            int rc = insert.prepare(db, "INSERT INTO keys (parent, path) VALUES (?1, ?2)");
            if (rc == SQLITE_OK) {
                rc = insert.bind(1, id);
            }
            if (rc == SQLITE_OK) {
                rc = insert.bind(2, path);
            }
            if (rc == SQLITE_OK) {
                rc = insert.step();
            }
            if (rc != SQLITE_DONE) {
                return FromSqlite(rc);
            }
            childId = sqlite3_last_insert_rowid(db);
            childPath = path;
            created = true;
        } else if (error != ERROR_SUCCESS) {
            return error;
        } else {
            created = false;
        }
        id = childId;
        storedPath = std::move(childPath);
    }
    return ERROR_SUCCESS;
}

// ------------------------------------------------------------ the store file

LONG MakeFolders(const std::string& folder)
{
    // Each missing level is made private: the store may hold secrets.
    for (std::size_t cut = folder.find('/', 1);; cut = folder.find('/', cut + 1)) {
        const std::string prefix = folder.substr(0, cut);
        struct stat info {};
        const bool present = stat(prefix.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        if (!present && mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            return FromErrno(errno);
        }
        if (cut == std::string::npos) {
            return ERROR_SUCCESS;
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
    // A relative value is invalid and to be ignored.
    if (config != nullptr && config[0] == '/') {
        folder = config;
    } else {
        const char* home = std::getenv("HOME");
        std::string homeFolder;
        if (home != nullptr && home[0] == '/') {
            homeFolder = home;
        } else {
            passwd entry{};
            passwd* found = nullptr;
            std::vector<char> buffer(16384);
            if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
                found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
                return ERROR_PATH_NOT_FOUND;
            }
            homeFolder = found->pw_dir;
        }
        folder = homeFolder + "/.config";
    }
    folder += "/orvo";
    const LONG error = MakeFolders(folder);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    path = folder + "/registry.db";
    return ERROR_SUCCESS;
}

LONG InitializeStore(sqlite3* db)
{
    WriteTransaction transaction(db);
    LONG error = transaction.begin();
    if (error != ERROR_SUCCESS) {
        return error;
    }
    // Another process may have set the store up while this one waited for
    // the lock.
    StoreMark mark;
    error = ReadMark(db, mark);
    if (error != ERROR_SUCCESS || !mark.fresh()) {
        return error;
    }

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
        "INSERT INTO keys (id, parent, path) VALUES (1, NULL, '');";
    const std::string stamp = "PRAGMA application_id = " + std::to_string(kApplicationId) +
                              "; PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";";
    int rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_exec(db, stamp.c_str(), nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
        return FromSqlite(rc);
    }

    const std::string root;
    for (const char* installed : kInstalledKeys) {
        std::vector<std::string_view> names;
        error = SplitSubKey(installed, names);
        sqlite3_int64 id = 0;
        std::string storedPath;
        bool created = false;
        if (error == ERROR_SUCCESS) {
            error = CreateKeyPath(db, root, names, id, storedPath, created);
        }
        if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    return transaction.commit();
}

// Opens a connection to the store at path, creating and setting it up when
// there is none. writable tells whether this process may change it.
LONG OpenStore(const std::string& path, Db& db, bool& writable)
{
    // Made here rather than by SQLite so that it is private from the start.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        // The umask may have taken bits away; none may be added.
        fchmod(fd, 0600);
        close(fd);
    } else if (errno != EEXIST) {
        const int openError = errno;
        struct stat existing {};
        // An unwritable folder still lets an existing store be read.
        if (stat(path.c_str(), &existing) != 0) {
            return FromErrno(openError);
        }
    }

    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return FromErrno(errno);
    }
    // A folder or a pipe at the path is no store, and a pipe would block.
    if (!S_ISREG(info.st_mode)) {
        return ERROR_BADDB;
    }

    sqlite3* raw = nullptr;
    // SQLite falls back to read-only on its own when the file is not
    // writable; sqlite3_db_readonly tells afterwards.
    int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    Db opened(raw);
    if (rc != SQLITE_OK) {
        if (access(path.c_str(), R_OK) != 0) {
            return ERROR_ACCESS_DENIED;
        }
        return FromSqlite(rc);
    }
    sqlite3_busy_timeout(opened.get(), kBusyTimeoutMs);
    writable = sqlite3_db_readonly(opened.get(), "main") == 0;

    StoreMark mark;
    LONG error = ReadMark(opened.get(), mark);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (mark.fresh()) {
        if (!writable) {
            return ERROR_ACCESS_DENIED;
        }
        error = InitializeStore(opened.get());
        // Whoever set it up, it must now be ours.
        if (error == ERROR_SUCCESS) {
            error = ReadMark(opened.get(), mark);
        }
        if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    if (mark.applicationId != kApplicationId || mark.version != kSchemaVersion) {
        return ERROR_BADDB;
    }

    db = std::move(opened);
    return ERROR_SUCCESS;
}

// ------------------------------------------------------------------ handles

struct OpenKey {
    std::mutex lock;  // one call at a time on the connection
    Db db;
    bool writable = false;
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

bool IsPredefined(HKEY key)
{
    const auto value = reinterpret_cast<ULONG_PTR>(key);
    return value >= 0x80000000u && value <= 0x800000FFu;
}

HKEY Register(std::shared_ptr<OpenKey> key)
{
    HandleTable& table = Handles();
    std::lock_guard guard(table.lock);
    ULONG_PTR value = table.next;
    // Numbers are handed out afresh rather than reused, so a stale handle
    // fails instead of reaching another key; the predefined keys' numbers
    // and 0 are never handed out.
    while (value == 0 || IsPredefined(reinterpret_cast<HKEY>(value)) ||
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

// Turns the generic rights into the key rights they stand for.
REGSAM MapAccess(REGSAM access, bool writable)
{
    if ((access & kGenericRead) != 0 || (access & kGenericExecute) != 0) {
        access |= KEY_READ;
    }
    if ((access & kGenericWrite) != 0) {
        access |= KEY_WRITE;
    }
    if ((access & kGenericAll) != 0) {
        access |= KEY_ALL_ACCESS;
    }
    if ((access & kMaximumAllowed) != 0) {
        access |= writable ? KEY_ALL_ACCESS : KEY_READ;
    }
    return access & ~(kGenericRead | kGenericExecute | kGenericWrite | kGenericAll |
                      kMaximumAllowed | KEY_WOW64_32KEY | KEY_WOW64_64KEY);
}

// The store and key that a new key is opened relative to.
struct Parent {
    std::string storePath;
    std::string path;
    REGSAM access = 0;
    bool predefined = false;
};

LONG DescribeParent(HKEY key, Parent& parent)
{
    if (key == HKEY_LOCAL_MACHINE) {
        parent.predefined = true;
        parent.access = KEY_ALL_ACCESS;
        return LocateStore(parent.storePath);
    }
    const std::shared_ptr<OpenKey> open = Lookup(key);
    if (!open) {
        return ERROR_INVALID_HANDLE;
    }
    // These never change once the handle is made.
    parent.storePath = open->storePath;
    parent.path = open->path;
    parent.access = open->access;
    return ERROR_SUCCESS;
}

// The key a value call works on: a handle's, or for HKEY_LOCAL_MACHINE the
// root over a connection of its own for the one call.
LONG Acquire(HKEY key, std::shared_ptr<OpenKey>& open)
{
    if (key == HKEY_LOCAL_MACHINE) {
        auto root = std::make_shared<OpenKey>();
        LONG error = LocateStore(root->storePath);
        if (error == ERROR_SUCCESS) {
            error = OpenStore(root->storePath, root->db, root->writable);
        }
        if (error == ERROR_SUCCESS) {
            error = FindKey(root->db.get(), "", root->id, &root->path);
            if (error == ERROR_FILE_NOT_FOUND) {
                error = ERROR_BADDB;
            }
        }
        if (error != ERROR_SUCCESS) {
            return error;
        }
        root->access = root->writable ? KEY_ALL_ACCESS : KEY_READ;
        open = std::move(root);
        return ERROR_SUCCESS;
    }
    open = Lookup(key);
    return open ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// Opens (and with create, makes) parent\subKey as a new handle.
LONG OpenOrCreate(HKEY key, LPCSTR subKey, REGSAM access, bool create, PHKEY result,
                  LPDWORD disposition)
{
    std::vector<std::string_view> names;
    LONG error = SplitSubKey(subKey, names);
    Parent parent;
    if (error == ERROR_SUCCESS) {
        error = DescribeParent(key, parent);
    }
    auto open = std::make_shared<OpenKey>();
    if (error == ERROR_SUCCESS) {
        open->storePath = parent.storePath;
        error = OpenStore(open->storePath, open->db, open->writable);
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    open->access = MapAccess(access, open->writable);
    if ((open->access & kWriteRights) != 0 && !open->writable) {
        return ERROR_ACCESS_DENIED;
    }

    std::string path = parent.path;
    for (const std::string_view name : names) {
        path = JoinPath(path, name);
    }
    error = FindKey(open->db.get(), path, open->id, &open->path);
    bool created = false;
    if (error == ERROR_FILE_NOT_FOUND && create) {
        if (!open->writable ||
            (!parent.predefined && (parent.access & KEY_CREATE_SUB_KEY) == 0)) {
            return ERROR_ACCESS_DENIED;
        }
        WriteTransaction transaction(open->db.get());
        error = transaction.begin();
        if (error == ERROR_SUCCESS) {
            error = CreateKeyPath(open->db.get(), parent.path, names, open->id, open->path,
                                  created);
        }
        if (error == ERROR_SUCCESS) {
            error = transaction.commit();
        }
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (disposition != nullptr) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    *result = Register(std::move(open));
    return ERROR_SUCCESS;
}

LONG CheckValueName(LPCSTR valueName)
{
    if (valueName != nullptr && std::strlen(valueName) > kMaxValueNameChars) {
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

std::string_view ValueName(LPCSTR valueName)
{
    return valueName != nullptr ? std::string_view(valueName) : std::string_view();
}

// Hands a stored value's type and data to the caller the way the query
// functions do. The caller has checked that data implies dataBytes.
LONG DeliverData(sqlite3_stmt* row, int typeColumn, int dataColumn, LPDWORD type, BYTE* data,
                 LPDWORD dataBytes)
{
    const sqlite3_int64 storedType = sqlite3_column_int64(row, typeColumn);
    if (storedType < 0 || storedType > static_cast<sqlite3_int64>(UINT32_MAX)) {
        return ERROR_BADDB;
    }
    const void* blob = sqlite3_column_blob(row, dataColumn);
    const int blobBytes = sqlite3_column_bytes(row, dataColumn);
    if (blobBytes < 0) {
        return ERROR_BADDB;
    }
    if (blob == nullptr && blobBytes != 0) {
        return ERROR_OUTOFMEMORY;
    }
    const auto size = static_cast<DWORD>(blobBytes);

    if (type != nullptr) {
        *type = static_cast<DWORD>(storedType);
    }
    if (data == nullptr) {
        if (dataBytes != nullptr) {
            *dataBytes = size;
        }
        return ERROR_SUCCESS;
    }
    if (size > *dataBytes) {
        *dataBytes = size;
        return ERROR_MORE_DATA;
    }
    if (size != 0) {
        std::memcpy(data, blob, size);
    }
    *dataBytes = size;
    return ERROR_SUCCESS;
}

}  // namespace

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD /*options*/, REGSAM access, PHKEY result)
{
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    return OpenOrCreate(key, subKey, access, false, result, nullptr);
}

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD /*reserved*/, LPSTR /*keyClass*/,
                     DWORD /*options*/, REGSAM access, const void* /*securityAttributes*/,
                     PHKEY result, LPDWORD disposition)
{
    if (result == nullptr || subKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    return OpenOrCreate(key, subKey, access, true, result, disposition);
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD /*reserved*/, DWORD type, const BYTE* data,
                    DWORD dataBytes)
{
    if ((data == nullptr && dataBytes != 0) || dataBytes > static_cast<DWORD>(INT_MAX)) {
        return ERROR_INVALID_PARAMETER;
    }
    LONG error = CheckValueName(valueName);
    std::shared_ptr<OpenKey> open;
    if (error == ERROR_SUCCESS) {
        error = Acquire(key, open);
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if ((open->access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    std::lock_guard guard(open->lock);
    sqlite3* db = open->db.get();
    const std::string_view name = ValueName(valueName);

    WriteTransaction transaction(db);
    error = transaction.begin();
    if (error != ERROR_SUCCESS) {
        return error;
    }

    // An overwrite keeps the row, and with it the value's place.
    Statement update;
    int rc = update.prepare(db, "UPDATE key_values SET type = ?1, data = ?2 "
                                "WHERE key_id = ?3 AND name = ?4");
    if (rc == SQLITE_OK) rc = update.bind(1, static_cast<sqlite3_int64>(type));
    if (rc == SQLITE_OK) rc = update.bindBlob(2, data, dataBytes);
    if (rc == SQLITE_OK) rc = update.bind(3, open->id);
    if (rc == SQLITE_OK) rc = update.bind(4, name);
    if (rc == SQLITE_OK) rc = update.step();
    if (rc != SQLITE_DONE) {
        return FromSqlite(rc);
    }

    if (sqlite3_changes(db) == 0) {
        Statement last;
        rc = last.prepare(db, "SELECT max(position) FROM key_values WHERE key_id = ?1");
        if (rc == SQLITE_OK) rc = last.bind(1, open->id);
        if (rc == SQLITE_OK) rc = last.step();
        if (rc != SQLITE_ROW) {
            return FromSqlite(rc == SQLITE_DONE ? SQLITE_CORRUPT : rc);
        }
        const sqlite3_int64 lastPosition = sqlite3_column_int64(last.get(), 0);
        // SQL arithmetic past the top would turn into a float; refuse instead.
        if (lastPosition < 0 || lastPosition == INT64_MAX) {
            return ERROR_BADDB;
        }

        Statement insert;
        rc = insert.prepare(db, "INSERT INTO key_values (key_id, name, type, data, position) "
                                "VALUES (?1, ?2, ?3, ?4, ?5)");
        if (rc == SQLITE_OK) rc = insert.bind(1, open->id);
        if (rc == SQLITE_OK) rc = insert.bind(2, name);
        if (rc == SQLITE_OK) rc = insert.bind(3, static_cast<sqlite3_int64>(type));
        if (rc == SQLITE_OK) rc = insert.bindBlob(4, data, dataBytes);
        if (rc == SQLITE_OK) rc = insert.bind(5, lastPosition + 1);
        if (rc == SQLITE_OK) rc = insert.step();
        if (rc != SQLITE_DONE) {
            return FromSqlite(rc);
        }
    }
    return transaction.commit();
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data,
                      LPDWORD dataBytes)
{
    if (reserved != nullptr || (data != nullptr && dataBytes == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    LONG error = CheckValueName(valueName);
    std::shared_ptr<OpenKey> open;
    if (error == ERROR_SUCCESS) {
        error = Acquire(key, open);
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if ((open->access & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    std::lock_guard guard(open->lock);

    Statement query;
    int rc = query.prepare(open->db.get(),
                           "SELECT type, data FROM key_values WHERE key_id = ?1 AND name = ?2");
    if (rc == SQLITE_OK) rc = query.bind(1, open->id);
    if (rc == SQLITE_OK) rc = query.bind(2, ValueName(valueName));
    if (rc == SQLITE_OK) rc = query.step();
    if (rc == SQLITE_DONE) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (rc != SQLITE_ROW) {
        return FromSqlite(rc);
    }
    return DeliverData(query.get(), 0, 1, type, data, dataBytes);
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameChars,
                   LPDWORD reserved, LPDWORD type, BYTE* data, LPDWORD dataBytes)
{
    if (valueName == nullptr || valueNameChars == nullptr || reserved != nullptr ||
        (data != nullptr && dataBytes == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    std::shared_ptr<OpenKey> open;
    LONG error = Acquire(key, open);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if ((open->access & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    std::lock_guard guard(open->lock);

    Statement query;
    int rc = query.prepare(open->db.get(),
                           "SELECT name, type, data FROM key_values WHERE key_id = ?1 "
                           "ORDER BY position LIMIT 1 OFFSET ?2");
    if (rc == SQLITE_OK) rc = query.bind(1, open->id);
    if (rc == SQLITE_OK) rc = query.bind(2, static_cast<sqlite3_int64>(index));
    if (rc == SQLITE_OK) rc = query.step();
    if (rc == SQLITE_DONE) {
        return ERROR_NO_MORE_ITEMS;
    }
    if (rc != SQLITE_ROW) {
        return FromSqlite(rc);
    }

    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(query.get(), 0));
    const int nameBytes = sqlite3_column_bytes(query.get(), 0);
    if (nameBytes < 0) {
        return ERROR_BADDB;
    }
    if (name == nullptr && nameBytes != 0) {
        return ERROR_OUTOFMEMORY;
    }
    // Counted in 64 bits so that the NUL cannot wrap the sum.
    const std::uint64_t nameNeeds = static_cast<std::uint64_t>(nameBytes) + 1;
    if (nameNeeds > *valueNameChars) {
        // The data's size still helps a caller size both buffers at once.
        if (dataBytes != nullptr) {
            DeliverData(query.get(), 1, 2, type, nullptr, dataBytes);
        }
        return ERROR_MORE_DATA;
    }

    error = DeliverData(query.get(), 1, 2, type, data, dataBytes);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (nameBytes != 0) {
        std::memcpy(valueName, name, static_cast<std::size_t>(nameBytes));
    }
    valueName[nameBytes] = '\0';
    *valueNameChars = static_cast<DWORD>(nameBytes);
    return ERROR_SUCCESS;
}

LONG RegDeleteValueA(HKEY key, LPCSTR valueName)
{
    LONG error = CheckValueName(valueName);
    std::shared_ptr<OpenKey> open;
    if (error == ERROR_SUCCESS) {
        error = Acquire(key, open);
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if ((open->access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    std::lock_guard guard(open->lock);
    sqlite3* db = open->db.get();

    WriteTransaction transaction(db);
    error = transaction.begin();
    if (error != ERROR_SUCCESS) {
        return error;
    }
    Statement remove;
    int rc = remove.prepare(db, "DELETE FROM key_values WHERE key_id = ?1 AND name = ?2");
    if (rc == SQLITE_OK) rc = remove.bind(1, open->id);
    if (rc == SQLITE_OK) rc = remove.bind(2, ValueName(valueName));
    if (rc == SQLITE_OK) rc = remove.step();
    if (rc != SQLITE_DONE) {
        return FromSqlite(rc);
    }
    if (sqlite3_changes(db) == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    return transaction.commit();
}

LONG RegCloseKey(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE) {
        return ERROR_SUCCESS;
    }
    std::shared_ptr<OpenKey> closing;
    {
        HandleTable& table = Handles();
        std::lock_guard guard(table.lock);
        const auto found = table.keys.find(reinterpret_cast<ULONG_PTR>(key));
        if (found == table.keys.end()) {
            return ERROR_INVALID_HANDLE;
        }
        closing = std::move(found->second);
        table.keys.erase(found);
    }
    // The connection closes here, outside the table's lock, or later when a
    // call still using it on another thread finishes.
    return ERROR_SUCCESS;
}
